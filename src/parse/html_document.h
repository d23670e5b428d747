// HtmlDocument: a web page parsed as a browser parses it, for the headless
// creation of web links. The link wizard was written against a browser: it
// is handed the outer HTML of the page's body and of the element the user
// selected a value in. This class finds that element for a value given as
// text and serializes both the way a browser's outerHTML does, so the
// wizard gets the same texts it would get from a browser.
//
// Parsing follows the HTML5 tree-building rules (libgumbo): table sections
// a page leaves out are implied (tbody), unclosed p, li and td elements are
// closed where a browser closes them, misnested formatting tags are
// repaired and character references are decoded. Serialization writes tag
// names in lower case (SVG names in their mixed case), attribute values in
// double quotes with &, ", <, > and the non-breaking space escaped, text
// with &, <, > and the non-breaking space escaped, the text of script,
// style and the other raw-text elements as it is, comments as <!--...-->,
// and void elements (br, img, input...) without an end tag.
//
// Which element holds a value: the value is compared with the page's text
// as a reader sees it - character references decoded, every run of blanks
// (space, tab, line breaks, the non-breaking space) read as one space,
// blanks at the ends dropped, letter case significant. An element holds the
// value when one of its own text children reads as the value and is the
// first text run of the element (the first text, in document order, of the
// element and its descendants, other than line breaks and tabs). That is
// the element a browser names as the parent of a selection of that text,
// and its first text run is what the wizard reads back as the value. Text
// inside script, style, template, textarea, noscript and the other
// elements a browser does not show as page text, and attribute values,
// never hold a value. Only the body is searched.
//
// This file is the only one that includes the parser. No I/O; nothing
// throws for bad input (any text parses to some tree; bytes that are not
// UTF-8 read as U+FFFD). Any thread may use its own instance.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quillo::html {

// The element found for a value, as a browser would give it.
struct FoundElement {
  std::string body_html;     // outer HTML of the document's body
  std::string element_html;  // outer HTML of the element holding the value
  std::size_t offset = 0;    // where element_html starts in body_html (0-based byte)
  std::string tag;           // the element's tag name ("td")
};

// Bounds on the pages that are parsed. The tree a page builds takes time
// and memory that a hostile page can drive up out of all proportion to its
// size; these keep both in proportion to the page, and a page beyond them
// is refused before it is parsed.
//
// How deep a page may nest its elements. The HTML5 tree-building rules
// look through the open elements at every tag, so the parse takes time that
// grows with the square of the depth: 100,000 unclosed <div> tags take
// minutes. Browsers stop nesting at a few hundred levels.
inline constexpr std::size_t kMaxNesting = 4096;
// How many tags (start and end tags, comments) a page may have: each
// becomes a node of the tree (a few hundred bytes with its text), so this
// bounds the tree at about 200 MB. Big real pages have some 100,000.
inline constexpr std::size_t kMaxTags = 500000;
// Attributes are kept up to this many per tag and the rest dropped before
// parsing (the parser checks each new attribute against all the tag's
// earlier ones, so a tag with 200,000 attributes would take minutes); links
// use tag names only. At most kMaxAttributes are kept in all.
inline constexpr std::size_t kMaxAttributesPerTag = 32;
inline constexpr std::size_t kMaxAttributes = 500000;

// What one linear scan of a page's tags finds, before any tree is built.
struct PageShape {
  // How deep the tree building nests the elements, followed through the
  // stack of open elements as the HTML5 rules keep it: an end tag closes
  // only an element that is open (and in scope), void elements and the
  // elements closed by the next of their kind (p, li, td...) are followed
  // as those rules close them; text of scripts, styles and comments does
  // not count. An estimate: misnested formatting elements are counted as
  // staying open.
  std::size_t depth = 0;
  std::size_t tags = 0;        // start and end tags, comments (counting stops past kMaxTags)
  std::size_t attributes = 0;  // attributes of start tags, as kept
  bool trimmed = false;        // attributes past kMaxAttributesPerTag were dropped
};

// Scans the page. When trimmed is given and a tag has more than
// kMaxAttributesPerTag attributes, it receives the page without them.
PageShape page_shape(std::string_view page, std::string* trimmed = nullptr);
// page_shape(page).depth.
std::size_t nesting_estimate(std::string_view page);

// Why a page was not parsed.
enum class PageRefusal { None, TooDeep, TooManyTags, TooManyAttributes };

class HtmlDocument {
 public:
  // Parses a whole page given in UTF-8. A page beyond the bounds above (by
  // page_shape) is not parsed and reads as an empty page without a body
  // (refusal() tells why). Long runs of plain text are handed to the parser
  // as short stand-ins and put back wherever text is read, which parses a
  // page of long paragraphs several times faster in far less memory;
  // fold_text false parses every character (the same tree, for
  // comparisons). The document keeps no reference to page.
  explicit HtmlDocument(std::string_view page, bool fold_text = true);
  ~HtmlDocument();
  HtmlDocument(const HtmlDocument&) = delete;
  HtmlDocument& operator=(const HtmlDocument&) = delete;

  // False for a page without a body (a frameset page, or one too deep).
  bool has_body() const;
  // The page was not parsed: it nests deeper than kMaxNesting.
  bool too_deep() const { return refusal() == PageRefusal::TooDeep; }
  PageRefusal refusal() const;
  // How many elements of the body hold the value.
  std::size_t count(std::string_view value) const;
  // The occurrence-th element (1-based, document order) holding the value;
  // nullopt when there are fewer (or occurrence is 0).
  std::optional<FoundElement> find(std::string_view value, std::size_t occurrence) const;
  // The body's outer HTML; empty without a body.
  std::string body_html() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// A text as a reader sees it: runs of blanks (space, tab, line feed,
// carriage return, form feed, U+00A0) as one space, none at the ends.
std::string shown_text(std::string_view text);

}  // namespace quillo::html
