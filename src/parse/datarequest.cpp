#include "parse/datarequest.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <mutex>
#include <span>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace quillo {

namespace {

// A row's slots after its stored ones: empty, or the empty text.
enum Filler : char { kFillEmpty = 0, kFillEmptyText = 1 };

bool is_filler(const Value& v, Filler filler) {
  return filler == kFillEmpty ? v.is_empty() : v.is_text() && v.text().empty();
}

// The encoders write at p, into room the caller made for a row's bound
// (row_bound), and answer where they stopped.
template <typename T>
char* put(char* p, T v) {
  std::memcpy(p, &v, sizeof(T));
  return p + sizeof(T);
}

template <typename T>
T take(const char*& p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  p += sizeof(T);
  return v;
}

// Counts (a row's id, a text's length) take one byte below 128, a byte
// more for each further seven bits: a table of a hundred thousand answers
// of a dozen rows each keeps them all.
// A short decimal's count is written the same way, up to 64 bits.
char* put_count(char* p, std::uint64_t v) {
  while (v >= 0x80) {
    *p++ = static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<char>(v);
  return p;
}

std::uint64_t take_wide_count(const char*& p) {
  std::uint64_t v = 0;
  for (int shift = 0;; shift += 7) {
    const auto b = static_cast<unsigned char>(*p++);
    v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
    if ((b & 0x80) == 0) return v;
  }
}

std::uint32_t take_count(const char*& p) {
  return static_cast<std::uint32_t>(take_wide_count(p));
}

// A figure of a page is a short decimal: 123.45 is kept as the count 12345
// and two places (its own type byte, 0x40 + places, and the count in one to
// three bytes) rather than the eight bytes of the double. A number is kept
// so only when dividing the count by the power of ten gives back the very
// same double, which the division (correctly rounded, of two exact
// doubles) does the same way every time.
constexpr unsigned char kDecimal = 0x40;
constexpr int kMaxPlaces = 15;
constexpr double kPow10[kMaxPlaces + 1] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                           1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

bool is_decimal(unsigned char type) {
  return type >= kDecimal && type <= kDecimal + kMaxPlaces;
}

// Writes d as a decimal when one gives it back exactly (at most 11 bytes);
// nullptr, with nothing written, otherwise.
char* put_decimal(char* p, double d) {
  constexpr double kExact = 9007199254740992.0;      // 2^53: counts below it are exact doubles
  if (!(d > -kExact && d < kExact)) return nullptr;  // NaN too
  for (int places = 0; places <= kMaxPlaces; ++places) {
    const double scaled = d * kPow10[places];
    if (!(scaled > -kExact && scaled < kExact)) return nullptr;
    const auto count = static_cast<std::int64_t>(scaled < 0 ? scaled - 0.5 : scaled + 0.5);
    if (std::bit_cast<std::uint64_t>(static_cast<double>(count) / kPow10[places]) !=
        std::bit_cast<std::uint64_t>(d)) {
      continue;  // -0.0 never matches: it keeps its eight bytes
    }
    *p++ = static_cast<char>(kDecimal + places);
    // Zigzag: small negative counts take few bytes too.
    return put_count(
        p, (static_cast<std::uint64_t>(count) << 1) ^ static_cast<std::uint64_t>(count >> 63));
  }
  return nullptr;
}

double take_decimal(const char*& p, unsigned char type) {
  const std::uint64_t z = take_wide_count(p);
  const auto count = static_cast<std::int64_t>((z >> 1) ^ (~(z & 1) + 1));
  return static_cast<double>(count) / kPow10[type - kDecimal];
}

// Reads one stored value and moves past it.
Value read_value(const char*& p, const std::vector<Value>* others) {
  const auto byte = static_cast<unsigned char>(*p++);
  if (is_decimal(byte)) return Value(take_decimal(p, byte));
  const auto type = static_cast<ValueType>(byte);
  switch (type) {
    case ValueType::Empty:
      return Value();
    case ValueType::Null:
      return Value(Null{});
    case ValueType::Missing:
      return Value(Missing{});
    case ValueType::Bool:
      return Value(*p++ != 0);
    case ValueType::Integer:
      return Value(take<std::int32_t>(p));
    case ValueType::Double:
      return Value(take<double>(p));
    case ValueType::Date:
      return Value(Date{take<double>(p)});
    case ValueType::Text: {
      const auto n = take_count(p);
      const std::string_view s(p, n);
      p += n;
      return Value(s);
    }
    case ValueType::Error:
      return Value(static_cast<ErrorCode>(take<std::int32_t>(p)));
    case ValueType::Array:
    case ValueType::Range:
      return (*others)[take<std::uint32_t>(p)];
  }
  return Value();
}

char* write_value(char* p, std::unique_ptr<std::vector<Value>>& others, const Value& v) {
  if (v.type() == ValueType::Double) {
    if (char* end = put_decimal(p, v.number())) return end;
  }
  *p++ = static_cast<char>(v.type());
  switch (v.type()) {
    case ValueType::Empty:
    case ValueType::Null:
    case ValueType::Missing:
      break;
    case ValueType::Bool:
      *p++ = v.as_bool() ? 1 : 0;
      break;
    case ValueType::Integer:
      p = put(p, static_cast<std::int32_t>(v.number()));
      break;
    case ValueType::Double:
    case ValueType::Date:
      p = put(p, v.number());
      break;
    case ValueType::Text:
      p = put_count(p, static_cast<std::uint32_t>(v.text().size()));
      std::memcpy(p, v.text().data(), v.text().size());
      p += v.text().size();
      break;
    case ValueType::Error:
      p = put(p, static_cast<std::int32_t>(v.error()));
      break;
    case ValueType::Array:
    case ValueType::Range:
      if (!others) others = std::make_unique<std::vector<Value>>();
      p = put(p, static_cast<std::uint32_t>(others->size()));
      others->push_back(v);
      break;
  }
  return p;
}

// The most bytes a value takes: its type byte and a count or a number of up
// to ten bytes, and a text's bytes.
std::size_t value_bound(const Value& v) {
  return 11 + (v.is_text() ? v.text().size() : 0);
}

// Moves past one stored value.
void skip_value(const char*& p) {
  const auto byte = static_cast<unsigned char>(*p++);
  if (is_decimal(byte)) {
    take_wide_count(p);
    return;
  }
  const auto type = static_cast<ValueType>(byte);
  switch (type) {
    case ValueType::Bool:
      p += 1;
      break;
    case ValueType::Integer:
    case ValueType::Error:
    case ValueType::Array:
    case ValueType::Range:
      p += 4;
      break;
    case ValueType::Double:
    case ValueType::Date:
      p += 8;
      break;
    case ValueType::Text:
      p += take_count(p);
      break;
    default:
      break;
  }
}

// A row as stored: its id (a count, as the bits of the int32), one byte of
// the number of stored slots (low four bits) and the filler of the rest,
// then the stored slots.
std::int32_t take_id(const char*& p) {
  return static_cast<std::int32_t>(take_count(p));
}

std::size_t stored_of(char head) {
  return static_cast<std::size_t>(head & 0x0F);
}

Filler filler_of(char head) {
  return static_cast<Filler>((head >> 4) & 0x0F);
}

// The slots of a row up to the last that is not filler, and the bound of
// their bytes with the id and head.
struct RowShape {
  std::size_t stored = 0;
  std::size_t bound = 0;
};

RowShape row_shape(std::span<const Value> slots, Filler filler) {
  RowShape shape;
  shape.stored = slots.size();
  while (shape.stored > 0 && is_filler(slots[shape.stored - 1], filler)) --shape.stored;
  shape.bound = 6;  // the id (five bytes at most) and the head
  for (std::size_t i = 0; i < shape.stored; ++i) shape.bound += value_bound(slots[i]);
  return shape;
}

char* write_row(char* p, std::unique_ptr<std::vector<Value>>& others, std::int32_t id,
                std::span<const Value> slots, Filler filler, std::size_t stored) {
  p = put_count(p, static_cast<std::uint32_t>(id));
  *p++ = static_cast<char>(stored | static_cast<std::size_t>(filler) << 4);
  for (std::size_t i = 0; i < stored; ++i) p = write_value(p, others, slots[i]);
  return p;
}

ResultRow read_row(const char*& p, const std::vector<Value>* others) {
  ResultRow row;
  row.id = take_id(p);
  const std::size_t stored = stored_of(*p);
  const Filler filler = filler_of(*p++);
  for (std::size_t i = 0; i < stored; ++i) row.slots[i] = read_value(p, others);
  for (std::size_t i = stored; i < row.slots.size(); ++i) {
    if (filler == kFillEmptyText) row.slots[i] = Value(std::string());
  }
  return row;
}

}  // namespace

void ResultRows::clear() {
  m_size = 0;
  m_count = 0;
  m_others.reset();
}

static_assert(sizeof(ResultRows) == 24);
static_assert(sizeof(datarequest) <= 72);

std::size_t ResultRows::capacity() const {
  if (!m_bytes) return 0;
  // A buffer made for more than m_size holds at least the power of two
  // above it: the rows since a clear never passed what it was made for.
  return m_cut ? m_size : std::bit_ceil(std::max<std::size_t>(64, m_size));
}

char* ResultRows::extend(std::size_t n) {
  if (capacity() - m_size < n) {
    const std::size_t want = std::bit_ceil(std::max<std::size_t>(64, m_size + n));
    auto grown = std::make_unique_for_overwrite<char[]>(want);
    if (m_size != 0) std::memcpy(grown.get(), m_bytes.get(), m_size);
    m_bytes = std::move(grown);
    m_cut = 0;
  }
  char* at = m_bytes.get() + m_size;
  m_size += static_cast<std::uint32_t>(n);
  return at;
}

void ResultRows::push_back(const ResultRow& row) {
  const Filler filler = row.slots.back().is_text() ? kFillEmptyText : kFillEmpty;
  const RowShape shape = row_shape(row.slots, filler);
  // The row is written out first, then copied to the end of the buffer.
  thread_local std::string out;
  if (out.size() < shape.bound) out.resize(shape.bound);
  const char* end = write_row(out.data(), m_others, row.id, row.slots, filler, shape.stored);
  const auto n = static_cast<std::size_t>(end - out.data());
  std::memcpy(extend(n), out.data(), n);
  ++m_count;
}

void ResultRows::assign(ResultRowWriter& rows) {
  m_bytes.reset();
  if (rows.m_size != 0) {
    m_bytes = std::make_unique_for_overwrite<char[]>(rows.m_size);
    std::memcpy(m_bytes.get(), rows.m_bytes.get(), rows.m_size);
  }
  m_size = static_cast<std::uint32_t>(rows.m_size);
  m_count = rows.m_count;
  m_cut = 1;
  m_others = std::move(rows.m_others);
  if (m_others) m_others->shrink_to_fit();
  rows.clear();
}

void ResultRowWriter::clear() {
  m_size = 0;
  m_count = 0;
  m_others.reset();
}

void ResultRowWriter::add(std::int32_t id, std::span<const Value> slots, bool text_filler) {
  const Filler filler = text_filler ? kFillEmptyText : kFillEmpty;
  const RowShape shape = row_shape(slots, filler);
  if (m_room - m_size < shape.bound) {
    const std::size_t room = std::max<std::size_t>({256, m_size + shape.bound, 2 * m_room});
    auto grown = std::make_unique_for_overwrite<char[]>(room);
    if (m_size != 0) std::memcpy(grown.get(), m_bytes.get(), m_size);
    m_bytes = std::move(grown);
    m_room = room;
  }
  char* at = m_bytes.get() + m_size;
  m_size += static_cast<std::size_t>(write_row(at, m_others, id, slots, filler, shape.stored) - at);
  ++m_count;
}

ResultRow ResultRows::operator[](std::size_t i) const {
  const char* p = m_bytes.get();
  ResultRow row = read_row(p, m_others.get());
  for (std::size_t k = 0; k < i; ++k) row = read_row(p, m_others.get());
  return row;
}

std::optional<ResultRow> ResultRows::find(std::int32_t id) const {
  const char* p = m_bytes.get();
  const char* end = p + m_size;
  while (p < end) {
    const char* start = p;
    if (take_id(p) == id) return read_row(start, m_others.get());
    const std::size_t stored = stored_of(*p++);
    for (std::size_t i = 0; i < stored; ++i) skip_value(p);
  }
  return std::nullopt;
}

std::optional<Value> ResultRows::find_slot(std::int32_t id, std::size_t slot) const {
  const char* p = m_bytes.get();
  const char* end = p + m_size;
  while (p < end) {
    const bool match = take_id(p) == id;
    const std::size_t stored = stored_of(*p);
    const Filler filler = filler_of(*p++);
    if (match) {
      if (slot >= stored) return filler == kFillEmptyText ? Value(std::string()) : Value();
      for (std::size_t i = 0; i < slot; ++i) skip_value(p);
      return read_value(p, m_others.get());
    }
    for (std::size_t i = 0; i < stored; ++i) skip_value(p);
  }
  return std::nullopt;
}

void ResultRows::shrink_to_fit() {
  if (m_size == capacity()) return;
  std::unique_ptr<char[]> exact;
  if (m_size != 0) {
    exact = std::make_unique_for_overwrite<char[]>(m_size);
    std::memcpy(exact.get(), m_bytes.get(), m_size);
  }
  m_bytes = std::move(exact);
  m_cut = 1;
  if (m_others) m_others->shrink_to_fit();
}

ResultRows& ResultRows::operator=(const ResultRows& o) {
  if (this == &o) return *this;
  m_bytes.reset();
  m_size = 0;
  if (o.m_size != 0) std::memcpy(extend(o.m_size), o.m_bytes.get(), o.m_size);
  m_count = o.m_count;
  m_others = o.m_others ? std::make_unique<std::vector<Value>>(*o.m_others) : nullptr;
  return *this;
}

ResultRows& ResultRows::operator=(ResultRows&& o) noexcept {
  if (this == &o) return *this;
  m_bytes = std::move(o.m_bytes);
  m_size = std::exchange(o.m_size, 0);
  m_count = o.m_count;
  m_cut = o.m_cut;
  o.m_count = 0;
  o.m_cut = 0;
  m_others = std::move(o.m_others);
  return *this;
}

namespace {

// The interned codes, numbered from 1. They sit in blocks that never move
// and double in size (block b holds kFirstBlock << b texts), so a text's
// place follows from its number alone and a reader needs no lock: it got
// the number from a record made after the text was stored.
constexpr std::uint32_t kFirstBlock = 64;
constexpr std::size_t kCodeBlocks = 27;  // room for every 32-bit number

struct CodeTable {
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  std::mutex lock;
  std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> ids;
  std::array<std::unique_ptr<std::string[]>, kCodeBlocks> blocks;
  std::uint32_t count = 0;  // texts stored
};

CodeTable& code_table() {
  static CodeTable table;
  return table;
}

// The block and place within it of the text numbered id (from 1).
std::pair<std::size_t, std::size_t> code_place(std::uint32_t id) {
  const std::uint64_t q = (static_cast<std::uint64_t>(id) - 1) / kFirstBlock + 1;
  const auto block = static_cast<std::size_t>(std::bit_width(q) - 1);
  const std::uint64_t first = static_cast<std::uint64_t>(kFirstBlock) * ((1ull << block) - 1);
  return {block, static_cast<std::size_t>(id - 1 - first)};
}

}  // namespace

std::uint32_t CodeText::intern(std::string_view text) {
  if (text.empty()) return 0;
  CodeTable& table = code_table();
  const std::lock_guard<std::mutex> hold(table.lock);
  if (const auto it = table.ids.find(text); it != table.ids.end()) return it->second;
  const std::uint32_t id = table.count + 1;
  const auto [block, at] = code_place(id);
  if (!table.blocks[block]) {
    table.blocks[block] = std::make_unique<std::string[]>(std::size_t{kFirstBlock} << block);
  }
  table.blocks[block][at] = std::string(text);
  table.ids.emplace(std::string(text), id);
  table.count = id;
  return id;
}

const std::string& CodeText::text_of(std::uint32_t id) {
  static const std::string none;
  if (id == 0) return none;
  const auto [block, at] = code_place(id);
  return code_table().blocks[block][at];
}

std::string_view ExactText::view() const {
  if (!m_bytes) return {};
  std::uint32_t n;
  std::memcpy(&n, m_bytes.get(), sizeof n);
  return {m_bytes.get() + sizeof n, n};
}

void ExactText::assign(std::string_view text) {
  if (text.empty()) {
    m_bytes.reset();
    return;
  }
  const auto n = static_cast<std::uint32_t>(text.size());
  auto bytes = std::make_unique_for_overwrite<char[]>(sizeof n + n);
  std::memcpy(bytes.get(), &n, sizeof n);
  std::memcpy(bytes.get() + sizeof n, text.data(), n);
  m_bytes = std::move(bytes);  // after the copy: text may be this one's own
}

std::int32_t RequestTable::add(datarequest request) {
  if (m_size == m_blocks.size() * kBlock)
    m_blocks.push_back(std::make_unique<datarequest[]>(kBlock));
  m_blocks[m_size / kBlock][m_size % kBlock] = std::move(request);
  ++m_size;
  return static_cast<std::int32_t>(m_size);
}

datarequest* RequestTable::place(std::int32_t number) const {
  if (!contains(number)) throw std::out_of_range("no request of that number");
  const auto i = static_cast<std::size_t>(number - 1);
  return &m_blocks[i / kBlock][i % kBlock];
}

}  // namespace quillo
