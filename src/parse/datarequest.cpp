#include "parse/datarequest.h"

#include <cstring>

namespace quillo {

namespace {

// A row's slots after its stored ones: empty, or the empty text.
enum Filler : char { kFillEmpty = 0, kFillEmptyText = 1 };

bool is_filler(const Value& v, Filler filler) {
  return filler == kFillEmpty ? v.is_empty() : v.is_text() && v.text().empty();
}

template <typename T>
void put(std::string& out, T v) {
  char buf[sizeof(T)];
  std::memcpy(buf, &v, sizeof(T));
  out.append(buf, sizeof(T));
}

template <typename T>
T take(const char*& p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  p += sizeof(T);
  return v;
}

// Reads one stored value and moves past it.
Value read_value(const char*& p, const std::vector<Value>& others) {
  const auto type = static_cast<ValueType>(*p++);
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
      const auto n = take<std::uint32_t>(p);
      std::string s(p, n);
      p += n;
      return Value(std::move(s));
    }
    case ValueType::Error:
      return Value(static_cast<ErrorCode>(take<std::int32_t>(p)));
    case ValueType::Array:
    case ValueType::Range:
      return others[take<std::uint32_t>(p)];
  }
  return Value();
}

void write_value(std::string& out, std::vector<Value>& others, const Value& v) {
  out.push_back(static_cast<char>(v.type()));
  switch (v.type()) {
    case ValueType::Empty:
    case ValueType::Null:
    case ValueType::Missing:
      break;
    case ValueType::Bool:
      out.push_back(v.as_bool() ? 1 : 0);
      break;
    case ValueType::Integer:
      put(out, static_cast<std::int32_t>(v.number()));
      break;
    case ValueType::Double:
    case ValueType::Date:
      put(out, v.number());
      break;
    case ValueType::Text:
      put(out, static_cast<std::uint32_t>(v.text().size()));
      out.append(v.text());
      break;
    case ValueType::Error:
      put(out, static_cast<std::int32_t>(v.error()));
      break;
    case ValueType::Array:
    case ValueType::Range:
      put(out, static_cast<std::uint32_t>(others.size()));
      others.push_back(v);
      break;
  }
}

// Moves past one stored value.
void skip_value(const char*& p) {
  const auto type = static_cast<ValueType>(*p++);
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
      p += take<std::uint32_t>(p);
      break;
    default:
      break;
  }
}

// A row as stored: id, the number of stored slots, the filler of the rest,
// then the stored slots.
ResultRow read_row(const char*& p, const std::vector<Value>& others) {
  ResultRow row;
  row.id = take<std::int32_t>(p);
  const auto stored = static_cast<std::size_t>(*p++);
  const auto filler = static_cast<Filler>(*p++);
  for (std::size_t i = 0; i < stored; ++i) row.slots[i] = read_value(p, others);
  for (std::size_t i = stored; i < row.slots.size(); ++i) {
    if (filler == kFillEmptyText) row.slots[i] = Value(std::string());
  }
  return row;
}

}  // namespace

void ResultRows::clear() {
  m_bytes.clear();
  m_others.clear();
  m_count = 0;
}

void ResultRows::push_back(const ResultRow& row) {
  const Filler filler = row.slots.back().is_text() ? kFillEmptyText : kFillEmpty;
  std::size_t stored = row.slots.size();
  while (stored > 0 && is_filler(row.slots[stored - 1], filler)) --stored;
  put(m_bytes, row.id);
  m_bytes.push_back(static_cast<char>(stored));
  m_bytes.push_back(static_cast<char>(filler));
  for (std::size_t i = 0; i < stored; ++i) write_value(m_bytes, m_others, row.slots[i]);
  ++m_count;
}

ResultRow ResultRows::operator[](std::size_t i) const {
  const char* p = m_bytes.data();
  ResultRow row = read_row(p, m_others);
  for (std::size_t k = 0; k < i; ++k) row = read_row(p, m_others);
  return row;
}

std::optional<ResultRow> ResultRows::find(std::int32_t id) const {
  const char* p = m_bytes.data();
  const char* end = p + m_bytes.size();
  while (p < end) {
    const char* start = p;
    if (take<std::int32_t>(p) == id) return read_row(start, m_others);
    const auto stored = static_cast<std::size_t>(*p);
    p += 2;
    for (std::size_t i = 0; i < stored; ++i) skip_value(p);
  }
  return std::nullopt;
}

std::optional<Value> ResultRows::find_slot(std::int32_t id, std::size_t slot) const {
  const char* p = m_bytes.data();
  const char* end = p + m_bytes.size();
  while (p < end) {
    const bool match = take<std::int32_t>(p) == id;
    const auto stored = static_cast<std::size_t>(p[0]);
    const auto filler = static_cast<Filler>(p[1]);
    p += 2;
    if (match) {
      if (slot >= stored) return filler == kFillEmptyText ? Value(std::string()) : Value();
      for (std::size_t i = 0; i < slot; ++i) skip_value(p);
      return read_value(p, m_others);
    }
    for (std::size_t i = 0; i < stored; ++i) skip_value(p);
  }
  return std::nullopt;
}

void ResultRows::shrink_to_fit() {
  m_bytes.shrink_to_fit();
  m_others.shrink_to_fit();
}

std::int32_t RequestTable::add(datarequest request) {
  m_requests.push_back(std::move(request));
  return static_cast<std::int32_t>(m_requests.size());
}

}  // namespace quillo
