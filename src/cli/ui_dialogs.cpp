#include "cli/ui_dialogs.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "addin/cls_gui.h"
#include "addin/settings.h"
#include "assistants/assistants.h"
#include "ui/web_server.h"

namespace quillo::cli {

namespace {

using ui::json_string;

std::string json_bool(bool b) {
  return b ? "true" : "false";
}

std::string json_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (const std::string& s : items) {
    if (out.size() > 1) out += ',';
    out += json_string(s);
  }
  return out + "]";
}

host::CommandBarControls* add_in_menu(host::CommandBars& bars) {
  auto bar = bars.item(host::kWorksheetMenuBar);
  if (!bar.ok()) return nullptr;
  auto menu = (*bar)->controls().item(addin::kMenuCaption);
  if (!menu.ok()) return nullptr;
  auto items = (*menu)->controls();
  return items.ok() ? *items : nullptr;
}

std::string entries_json(host::CommandBarControls& items, const std::string& prefix) {
  std::string out = "[";
  for (std::int32_t i = 1; i <= items.count(); ++i) {
    auto c = items.item(i);
    if (!c.ok()) continue;
    const std::string path = prefix + std::to_string(i);
    if (out.size() > 1) out += ',';
    out += "{\"path\":" + json_string(path) +
           ",\"caption\":" + json_string((*c)->caption().value_or("")) +
           ",\"enabled\":" + json_bool((*c)->enabled().value_or(false)) +
           ",\"group\":" + json_bool((*c)->begin_group().value_or(false));
    auto children = (*c)->controls();
    if (children.ok()) out += ",\"items\":" + entries_json(**children, path + ".");
    out += "}";
  }
  return out + "]";
}

std::string control_json(const host::Control& c) {
  std::string out = "{\"kind\":" + json_string(host::control_kind_name(c.kind)) +
                    ",\"name\":" + json_string(c.name) + ",\"caption\":" + json_string(c.caption) +
                    ",\"text\":" + json_string(c.text) + ",\"enabled\":" + json_bool(c.enabled) +
                    ",\"visible\":" + json_bool(c.visible) +
                    ",\"value\":" + std::to_string(c.value);
  if (c.kind == host::ControlKind::ListBox || c.kind == host::ControlKind::DropDown) {
    out += ",\"heads\":" + json_list(c.column_heads) + ",\"rows\":[";
    for (std::int32_t r = 0; r < c.list_count(); ++r) {
      if (r) out += ',';
      out += json_list(c.row(r));
    }
    out += "],\"index\":" + std::to_string(c.list_index);
  }
  if (c.kind == host::ControlKind::Tree) {
    out += ",\"nodes\":[";
    for (std::size_t i = 0; i < c.nodes.size(); ++i) {
      if (i) out += ',';
      out += "{\"key\":" + json_string(c.nodes[i].key) +
             ",\"text\":" + json_string(c.nodes[i].text) +
             ",\"parent\":" + std::to_string(c.nodes[i].parent) + "}";
    }
    out += "],\"index\":" + std::to_string(c.node_index);
  }
  return out + "}";
}

std::string dialog_json(const host::Dialog& d) {
  std::string out = "{\"name\":" + json_string(d.name) + ",\"caption\":" + json_string(d.caption) +
                    ",\"controls\":[";
  bool first = true;
  for (const host::Control& c : d.controls()) {
    if (!first) out += ',';
    first = false;
    out += control_json(c);
  }
  return out + "]}";
}

// The About box is not a dialog model of its own: it is shown as one, with
// its texts as labels and a button that closes it.
constexpr std::string_view kAboutName = "about";

std::string about_json(const addin::form_about& about) {
  host::Control product, status, ok;
  product.name = "product";
  product.caption = about.product + " " + about.version;
  status.name = "status";
  status.caption = about.status;
  ok.kind = host::ControlKind::Button;
  ok.name = "ok";
  ok.caption = "OK";
  return "{\"name\":" + json_string(kAboutName) + ",\"caption\":" + json_string(about.caption) +
         ",\"controls\":[" + control_json(product) + "," + control_json(status) + "," +
         control_json(ok) + "]}";
}

std::vector<host::Dialog*> shown_dialogs(addin::AddinState& state) {
  std::vector<host::Dialog*> all;
  if (auto* s = state.settings_dialog()) all.push_back(s);
  if (auto* a = state.assistants()) {
    for (host::Dialog* d : std::initializer_list<host::Dialog*>{
             a->search(), a->single_step1(), a->single_step2(), a->single_step3(),
             a->history_step1(), a->history_options(), a->history_step2()}) {
      if (d) all.push_back(d);
    }
  }
  std::vector<host::Dialog*> out;
  for (host::Dialog* d : all) {
    if (d->visible) out.push_back(d);
  }
  return out;
}

std::string_view icon_name(host::MessageIcon icon) {
  switch (icon) {
    case host::MessageIcon::Critical:
      return "critical";
    case host::MessageIcon::Exclamation:
      return "exclamation";
    case host::MessageIcon::Information:
      return "information";
    default:
      return "none";
  }
}

std::optional<std::int32_t> number(const std::string& s) {
  std::int32_t v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
  return v;
}

}  // namespace

void PageMessages::message_box(std::string_view text, std::string_view title,
                               host::MessageIcon icon) {
  // A page that is not looking does not make them pile up without end.
  if (waiting.size() >= 20) waiting.pop_front();
  waiting.push_back({std::string(text), std::string(title), icon, page});
}

void PageMessages::dismiss(const std::string& page) {
  for (auto it = waiting.begin(); it != waiting.end(); ++it) {
    if (seen_by(*it, page)) {
      waiting.erase(it);
      return;
    }
  }
}

bool any_dialog_shown(addin::AddinState& state) {
  const addin::form_about* about = state.gui() ? state.gui()->about() : nullptr;
  return !shown_dialogs(state).empty() || (about && about->visible);
}

std::string menu_json(host::CommandBars& bars) {
  host::CommandBarControls* items = add_in_menu(bars);
  return items ? entries_json(*items, "") : "[]";
}

Status click_menu(host::CommandBars& bars, std::string_view path) {
  host::CommandBarControls* items = add_in_menu(bars);
  host::ControlPtr control;
  while (items) {
    const auto dot = path.find('.');
    const auto index = number(std::string(path.substr(0, dot)));
    if (!index) break;
    auto c = items->item(*index);
    if (!c.ok()) return c.status();
    control = *c;
    if (dot == std::string_view::npos) return control->click();
    path.remove_prefix(dot + 1);
    auto children = control->controls();
    items = children.ok() ? *children : nullptr;
  }
  return Status(StatusCode::InvalidArgument, "no such menu entry");
}

std::string dialogs_json(addin::AddinState& state, const PageMessages& messages,
                         const std::string& page, bool dialogs_here, bool link_wizard_open) {
  std::string out = "{\"dialogs\":[";
  bool first = true;
  if (dialogs_here) {
    for (const host::Dialog* d : shown_dialogs(state)) {
      if (!first) out += ',';
      first = false;
      out += dialog_json(*d);
    }
    const addin::form_about* about = state.gui() ? state.gui()->about() : nullptr;
    if (about && about->visible) out += (first ? "" : ",") + about_json(*about);
  }
  const bool elsewhere = !dialogs_here && any_dialog_shown(state);
  out += "],\"messages\":[";
  first = true;
  for (const auto& m : messages.waiting) {
    if (!PageMessages::seen_by(m, page)) continue;
    if (!first) out += ',';
    first = false;
    out += "{\"text\":" + json_string(m.text) + ",\"title\":" + json_string(m.title) +
           ",\"icon\":" + json_string(icon_name(m.icon)) + "}";
  }
  return out + "],\"weblink\":" + json_bool(link_wizard_open) +
         ",\"elsewhere\":" + json_bool(elsewhere) + "}";
}

void cancel_dialogs(addin::AddinState& state) {
  auto is_cancel = [](const std::string& caption) {
    std::string c;
    for (char ch : caption) {
      if (ch != '&' && ch != ' ')
        c += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    return c == "cancel" || c == "close";
  };
  // A click may open or close other dialogs: each pass looks again, and
  // every dialog is dealt with at most once.
  std::vector<host::Dialog*> done;
  for (;;) {
    host::Dialog* d = nullptr;
    for (host::Dialog* shown : shown_dialogs(state)) {
      if (std::find(done.begin(), done.end(), shown) == done.end()) d = shown;
    }
    if (!d) break;
    done.push_back(d);
    const host::Control* cancel = nullptr;
    for (const host::Control& c : d->controls()) {
      if (c.kind == host::ControlKind::Button && c.visible && c.enabled && is_cancel(c.caption)) {
        cancel = &c;
      }
    }
    if (cancel) d->click(cancel->name);
    d->hide();
  }
  if (state.gui() && state.gui()->about() && state.gui()->about()->visible) {
    state.gui()->about_box().hide();
  }
}

Status dialog_action(addin::AddinState& state, std::string_view dialog, std::string_view control,
                     std::string_view action, const std::string& value) {
  if (dialog == kAboutName) {
    const addin::form_about* about = state.gui() ? state.gui()->about() : nullptr;
    if (!about || !about->visible) return Status(StatusCode::OutOfRange, "the dialog is closed");
    if (control == "ok" && action == "click") state.gui()->about_box().hide();
    return {};
  }
  host::Dialog* d = nullptr;
  for (host::Dialog* shown : shown_dialogs(state)) {
    if (shown->name == dialog) d = shown;
  }
  if (!d) return Status(StatusCode::OutOfRange, "the dialog is closed");
  if (!d->control(control)) return Status(StatusCode::OutOfRange, "no such control");
  if (action == "click") {
    d->click(control);
  } else if (action == "dblclick") {
    d->double_click(control);
  } else if (action == "type") {
    d->type(control, value);
  } else if (auto n = number(value); n && action == "choose") {
    d->choose(control, *n);
  } else if (n && action == "node") {
    d->choose_node(control, *n);
  } else if (n && action == "key") {
    d->key_down(control, *n);
  } else {
    return Status(StatusCode::InvalidArgument, "unknown action or value");
  }
  return {};
}

}  // namespace quillo::cli
