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
#include <unordered_set>
#include <vector>

#include "common/value.h"
#include "host/add_ins.h"
#include "host/application.h"
#include "host/output_blocks.h"
#include "parse/datarequest.h"
#include "parse/definitions.h"
#include "requests/cell_id.h"
#include "requests/recent_texts.h"

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

// Lines kept end to end in blocks of 64 KB, none split between two: a
// hundred thousand lines grow without being copied (and held twice) as one
// growing text would be. Read back in order, each block is let go once its
// last line was handed out.
class LineBlocks {
 public:
  // Appends the line (which holds no '\n'); answers where it is, for at().
  std::uint64_t add(std::string_view line);
  // The line that add put there; its block must not have been read out.
  std::string_view at(std::uint64_t where) const;
  // The next line not yet read; false after the last.
  bool next(std::string& line);
  std::size_t count() const { return m_count; }
  void clear();

 private:
  static constexpr std::size_t kBlock = std::size_t{1} << 16;
  std::vector<std::string> m_blocks;  // each ends in '\n'
  std::size_t m_count = 0;
  std::size_t m_read_block = 0;
  std::size_t m_read_at = 0;
};

// encode_records one record at a time: the lines of the records added, in
// the same order, without the records being held together.
class RecordEncoder {
 public:
  RecordEncoder() = default;
  // The index of the fetch lines refers to this object.
  RecordEncoder(const RecordEncoder&) = delete;
  RecordEncoder& operator=(const RecordEncoder&) = delete;
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

  // The fields of fetch line `index` (0-based), as they follow its id.
  std::string_view fetch_fields(std::uint32_t index) const;

  // The fetch lines and the cell lines, one a record. A fetch line is found
  // by its fields through an index of the lines' numbers, not a second
  // copy of their texts.
  LineBlocks m_fetch_lines;
  std::vector<std::uint64_t> m_fetch_starts;  // where each fetch line is
  LineBlocks m_cell_lines;
  // The index: open addressing over a power-of-two array of fetch line
  // numbers + 1 (0: free), at most half full, probed from the fields' hash.
  // Four to eight bytes a line, where a hash-set node took 32 and its
  // bucket 8 more, all of it held at the save's peak.
  std::vector<std::uint32_t> m_index;
  // The slot of the fetch line with these fields, or the free slot where
  // it goes.
  std::uint32_t& index_slot(std::string_view fields, std::size_t hash);
  // Makes room in the index for one more line.
  void index_grow();
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
  void note_call(std::string_view method, host::AddInArgs args);
  // The answer (or final failure) of request reqno, after it was processed.
  void note_answer(std::int32_t reqno, const datarequest& request, std::int16_t http_status,
                   std::int32_t attempts, std::string failure);
  // The requests with these numbers are about to leave the table (forgotten,
  // or the whole table reset: requests_leaving_all), while it still holds
  // their URLs: what was noted of their answers is kept by URL, for a later
  // request of the same page.
  void requests_leaving(const std::vector<std::int32_t>& numbers);
  void requests_leaving_all();
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
    Texts() = default;
    Texts(const Texts&) = delete;  // m_recent points into the tables
    Texts& operator=(const Texts&) = delete;
    std::uint32_t id(std::string_view text);
    const std::string& operator[](std::uint32_t id) const { return m_texts[id]; }
    // The text, found without the deque's arithmetic: a cell's note is
    // compared with its call's texts at every evaluation.
    std::string_view view(std::uint32_t id) const { return m_views[id]; }

   private:
    std::deque<std::string> m_texts;        // a deque never moves its strings
    std::vector<std::string_view> m_views;  // of m_texts, in the same order
    std::unordered_map<std::string_view, std::uint32_t> m_ids;
    RecentByText<std::uint32_t> m_recent;  // of m_ids, never cleared
  };
  // The notes by cell: open addressing with linear probing over a
  // power-of-two array, at most four fifths full. 24 bytes a slot, where a
  // hash-map node took 48 with its allocation and its bucket 8 to 16 more;
  // a free slot's kind is 0. An entry stays where it is until the next
  // insertion or erasure.
  class Notes {
   public:
    struct Entry {
      CellId first;
      Note second;
    };
    static_assert(sizeof(Entry) == 24, "a note's slot stays 24 bytes");
    // The cell's entry, and whether it was added (with a blank note).
    std::pair<Entry*, bool> try_emplace(const CellId& cell);
    void erase(const CellId& cell);
    std::size_t size() const { return m_count; }
    template <typename Fn>
    void for_each(Fn fn) const {
      for (const Entry& e : m_slots) {
        if (!is_free(e)) fn(e);
      }
    }

   private:
    static bool is_free(const Entry& e) { return e.second.kind == FilledKind{}; }
    static std::size_t home(const Entry& e) { return CellIdHash{}(e.first); }
    static Entry free_slot() { return Entry{CellId{}, Note{0, 0, FilledKind{}}}; }
    void grow();
    std::vector<Entry> m_slots;
    std::size_t m_count = 0;
  };
  // What was noted of a request's answers, by its number: a few numbers
  // beside the request's own record, which gives the source, category and
  // URL. The address is the URL (from its place `address_from` on) unless
  // secrets were taken out of it; then it is kept in m_addresses.
  struct Fetched {
    std::int64_t answered_ms = 0;
    std::int64_t failed_ms = 0;
    std::int32_t http_status = 0;
    std::int32_t attempts = 0;
    std::uint32_t failure = 0;  // 1 + its place in m_texts; 0: none
    std::uint8_t address_from = 0;
    bool noted = false;
  };
  // The fetch information of a noted request as FetchInfo.
  FetchInfo fetch_info(std::int32_t reqno, const Fetched& f) const;
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
  // note_call of a single item whose instrument and field are texts.
  void note_single(const CellId& key, std::string_view instrument, std::string_view field);
  Notes m_notes;
  std::unordered_map<CellId, Derived, CellIdHash> m_derived;  // indicator series
  PlaceTable m_places;                                        // workbook, sheet
  // The cell's key for a call whose cell the registry has just registered
  // (RequestRegistry::registered_as): its place there is turned into one
  // here, the last such turn kept while the registry's places stay.
  CellId key_of_registered(const CellId& registered);
  struct RegistryPlace {
    std::uint32_t theirs = 0;
    std::uint32_t ours = 0;
    std::uint64_t changed = 0;  // RequestRegistry::places_changed() then
    bool known = false;
  };
  RegistryPlace m_registry_place;
  Texts m_texts;
  std::deque<Fetched> m_fetched;                              // [n - 1] for request n
  std::unordered_map<std::int32_t, std::string> m_addresses;  // by request number
  // Of requests that left the table, by URL.
  std::unordered_map<std::string, FetchInfo> m_earlier;
  std::map<std::string, std::vector<ProvenanceRecord>> m_file;  // by workbook name
  bool m_dirty = false;
  // When write_all last wrote, and when it may write next (calendar ms).
  static constexpr std::int64_t kBusyWriteSpacingMs = 60000;
  bool m_changed = false;  // since write_all's last call
  std::int64_t m_last_write_ms = 0;
  std::int64_t m_next_write_ms = 0;
};

}  // namespace quillo
