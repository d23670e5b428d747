#include "parse/html_document.h"

#include <gumbo.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

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
// double quote too.
void append_escaped(std::string& out, std::string_view text, bool attribute) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += attribute ? "&quot;" : "\"";
        break;
      default:
        if (text.substr(i, 2) == kNbsp) {
          out += "&nbsp;";
          ++i;
        } else {
          out += c;
        }
    }
  }
}

void append_start_tag(std::string& out, const GumboNode* node) {
  const GumboElement& e = node->v.element;
  out += '<';
  out += tag_name(e);
  for (unsigned i = 0; i < e.attributes.length; ++i) {
    const auto* a = static_cast<const GumboAttribute*>(e.attributes.data[i]);
    out += ' ';
    out += a->name;
    out += "=\"";
    append_escaped(out, a->value, true);
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
void serialize(const GumboNode* root, std::string& out, const GumboNode* target = nullptr,
               std::size_t* target_begin = nullptr, std::size_t* target_end = nullptr) {
  walk(
      root,
      [&](const GumboNode* n) {
        if (n == target && target_begin) *target_begin = out.size();
        append_start_tag(out, n);
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
          out += n->v.text.text;
          out += "-->";
        } else if (is_text(n)) {
          if (raw_text_parent(n->parent)) {
            out += n->v.text.text;
          } else {
            append_escaped(out, n->v.text.text, false);
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

// Tags that never nest: void elements and those a browser closes when the
// next of their kind (or a sibling kind) starts.
bool never_nests(std::string_view name) {
  static constexpr std::string_view kFlat[] = {
      "area",  "base",     "basefont", "bgsound",  "br",   "col",   "embed",  "frame", "hr",
      "img",   "input",    "keygen",   "link",     "meta", "param", "source", "track", "wbr",
      "p",     "li",       "dt",       "dd",       "td",   "th",    "tr",     "tbody", "thead",
      "tfoot", "colgroup", "option",   "optgroup", "rb",   "rt",    "rp",     "rtc",   "!doctype"};
  for (const std::string_view flat : kFlat) {
    if (name == flat) return true;
  }
  return false;
}

}  // namespace

std::size_t nesting_estimate(std::string_view page) {
  std::size_t depth = 0, deepest = 0;
  std::size_t foreign = 0;  // open svg and math elements, where "/>" closes an element
  std::size_t i = page.find('<');
  while (i != std::string_view::npos && i + 1 < page.size()) {
    if (page.substr(i, 4) == "<!--") {
      const std::size_t end = page.find("-->", i + 4);
      if (end == std::string_view::npos) break;
      i = page.find('<', end + 3);
      continue;
    }
    const bool closing = page[i + 1] == '/';
    std::size_t n = i + (closing ? 2 : 1);
    const std::size_t name_start = n;
    while (n < page.size() && page[n] != '>' && page[n] != '/' && !is_blank(page[n])) ++n;
    const std::string name = ascii_lower(page.substr(name_start, n - name_start));
    const bool tag = !name.empty() && ((name[0] >= 'a' && name[0] <= 'z') || name[0] == '!');
    const bool svg_or_math = name == "svg" || name == "math";
    if (tag && !never_nests(name)) {
      if (closing) {
        if (depth > 0) --depth;
        if (svg_or_math && foreign > 0) --foreign;
      } else {
        // "<div/>" opens a div like "<div>"; only in SVG and MathML does
        // "/>" close the element.
        const std::size_t gt = page.find('>', n);
        const bool self_closed =
            (foreign > 0 || svg_or_math) && gt != std::string_view::npos && page[gt - 1] == '/';
        if (!self_closed) {
          deepest = std::max(deepest, ++depth);
          if (svg_or_math) ++foreign;
        }
        if (name == "script" || name == "style" || name == "textarea" || name == "title" ||
            name == "xmp" || name == "plaintext") {
          // Raw text: nothing in it is a tag, up to its end tag.
          std::size_t end = n;
          while ((end = page.find("</", end)) != std::string_view::npos &&
                 ascii_lower(page.substr(end + 2, name.size())) != name) {
            end += 2;
          }
          if (end == std::string_view::npos) break;
          i = end;
          continue;
        }
      }
    }
    i = page.find('<', n);
  }
  return deepest;
}

std::string shown_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool blank = false;
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
    if (blank && !out.empty()) out += ' ';
    blank = false;
    out += static_cast<char>(c);
  }
  return out;
}

struct HtmlDocument::Impl {
  GumboOptions options = kGumboDefaultOptions;
  std::string page;  // the parser's nodes point into it
  GumboOutput* output = nullptr;
  const GumboNode* body = nullptr;
  bool too_deep = false;

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
          const std::string_view text = n->v.text.text;
          if (!is_run(text)) return;
          const bool first = !runs_at_start.empty() && runs_at_start.back() == runs;
          ++runs;
          if (first && hidden == 0 && n->parent && n->parent->type == GUMBO_NODE_ELEMENT &&
              shown_text(text) == wanted) {
            found.push_back(n->parent);
          }
        });
    return found;
  }
};

HtmlDocument::HtmlDocument(std::string_view page) : m_impl(std::make_unique<Impl>()) {
  // Errors are not kept: a broken page would only fill a list nobody reads.
  m_impl->options.max_errors = 0;
  if (nesting_estimate(page) > kMaxNesting) {
    m_impl->too_deep = true;
    return;
  }
  m_impl->page.assign(page);
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

bool HtmlDocument::too_deep() const {
  return m_impl->too_deep;
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
  serialize(m_impl->body, result.body_html, target, &begin, &end);
  result.element_html = result.body_html.substr(begin, end - begin);
  result.offset = begin;
  result.tag = tag_name(target->v.element);
  return result;
}

std::string HtmlDocument::body_html() const {
  std::string out;
  if (m_impl->body) serialize(m_impl->body, out);
  return out;
}

}  // namespace quillo::html
