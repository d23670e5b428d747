// The product site's document ("site.xml" at the site's address): the
// definitions version the site announces, where the newer definitions file
// lies (relative to the site's address), and the library of model
// workbooks offered in the "Financial Templates" menu.
//
//   <site>
//     <definitions version="2026.2.1" path="definitions/ds-2026.2.1.xml"/>
//     <library>
//       <folder caption="Valuation">
//         <model name="dcf.xlsx">Discounted cash flow</model>
//       </folder>
//       <model name="portfolio.xlsx">Portfolio tracker</model>
//     </library>
//   </site>
//
// Both elements are optional: a site without <definitions> announces no
// version, one without <library> offers no models. The library's element
// children are read as written (their order, element names, the "caption"
// and "name" attributes and their text); what they mean is the model
// library's business.
//
// A parser: it takes the whole text and does no I/O. Any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillo {

// The largest site document read; a longer answer is not a site document.
inline constexpr std::size_t kMaxSiteDocument = 1024 * 1024;

// One element child of the library (or of one of its children).
struct LibraryElement {
  std::string element;                   // the element's name ("folder", "model", ...)
  std::string caption;                   // its "caption" attribute
  std::string name;                      // its "name" attribute
  std::string text;                      // its own text, blanks around it removed
  std::vector<LibraryElement> children;  // element children, one level deep
};

struct SiteDocument {
  std::optional<std::string> definitions_version;
  std::string definitions_path;
  bool has_library = false;
  std::vector<LibraryElement> library;  // in document order
};

// The document, or nullopt with *error (when given) saying why: not
// well-formed, too long, or its root is not <site>.
std::optional<SiteDocument> site_document_parse(std::string_view xml, std::string* error = nullptr);

}  // namespace quillo
