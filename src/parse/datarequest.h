// The request record and the request table.
//
// Every web request the engine makes has one record, found by its URL and
// numbered from 1 by its place in the table; the number is what worksheet
// functions, the HTTP layer and the response processing pass around, and it
// stays valid until the whole table is reset. A record keeps the state of
// its last answer, including the parsed result rows that worksheet
// functions read their values from.
//
// Event-loop thread only. The table hands out references by number; never
// keep one across a call that may evaluate formulas (which may add records).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/value.h"

namespace quillo {

enum class RequestStatus : std::int16_t {
  Sent = 5001,               // answer outstanding
  Loaded = 5002,             // parsed holds usable data
  InvalidInstrument = 5003,  // the page had no data for the instrument
  Loading = 5004,            // sent at creation, not yet answered
  ConnectionError = 5005,    // HTTP status other than 200, or transport failure
  ParseError = 5006,
  NotSent = 5007,  // created; its creator sends it later
  NoData = 5008,   // no data available for this instrument
};

enum class RequestType : std::int16_t {
  SingleItem = 1,
  WebLink = 3,
  History = 10,
};

// One parsed field of an answer: the field id and eight value slots. A
// single value sits in slot 0; a table row read across keeps its columns
// in slots 0 to 6.
struct ResultRow {
  std::int32_t id = 0;
  std::array<Value, 8> slots;
};

class ResultRowWriter;

// The result rows of an answer, in the order they were stored. A table of
// a hundred thousand requests keeps every answer's rows, so they are held
// packed in one buffer rather than as eight full values a row: each row is
// its id, the slots up to the last one that is not filler (empty, or the
// empty text a single field pads with), and each slot's type and bytes.
// Arrays and ranges, which no parse stores today, sit in a side list.
// Rows are decoded when read.
class ResultRows {
 public:
  bool empty() const { return m_count == 0; }
  std::size_t size() const { return m_count; }
  void clear();
  void push_back(const ResultRow& row);
  // The row at place i (0-based, i < size()).
  ResultRow operator[](std::size_t i) const;
  // The first row with this id.
  std::optional<ResultRow> find(std::int32_t id) const;
  // Its value at place slot (0-based, below 8) alone; nullopt when no row
  // has the id.
  std::optional<Value> find_slot(std::int32_t id, std::size_t slot) const;
  // Gives back the room the buffer grew by once the rows are stored.
  void shrink_to_fit();
  // Replaces the rows with those written to rows, in a buffer of their
  // exact size (as after shrink_to_fit); rows is left empty, its room kept.
  void assign(ResultRowWriter& rows);

  ResultRows() = default;
  ResultRows(const ResultRows& o) { *this = o; }
  ResultRows(ResultRows&& o) noexcept { *this = std::move(o); }
  ResultRows& operator=(const ResultRows& o);
  ResultRows& operator=(ResultRows&& o) noexcept;
  ~ResultRows() = default;

 private:
  // Makes room for n more bytes, doubling the buffer as it fills.
  char* extend(std::size_t n);

  // The room of the buffer: its size once cut to it, otherwise the power
  // of two (at least 64) it was made with, or less after a clear.
  std::size_t capacity() const;

  // The packed rows: m_size bytes used. A bare buffer rather than a string
  // (32 bytes), its room worked out rather than kept, and the side list,
  // which no parse fills today, behind a pointer: 24 bytes of every record
  // rather than 64.
  std::unique_ptr<char[]> m_bytes;
  std::uint32_t m_size = 0;
  std::uint32_t m_count : 31 = 0;
  std::uint32_t m_cut : 1 = 0;  // the buffer is cut to m_size
  std::unique_ptr<std::vector<Value>> m_others;
};

// Result rows written one after another, for a ResultRows to take in at
// once (ResultRows::assign): a parse writes an answer's rows here and the
// answer's buffer is then made once, of its exact size, rather than grown
// row by row and cut. Keep one and reuse it: its room stays.
class ResultRowWriter {
 public:
  void clear();
  std::size_t size() const { return m_count; }
  // Appends a row: its slots are these, and those after them are empty, or
  // with text_filler the empty text. The same row as ResultRows::push_back
  // of a row whose slots from there on hold that.
  void add(std::int32_t id, std::span<const Value> slots, bool text_filler);

 private:
  friend class ResultRows;
  std::unique_ptr<char[]> m_bytes;
  std::size_t m_size = 0;
  std::size_t m_room = 0;
  std::uint32_t m_count = 0;
  std::unique_ptr<std::vector<Value>> m_others;
};

// A text most records leave empty (an error text, a rarely used option),
// behind one pointer until it is set. It reads as the text it holds.
class RareText {
 public:
  RareText() = default;
  RareText(const RareText& o) { *this = o; }
  RareText(RareText&&) noexcept = default;
  RareText& operator=(const RareText& o) {
    if (this != &o) m_text = o.m_text ? std::make_unique<std::string>(*o.m_text) : nullptr;
    return *this;
  }
  RareText& operator=(RareText&&) noexcept = default;
  ~RareText() = default;
  RareText& operator=(std::string text) {
    if (text.empty()) {
      m_text.reset();
    } else {
      m_text = std::make_unique<std::string>(std::move(text));
    }
    return *this;
  }
  const std::string& str() const {
    static const std::string none;
    return m_text ? *m_text : none;
  }
  operator const std::string&() const { return str(); }
  bool empty() const { return !m_text; }
  void clear() { m_text.reset(); }

 private:
  std::unique_ptr<std::string> m_text;
};

// A data source's or category's code (a few letters, a handful of them in
// all the definitions), kept once for the whole program: a record carries
// the four-byte number of its one copy rather than a string of its own. It
// reads as the text.
class CodeText {
 public:
  CodeText() = default;
  CodeText(std::string_view text) : m_id(intern(text)) {}
  CodeText(const std::string& text) : m_id(intern(text)) {}
  CodeText(const char* text) : m_id(intern(text)) {}
  const std::string& str() const { return text_of(m_id); }
  operator const std::string&() const { return str(); }
  operator std::string_view() const { return str(); }
  bool empty() const { return m_id == 0; }
  friend bool operator==(const CodeText& a, const CodeText& b) { return a.m_id == b.m_id; }

 private:
  // The number of the one copy of the text, made at its first use; 0 for
  // the empty text. Any thread may intern.
  static std::uint32_t intern(std::string_view text);
  // The text of a number intern gave (the empty text for 0).
  static const std::string& text_of(std::uint32_t id);
  std::uint32_t m_id = 0;
};

// A text that is set once and read often (a request's URL), held in one
// allocation of its own size, its length first: a pointer in the record
// rather than a 32-byte string. It reads as a std::string_view.
class ExactText {
 public:
  ExactText() = default;
  ExactText(std::string_view text) { assign(text); }
  ExactText(const std::string& text) { assign(text); }
  ExactText(const char* text) { assign(text); }
  ExactText(const ExactText& o) { assign(o.view()); }
  ExactText(ExactText&&) noexcept = default;
  ExactText& operator=(const ExactText& o) {
    if (this != &o) assign(o.view());
    return *this;
  }
  ExactText& operator=(ExactText&&) noexcept = default;
  ExactText& operator=(std::string_view text) {
    assign(text);
    return *this;
  }
  ExactText& operator=(const std::string& text) { return *this = std::string_view(text); }
  ExactText& operator=(const char* text) { return *this = std::string_view(text); }
  ~ExactText() = default;

  std::string_view view() const;
  operator std::string_view() const { return view(); }
  std::string str() const { return std::string(view()); }
  std::size_t size() const { return view().size(); }
  bool empty() const { return !m_bytes; }
  std::string_view substr(std::size_t pos, std::size_t n = std::string_view::npos) const {
    return view().substr(pos, n);
  }
  friend bool operator==(const ExactText& a, std::string_view b) { return a.view() == b; }

 private:
  void assign(std::string_view text);
  std::unique_ptr<char[]> m_bytes;  // null for the empty text
};

// A table keeps one record per request, a hundred thousand of them: the
// texts nearly every record leaves empty are kept out of line, and the small
// fields sit together.
struct datarequest {
  ExactText url;      // the identity of the request
  CodeText source;    // data-source code
  CodeText category;  // category code (single data items)
  ResultRows parsed;  // result rows of the last good answer, in order
  RareText message;   // error text of the last failure
  RareText extra;     // set: its connection errors always show
  RequestStatus status = RequestStatus::NotSent;
  RequestType reqtype = RequestType::SingleItem;
  std::int16_t httpcode = 0;  // last failed HTTP status, http::kTransportFailure without one
  std::int16_t updatefrq = 0;
  std::array<std::uint8_t, 3> counters{};  // send bookkeeping
  std::uint8_t channel = 0;
  bool refresh_cells = true;
  // Nobody waits on it any more: it is never sent again, an answer for it
  // is dropped, and its URL finds it no more (RequestRegistry).
  bool forgotten = false;

  // The first result row with this field id.
  std::optional<ResultRow> find_row(std::int32_t id) const { return parsed.find(id); }
};

// The request table, numbered from 1. It only grows until it is reset.
// The records are kept in blocks of kBlock that never move: a table of a
// hundred thousand requests neither holds room for twice as many nor
// copies them all as it grows, and a record stays where it is.
class RequestTable {
 public:
  // Appends a record and returns its number.
  std::int32_t add(datarequest request);
  bool contains(std::int32_t number) const {
    return number >= 1 && static_cast<std::size_t>(number) <= m_size;
  }
  // The record with this number; requires contains(number) (std::out_of_range
  // otherwise).
  datarequest& at(std::int32_t number) { return *place(number); }
  const datarequest& at(std::int32_t number) const { return *place(number); }
  // The highest number given out, 0 when the table is empty.
  std::int32_t upper_bound() const { return static_cast<std::int32_t>(m_size); }
  void reset() {
    m_blocks.clear();
    m_size = 0;
  }

 private:
  static constexpr std::size_t kBlock = 256;
  datarequest* place(std::int32_t number) const;

  std::vector<std::unique_ptr<datarequest[]>> m_blocks;
  std::size_t m_size = 0;
};

}  // namespace quillo
