// Provenance: where each value quillo wrote into a workbook came from, and
// when. For every cell a worksheet function of the add-in fills - a single
// data item, a web link, a price-history table (one record per table), an
// indicator series (one per series) - the engine keeps what was asked (the
// instrument and field), the page it was fetched from (source, category
// and address, with credentials and the query values the definitions mark
// secret removed), the time of the last good answer, the HTTP status and
// the attempts of the last answer, and the last failure; for a derived
// cell (an indicator series) the range it was computed from and its
// formula.
//
// The record is kept with the workbook on a very hidden sheet quillo owns,
// "quillo_provenance", written through the host interfaces (so every host
// keeps it): a signature line, then one text per line in column A, fields
// separated by tabs, never a formula (every line starts with a letter):
//   F <id> <source> <category> <address> <answered> <status> <attempts>
//     <failure> <failed>          one per address fetched (interned)
//   C <sheet> <cell> <block> <kind> <fetch id> <instrument> <field>
//     <computed> <inputs> <formula>   one per filled cell, table or series
// Times are ISO 8601 in UTC ("2026-12-07T21:38:42Z"). A sheet of that name
// without the signature is the user's and is left alone.
//
// Built on the host interfaces; loop thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/value.h"
#include "host/application.h"
#include "host/output_blocks.h"
#include "parse/datarequest.h"
#include "parse/definitions.h"
#include "requests/cell_id.h"

namespace quillo {

class RequestRegistry;
class CellRequests;

inline constexpr std::string_view kProvenanceSheet = "quillo_provenance";
inline constexpr std::string_view kProvenanceSignature = "quillo provenance record";

// What is known of the page a value was fetched from.
struct FetchInfo {
  std::string source;
  std::string category;
  std::string address;           // credentials and secret query values removed
  std::int64_t answered_ms = 0;  // the last good answer (ms since 1970 UTC); 0: none
  std::int32_t http_status = 0;  // of the last answer; 0: none came
  std::int32_t attempts = 0;     // sends of the last answer, retries included
  std::string failure;           // the last failure; empty: none since the last good answer
  std::int64_t failed_ms = 0;
};

// What a filled cell shows and where it came from.
enum class FilledKind : char {
  Single = 'S',  // =fsingle(...)
  Link = 'L',    // =wlink(...)
  Table = 'T',   // =fhistory(...): the formula cell and the table below it
  Series = 'I',  // an indicator: the formula cell and the series it wrote
};
std::string_view kind_name(FilledKind kind);

struct ProvenanceRecord {
  std::string sheet;
  std::int64_t row = 0;  // the formula cell
  std::int64_t col = 0;
  host::Block block;  // the table or series it wrote; empty for a single cell
  FilledKind kind = FilledKind::Single;
  std::string instrument;          // the instrument, or the web link's name
  std::string field;               // the field code; a table's fields, period and dates
  std::optional<FetchInfo> fetch;  // none for a derived cell
  std::int64_t computed_ms = 0;    // derived cells: when computed
  std::string inputs;              // derived cells: the ranges read
  std::string formula;             // derived cells: the formula

  // The formula cell or a cell of its block.
  bool covers(std::int64_t r, std::int64_t c) const;
  // When the value was last good: the answer's time, or the computation's.
  std::int64_t as_of_ms() const;
};

// "2026-12-07T21:38:42Z"; empty for 0.
std::string iso_utc(std::int64_t unix_ms);
// The time an ISO 8601 text names ("...Z" or with an offset "+01:00");
// nullopt when it is none.
std::optional<std::int64_t> parse_iso(std::string_view text);
// The address with any user and password and the values of the query keys
// named removed ("https://h/q?s=IBM&key=" for key secret).
std::string strip_secrets(std::string_view url, const std::set<std::string>& secret_keys);
// "B2" or "B3:G250" as a block (one cell: 1 by 1); nullopt when neither.
std::optional<host::Block> parse_cells(std::string_view a1);

// The record lines for the records (the sheet's column A after the
// signature), and back; lines that do not read are skipped.
std::vector<std::string> encode_records(const std::vector<ProvenanceRecord>& records);
std::vector<ProvenanceRecord> decode_records(const std::vector<std::string>& lines);

// encode_records one record at a time: the lines of the records added, in
// the same order, without the records being held together.
// The cell lines, one a record, are kept end to end in one text, not as a
// string each.
class RecordEncoder {
 public:
  void add(const ProvenanceRecord& record);
  // The lines so far; the encoder starts afresh.
  std::vector<std::string> finish();
  // Writes the lines so far into the workbook's record sheet, as
  // write_record_lines does, making each line's text only as it is written;
  // the encoder starts afresh.
  bool write(host::Workbook& book);

 private:
  std::size_t line_count() const;
  // The lines in their order, one at a time: the fetch lines, then the
  // cell lines.
  std::string next_line();
  void clear();

  std::vector<std::string> m_fetch_lines;
  std::string m_cell_lines;  // each ends in '\n'
  std::size_t m_cell_count = 0;
  std::size_t m_taken = 0;                             // lines handed out by next_line
  std::size_t m_read = 0;                              // where the next cell line starts
  std::unordered_map<std::string, std::size_t> m_ids;  // a fetch line's fields, to its id
};

// The records the workbook keeps; none when it has no record sheet (or one
// that is not quillo's).
std::vector<ProvenanceRecord> read_provenance(const host::Workbook& book);
// Whether the record's formula cell still holds a formula calling the
// function that filled it (fsingle, wlink, fhistory, or the series'
// indicator): a workbook edited elsewhere may since hold a value or
// another formula there, and the record then says nothing of that cell.
bool still_filled(const host::Workbook& book, const ProvenanceRecord& record);
// Replaces the workbook's records; false when a user's sheet has the
// record sheet's name or the sheet cannot be written.
bool write_provenance(host::Workbook& book, const std::vector<ProvenanceRecord>& records);
// The same with the records' lines (encode_records), which it takes over.
bool write_record_lines(host::Workbook& book, std::vector<std::string> lines);
// The same with count lines, each asked of next_line as it is written.
bool write_record_lines(host::Workbook& book, std::size_t count,
                        const std::function<std::string()>& next_line);

// The engine's side: notes every call of the add-in's worksheet functions
// and every answer, and makes the records of a workbook from them and from
// the records its file held.
class ProvenanceLog {
 public:
  ProvenanceLog(host::Application& app, const RequestRegistry& registry,
                const Definitions& definitions);

  // The calendar clock (ms since 1970 UTC); the system's unless set.
  void set_now(std::function<std::int64_t()> now) { m_now = std::move(now); }
  std::int64_t now() const;

  // A call of the function library's method with its arguments, the
  // calling cell last.
  void note_call(std::string_view method, const std::vector<Value>& args);
  // The answer (or final failure) of a request, after it was processed.
  void note_answer(const datarequest& request, std::int16_t http_status, std::int32_t attempts,
                   std::string failure);
  // Something changed since the records were last written.
  bool dirty() const { return m_dirty; }

  // The records of the workbook as they stand: this session's for the cells
  // it filled, the file's for the others that still hold their formulas.
  std::vector<ProvenanceRecord> records(host::Workbook& book);
  // Writes them into the workbook's record sheet.
  bool write(host::Workbook& book);
  // Writes the records of every open workbook this session touched, when
  // something changed. Called every second; while answers keep coming it
  // writes once a minute, and at the first second without one.
  void write_all();

 private:
  // A note is kept for every filled cell, so it is kept small: its cell
  // (workbook and sheet as a place in m_places) is its key, its texts are
  // numbers in m_texts (a workbook's thousands of cells ask a few hundred
  // instruments and fields), and what only an indicator series has - the
  // ranges it read, its formula, when it was computed - is kept apart.
  struct Note {
    std::uint32_t instrument = 0;  // in m_texts
    std::uint32_t field = 0;
    FilledKind kind = FilledKind::Single;
  };
  struct Derived {
    std::string inputs;
    std::string formula;
    std::int64_t noted_ms = 0;
  };
  // Texts numbered once each.
  class Texts {
   public:
    std::uint32_t id(std::string text);
    const std::string& operator[](std::uint32_t id) const { return m_texts[id]; }

   private:
    std::deque<std::string> m_texts;  // a deque never moves its strings
    std::unordered_map<std::string_view, std::uint32_t> m_ids;
  };
  using Notes = std::unordered_map<CellId, Note, CellIdHash>;
  std::optional<FetchInfo> fetch_of(const CellId& cell, const CellRequests& requests,
                                    const ProvenanceRecord* from_file) const;
  const std::vector<ProvenanceRecord>& file_records(host::Workbook& book);
  // Makes the records of records() one at a time, in their order, and
  // hands each to fn.
  void for_each_record(host::Workbook& book,
                       const std::function<void(const ProvenanceRecord&)>& fn);

  host::Application& m_app;
  const RequestRegistry& m_registry;
  const Definitions& m_definitions;
  std::function<std::int64_t()> m_now;
  Notes m_notes;
  std::unordered_map<CellId, Derived, CellIdHash> m_derived;  // indicator series
  PlaceTable m_places;                                        // workbook, sheet
  Texts m_texts;
  std::unordered_map<std::string, FetchInfo> m_fetches;         // by request URL
  std::map<std::string, std::vector<ProvenanceRecord>> m_file;  // by workbook name
  bool m_dirty = false;
  // When write_all last wrote, and when it may write next (calendar ms).
  static constexpr std::int64_t kBusyWriteSpacingMs = 60000;
  bool m_changed = false;  // since write_all's last call
  std::int64_t m_last_write_ms = 0;
  std::int64_t m_next_write_ms = 0;
};

}  // namespace quillo
