// The web-parse definitions: which data sources exist, the categories of
// data each offers, the address of each category's page, the parameters a
// user may set, and for each field where its value sits in the page and how
// its text is converted. The code holds no source-specific knowledge; a new
// source or field is an edit of the definitions file (ds.xml).
//
// Definitions::load reads the file once into plain records (texts exactly
// as written, blanks kept, entities decoded). Lookups compare codes and
// names without regard to letter case. Read-only after loading: any thread
// may read a loaded Definitions.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/value.h"
#include "parse/clsparse.h"
#include "parse/datarequest.h"

namespace quillo {

struct EnumValue {
  std::string displayname;
  std::string value;
};

struct Parameter {
  std::string name;
  std::string urlkey;
  std::string defaultvalue;
  std::vector<EnumValue> enumvalues;
  // secret="1": the value is a credential (an access key, a token); it is
  // sent, but never kept in the record of where a cell's value came from.
  bool secret = false;
};

// What the page parse and the reading of a field's value (request_value)
// use of its texts, worked out once when the definitions load (plan_field)
// rather than for every page and every cell: the numbers as text::to_int32
// reads them (nullopt where the text is no number), and which of the words
// they compare the texts hold.
struct FieldPlan {
  enum class Kind : std::uint8_t { Other, Single, TableCell };
  bool resolved = false;                     // false: made by hand, the parse plans it itself
  Kind kind = Kind::Other;                   // type "single" or "tablecell"
  bool row_label = false;                    // rowtype "Fixedstring"
  std::uint8_t parseasvalue = 0;             // 1 or 2 for the texts "1" and "2"
  bool figureconvert = false;                // figureconvert "1"
  std::int8_t step1 = -1, step2 = -1;        // function and function1 (value_convert.h)
  bool structured = false;                   // type "json" or "csv"
  bool col_fixed = false;                    // coltype "Fixednumeric"
  bool scaleable = false;                    // scaleable "1"
  std::optional<std::int32_t> id;            // id
  std::optional<std::int32_t> table;         // tablenumber, empty read as 0
  std::optional<std::int32_t> col, row;      // colvalue, rowvalue when "Fixednumeric", else 0
  std::optional<std::int32_t> coloffset;     // empty read as 0
  std::optional<std::int32_t> rowoffset;     // empty read as 0
  std::optional<std::int32_t> headercolumn;  // empty read as 1
  // The searches of its markers prepared (text::ci_needle): ref1 to ref3
  // of a single field, rowvalue of a row found by its label.
  text::CiNeedle ref1, ref2, ref3, label;
  std::uint64_t label_bits = 0;  // cls_parsetable::label_bits(rowvalue)
};

// A field element. Attributes absent from the file read as empty texts;
// the ref texts are those of the field's first ref1/ref2/ref3 elements.
struct FieldDef {
  std::string id, name, type;
  std::string tablenumber, tablestarttag, tableendtag;
  std::string coltype, colvalue, coloffset, rowoffset, headercolumn, rowtype, rowvalue;
  std::string scaleable;
  std::string parseasvalue, function, fparam11, fparam12, function1, fparam21, fparam22;
  std::string figureconvert;
  std::optional<std::string> ref1, ref2, ref3;
  // Fields of JSON and CSV answers (structured_answer.h): the JSON Pointer
  // of the value and, reading a row across, of each element's value; the
  // CSV column by header, the key column and the key its row holds.
  std::string pointer, member, column, keycolumn, key;
  // The separators its figures are written with: the field's decimal and
  // group attributes, else its source's, else "." and ",".
  FigureFormat figures;
  // Set by the loader from the texts above; a field changed after loading
  // is planned again with plan_field.
  FieldPlan plan;
};

// The plan of a field's texts (resolved set).
FieldPlan plan_field(const FieldDef& field);
// The field's plan: the one kept, or for a field made by hand one made now
// in local (left unmade for a loaded field: a plan is some two hundred
// bytes to set up, read for every field of every page).
inline const FieldPlan& plan_of(const FieldDef& field, std::optional<FieldPlan>& local) {
  if (field.plan.resolved) return field.plan;
  return local.emplace(plan_field(field));
}

// The order the page parse reads a category's fields in, worked out from
// the fields once when the definitions load (plan_page) rather than for
// every page: which fields are read between markers, which tables are cut
// and parsed, and the fields read from each. A field whose id was stored
// before by an earlier step is no step of its own; what is stored depends
// only on the definitions, never on the page.
struct PageStep {
  std::uint32_t field = 0;           // the single field, or the field that names the table
  bool table = false;                // a table cut and parsed, else a single field
  bool same_lead = false;            // single: its lead marker is the previous single's
  std::uint32_t begin = 0, end = 0;  // table: its fields are members[begin..end)
};
struct PagePlan {
  bool resolved = false;        // false: made by hand, the parse plans it itself
  std::size_t field_count = 0;  // the number of fields it was made for
  std::vector<PageStep> steps;
  std::vector<std::uint32_t> members;  // indices of the fields of the tables, by step
};

struct Category {
  std::string code;
  std::string name;
  std::optional<std::string> url;        // text of the first url element
  std::optional<std::string> updatefrq;  // text of the first updatefrq element
  std::optional<std::string> invalidrequest;
  // What the answer is: the answer attribute, "json", "csv", or empty for a
  // page (HTML or text); separator: a CSV answer's field separator.
  std::string answer, separator;
  std::vector<Parameter> parameters;  // in document order
  std::vector<FieldDef> fields;       // in document order
  PagePlan page_plan;                 // of fields, set by the loader

  // The update frequency class as a 16-bit integer; nullopt when the
  // element is missing or not a number.
  std::optional<std::int16_t> updatefrq_value() const;
};

// The plan of a page category's fields (resolved set).
PagePlan plan_page(const std::vector<FieldDef>& fields);
// The category's plan: the one kept when it was made for these fields, or
// one made now in local.
inline const PagePlan& page_plan_of(const Category& category, PagePlan& local) {
  if (category.page_plan.resolved && category.page_plan.field_count == category.fields.size()) {
    return category.page_plan;
  }
  local = plan_page(category.fields);
  return local;
}

struct SearchDef {
  std::string url, noresults, tablenumber, namecolumn, symbolcolumn, exchangecolumn;
};

struct DataSource {
  std::string code;
  std::string name;
  std::optional<std::string> max_requests_allowed;
  std::optional<SearchDef> search;
  FigureFormat figures;  // the source's decimal and group attributes
  std::vector<Category> categories;

  // How many requests of this source may be in flight at once; nullopt
  // when the element is missing or not a number.
  std::optional<std::int32_t> max_requests_value() const;
  // The limit the request manager uses: max_requests_value when it is 1 or
  // more, else 1, so that no source's requests wait for ever.
  std::int32_t max_requests_or_default() const;
};

// The parameter values chosen for one call of a single-data-item function.
struct ParameterChoice {
  std::vector<std::string> names;    // in the category's order
  std::vector<std::string> urlkeys;  // parallel to names
  std::vector<std::string> values;   // parallel to names
  double units = 0;                  // divisor for scaleable fields; 0: none
};

// The text every load error starts with.
inline constexpr std::string_view kLoadErrorText = "Error during load of xml";

// A line and column (both from 1; columns count characters) in a text.
struct TextPosition {
  std::size_t line = 1;
  std::size_t column = 1;
};
TextPosition text_position(std::string_view text, std::size_t offset);
// The name of the innermost element open at a byte offset of an XML text;
// empty outside every element.
std::string element_at(std::string_view xml, std::size_t offset);

class Definitions {
 public:
  // Reads and checks the definitions file. On failure answers false, keeps
  // nothing (no version, no sources) and sets error() to "Error during load
  // of xml: " followed by where and why, such as
  // "Error during load of xml: ds.xml:42:7: Start-end tags mismatch (in
  // element <field>)". A successful load runs the set-up hook (the request
  // manager takes its channels from it). name is the file named in errors.
  bool definitions_loadfile(const std::string& path);
  bool load_text(std::string_view xml, std::string_view name = "ds.xml");

  // Called with the loaded definitions after every successful load.
  void set_on_loaded(std::function<void(const Definitions&)> hook) {
    m_on_loaded = std::move(hook);
  }

  bool loaded() const { return m_loaded; }
  // Counts the loads (and failed loads) so far: what a caller kept of the
  // data sources (a pointer, a lookup's answer) holds while it is unchanged.
  std::uint64_t generation() const { return m_generation; }
  const std::string& error() const { return m_error; }
  const std::string& version() const { return m_version; }
  const std::vector<DataSource>& datasources() const { return m_sources; }

  const DataSource* datasource_find(std::string_view code) const;

  // False when the page holds the invalid-request marker of the request's
  // category (letter case ignored).
  bool response_isvalid(const datarequest& request, std::string_view response) const;

 private:
  bool fail(std::string reason);
  bool fail_at(std::string_view xml, std::size_t offset, std::string_view name,
               const std::string& reason);

  bool m_loaded = false;
  std::uint64_t m_generation = 0;
  std::string m_error;
  std::string m_version;
  std::vector<DataSource> m_sources;
  std::function<void(const Definitions&)> m_on_loaded;
};

const Category* category_find(const DataSource& source, std::string_view code);
// The first field whose name, right-trimmed, equals name (letter case ignored).
const FieldDef* field_find(const Category& category, std::string_view name);

// Chooses each parameter's value for a call with this instrument and option
// list (options[1..], alternating names and values; options[0] unused):
// "instrument id" takes the instrument; a parameter named in the options
// takes the value of the enumeration entry whose display name matches the
// option's value (the last such match wins); otherwise its default. The
// "units" parameter's value also becomes the divisor. nullopt, with a
// reason, when the option list ends in a parameter name without a value or
// the units value is not a number.
std::optional<ParameterChoice> parameters_choose(const Category& category, std::string_view inst,
                                                 std::span<const Value> options,
                                                 std::string* reason = nullptr);

// The value of one field of a loaded request: "#N/A" when the answer had no
// row for the field; the selector parameter named by the field's colvalue
// picks the slot of a table row; scaleable fields are divided by units.
// nullopt when the field id is not a number or the selector has no value
// from 1 to 8 (the worksheet function then fails).
std::optional<Value> request_value(const datarequest& request, const FieldDef& field,
                                   const ParameterChoice& params);

}  // namespace quillo
