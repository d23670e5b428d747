// Inside the xlsx reader and writer: the archive (zip.cpp, the only
// file that knows libzip), package-level helpers for relationships, content
// types and styles (package.cpp), and the state a loaded file keeps for
// its next save. Not for use outside the xlsx code.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <pugixml.hpp>

#include "common/status.h"
#include "xlsx/xlsx.h"

namespace quillo::spreadsheet {

// A formula kept as the file wrote it (see xlsx.h).
struct XlsxKeptFormula {
  std::vector<std::pair<std::string, std::string>> attributes;  // of <f>
  std::string text;
  Value cached;
  std::string reason;  // why quillo cannot read it
  bool shared_master = false;
  std::string shared_index;  // si of a shared formula, "" otherwise
};

// A formula the model holds as the file wrote it, so a save writes the
// formula again byte for byte (spaces, line breaks, "1E+3", "_xlfn."
// prefixes, calls through external links "[1]!fsingle(...)") while the
// model's formula at the cell still means the same; a formula edited into
// something else is written anew. A cell finds its record through
// FormulaState::source (the record's index + 1). The cells of a shared
// formula all name the master's record; the master is written with its
// attributes and text, the other cells as references to it while it is.
struct XlsxFormulaSource {
  FormulaPtr formula;  // the formula the model was given, at the master for a shared one
  std::size_t at = 0;  // where the <f> attributes, then its text, start in XlsxFile::texts
  std::uint32_t attributes = 0;  // length of the attributes, as written (' t="shared" si="0"')
  std::uint32_t text = 0;        // length of the text, unescaped
  std::int32_t master_row = 0;   // a shared formula's master cell; 0 for other formulas
  std::int32_t master_col = 0;
  std::uint32_t shared_index = 0;  // si of a shared formula
};

// A defined name as the file held it: a save leaves its element alone
// while the model's name still reads model_text.
struct XlsxName {
  std::string name;
  SheetId scope = 0;
  std::string model_text;
};

namespace xlsx {

// What a save keeps of a sheet part of the file besides its cells: each
// row's attributes but its number and spans, each cell's style (s) where
// not 0, where the elements a save replaces lie and, when they are small,
// the part's bytes around its <sheetData>. Gathered as the part is read
// (SheetScanner), at load or else at the save.
struct SheetLayout {
  struct Row {
    std::int32_t row = 0;
    std::size_t attributes_at = 0;  // in attributes, written as ' name="value"'
    std::size_t attributes_size = 0;
  };
  struct Styled {  // cells c1..c2 of a row with one style
    std::int32_t row = 0;
    std::int32_t c1 = 0, c2 = 0;
    std::uint32_t style = 0;
  };
  struct Span {
    std::uint64_t begin = 0, end = 0;
    bool found = false;
  };

  // Listings of rows, in the order of their rows (stable: a later listing
  // of a row comes after an earlier one). A listing with cells and no
  // attributes, which a save writes as it would without it, is left out
  // when no listing of the row can come before it.
  std::vector<Row> rows;
  std::vector<Styled> styled;  // in the order of their rows, also stable
  Span data, dimension;        // the first <sheetData> and <dimension>
  // The first <cols> and its columns, which a save writes again when the
  // user set widths (look.cpp).
  struct Col {
    std::int32_t min = 0, max = 0;
    std::vector<std::pair<std::string, std::string>> attributes;  // all, as written
  };
  Span cols;
  std::string cols_qualified;
  std::vector<Col> col_list;
  // What the part shows (sizes, merges, panes; not the cells' styles,
  // which are in styled): the load hands it to the model.
  SheetLook look;
  std::string data_prefix;  // the element prefix of <sheetData>
  std::string dimension_qualified;
  std::string root_prefix;
  std::uint64_t insert_at = 0;  // where a new <sheetData> goes when the part has none
  std::string attributes;       // of the rows
  // The part's bytes before the <sheetData> (or where a missing one goes)
  // and after it, when they are small: a save takes them from here rather
  // than inflating the part again.
  bool around = false;
  std::string head, tail;

  std::string_view row_attributes(const Row& r) const {
    return std::string_view(attributes).substr(r.attributes_at, r.attributes_size);
  }
  // Where the cut for the rows begins and ends.
  std::uint64_t data_begin() const { return data.found ? data.begin : insert_at; }
  std::uint64_t data_end() const { return data.found ? data.end : insert_at; }
};

}  // namespace xlsx

struct XlsxSheetPart {
  SheetId sheet = 0;
  std::string part;    // "xl/worksheets/sheet1.xml"
  std::string rel_id;  // in the workbook's relationships
  // Of the part as loaded, for the first save; null after a save, whose
  // part the next save reads again.
  std::shared_ptr<const xlsx::SheetLayout> layout;
};

struct XlsxFile {
  std::shared_ptr<host::FileSystem> files;   // reads and writes the file; null: the platform's
  std::shared_ptr<const std::string> bytes;  // the package as last loaded or saved
  // Why the package a save wrote could not be read back; while set, saving
  // again is refused rather than writing a package without its other parts.
  std::string unread_after_save;
  // The package the last save put in place, as it wrote it.
  std::optional<WrittenVersion> written;
  // Asked just before a save puts its package in place: false when the file
  // there is no longer the one its host last read or wrote (another program
  // saved it meanwhile), and the save then puts nothing in place. Unset: no
  // check.
  std::function<bool()> still_in_place;
  XlsxLimits limits;
  std::string workbook_part;  // "xl/workbook.xml"
  bool date1904 = false;
  std::vector<XlsxSheetPart> sheets;
  // Sheets of the file (name, relationship id) left out because an earlier
  // sheet has their part; a save removes them from the workbook part.
  std::vector<std::pair<std::string, std::string>> duplicate_sheets;
  std::map<std::tuple<SheetId, std::int32_t, std::int32_t>, XlsxKeptFormula> kept;
  std::vector<XlsxFormulaSource> sources;
  std::string texts;  // the attributes and texts of the sources, one after the other
  // The sheets' names when the sources were read: after a rename, formulas
  // naming the sheet are written anew.
  std::map<SheetId, std::string> source_sheet_names;
  std::vector<XlsxName> names;
  // The cell metadata index ("cm", a dynamic array's marker) of formula
  // cells that had one; written back while the cell holds an array formula.
  std::map<std::tuple<SheetId, std::int32_t, std::int32_t>, std::string> cell_metadata;
};

namespace xlsx {

inline constexpr std::string_view kMainNs =
    "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
inline constexpr std::string_view kRelNs =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
inline constexpr std::string_view kPackageRelNs =
    "http://schemas.openxmlformats.org/package/2006/relationships";
inline constexpr std::string_view kRelWorksheet =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet";
inline constexpr std::string_view kRelSharedStrings =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings";
inline constexpr std::string_view kRelStyles =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles";
inline constexpr std::string_view kRelOfficeDocument =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument";
inline constexpr std::string_view kCtWorksheet =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml";
inline constexpr std::string_view kCtSharedStrings =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml";
inline constexpr std::string_view kCtStyles =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml";

// ---- the archive (zip.cpp) ----

// Reads the parts of a package held in memory, within the limits.
class ZipReader {
 public:
  static Result<std::unique_ptr<ZipReader>> open(std::shared_ptr<const std::string> bytes,
                                                 const XlsxLimits& limits);
  ~ZipReader();
  bool has(std::string_view name) const;
  // The uncompressed part; fails when it is missing, damaged or too large.
  Result<std::string> read(std::string_view name);
  // The same, handed to sink piece by piece as it inflates (64 KB at a
  // time), so a large part is never held whole; the part's size is bounded
  // by max_sheet_part_bytes rather than max_part_bytes. A failure of sink
  // stops the reading and is answered.
  Status read_chunks(std::string_view name, const std::function<Status(std::string_view)>& sink);

 private:
  struct Impl;
  explicit ZipReader(std::unique_ptr<Impl> impl);
  Status inflate(std::string_view name, const std::function<Status(std::string_view)>& sink,
                 std::uint64_t max_bytes);
  std::unique_ptr<Impl> m_impl;
};

// The changes a save makes to a package: parts written (added or replaced),
// from memory (put) or from an archive of one entry that holds the part
// deflated already (put_deflated: part -> path, see DeflatedPart; copied
// without inflating), and parts removed.
// Everything else is copied as it is stored.
struct ZipEdit {
  std::map<std::string, std::string> put;
  std::map<std::string, std::string> put_deflated;
  std::set<std::string> remove;
};

// A large part deflated on a second thread while it is written: append
// hands pieces to a bounded queue, and a worker adds them to an archive of
// one entry at path, deflating as they arrive. A save that makes a sheet
// part and deflates it takes about as long as the longer of the two rather
// than both. The writer waits when the worker is more than a few pieces
// behind, so memory stays bounded whatever the part's size. A part that
// reaches 256 KB is deflated at zlib's fastest level, a smaller one at
// level 5 (zip.cpp says why).
class DeflatedPart {
 public:
  explicit DeflatedPart(std::string path);
  ~DeflatedPart();  // abandons an unfinished part
  DeflatedPart(const DeflatedPart&) = delete;
  DeflatedPart& operator=(const DeflatedPart&) = delete;

  // The next piece; fails once the worker has failed.
  Status append(std::string piece);
  // The end of the part: waits for the worker, and answers whether the
  // archive at path holds the whole part.
  Status finish();

 private:
  struct Queue;
  std::string m_path;
  std::shared_ptr<Queue> m_queue;
};

// Writes base (null: an empty archive) with edit applied to path, through
// a replacement that files prepares beside it and puts in place atomically.
// On failure path is untouched and the temporary file removed.
Status write_zip_atomic(host::FileSystem& files, const std::string* base, const ZipEdit& edit,
                        const std::string& path);
// The same into the temporary file tmp of a replacement the caller began
// (and commits), which exists and is empty.
Status write_zip(const std::string* base, const ZipEdit& edit, const std::string& tmp);

// ---- XML read as it goes by (xml_stream.cpp, the only file that knows expat) ----

// What an XmlStream reports. Names are the element's local name (without
// its prefix) and, for a prefix, the qualified name; attribute names are
// as written ("r", "xml:space"). Texts come in pieces, entities and CDATA
// already decoded. A handler that finds bad input calls XmlStream::stop.
class XmlHandler {
 public:
  virtual ~XmlHandler() = default;
  virtual void start(std::string_view local, std::string_view qualified,
                     const char* const* attributes) = 0;  // name, value, ..., null
  virtual void end(std::string_view local) = 0;
  virtual void text(std::string_view piece) = 0;
};

// A part parsed as it is fed, without building a tree: memory stays what
// the handler keeps. Document type declarations are refused (they are no
// part of a package and could define entities that expand without bound).
class XmlStream {
 public:
  XmlStream(std::string_view part, XmlHandler& handler);
  ~XmlStream();
  XmlStream(const XmlStream&) = delete;
  XmlStream& operator=(const XmlStream&) = delete;

  // Parses the next piece; last after the final one. Fails with the part
  // name, the parser's description and the offset, or with what a handler
  // gave to stop.
  Status feed(std::string_view chunk, bool last);
  // Stops the parse from a handler; feed answers why.
  void stop(Status why);
  // Where the event being reported starts in the part, and its length in
  // bytes (0 for the end of an element written as <x/>).
  std::uint64_t offset() const;
  std::uint64_t length() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// ---- XML and package helpers (package.cpp) ----

// Parses a part, keeping white space (cell texts may be blanks). Fails with
// the part name, the parser's description and the offset; also when the
// root element is not root_local (ignoring any prefix).
Status parse_part(pugi::xml_document& doc, std::string_view part, std::string_view xml,
                  std::string_view root_local);
std::string serialize(const pugi::xml_document& doc);

// The element name without its prefix ("x:row" -> "row").
std::string_view local_name(const pugi::xml_node& n);
// The first child element with this local name.
pugi::xml_node child(const pugi::xml_node& parent, std::string_view local);
// The prefix of an element's name with its colon ("x:" or "").
std::string prefix_of(const pugi::xml_node& n);
// The attribute in the relationships namespace with this local name
// ("r:id"), whatever prefix the document bound it to.
pugi::xml_attribute rel_attribute(const pugi::xml_node& n, std::string_view local);

// A part name from a relationship target, relative to the source part
// ("worksheets/sheet1.xml" from "xl/workbook.xml" is "xl/worksheets/sheet1.xml").
std::string resolve_target(std::string_view source_part, std::string_view target);
// The relationships part of a part ("xl/_rels/workbook.xml.rels").
std::string rels_part(std::string_view part);

struct Relationship {
  std::string id;
  std::string type;
  std::string part;    // resolved; empty for external targets
  std::string target;  // as written
};
std::vector<Relationship> read_relationships(const pugi::xml_document& rels,
                                             std::string_view source_part);
// True when a relationship type names this kind (matching the tail after the
// last "/", so the strict namespace matches too).
bool rel_type_is(std::string_view type, std::string_view kind);

// Cell number formats by cell style index, from styles.xml; extends it with
// new styles when a save writes a format a cell did not have.
class StyleTable {
 public:
  // doc may be empty (no styles part): then every style is General.
  void load(pugi::xml_document* doc);
  // The format of a cell style index ("" for General).
  const std::string& format(std::uint32_t xf) const;
  // A style like base but with this number format; adds one when needed.
  std::uint32_t with_format(std::uint32_t base, const std::string& format);
  bool changed() const { return m_changed; }

 private:
  pugi::xml_document* m_doc = nullptr;
  std::vector<std::string> m_formats;             // by cellXfs index
  std::map<std::uint32_t, std::string> m_custom;  // numFmtId -> code
  std::map<std::pair<std::uint32_t, std::string>, std::uint32_t> m_added;
  bool m_changed = false;
};

// The code of a built-in number format id; nullptr when the id is not one.
const char* builtin_format(std::uint32_t id);
// True when a number format shows dates or times.
bool is_date_format(std::string_view format);

// Cell text as the file stores it (text.cpp): "_xHHHH_" escapes for
// characters XML cannot carry (and for \r, which readers would turn into
// \n), "_x005F_" for the underscore of a literal "_xHHHH_"; bytes that are
// not UTF-8 become U+FFFD. Decoding undoes it.
std::string decode_escapes(std::string_view s);
std::string encode_escapes(std::string_view s);
// Appends s as XML character data (or an attribute value): markup
// characters escaped, anything XML cannot carry written as U+FFFD. Texts
// that went through encode_escapes keep every character.
void append_xml_text(std::string& out, std::string_view s, bool attribute);
// True when s is UTF-8 holding only characters XML can carry.
bool xml_safe(std::string_view s);
// The text of a string item (<si> or <is>): plain <t>, or the runs' texts.
std::string string_item_text(const pugi::xml_node& item);

// The shared strings a save writes: the file's own items first (a rich
// text keeps its runs while its cells keep its text), new texts appended.
class SharedStrings {
 public:
  // doc holds the file's shared strings part, or a new empty one.
  void load(pugi::xml_document* doc);
  std::uint32_t index(const std::string& text);
  // Brings the counts up to date; call before serializing the part.
  void finish();

 private:
  pugi::xml_document* m_doc = nullptr;
  std::map<std::string, std::uint32_t> m_index;
  std::uint32_t m_items = 0;
  std::uint64_t m_refs = 0;
};

// What the writing of one sheet part needs from the save.
struct SheetWriteContext {
  const Model& model;
  StyleTable& styles;
  SharedStrings& strings;
  bool date1904 = false;
  const std::map<std::tuple<SheetId, std::int32_t, std::int32_t>, XlsxKeptFormula>* kept;
  // Filled with the kept formulas written again.
  std::set<std::tuple<SheetId, std::int32_t, std::int32_t>>* kept_written;
  std::vector<std::string>* warnings;  // may be null
  const XlsxFile* file = nullptr;      // the formulas' sources; null for a new package
};

// Hands a part's text to sink piece by piece (ZipReader::read_chunks);
// may be called more than once.
using PartSource = std::function<Status(const std::function<Status(std::string_view)>& sink)>;

// Where a part that is written in pieces goes: the next piece, in order.
using PartSink = std::function<Status(std::string piece)>;

// Gathers a sheet part's layout from the events of the stream that parses
// it (attach), alone or beside another handler that passes its events on.
class SheetScanner final : public XmlHandler {
 public:
  // Parts larger around their <sheetData> are read again at a save.
  static constexpr std::size_t kMaxAround = std::size_t{1} << 20;

  void attach(const XmlStream& stream) { m_stream = &stream; }
  void start(std::string_view local, std::string_view qualified,
             const char* const* attributes) override;
  void end(std::string_view local) override;
  void text(std::string_view) override {}
  // After the stream has parsed chunk, the next piece of the part: keeps
  // the bytes around the <sheetData>.
  void took(std::string_view chunk);
  // The layout, once the part has been parsed to its end.
  SheetLayout finish();

 private:
  void start_row(const char* const* attributes);
  void start_cell(const char* const* attributes);
  // The look's parts outside the rows (look.cpp).
  void start_look(std::string_view local, const char* const* attributes);
  void row_look(std::int32_t row, const char* const* attributes);

  const XmlStream* m_stream = nullptr;
  SheetLayout m_layout;
  int m_depth = 0;
  bool m_in_data = false, m_in_row = false;
  bool m_row_cells = false;    // the row being read has cells
  std::int32_t m_highest = 0;  // the highest row listed before this one
  std::uint64_t m_top_start = 0, m_top_start_size = 0;
  std::string m_top_qualified;
  std::string m_top_local;  // the element at depth 2 being read
  int m_views = 0;          // the <sheetView> elements read (only the first one's pane counts)
  std::int32_t m_row = 0, m_col = 0;
  std::uint64_t m_taken = 0;                       // bytes of the part taken so far
  std::uint64_t m_data_begin = ~std::uint64_t{0};  // where <sheetData> starts, once known
  bool m_around = true;  // head and tail still hold the bytes around the rows
};

// The book's cell looks by style index, from styles.xml (look.cpp); empty
// without a styles part.
std::vector<CellLook> read_cell_looks(const pugi::xml_document& styles);

// The <cols> element a save writes for a sheet whose user set widths: the
// file's columns (layout.col_list) with those widths put in.
std::string cols_element(const std::string& qualified, const SheetLayout& layout,
                         const std::map<std::int32_t, double>& widths);

// Whether a part starts as UTF-16 text, which a save refuses to copy (it
// would come out in two encodings).
bool starts_utf16(std::string_view first_chunk);

// The sheet part (the file's, or a new one) with its cells written again
// from the model's sheet, to sink; everything else in the part is kept
// byte for byte (but the <dimension>, which names the cells written). The
// part is written as it is made, never held whole; it is read as it
// inflates to find its layout, where layout (from the load) is null, and
// to copy what surrounds the rows, where the layout does not hold it.
Status rewrite_sheet(const SheetWriteContext& ctx, SheetId sheet, const std::string& part,
                     const SheetLayout* layout, const PartSource& read, const PartSink& sink);

// ---- defined names and tables (names.cpp) ----

// by_index: the model's sheet for each <sheet> element of the workbook
// part, in order (0 for sheets the model does not hold, such as charts),
// which is how localSheetId counts.
void read_defined_names(const pugi::xml_node& workbook_root, Model& model, BookId book,
                        const std::vector<SheetId>& by_index, XlsxFile& file,
                        std::vector<std::string>& warnings);
// The tables the sheet part's relationships name, added to the book.
void read_tables(ZipReader& zip, Model& model, BookId book, SheetId sheet,
                 const std::string& sheet_part, std::vector<std::string>& warnings);
// Brings the workbook part's <definedNames> up to date with the book's names.
void write_defined_names(pugi::xml_node workbook_root, const Model& model, BookId book,
                         XlsxFile* file, const std::vector<SheetId>& by_index);

// Minimal parts of a new package.
std::string new_content_types();
std::string new_root_rels();
std::string new_workbook();
std::string new_workbook_rels();
std::string new_styles();
std::string new_worksheet();

// "A1" -> (1, 1); nullopt when not a cell reference within the sheet.
std::optional<std::pair<std::int32_t, std::int32_t>> parse_cell_ref(std::string_view ref);
// The same of an attribute value as the stream hands it (ends at its null),
// without measuring it first: read once for each of a sheet's cells.
inline std::optional<std::pair<std::int32_t, std::int32_t>> parse_cell_ref(const char* ref) {
  // No reference is longer than 10 bytes ("XFD1048576").
  std::size_t n = 0;
  while (n <= 10 && ref[n] != '\0') ++n;
  if (n > 10) return std::nullopt;
  return parse_cell_ref(std::string_view(ref, n));
}

// Whether an attribute or element name as the stream hands it (ends at its
// null) is name; a comparison without measuring the name, which the
// attributes of every cell go through.
inline bool is_name(const char* s, std::string_view name) {
  for (const char c : name) {
    if (*s++ != c) return false;
  }
  return *s == '\0';
}

}  // namespace xlsx

}  // namespace quillo::spreadsheet
