#include "parse/html_document.h"

#include <gumbo.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <deque>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/text.h"

namespace quillo::html {

namespace {

bool is_blank(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// The children of an element or template node; nullptr for other nodes.
const GumboVector* children_of(const GumboNode* node) {
  if (node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_TEMPLATE) {
    return &node->v.element.children;
  }
  if (node->type == GUMBO_NODE_DOCUMENT) return &node->v.document.children;
  return nullptr;
}

bool is_text(const GumboNode* node) {
  return node->type == GUMBO_NODE_TEXT || node->type == GUMBO_NODE_WHITESPACE ||
         node->type == GUMBO_NODE_CDATA;
}

bool is_html_element(const GumboNode* node, GumboTag tag) {
  return (node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_TEMPLATE) &&
         node->v.element.tag == tag && node->v.element.tag_namespace == GUMBO_NAMESPACE_HTML;
}

// Elements whose text a browser writes out as it is (no escaping).
bool raw_text_parent(const GumboNode* node) {
  if (node == nullptr || node->type != GUMBO_NODE_ELEMENT ||
      node->v.element.tag_namespace != GUMBO_NAMESPACE_HTML) {
    return false;
  }
  switch (node->v.element.tag) {
    case GUMBO_TAG_STYLE:
    case GUMBO_TAG_SCRIPT:
    case GUMBO_TAG_XMP:
    case GUMBO_TAG_IFRAME:
    case GUMBO_TAG_NOEMBED:
    case GUMBO_TAG_NOFRAMES:
    case GUMBO_TAG_PLAINTEXT:
      return true;
    default:
      return false;
  }
}

// Elements whose text a reader does not see as page text.
bool hides_text(const GumboNode* node) {
  if (node->type == GUMBO_NODE_TEMPLATE) return true;
  if (raw_text_parent(node)) return true;
  if (node->type != GUMBO_NODE_ELEMENT) return false;
  if (node->v.element.tag_namespace != GUMBO_NAMESPACE_HTML) return false;
  const GumboTag t = node->v.element.tag;
  return t == GUMBO_TAG_NOSCRIPT || t == GUMBO_TAG_TEXTAREA || t == GUMBO_TAG_TITLE;
}

bool is_void(const GumboNode* node) {
  if (node->v.element.tag_namespace != GUMBO_NAMESPACE_HTML) return false;
  switch (node->v.element.tag) {
    case GUMBO_TAG_AREA:
    case GUMBO_TAG_BASE:
    case GUMBO_TAG_BASEFONT:
    case GUMBO_TAG_BGSOUND:
    case GUMBO_TAG_BR:
    case GUMBO_TAG_COL:
    case GUMBO_TAG_EMBED:
    case GUMBO_TAG_FRAME:
    case GUMBO_TAG_HR:
    case GUMBO_TAG_IMG:
    case GUMBO_TAG_INPUT:
    case GUMBO_TAG_KEYGEN:
    case GUMBO_TAG_LINK:
    case GUMBO_TAG_META:
    case GUMBO_TAG_PARAM:
    case GUMBO_TAG_SOURCE:
    case GUMBO_TAG_TRACK:
    case GUMBO_TAG_WBR:
      return true;
    default:
      return false;
  }
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

// The tag name as a browser's outerHTML writes it: lower case, SVG elements
// in their mixed case (clipPath), custom elements as the page named them.
std::string tag_name(const GumboElement& e) {
  GumboStringPiece piece = e.original_tag;
  if (piece.length > 0) gumbo_tag_from_original_text(&piece);
  if (e.tag_namespace == GUMBO_NAMESPACE_SVG && piece.length > 0) {
    if (const char* svg = gumbo_normalize_svg_tagname(&piece)) return svg;
  }
  if (e.tag != GUMBO_TAG_UNKNOWN) return gumbo_normalized_tagname(e.tag);
  return ascii_lower(std::string_view(piece.data, piece.length));
}

constexpr std::string_view kNbsp = "\xC2\xA0";

// Appends text escaped as outerHTML escapes it; in an attribute value the
// double quote too. Plain stretches are appended whole.
void append_escaped(std::string& out, std::string_view text, bool attribute) {
  std::size_t from = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    std::string_view escaped;
    std::size_t length = 1;
    switch (c) {
      case '&':
        escaped = "&amp;";
        break;
      case '<':
        escaped = "&lt;";
        break;
      case '>':
        escaped = "&gt;";
        break;
      case '"':
        if (attribute) escaped = "&quot;";
        break;
      case '\xC2':
        if (text.substr(i, 2) == kNbsp) {
          escaped = "&nbsp;";
          length = 2;
        }
        break;
      default:
        break;
    }
    if (escaped.empty()) continue;
    out.append(text.substr(from, i - from));
    out.append(escaped);
    i += length - 1;
    from = i + 1;
  }
  out.append(text.substr(from));
}

// Long runs of plain text are handed to the parser as short stand-ins and
// put back wherever the tree's text is read. The parser takes its time per
// character of text, so a page of long paragraphs parses in a fraction of
// the time and the tree holds no copy of their text.
//
// A run is folded only where nothing about it can change the tree: it lies
// between a ">" and the next "<", holds only printable ASCII and blanks
// (no "&", so no references; no quotes, so inside a quoted attribute value
// it cannot end the value; no carriage return or NUL, which the parser
// rewrites), and it is folded from its first non-blank character on: the
// tree building treats leading blanks apart (dropped before the head, the
// first line break of a pre), and everything after the first non-blank
// character alike. The stand-in is the private-use character U+E000, the
// run's number and U+E001: non-blank text, as the run was. Equal runs get
// the same number, so equal attribute values stay equal. A page that holds
// either character, or a numeric reference that could make one, is parsed
// as it is.
constexpr std::string_view kRunOpen = "\xEE\x80\x80";   // U+E000
constexpr std::string_view kRunClose = "\xEE\x80\x81";  // U+E001
constexpr std::size_t kMinFoldedRun = 64;

bool foldable(unsigned char c) {
  if (c == '\t' || c == '\n' || c == '\f') return true;
  return c >= 0x20 && c < 0x7f && c != '<' && c != '>' && c != '&' && c != '"' && c != '\'';
}

// Whether a numeric character reference in the page names U+E000 or U+E001.
bool references_stand_in(std::string_view page) {
  for (std::size_t p = page.find("&#"); p != std::string_view::npos; p = page.find("&#", p + 2)) {
    std::size_t k = p + 2;
    const bool hex = k < page.size() && (page[k] == 'x' || page[k] == 'X');
    if (hex) ++k;
    std::uint32_t v = 0;
    for (; k < page.size(); ++k) {
      const char c = page[k];
      int d = -1;
      if (c >= '0' && c <= '9') {
        d = c - '0';
      } else if (hex && c >= 'a' && c <= 'f') {
        d = c - 'a' + 10;
      } else if (hex && c >= 'A' && c <= 'F') {
        d = c - 'A' + 10;
      }
      if (d < 0) break;
      v = std::min<std::uint32_t>(v * (hex ? 16 : 10) + static_cast<std::uint32_t>(d), 0x110000);
    }
    if (v == 0xE000 || v == 0xE001) return true;
  }
  return false;
}

class FoldedRuns {
 public:
  // The page with its long plain runs replaced by stand-ins; the page as it
  // is when it may not be folded (or fold is false).
  std::string fold(std::string_view page, bool fold) {
    if (!fold || page.find(kRunOpen) != std::string_view::npos ||
        page.find(kRunClose) != std::string_view::npos || references_stand_in(page)) {
      return std::string(page);
    }
    std::string out;
    std::unordered_map<std::string_view, std::size_t> numbers;
    std::size_t copied = 0;
    const std::size_t n = page.size();
    for (std::size_t i = page.find('>'); i != std::string_view::npos && i + 1 < n;
         i = page.find('>', i)) {
      // A run from just after this ">" up to the next "<".
      std::size_t k = i + 1;
      while (k < n && foldable(static_cast<unsigned char>(page[k]))) ++k;
      if (k >= n || page[k] != '<') {
        i = k;
        continue;
      }
      std::size_t r = i + 1;
      while (r < k && is_blank(static_cast<unsigned char>(page[r]))) ++r;
      if (k - r >= kMinFoldedRun) {
        const std::string_view run = page.substr(r, k - r);
        const auto [it, fresh] = numbers.try_emplace(run, m_starts.size() - 1);
        if (fresh) {
          m_text.append(run);
          m_starts.push_back(m_text.size());
        }
        out.append(page.substr(copied, r - copied));
        out.append(kRunOpen);
        out.append(std::to_string(it->second));
        out.append(kRunClose);
        copied = k;
      }
      i = k;
    }
    if (copied == 0) return std::string(page);
    out.append(page.substr(copied));
    return out;
  }

  // The text with each stand-in replaced by its run: the text itself when
  // it has none, otherwise scratch.
  std::string_view unfold(std::string_view text, std::string& scratch) const {
    std::size_t p = m_text.empty() ? std::string_view::npos : text.find(kRunOpen);
    if (p == std::string_view::npos) return text;
    scratch.clear();
    std::size_t from = 0;
    while (p != std::string_view::npos) {
      const std::size_t digits = p + kRunOpen.size();
      const std::size_t close = text.find(kRunClose, digits);
      std::size_t number = 0;
      const auto [end, error] = std::from_chars(
          text.data() + digits,
          text.data() + (close == std::string_view::npos ? text.size() : close), number);
      if (close == std::string_view::npos || error != std::errc() || end != text.data() + close ||
          number + 1 >= m_starts.size()) {
        p = text.find(kRunOpen, digits);  // not a stand-in: kept as it is
        continue;
      }
      scratch.append(text.substr(from, p - from));
      scratch.append(std::string_view(m_text).substr(m_starts[number],
                                                     m_starts[number + 1] - m_starts[number]));
      from = close + kRunClose.size();
      p = text.find(kRunOpen, from);
    }
    scratch.append(text.substr(from));
    return scratch;
  }

  // How many bytes the folded runs hold.
  std::size_t size() const { return m_text.size(); }

 private:
  std::string m_text;                    // the distinct runs, one after another
  std::vector<std::size_t> m_starts{0};  // where each starts in m_text, and the end
};

void append_start_tag(std::string& out, const GumboNode* node, const FoldedRuns& runs,
                      std::string& scratch) {
  const GumboElement& e = node->v.element;
  out += '<';
  out += tag_name(e);
  for (unsigned i = 0; i < e.attributes.length; ++i) {
    const auto* a = static_cast<const GumboAttribute*>(e.attributes.data[i]);
    out += ' ';
    out += a->name;
    out += "=\"";
    append_escaped(out, runs.unfold(a->value, scratch), true);
    out += '"';
  }
  out += '>';
}

// Visits a subtree in document order without recursion (pages nest as
// deep as they like): enter(element) before its children, leave(element)
// after them, leaf(node) for text and comments.
template <typename Enter, typename Leave, typename Leaf>
void walk(const GumboNode* root, Enter enter, Leave leave, Leaf leaf) {
  struct Frame {
    const GumboNode* node;
    unsigned next;
  };
  if (children_of(root) == nullptr) {
    leaf(root);
    return;
  }
  std::vector<Frame> stack;
  enter(root);
  stack.push_back({root, 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    const GumboVector* kids = children_of(top.node);
    if (top.next >= kids->length) {
      const GumboNode* done = top.node;
      stack.pop_back();
      leave(done);
      continue;
    }
    const auto* child = static_cast<const GumboNode*>(kids->data[top.next++]);
    if (children_of(child) != nullptr) {
      enter(child);
      stack.push_back({child, 0});
    } else {
      leaf(child);
    }
  }
}

// Serializes the subtree at root; when target is met, records where its
// outer HTML starts and ends in out.
void serialize(const GumboNode* root, const FoldedRuns& runs, std::string& out,
               const GumboNode* target = nullptr, std::size_t* target_begin = nullptr,
               std::size_t* target_end = nullptr) {
  std::string scratch;
  walk(
      root,
      [&](const GumboNode* n) {
        if (n == target && target_begin) *target_begin = out.size();
        append_start_tag(out, n, runs, scratch);
      },
      [&](const GumboNode* n) {
        if (!is_void(n)) {
          out += "</";
          out += tag_name(n->v.element);
          out += '>';
        }
        if (n == target && target_end) *target_end = out.size();
      },
      [&](const GumboNode* n) {
        if (n->type == GUMBO_NODE_COMMENT) {
          out += "<!--";
          out += runs.unfold(n->v.text.text, scratch);
          out += "-->";
        } else if (is_text(n)) {
          const std::string_view text = runs.unfold(n->v.text.text, scratch);
          if (raw_text_parent(n->parent)) {
            out += text;
          } else {
            append_escaped(out, text, false);
          }
        }
      });
}

// A text node is a text run unless it holds nothing but line breaks and
// tabs (which the wizard's reading of runs drops).
bool is_run(std::string_view text) {
  for (const char c : text) {
    if (c != '\n' && c != '\r' && c != '\t') return true;
  }
  return false;
}

// Elements that hold no other element: void elements, the raw-text ones
// (script, style...; their text is skipped by the scan) and those that only
// ever hold text in practice (option, ruby annotations).
bool holds_nothing(std::string_view name) {
  static constexpr std::string_view kFlat[] = {
      "area",     "base",   "basefont",  "bgsound", "br",       "col",      "embed",
      "frame",    "hr",     "img",       "input",   "keygen",   "link",     "meta",
      "param",    "source", "track",     "wbr",     "colgroup", "option",   "optgroup",
      "rb",       "rt",     "rp",        "rtc",     "script",   "style",    "xmp",
      "textarea", "title",  "plaintext", "iframe",  "noembed",  "noframes", "image"};
  return std::find(std::begin(kFlat), std::end(kFlat), name) != std::end(kFlat);
}

// Elements whose text is read up to their own end tag, with no tags in it.
bool raw_text(std::string_view name) {
  return name == "script" || name == "style" || name == "textarea" || name == "title" ||
         name == "xmp" || name == "iframe" || name == "noembed" || name == "noframes";
}

// The elements the HTML5 tree building calls special: an end tag of an
// ordinary element never closes anything past one of them.
bool is_special(std::string_view n) {
  static constexpr std::string_view kSpecial[] = {
      "address", "applet",     "area",     "article",    "aside",     "base",     "basefont",
      "bgsound", "blockquote", "body",     "br",         "button",    "caption",  "center",
      "col",     "colgroup",   "dd",       "details",    "dir",       "div",      "dl",
      "dt",      "embed",      "fieldset", "figcaption", "figure",    "footer",   "form",
      "frame",   "frameset",   "h1",       "h2",         "h3",        "h4",       "h5",
      "h6",      "head",       "header",   "hgroup",     "hr",        "html",     "iframe",
      "img",     "input",      "keygen",   "li",         "link",      "listing",  "main",
      "marquee", "menu",       "meta",     "nav",        "noembed",   "noframes", "noscript",
      "object",  "ol",         "p",        "param",      "plaintext", "pre",      "script",
      "search",  "section",    "select",   "source",     "style",     "summary",  "table",
      "tbody",   "td",         "template", "textarea",   "tfoot",     "th",       "thead",
      "title",   "tr",         "track",    "ul",         "wbr",       "xmp"};
  return std::find(std::begin(kSpecial), std::end(kSpecial), n) != std::end(kSpecial);
}

// Start tags that close an open p first.
bool closes_p(std::string_view n) {
  static constexpr std::string_view kClosers[] = {
      "address", "article", "aside",     "blockquote", "center",     "details", "dialog",
      "dir",     "div",     "dl",        "fieldset",   "figcaption", "figure",  "footer",
      "header",  "hgroup",  "main",      "menu",       "nav",        "ol",      "p",
      "search",  "section", "summary",   "ul",         "h1",         "h2",      "h3",
      "h4",      "h5",      "h6",        "pre",        "listing",    "form",    "table",
      "hr",      "xmp",     "plaintext", "li",         "dd",         "dt"};
  return std::find(std::begin(kClosers), std::end(kClosers), n) != std::end(kClosers);
}

bool is_heading(std::string_view n) {
  return n.size() == 2 && n[0] == 'h' && n[1] >= '1' && n[1] <= '6';
}

bool is_formatting(std::string_view n) {
  static constexpr std::string_view kFormatting[] = {"a",      "b",      "big",  "code", "em",
                                                     "font",   "i",      "nobr", "s",    "small",
                                                     "strike", "strong", "tt",   "u"};
  return std::find(std::begin(kFormatting), std::end(kFormatting), n) != std::end(kFormatting);
}

bool is_table_part(std::string_view n) {
  return n == "td" || n == "th" || n == "tr" || n == "tbody" || n == "thead" || n == "tfoot" ||
         n == "caption";
}

// The stack of open elements as the tree building keeps it, reduced to
// what decides how deep the tree grows: which elements are open and where
// the elements that bound a search of the stack (scope boundaries, special
// elements, tables) stand. Every operation is constant time but popping,
// and every element is popped at most once, so a page costs time linear in
// its tags.
class OpenElements {
 public:
  std::size_t depth() const { return m_stack.size(); }

  // The elements the reconstruction of formatting elements has added.
  std::size_t clones() const { return m_clones; }

  // Text: formatting elements closed by the end of an enclosing element
  // (<p><b>x</p>y) are opened again, as clones, in front of it.
  void text() { reconstruct(); }

  // key: the name and the attributes as written, which tell formatting
  // elements apart (at most three equal ones stay listed).
  void start(std::string_view name, std::string_view key) {
    if (!closes_p(name) && !is_table_part(name) && name != "table") reconstruct();
    if (closes_p(name)) close_in(id_of("p"), barrier(kScope | kButton));
    if (name == "li") close_in(id_of("li"), barrier(kScope | kList));
    if (name == "dd" || name == "dt") {
      close_in(id_of("dd"), barrier(kScope));
      close_in(id_of("dt"), barrier(kScope));
    }
    if (is_heading(name) && !m_stack.empty() && is_heading(m_names[m_stack.back()]))
      pop_to(depth() - 1);
    if (is_table_part(name)) {
      // Outside a table these start tags are dropped.
      if (topmost(kTable) == 0) return;
      const std::size_t table = topmost(kTable);
      if (name == "td" || name == "th") {
        close_in(id_of("td"), table);
        close_in(id_of("th"), table);
      } else if (name == "tr") {
        close_in(id_of("tr"), table);
      } else {
        for (const char* section : {"tbody", "thead", "tfoot", "caption"}) {
          close_in(id_of(section), table);
        }
      }
    }
    if (is_formatting(name) && (name == "a" || name == "nobr")) {
      // A second a (or nobr) closes the first where nothing special is in between.
      close_in(id_of(name), topmost(kSpecial) + 1);
    }
    push(id_of(name));
    if (is_formatting(name)) list_formatting(key, id_of(name));
    if (is_marker(name)) {
      m_markers.push_back(m_active.size());
      m_active.push_back({-1, 0, 0, true});
    }
  }

  void end(std::string_view name) {
    if (name == "body" || name == "html" || holds_nothing(name)) return;
    if (is_heading(name)) {
      std::size_t at = 0;
      for (const char* h : {"h1", "h2", "h3", "h4", "h5", "h6"}) {
        at = std::max(at, open_at(id_of(h)));
      }
      if (at != 0 && at >= barrier(kScope)) pop_to(at - 1);
      return;
    }
    const int id = id_of(name);
    if (name == "li") {
      close_in(id, barrier(kScope | kList));
    } else if (is_table_part(name) || name == "table") {
      close_in(id, topmost(kTable));
    } else if (is_special(name)) {
      close_in(id, barrier(kScope));
    } else if (is_formatting(name)) {
      end_formatting(id);
    } else {
      // An ordinary end tag closes its element only when no special
      // element is open above it.
      close_in(id, topmost(kSpecial) + 1);
    }
  }

 private:
  struct Listed {
    int key = -1;  // -1: a marker
    int name = 0;
    std::size_t at = 0;  // 1 + its stack index; 0 when it is not open
    bool marker = false;
    bool removed = false;
  };

  static bool is_marker(std::string_view n) {
    return n == "td" || n == "th" || n == "caption" || n == "applet" || n == "object" ||
           n == "marquee" || n == "template";
  }

  int key_of(std::string_view key) {
    const auto [it, fresh] =
        m_keys.try_emplace(std::string(key), static_cast<int>(m_listed.size()));
    if (fresh) m_listed.emplace_back();
    return it->second;
  }

  std::size_t last_marker() const { return m_markers.empty() ? 0 : m_markers.back() + 1; }

  // The element just pushed is a formatting element: list it, dropping the
  // earliest of three equal ones listed since the last marker.
  void list_formatting(std::string_view key, int name) {
    const int k = key_of(key);
    auto& same = m_listed[static_cast<std::size_t>(k)];
    if (same.size() >= 3 && same[same.size() - 3] + 1 > last_marker()) {
      m_active[same[same.size() - 3]].removed = true;
      same.erase(same.end() - 3);
      trim_removed();
    }
    same.push_back(m_active.size());
    m_active.push_back({k, name, m_stack.size(), false});
    m_on_stack[m_stack.size() - 1] = m_active.size();
  }

  // Opens again the listed formatting elements after the last one that is
  // open (and after the last marker).
  void reconstruct() {
    std::size_t i = m_active.size();
    while (i > 0 && !m_active[i - 1].marker && (m_active[i - 1].removed || m_active[i - 1].at == 0))
      --i;
    for (; i < m_active.size(); ++i) {
      if (m_active[i].removed) continue;
      push(m_active[i].name);
      ++m_clones;
      m_active[i].at = m_stack.size();
      m_on_stack[m_stack.size() - 1] = i + 1;
    }
  }

  enum Kind : unsigned { kSpecial = 1, kScope = 2, kButton = 4, kList = 8, kTable = 16 };
  static constexpr unsigned kKinds = 5;

  int id_of(std::string_view name) {
    const auto [it, fresh] = m_ids.try_emplace(std::string(name), static_cast<int>(m_names.size()));
    if (fresh) {
      m_names.push_back(it->first);
      unsigned k = 0;
      if (is_special(name)) k |= kSpecial;
      if (name == "applet" || name == "caption" || name == "html" || name == "table" ||
          name == "td" || name == "th" || name == "marquee" || name == "object" ||
          name == "template") {
        k |= kScope;
      }
      if (name == "button") k |= kButton;
      if (name == "ol" || name == "ul") k |= kList;
      if (name == "table" || name == "template" || name == "html") k |= kTable;
      m_kinds.push_back(k);
      m_at.emplace_back();
    }
    return it->second;
  }

  // 1 + the stack index of the topmost element of the kinds; 0 when none.
  std::size_t topmost(unsigned kinds) const {
    std::size_t at = 0;
    for (unsigned k = 0; k < kKinds; ++k) {
      if ((kinds & (1u << k)) && !m_by_kind[k].empty()) at = std::max(at, m_by_kind[k].back() + 1);
    }
    return at;
  }
  std::size_t barrier(unsigned kinds) const { return topmost(kinds); }
  std::size_t open_at(int id) const {
    const auto& at = m_at[static_cast<std::size_t>(id)];
    return at.empty() ? 0 : at.back() + 1;
  }
  // Closes the topmost open element id, and everything above it, when it
  // stands at or above the barrier (1 + a stack index, 0 for none).
  void close_in(int id, std::size_t barrier) {
    const std::size_t at = open_at(id);
    if (at != 0 && at >= barrier) pop_to(at - 1);
  }
  void push(int id) {
    const std::size_t index = m_stack.size();
    m_stack.push_back(id);
    m_on_stack.push_back(0);
    m_at[static_cast<std::size_t>(id)].push_back(index);
    for (unsigned k = 0; k < kKinds; ++k) {
      if (m_kinds[static_cast<std::size_t>(id)] & (1u << k)) m_by_kind[k].push_back(index);
    }
  }
  void pop_to(std::size_t size) {
    while (m_stack.size() > size) {
      const auto id = static_cast<std::size_t>(m_stack.back());
      if (const std::size_t listed = m_on_stack.back()) m_active[listed - 1].at = 0;
      m_on_stack.pop_back();
      m_stack.pop_back();
      if (is_marker(m_names[id])) clear_to_marker();
      m_at[id].pop_back();
      for (unsigned k = 0; k < kKinds; ++k) {
        if (m_kinds[id] & (1u << k)) m_by_kind[k].pop_back();
      }
    }
  }

  // An end tag of a formatting element closes it (and unlists it) when no
  // special element is open above it. Past one, the tree building moves
  // elements around; it is counted as leaving them open. A listed element
  // that is no longer open is unlisted.
  void end_formatting(int id) {
    const std::size_t at = open_at(id);
    if (at != 0 && at > topmost(kSpecial)) {
      const std::size_t listed = m_on_stack[at - 1];
      pop_to(at - 1);
      if (listed != 0) unlist(listed - 1);
      return;
    }
    if (at != 0) return;
    constexpr std::size_t kLookBack = 64;
    for (std::size_t i = m_active.size(), k = 0; i > 0 && k < kLookBack; --i, ++k) {
      const Listed& e = m_active[i - 1];
      if (e.marker) return;
      if (e.removed || e.name != id) continue;
      if (e.at == 0) unlist(i - 1);
      return;
    }
  }

  void unlist(std::size_t i) {
    Listed& e = m_active[i];
    if (e.removed || e.marker) return;
    e.removed = true;
    auto& same = m_listed[static_cast<std::size_t>(e.key)];
    for (auto it = same.end(); it != same.begin();) {
      if (*--it == i) {
        same.erase(it);
        break;
      }
    }
    trim_removed();
  }

  // Unlisted entries at the end of the list go, so that the list does not
  // grow with every formatting element a page opens and closes.
  void trim_removed() {
    while (!m_active.empty() && m_active.back().removed) m_active.pop_back();
  }

  // Drops the listed formatting elements back to the last marker, and it.
  void clear_to_marker() {
    while (!m_active.empty()) {
      const Listed last = m_active.back();
      m_active.pop_back();
      if (last.marker) {
        m_markers.pop_back();
        return;
      }
      if (!last.removed) m_listed[static_cast<std::size_t>(last.key)].pop_back();
    }
  }

  std::unordered_map<std::string, int> m_ids;
  std::unordered_map<std::string, int> m_keys;
  std::vector<std::deque<std::size_t>> m_listed;  // per key: indices into m_active
  std::vector<Listed> m_active;                   // the list of formatting elements
  std::vector<std::size_t> m_markers;             // indices of the markers in it
  std::vector<std::size_t> m_on_stack;            // per open element: 1 + its index in m_active
  std::size_t m_clones = 0;
  std::vector<std::string> m_names;
  std::vector<unsigned> m_kinds;
  std::vector<std::vector<std::size_t>> m_at;  // per name: stack indices where it is open
  std::vector<std::size_t> m_by_kind[kKinds];  // per kind: stack indices, bottom first
  std::vector<int> m_stack;
};

// How much of a start tag tells formatting elements apart.
constexpr std::size_t kMaxKey = 256;

using text::is_letter;

}  // namespace

PageShape page_shape(std::string_view page, std::string* trimmed) {
  PageShape shape;
  OpenElements open;
  std::size_t tags = 0;
  std::size_t foreign = 0;  // open svg and math elements, where "/>" closes an element
  // Where attributes past the kept ones lie, one range per tag.
  std::vector<std::pair<std::size_t, std::size_t>> dropped;
  const std::size_t n = page.size();
  std::size_t i = page.find('<');
  while (i != std::string_view::npos && i + 1 < n) {
    shape.tags = tags + open.clones();
    if (shape.tags > kMaxTags) break;
    const char c = page[i + 1];
    if (c == '!' || c == '?' || (c == '/' && (i + 2 >= n || !is_letter(page[i + 2])))) {
      // A comment, doctype or bogus comment: a node of its own.
      ++tags;
      std::size_t end = std::string_view::npos;
      if (page.substr(i, 4) == "<!--") {
        end = page.find("-->", i + 4);
        if (end != std::string_view::npos) end += 2;
      } else {
        end = page.find('>', i + 2);
      }
      if (end == std::string_view::npos) break;
      i = page.find('<', end + 1);
      continue;
    }
    const bool closing = c == '/';
    if (!closing && !is_letter(c)) {
      i = page.find('<', i + 1);
      continue;
    }
    ++tags;
    std::size_t k = i + (closing ? 2 : 1);
    const std::size_t name_start = k;
    while (k < n && page[k] != '>' && page[k] != '/' && !is_blank(page[k])) ++k;
    const std::string name =
        ascii_lower(page.substr(name_start, std::min<std::size_t>(k - name_start, 64)));
    // The attributes, as the tokenizer reads them.
    std::size_t count = 0, drop_from = 0, drop_to = 0;
    bool self_closed = false, ended = false;
    while (k < n) {
      const char a = page[k];
      if (is_blank(a)) {
        ++k;
        continue;
      }
      if (a == '/') {
        self_closed = k + 1 < n && page[k + 1] == '>';
        ++k;
        continue;
      }
      if (a == '>') {
        ended = true;
        break;
      }
      self_closed = false;
      const std::size_t attr_start = k;
      ++k;  // the first character of a name may be anything, "=" included
      while (k < n && page[k] != '>' && page[k] != '/' && page[k] != '=' && !is_blank(page[k])) ++k;
      std::size_t v = k;
      while (v < n && is_blank(page[v])) ++v;
      if (v < n && page[v] == '=') {
        ++v;
        while (v < n && is_blank(page[v])) ++v;
        if (v < n && (page[v] == '"' || page[v] == '\'')) {
          const std::size_t close = page.find(page[v], v + 1);
          v = close == std::string_view::npos ? n : close + 1;
        } else {
          while (v < n && page[v] != '>' && !is_blank(page[v])) ++v;
        }
        k = v;
      }
      if (++count > kMaxAttributesPerTag) {
        if (drop_from == 0) drop_from = attr_start;
        drop_to = k;
      }
    }
    if (!ended) break;  // a tag cut off by the end of the page is no tag
    if (drop_from != 0) dropped.emplace_back(drop_from, drop_to);
    if (!closing) shape.attributes += std::min(count, kMaxAttributesPerTag);
    const std::size_t gt = k;
    const bool svg_or_math = name == "svg" || name == "math";
    if (closing) {
      if (svg_or_math && foreign > 0) --foreign;
      open.end(name);
    } else {
      // "<div/>" opens a div like "<div>"; only in SVG and MathML does "/>"
      // close the element.
      if (!((foreign > 0 || svg_or_math) && self_closed) && !holds_nothing(name)) {
        open.start(name, page.substr(name_start, std::min(k - name_start, kMaxKey)));
        shape.depth = std::max(shape.depth, open.depth());
        if (svg_or_math) ++foreign;
      }
      if (name == "plaintext") break;  // the rest of the page is its text
      if (raw_text(name)) {
        // Nothing in it is a tag, up to its end tag.
        std::size_t end = gt;
        while ((end = page.find("</", end)) != std::string_view::npos &&
               ascii_lower(page.substr(end + 2, name.size())) != name) {
          end += 2;
        }
        if (end == std::string_view::npos) break;
        i = end;
        continue;
      }
    }
    i = page.find('<', gt + 1);
    if (i != gt + 1) open.text();
  }
  shape.tags = tags + open.clones();
  if (trimmed && !dropped.empty()) {
    trimmed->clear();
    trimmed->reserve(n);
    std::size_t from = 0;
    for (const auto& [a, b] : dropped) {
      trimmed->append(page.substr(from, a - from));
      from = b;
    }
    trimmed->append(page.substr(from));
    shape.trimmed = true;
  }
  return shape;
}

std::size_t nesting_estimate(std::string_view page) {
  return page_shape(page).depth;
}

namespace {

// Hands each character of the text as shown (runs of blanks and no-break
// spaces as one space between words, none at the ends) to emit, until emit
// answers false; answers whether every character was taken.
template <typename Emit>
bool each_shown(std::string_view text, Emit emit) {
  bool blank = false;
  bool any = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    bool is_space = is_blank(c);
    if (!is_space && text.substr(i, 2) == kNbsp) {
      is_space = true;
      ++i;
    }
    if (is_space) {
      blank = true;
      continue;
    }
    if (blank && any && !emit(' ')) return false;
    blank = false;
    any = true;
    if (!emit(static_cast<char>(c))) return false;
  }
  return true;
}

}  // namespace

std::string shown_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  each_shown(text, [&](char c) {
    out += c;
    return true;
  });
  return out;
}

namespace {

// Whether shown_text(text) == wanted, without building it.
bool shows_as(std::string_view text, std::string_view wanted) {
  std::size_t k = 0;
  return each_shown(text, [&](char c) { return k < wanted.size() && wanted[k++] == c; }) &&
         k == wanted.size();
}

}  // namespace

struct HtmlDocument::Impl {
  GumboOptions options = kGumboDefaultOptions;
  std::string page;  // the page as parsed (runs folded); the parser's nodes point into it
  FoldedRuns runs;   // the text of the runs folded out of it
  GumboOutput* output = nullptr;
  const GumboNode* body = nullptr;
  PageRefusal refusal = PageRefusal::None;

  ~Impl() {
    if (output) gumbo_destroy_output(&options, output);
  }

  // The elements holding the value, in document order, at most limit.
  std::vector<const GumboNode*> holders(std::string_view value, std::size_t limit) const {
    std::vector<const GumboNode*> found;
    if (!body || limit == 0) return found;
    const std::string wanted = shown_text(value);
    if (wanted.empty()) return found;
    // Text runs met so far; an element's first run is the run met while
    // the count still equals the count at its start.
    std::uint64_t runs = 0;
    std::vector<std::uint64_t> runs_at_start;
    std::size_t hidden = 0;  // open elements whose text is not page text
    std::string scratch;
    walk(
        body,
        [&](const GumboNode* n) {
          runs_at_start.push_back(runs);
          if (hides_text(n)) ++hidden;
        },
        [&](const GumboNode* n) {
          runs_at_start.pop_back();
          if (hides_text(n)) --hidden;
        },
        [&](const GumboNode* n) {
          if (!is_text(n) || found.size() >= limit) return;
          // A stand-in is a run of its own: a folded text is a run
          // exactly when the text it stands for is.
          const std::string_view folded = n->v.text.text;
          if (!is_run(folded)) return;
          const bool first = !runs_at_start.empty() && runs_at_start.back() == runs;
          ++runs;
          if (first && hidden == 0 && n->parent && n->parent->type == GUMBO_NODE_ELEMENT &&
              shows_as(this->runs.unfold(folded, scratch), wanted)) {
            found.push_back(n->parent);
          }
        });
    return found;
  }
};

HtmlDocument::HtmlDocument(std::string_view page, bool fold_text)
    : m_impl(std::make_unique<Impl>()) {
  // Errors are not kept: a broken page would only fill a list nobody reads.
  m_impl->options.max_errors = 0;
  std::string trimmed;
  const PageShape shape = page_shape(page, &trimmed);
  if (shape.tags > kMaxTags) {
    m_impl->refusal = PageRefusal::TooManyTags;
  } else if (shape.attributes > kMaxAttributes) {
    m_impl->refusal = PageRefusal::TooManyAttributes;
  } else if (shape.depth > kMaxNesting) {
    m_impl->refusal = PageRefusal::TooDeep;
  }
  if (m_impl->refusal != PageRefusal::None) return;
  m_impl->page = m_impl->runs.fold(shape.trimmed ? std::string_view(trimmed) : page, fold_text);
  trimmed = std::string();
  m_impl->output =
      gumbo_parse_with_options(&m_impl->options, m_impl->page.data(), m_impl->page.size());
  if (!m_impl->output || !m_impl->output->root) return;
  const GumboVector& top = m_impl->output->root->v.element.children;
  for (unsigned i = 0; i < top.length; ++i) {
    const auto* child = static_cast<const GumboNode*>(top.data[i]);
    if (is_html_element(child, GUMBO_TAG_BODY)) {
      m_impl->body = child;
      break;
    }
  }
}

HtmlDocument::~HtmlDocument() = default;

bool HtmlDocument::has_body() const {
  return m_impl->body != nullptr;
}

PageRefusal HtmlDocument::refusal() const {
  return m_impl->refusal;
}

std::size_t HtmlDocument::count(std::string_view value) const {
  return m_impl->holders(value, std::numeric_limits<std::size_t>::max()).size();
}

std::optional<FoundElement> HtmlDocument::find(std::string_view value,
                                               std::size_t occurrence) const {
  const auto found = m_impl->holders(value, occurrence);
  if (occurrence == 0 || found.size() < occurrence) return std::nullopt;
  const GumboNode* target = found[occurrence - 1];
  FoundElement result;
  std::size_t begin = 0, end = 0;
  // About the page's size: grown only by escapes the page did not write.
  result.body_html.reserve(m_impl->page.size() + m_impl->runs.size());
  serialize(m_impl->body, m_impl->runs, result.body_html, target, &begin, &end);
  result.element_html = result.body_html.substr(begin, end - begin);
  result.offset = begin;
  result.tag = tag_name(target->v.element);
  return result;
}

std::string HtmlDocument::body_html() const {
  std::string out;
  if (m_impl->body) serialize(m_impl->body, m_impl->runs, out);
  return out;
}

}  // namespace quillo::html
