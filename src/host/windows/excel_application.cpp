#include "host/windows/excel_application.h"

#include <algorithm>
#include <utility>

#include "host/windows/variant_value.h"

namespace quillo::host::win {
namespace {

Result<Dispatch> active(IDispatch* application, std::string_view member) {
  auto r = call(application, member);
  if (!r.ok()) return r.status();
  Dispatch d = r->object();
  if (!d) return Status(StatusCode::OutOfRange, "no workbook is open");
  return d;
}

// The index of the host control with that id among host_controls, or 0.
std::int32_t host_index_of_id(IDispatch* host_controls, std::int32_t id) {
  auto count = call(host_controls, "Count");
  if (!count.ok()) return 0;
  const std::int32_t n = count->to_int().value_or(0);
  for (std::int32_t i = 1; i <= n; ++i) {
    auto control = call_object(host_controls, "Item", {i});
    if (!control.ok()) continue;
    auto control_id = call(control->get(), "Id");
    if (control_id.ok() && control_id->to_int().value_or(0) == id) return i;
  }
  return 0;
}

}  // namespace

ExcelApplication::ExcelApplication(IDispatch* application)
    : m_app(Dispatch::share(application)),
      m_session(std::make_shared<Session>()),
      m_workbooks(m_session, application),
      m_add_ins(m_session, application),
      m_functions(application) {}

ExcelApplication::~ExcelApplication() {
  // Sinks first, so no host event reaches a half-destroyed adapter.
  m_menu.clear();
  m_app_events.reset();
  m_session->release_all();
}

Result<WorkbookPtr> ExcelApplication::active_workbook() const {
  return make_book(m_session, active(m_app.get(), "ActiveWorkbook"));
}

Result<WorksheetPtr> ExcelApplication::active_sheet() const {
  return make_sheet(m_session, active(m_app.get(), "ActiveSheet"));
}

Calculation ExcelApplication::calculation() const {
  auto r = call(m_app.get(), "Calculation");
  if (!r.ok()) return Calculation::Automatic;
  switch (r->to_int().value_or(static_cast<std::int32_t>(Calculation::Automatic))) {
    case static_cast<std::int32_t>(Calculation::Manual):
      return Calculation::Manual;
    case static_cast<std::int32_t>(Calculation::SemiAutomatic):
      return Calculation::SemiAutomatic;
    default:
      return Calculation::Automatic;
  }
}

Status ExcelApplication::set_calculation(Calculation mode) {
  return put(m_app.get(), "Calculation", Variant(static_cast<std::int32_t>(mode)));
}

Status ExcelApplication::calculate() {
  auto r = call(m_app.get(), "Calculate");
  return r.ok() ? Status() : r.status();
}

bool ExcelApplication::get_switch(std::string_view name) const {
  auto r = call(m_app.get(), name);
  if (!r.ok()) return true;
  return r->to_bool().value_or(true);
}

// The engine flips these switches around its work and has nothing to do
// when the host refuses one, so failures are not reported.
bool ExcelApplication::screen_updating() const {
  return get_switch("ScreenUpdating");
}
void ExcelApplication::set_screen_updating(bool on) {
  (void)put(m_app.get(), "ScreenUpdating", Variant(on));
}
bool ExcelApplication::display_alerts() const {
  return get_switch("DisplayAlerts");
}
void ExcelApplication::set_display_alerts(bool on) {
  (void)put(m_app.get(), "DisplayAlerts", Variant(on));
}
bool ExcelApplication::ask_to_update_links() const {
  return get_switch("AskToUpdateLinks");
}
void ExcelApplication::set_ask_to_update_links(bool on) {
  (void)put(m_app.get(), "AskToUpdateLinks", Variant(on));
}

HandlerId ExcelApplication::on_workbook_open(WorkbookOpenHandler handler) {
  if (!m_app_events) {
    auto c = Connection::advise(m_app.get(), kAppEventsIid, [this](DISPID id, const DISPPARAMS& p) {
      if (id == kWorkbookOpenDispid) raise_workbook_open(p);
    });
    // A host without the event still takes the handler; it is never raised.
    if (c.ok()) m_app_events = std::move(c).value();
  }
  const HandlerId id = m_next_handler++;
  m_open_handlers.emplace(id, std::move(handler));
  return id;
}

void ExcelApplication::remove_handler(HandlerId id) {
  m_open_handlers.erase(id);
}

void ExcelApplication::raise_workbook_open(const DISPPARAMS& params) {
  if (params.cArgs < 1 || !params.rgvarg) return;
  // The event's only argument is the workbook (the last in DISPPARAMS order).
  Variant arg;
  if (FAILED(VariantCopy(arg.put(), &params.rgvarg[params.cArgs - 1]))) return;
  auto book = make_book(m_session, arg.object() ? Result<Dispatch>(arg.object())
                                                : Result<Dispatch>(Status::object_required("")));
  if (!book.ok()) return;
  // A handler may add or remove handlers.
  std::vector<WorkbookOpenHandler> handlers;
  for (const auto& [id, h] : m_open_handlers) handlers.push_back(h);
  for (const auto& h : handlers) h(book.value());
}

RangePtr ExcelApplication::wrap_range(IDispatch* range) {
  if (!range) return nullptr;
  return std::make_shared<ExcelRange>(m_session, Dispatch::share(range));
}

IDispatch* ExcelApplication::dispatch_of(const Range& range) {
  return range_dispatch(range);
}

// ---- The menu ----

Status ExcelApplication::sync_menu() {
  if (m_syncing) return {};  // a click during a sync: the running sync covers it
  m_syncing = true;
  Status result;
  auto host_bars = call_object(m_app.get(), "CommandBars");
  if (!host_bars.ok()) {
    m_syncing = false;
    return host_bars.status();
  }
  for (std::int32_t b = 1; b <= m_bars.count(); ++b) {
    auto bar = m_bars.item(b);
    if (!bar.ok()) continue;
    CommandBar& local = *bar.value();
    auto& mirrors = m_menu[local.name()];
    bool has_custom = !mirrors.empty();
    for (std::int32_t i = 1; i <= local.controls().count() && !has_custom; ++i) {
      auto c = local.controls().item(i);
      has_custom = c.ok() && !c.value()->built_in().value_or(true);
    }
    if (!has_custom) continue;  // leave bars we never touched alone
    auto host_bar = call_object(host_bars->get(), "Item", {std::string_view(local.name())});
    Status st = host_bar.ok() ? Status() : host_bar.status();
    if (st.ok()) {
      auto controls = call_object(host_bar->get(), "Controls");
      st = controls.ok() ? sync_level(local.controls(), controls->get(), mirrors)
                         : controls.status();
    }
    if (!st.ok() && result.ok()) result = st;
  }
  // Bars no longer in the local model lose their mirrored controls.
  for (auto it = m_menu.begin(); it != m_menu.end();) {
    if (m_bars.item(it->first).ok()) {
      ++it;
      continue;
    }
    for (auto& m : it->second) (void)call(m.host.get(), "Delete");
    it = m_menu.erase(it);
  }
  m_syncing = false;
  return result;
}

Status ExcelApplication::sync_level(CommandBarControls& locals, IDispatch* host_controls,
                                    std::vector<Mirror>& mirrors) {
  // Delete what is gone from the local model (or moved to another parent).
  std::vector<const CommandBarControl*> present;
  for (std::int32_t i = 1; i <= locals.count(); ++i) {
    if (auto c = locals.item(i); c.ok()) present.push_back(c.value().get());
  }
  for (auto it = mirrors.begin(); it != mirrors.end();) {
    auto local = it->local.lock();
    if (local && local->alive() && std::count(present.begin(), present.end(), it->key) > 0) {
      ++it;
      continue;
    }
    it->click.reset();
    (void)call(it->host.get(), "Delete");  // it may be gone already
    it = mirrors.erase(it);
  }

  Status result;
  for (std::int32_t i = 1; i <= locals.count(); ++i) {
    auto item = locals.item(i);
    if (!item.ok()) continue;
    const ControlPtr& local = item.value();
    if (local->built_in().value_or(true)) continue;
    auto found = std::find_if(mirrors.begin(), mirrors.end(),
                              [&](const Mirror& m) { return m.key == local.get(); });
    Status st;
    if (found != mirrors.end()) {
      st = update_mirror(*local, *found, false);
      if (st.is_object_required()) {
        // Someone deleted the host's control: make it again.
        found->click.reset();
        mirrors.erase(found);
        found = mirrors.end();
      }
    }
    if (found == mirrors.end()) {
      Mirror fresh;
      st = create_mirror(locals, i, host_controls, mirrors, fresh);
      if (!fresh.host) {
        if (result.ok()) result = st;
        continue;
      }
      // Kept even when part of it failed, so the next sync updates rather
      // than adds it again.
      mirrors.push_back(std::move(fresh));
      found = mirrors.end() - 1;
    }
    if (!st.ok() && result.ok()) result = st;
    if (local->type().value_or(ControlType::Button) == ControlType::Popup) {
      auto children = local->controls();
      auto host_children = call_object(found->host.get(), "Controls");
      if (children.ok() && host_children.ok()) {
        st = sync_level(*children.value(), host_children->get(), found->children);
      } else if (!host_children.ok()) {
        st = host_children.status();
      }
      if (!st.ok() && result.ok()) result = st;
    }
  }
  return result;
}

Status ExcelApplication::create_mirror(CommandBarControls& locals, std::int32_t position,
                                       IDispatch* host_controls, const std::vector<Mirror>& mirrors,
                                       Mirror& out) {
  auto item = locals.item(position);
  if (!item.ok()) return item.status();
  const ControlPtr local = item.value();
  // Before the next sibling the host also has: a built-in control (found by
  // its id) or one mirrored earlier; at the end when there is none.
  Variant before = Variant::missing();
  for (std::int32_t j = position + 1; j <= locals.count(); ++j) {
    auto next = locals.item(j);
    if (!next.ok()) continue;
    std::int32_t index = 0;
    if (next.value()->built_in().value_or(false)) {
      index = host_index_of_id(host_controls, next.value()->id().value_or(0));
    } else {
      auto m = std::find_if(mirrors.begin(), mirrors.end(),
                            [&](const Mirror& x) { return x.key == next.value().get(); });
      if (m != mirrors.end()) {
        auto r = call(m->host.get(), "Index");
        if (r.ok()) index = r->to_int().value_or(0);
      }
    }
    if (index > 0) {
      before = Variant(index);
      break;
    }
  }
  const auto type = local->type().value_or(ControlType::Button);
  auto added = call_object(
      host_controls, "Add",
      {static_cast<std::int32_t>(type), Variant::missing(), Variant::missing(), before, true});
  if (!added.ok()) return added.status();
  out.local = local;
  out.key = local.get();
  out.host = std::move(added).value();
  if (type == ControlType::Button) {
    std::weak_ptr<CommandBarControl> weak = local;
    auto c = Connection::advise(out.host.get(), kCommandBarButtonEventsIid,
                                [this, weak](DISPID id, const DISPPARAMS&) {
                                  if (id == kClickDispid) on_click(weak);
                                });
    if (c.ok()) {
      out.click = std::move(c).value();
    } else {
      // The button is still shown; it just cannot run anything.
      Status st = update_mirror(*local, out, true);
      return st.ok() ? c.status() : st;
    }
  }
  return update_mirror(*local, out, true);
}

Status ExcelApplication::update_mirror(CommandBarControl& local, Mirror& mirror, bool force) {
  const std::string caption = local.caption().value_or({});
  const std::string tag = local.tag().value_or({});
  const bool enabled = local.enabled().value_or(true);
  const bool begin_group = local.begin_group().value_or(false);
  IDispatch* host = mirror.host.get();
  if (force || caption != mirror.caption) {
    if (auto st = put(host, "Caption", Variant(std::string_view(caption))); !st.ok()) return st;
    mirror.caption = caption;
  }
  if (force || tag != mirror.tag) {
    if (auto st = put(host, "Tag", Variant(std::string_view(tag))); !st.ok()) return st;
    mirror.tag = tag;
  }
  if (force || enabled != mirror.enabled) {
    if (auto st = put(host, "Enabled", Variant(enabled)); !st.ok()) return st;
    mirror.enabled = enabled;
  }
  if (force || begin_group != mirror.begin_group) {
    if (auto st = put(host, "BeginGroup", Variant(begin_group)); !st.ok()) return st;
    mirror.begin_group = begin_group;
  }
  return {};
}

void ExcelApplication::on_click(const std::weak_ptr<CommandBarControl>& weak) {
  auto local = weak.lock();
  if (!local || !local->alive()) return;
  // A failed click (a disabled control) changes nothing; the menu is
  // mirrored again either way, since the handler may have changed it.
  (void)local->click();
  (void)sync_menu();
}

}  // namespace quillo::host::win
