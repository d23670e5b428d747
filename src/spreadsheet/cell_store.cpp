#include "spreadsheet/cell_store.h"

#include <bit>
#include <cstring>

namespace quillo::spreadsheet {

namespace {

std::uint64_t double_bits(double d) {
  return std::bit_cast<std::uint64_t>(d);
}
double bits_double(std::uint64_t b) {
  return std::bit_cast<double>(b);
}

// The bits set in x, which ranks a cell in its chunk at every lookup.
// std::popcount becomes a call into the compiler's library where the build
// may not assume the processor's instruction; this stays inline.
int bits_set(std::uint64_t x) {
  x -= (x >> 1) & 0x5555555555555555ull;
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0full;
  return static_cast<int>((x * 0x0101010101010101ull) >> 56);
}

}  // namespace

// ---- interned texts ----

std::uint32_t CellStore::TextPool::add(std::string_view text) {
  if (const auto it = m_ids.find(text); it != m_ids.end()) {
    ++m_refs[it->second];
    return it->second;
  }
  std::uint32_t id;
  if (!m_free.empty()) {
    id = m_free.back();
    m_free.pop_back();
    m_texts[id].assign(text);
    m_refs[id] = 1;
  } else {
    id = static_cast<std::uint32_t>(m_texts.size());
    m_texts.emplace_back(text);
    m_refs.push_back(1);
  }
  m_ids.emplace(m_texts[id], id);
  return id;
}

void CellStore::TextPool::release(std::uint32_t id) {
  if (--m_refs[id] != 0) return;
  m_ids.erase(m_texts[id]);
  // Keep the slot's string but not its memory.
  std::string().swap(m_texts[id]);
  m_free.push_back(id);
}

template <typename T>
std::uint32_t CellStore::Side<T>::add(T item) {
  if (!m_free.empty()) {
    const std::uint32_t id = m_free.back();
    m_free.pop_back();
    (*this)[id] = std::move(item);
    return id;
  }
  if (m_size % kBlock == 0) m_blocks.push_back(std::make_unique<T[]>(kBlock));
  const std::uint32_t id = m_size++;
  (*this)[id] = std::move(item);
  return id;
}

// ---- the store ----

CellStore::CellStore() {
  m_format_texts.emplace_back();
  m_format_ids.emplace(m_format_texts.front(), 0);
}

CellStore::~CellStore() = default;

std::vector<CellStore::Chunk>::const_iterator CellStore::find_chunk(
    const std::vector<Chunk>& chunks, std::int32_t index) {
  // A column filled without gaps has chunk i at i - first: looked at before
  // searching, which on a long column costs a cache miss a step.
  if (!chunks.empty()) {
    const std::int64_t guess = std::int64_t{index} - chunks.front().index;
    if (guess >= 0 && guess < static_cast<std::int64_t>(chunks.size()) &&
        chunks[static_cast<std::size_t>(guess)].index == index) {
      return chunks.begin() + guess;
    }
  }
  return std::lower_bound(chunks.begin(), chunks.end(), index,
                          [](const Chunk& x, std::int32_t v) { return x.index < v; });
}

const CellStore::Slot* CellStore::slot(std::uint64_t key) const {
  const std::int32_t col = key_col(key), row = key_row(key);
  const auto c = std::lower_bound(m_columns.begin(), m_columns.end(), col,
                                  [](const Column& x, std::int32_t v) { return x.col < v; });
  if (c == m_columns.end() || c->col != col) return nullptr;
  const std::int32_t index = row >> kChunkShift;
  const auto ch = find_chunk(c->chunks, index);
  if (ch == c->chunks.end() || ch->index != index) return nullptr;
  const std::uint64_t bit = std::uint64_t{1} << (row & 63);
  if ((ch->mask & bit) == 0) return nullptr;
  return &ch->slots[static_cast<std::size_t>(bits_set(ch->mask & (bit - 1)))];
}

CellStore::Slot& CellStore::slot_or_new(std::uint64_t key) {
  const std::int32_t col = key_col(key), row = key_row(key);
  // Loading appends: look at the last column and chunk before searching.
  auto c = !m_columns.empty() && m_columns.back().col == col
               ? m_columns.end() - 1
               : std::lower_bound(m_columns.begin(), m_columns.end(), col,
                                  [](const Column& x, std::int32_t v) { return x.col < v; });
  if (c == m_columns.end() || c->col != col) {
    c = m_columns.insert(c, Column{col, 0, {}});
  }
  c->version = ++m_clock;
  auto& chunks = c->chunks;
  const std::int32_t index = row >> kChunkShift;
  auto ch = !chunks.empty() && chunks.back().index <= index
                ? (chunks.back().index == index ? chunks.end() - 1 : chunks.end())
                : chunks.begin() + (find_chunk(chunks, index) - chunks.cbegin());
  if (ch == chunks.end() || ch->index != index) {
    ch = chunks.insert(ch, Chunk{index, 0, {}});
  }
  const std::uint64_t bit = std::uint64_t{1} << (row & 63);
  const auto pos = static_cast<std::size_t>(bits_set(ch->mask & (bit - 1)));
  if ((ch->mask & bit) == 0) {
    ch->mask |= bit;
    ch->slots.insert(ch->slots.begin() + static_cast<std::ptrdiff_t>(pos), Slot{});
    ++m_size;
  }
  return ch->slots[pos];
}

Value CellStore::value_of(const Slot& s) const {
  switch (s.kind) {
    case Kind::Empty:
      return Value();
    case Kind::Number:
      return Value(bits_double(s.bits()));
    case Kind::Date:
      return Value(Date{bits_double(s.bits())});
    case Kind::Bool:
      return Value(s.bits() != 0);
    case Kind::Error:
      return Value(static_cast<ErrorCode>(s.bits()));
    case Kind::Text:
      return Value(m_texts.text(s.lo));
    case Kind::Formula:
      return value_of(m_formulas[s.lo].value);
    case Kind::Other:
      return m_boxed[s.lo];
    case Kind::Integer:
      return Value(static_cast<std::int32_t>(s.lo));
  }
  return Value();
}

void CellStore::store(Slot& s, const Value& v, bool result) {
  if (result && v.type() == ValueType::Integer) {
    s.kind = Kind::Integer;
    s.set_bits(static_cast<std::uint32_t>(static_cast<std::int32_t>(v.number())));
    return;
  }
  switch (v.type()) {
    case ValueType::Empty:
      s.kind = Kind::Empty;
      s.set_bits(0);
      break;
    case ValueType::Double:
    case ValueType::Integer:
      // Integers are stored as numbers, as typed entry would store them.
      s.kind = Kind::Number;
      s.set_bits(double_bits(v.number()));
      break;
    case ValueType::Date:
      s.kind = Kind::Date;
      s.set_bits(double_bits(v.number()));
      break;
    case ValueType::Bool:
      s.kind = Kind::Bool;
      s.set_bits(v.as_bool() ? 1 : 0);
      break;
    case ValueType::Error:
      s.kind = Kind::Error;
      s.set_bits(static_cast<std::uint64_t>(v.error()));
      break;
    case ValueType::Text:
      s.kind = Kind::Text;
      s.set_bits(m_texts.add(v.text()));
      break;
    default:  // null, missing, arrays and ranges: kept as they are
      s.kind = Kind::Other;
      s.set_bits(m_boxed.add(v));
      break;
  }
}

void CellStore::release(Slot& s) {
  switch (s.kind) {
    case Kind::Text:
      m_texts.release(s.lo);
      break;
    case Kind::Formula:
      release(m_formulas[s.lo].value);
      m_formulas.release(s.lo);
      break;
    case Kind::Other:
      m_boxed.release(s.lo);
      break;
    default:
      break;
  }
  s.kind = Kind::Empty;
  s.set_bits(0);
}

std::optional<Cell> CellStore::find(std::uint64_t key) const {
  const Slot* s = slot(key);
  if (!s) return std::nullopt;
  return Cell{value_of(*s), s->kind == Kind::Formula ? &m_formulas[s->lo].state : nullptr,
              m_format_texts[s->format]};
}

Value CellStore::value(std::uint64_t key) const {
  const Slot* s = slot(key);
  return s ? value_of(*s) : Value();
}

const std::string& CellStore::format(std::uint64_t key) const {
  const Slot* s = slot(key);
  return m_format_texts[s ? s->format : 0];
}

FormulaState* CellStore::formula(std::uint64_t key) {
  const Slot* s = slot(key);
  return s && s->kind == Kind::Formula ? &m_formulas[s->lo].state : nullptr;
}

const FormulaState* CellStore::formula(std::uint64_t key) const {
  return const_cast<CellStore*>(this)->formula(key);
}

void CellStore::set_value(std::uint64_t key, const Value& v) {
  Slot& s = slot_or_new(key);
  if (s.kind == Kind::Formula) {
    Slot& result = m_formulas[s.lo].value;
    release(result);
    store(result, v, true);
    return;
  }
  release(s);
  store(s, v);
}

std::uint32_t CellStore::format_id(std::string_view format) {
  if (const auto it = m_format_ids.find(format); it != m_format_ids.end()) return it->second;
  const auto id = static_cast<std::uint32_t>(m_format_texts.size());
  m_format_texts.emplace_back(format);
  m_format_ids.emplace(m_format_texts.back(), id);
  return id;
}

void CellStore::set_format(std::uint64_t key, std::string_view format) {
  const std::uint32_t id = format_id(format);
  slot_or_new(key).format = id;
}

FormulaState& CellStore::add_formula(std::uint64_t key) {
  Slot& s = slot_or_new(key);
  if (s.kind != Kind::Formula) {
    // The value the cell held becomes the formula's result as it is: what
    // the slot refers to (a text, a boxed value) changes hands, not copied.
    FormulaCell cell;
    cell.value.kind = s.kind;
    cell.value.lo = s.lo;
    cell.value.hi = s.hi;
    s.kind = Kind::Formula;
    s.set_bits(m_formulas.add(std::move(cell)));
  }
  return m_formulas[s.lo].state;
}

void CellStore::remove_formula(std::uint64_t key) {
  Slot* s = slot(key);
  if (!s || s->kind != Kind::Formula) return;
  // The result's slot changes hands back to the cell, as add_formula gave it.
  FormulaCell& cell = m_formulas[s->lo];
  const Slot result = cell.value;
  cell.value = Slot{};
  m_formulas.release(s->lo);
  s->kind = result.kind;
  s->lo = result.lo;
  s->hi = result.hi;
}

void CellStore::erase(std::uint64_t key) {
  const std::int32_t col = key_col(key), row = key_row(key);
  const auto c = std::lower_bound(m_columns.begin(), m_columns.end(), col,
                                  [](const Column& x, std::int32_t v) { return x.col < v; });
  if (c == m_columns.end() || c->col != col) return;
  const std::int32_t index = row >> kChunkShift;
  const auto ch = c->chunks.begin() + (find_chunk(c->chunks, index) - c->chunks.cbegin());
  if (ch == c->chunks.end() || ch->index != index) return;
  const std::uint64_t bit = std::uint64_t{1} << (row & 63);
  if ((ch->mask & bit) == 0) return;
  c->version = ++m_clock;
  const auto pos = static_cast<std::ptrdiff_t>(bits_set(ch->mask & (bit - 1)));
  release(ch->slots[static_cast<std::size_t>(pos)]);
  ch->slots.erase(ch->slots.begin() + pos);
  ch->mask &= ~bit;
  --m_size;
  if (ch->mask == 0) {
    c->chunks.erase(ch);
    if (c->chunks.empty()) m_columns.erase(c);
  }
}

std::vector<std::uint64_t> CellStore::keys() const {
  std::vector<std::uint64_t> out;
  out.reserve(m_size);
  for (const Column& c : m_columns) {
    for (const Chunk& ch : c.chunks) {
      for (std::uint64_t bits = ch.mask; bits != 0; bits &= bits - 1) {
        out.push_back(cell_key((ch.index << kChunkShift) + std::countr_zero(bits), c.col));
      }
    }
  }
  return out;
}

std::uint64_t CellStore::column_version(std::int32_t col) const {
  const auto c = std::lower_bound(m_columns.begin(), m_columns.end(), col,
                                  [](const Column& x, std::int32_t v) { return x.col < v; });
  return c == m_columns.end() || c->col != col ? 0 : c->version;
}

void CellStore::erase_if_blank(std::uint64_t key) {
  const Slot* s = slot(key);
  if (s && s->kind == Kind::Empty && s->format == 0) erase(key);
}

}  // namespace quillo::spreadsheet
