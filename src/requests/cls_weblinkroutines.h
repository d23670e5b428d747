// Web links: values the user marked once on a web page, re-read from every
// fresh copy of that page by the `wlink` worksheet function.
//
// A link is stored on the workbook's "weblinks_data" sheet (one row per
// link: name, page address, references, start marker, end marker, and,
// when the link names them, the decimal and the group separator of its
// figures; rows without them read figures as they always did). Its
// first evaluation copies the row into the `links` table, keyed by the
// workbook's name, "_" and the link name, so equal names in two workbooks are
// two links. The page is fetched through the request registry as a request
// of kind 3 ("weblink_" + address); links on the same page share it, and
// every answer re-reads the value of each of them (wlinkparse).
//
// Loop thread only. wlink registers cells and sends requests but never
// writes cells; wlinkparse only updates link records. Neither keeps a
// reference into a table across a call that may evaluate formulas.
// Worksheet entry points answer values (status texts), never throw.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/value.h"
#include "host/worksheet.h"
#include "parse/link_text.h"
#include "requests/dispatch.h"
#include "requests/registry.h"

namespace quillo {

// The sheet that stores a workbook's links, and what is in front of a
// page address in the URL of its request.
inline constexpr std::string_view kLinkSheet = "weblinks_data";
inline constexpr std::string_view kLinkRequestPrefix = "weblink_";

// One loaded link.
struct weblink {
  std::string name;  // workbook name + "_" + link name
  std::string url;   // the page address
  std::string references;
  std::string startmarker;
  std::string endmarker;
  LinkSeparators separators;  // how its figures are written
  std::int32_t reqno = 0;     // the request that fetches the page
  Value value;                // the last value found; empty until the first answer
};

// The `links` table: numbered from 1, grown one link at a time, never
// shrunk, so a number once given out stays valid for the add-in's life.
class LinkTable {
 public:
  // Appends a link and returns its number.
  std::int32_t add(weblink link);
  bool contains(std::int32_t num) const {
    return num >= 1 && static_cast<std::size_t>(num) <= m_links.size();
  }
  weblink& at(std::int32_t num) { return m_links.at(static_cast<std::size_t>(num - 1)); }
  const weblink& at(std::int32_t num) const {
    return m_links.at(static_cast<std::size_t>(num - 1));
  }
  // The highest number given out, 0 when the table is empty.
  std::int32_t upper_bound() const { return static_cast<std::int32_t>(m_links.size()); }
  // The number of the first link named exactly key, 0 when none.
  std::int32_t find(std::string_view key) const;

 private:
  std::vector<weblink> m_links;
  std::unordered_map<std::string, std::int32_t> m_first_by_name;
};

// The rows of a link store sheet from row 1 down to the last before the
// first row whose column 1 is empty. Fails when the sheet cannot be read.
Result<std::vector<LinkRow>> link_rows(const host::Worksheet& sheet);
// The 1-based index of the last row named exactly name, 0 when none: of
// two rows of one name the lower is the link, wherever a link is loaded.
std::size_t last_row_named(const std::vector<LinkRow>& rows, std::string_view name);
// Copies a stored row into a loaded link.
void link_from_row(weblink& link, const LinkRow& row);

// A page made ready for reading links: from its body's start tag on,
// upper-cased, table sections removed (references and markers are taken
// from the same form). Done where the page lies.
std::string link_page(std::string page);
// The preparation of link_page but for the cut at the body, in place:
// upper-cased, the table section tags (<TBODY>, </THEAD>...) removed one
// kind after the other. When mark is given (a place in html), it becomes the
// length that the text in front of it has after the same preparation of that
// text alone.
void prepare_link_text(std::string& html, std::size_t* mark = nullptr);
// The value a link's references and markers cut out of a prepared page,
// decoded as wlink shows it; "#N/A" when any of them is not there. Tag
// names match whole tag names only ("<B" is not "<BR").
std::string link_value(std::string_view prepared, std::string_view references,
                       std::string_view startmarker, std::string_view endmarker);

class cls_weblinkroutines {
 public:
  cls_weblinkroutines(LinkTable& links, RequestRegistry& registry, RequestDispatch& dispatch,
                      const ErrorPolicy& policy)
      : m_links(links), m_registry(registry), m_dispatch(dispatch), m_policy(policy) {}

  // The number of the first link whose name is exactly key; 0 when none.
  std::int32_t getlinknum(std::string_view key) const { return m_links.find(key); }
  // A proposal for a new link's name: "weblink_" and one more than the
  // number after "weblink_" in the last link whose name holds that text.
  std::string generate_name() const;
  // Appends a link named key and returns its number.
  std::int32_t link_create(std::string key);
  // The link's value, as a number when it reads as one (with the link's
  // separators).
  Value getvalue(std::int32_t num) const;
  // Re-reads, from a new copy of the page, the value of every link fed by
  // request reqno.
  void wlinkparse(std::string_view page, std::int32_t reqno);

  // The worksheet function: the value of the workbook's link called name,
  // for the calling cell fcaller (a range).
  Value wlink(const Value& name, const Value& fcaller);

  LinkTable& links() { return m_links; }

 private:
  // Loads the link's row from the workbook's store sheet; 0 when it is not there.
  std::int32_t link_load(const host::Workbook& book, const std::string& name,
                         const std::string& key);

  LinkTable& m_links;
  RequestRegistry& m_registry;
  RequestDispatch& m_dispatch;
  const ErrorPolicy& m_policy;
};

}  // namespace quillo
