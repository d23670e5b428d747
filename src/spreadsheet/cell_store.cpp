#include "spreadsheet/cell_store.h"

#include <bit>
#include <cstring>
#include <memory>

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

std::size_t CellStore::TextPool::slot_of(std::string_view text, std::size_t hash) const {
  const std::size_t mask = m_index.size() - 1;
  std::size_t dead = m_index.size();  // the first dead slot passed, where a new text goes
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const std::uint32_t id = m_index[i];
    if (id == kEmptySlot) return dead < m_index.size() ? dead : i;
    if (id == kDeadSlot) {
      if (dead == m_index.size()) dead = i;
    } else if (entry(id).size == text.size() && this->text(id) == text) {
      return i;
    }
  }
}

void CellStore::TextPool::grow_index(std::size_t texts) {
  // At most half full after a rebuild; rebuilt again past three quarters.
  m_index.assign(std::max<std::size_t>(16, std::bit_ceil(texts * 2)), kEmptySlot);
  m_index_used = 0;
  const std::size_t mask = m_index.size() - 1;
  for (std::uint32_t id = 0; id < m_entry_count; ++id) {
    if (entry(id).refs == 0) continue;
    std::size_t i = std::hash<std::string_view>{}(text(id)) & mask;
    while (m_index[i] != kEmptySlot) i = (i + 1) & mask;
    m_index[i] = id;
    ++m_index_used;
  }
}

std::pair<std::uint32_t, std::uint32_t> CellStore::TextPool::place(std::string_view text) {
  const auto size = static_cast<std::uint32_t>(text.size());
  auto new_block = [&](std::uint32_t capacity) {
    std::uint32_t b;
    if (!m_free_blocks.empty()) {
      b = m_free_blocks.back();
      m_free_blocks.pop_back();
    } else {
      b = static_cast<std::uint32_t>(m_blocks.size());
      m_blocks.emplace_back();
    }
    m_blocks[b] = Block{std::make_unique_for_overwrite<char[]>(capacity), capacity, 0, 0};
    return b;
  };
  std::uint32_t b;
  if (size > kBlockBytes / 4) {
    b = new_block(size);  // a long text has a block of its own
  } else {
    if (m_current == kEmptySlot || m_blocks[m_current].capacity - m_blocks[m_current].used < size) {
      if (m_current != kEmptySlot && m_blocks[m_current].live == 0) {
        m_dead -= m_blocks[m_current].used;
        m_blocks[m_current] = Block{};
        m_free_blocks.push_back(m_current);
      }
      m_current = new_block(kBlockBytes);
    }
    b = m_current;
  }
  Block& block = m_blocks[b];
  const std::uint32_t at = block.used;
  if (size != 0) std::memcpy(block.bytes.get() + at, text.data(), size);
  block.used += size;
  block.live += size;
  m_live += size;
  return {b, at};
}

std::uint32_t CellStore::TextPool::add(std::string_view text) {
  // The text added last comes again (every waiting cell shows "Loading
  // data..."): taken without hashing it. Its entry may since have been let
  // go, or given to another text, so it is checked as held and equal.
  if (m_last < m_entry_count) {
    Entry& last = entry(m_last);
    if (last.refs != 0 && last.size == text.size() && this->text(m_last) == text) {
      ++last.refs;
      return m_last;
    }
  }
  m_last = add_new(text);
  return m_last;
}

std::uint32_t CellStore::TextPool::add_new(std::string_view text) {
  if (m_index.empty()) grow_index(0);
  const std::size_t hash = std::hash<std::string_view>{}(text);
  std::size_t slot = slot_of(text, hash);
  if (m_index[slot] < kDeadSlot) {
    ++entry(m_index[slot]).refs;
    return m_index[slot];
  }
  std::uint32_t id;
  if (!m_free.empty()) {
    id = m_free.back();
    m_free.pop_back();
  } else {
    if (m_entry_count % kEntryBlock == 0) {
      m_entries.push_back(std::make_unique<Entry[]>(kEntryBlock));
    }
    id = m_entry_count++;
  }
  const auto [block, at] = place(text);
  entry(id) = Entry{block, at, static_cast<std::uint32_t>(text.size()), 1};
  if (m_index[slot] == kEmptySlot) {
    if ((m_index_used + 1) * 4 > m_index.size() * 3) {
      grow_index(m_entry_count - m_free.size());  // places the new text too
      return id;
    }
    ++m_index_used;
  }
  m_index[slot] = id;
  return id;
}

void CellStore::TextPool::release(std::uint32_t id) {
  Entry& e = entry(id);
  if (--e.refs != 0) return;
  const std::size_t mask = m_index.size() - 1;
  std::size_t i = std::hash<std::string_view>{}(text(id)) & mask;
  while (m_index[i] != id) i = (i + 1) & mask;
  m_index[i] = kDeadSlot;
  Block& b = m_blocks[e.block];
  b.live -= e.size;
  m_live -= e.size;
  m_dead += e.size;
  if (b.live == 0) {
    // None of the block's texts is held: the block goes, or the one texts
    // are added to starts again from its beginning.
    m_dead -= b.used;
    if (e.block == m_current) {
      b.used = 0;
    } else {
      b = Block{};
      m_free_blocks.push_back(e.block);
    }
  }
  e = Entry{};
  m_free.push_back(id);
  const std::size_t texts = m_entry_count - m_free.size();
  if (m_dead > 1024 * 1024 && m_dead > m_live) {
    compact();
  } else if (m_index.size() > 1024 && texts * 8 < m_index.size()) {
    grow_index(texts);  // mostly dead marks: a smaller index
  }
}

void CellStore::TextPool::compact() {
  std::vector<Block> old = std::move(m_blocks);
  m_blocks.clear();
  m_free_blocks.clear();
  m_current = kEmptySlot;
  m_live = 0;
  m_dead = 0;
  for (std::uint32_t id = 0; id < m_entry_count; ++id) {
    Entry& e = entry(id);
    if (e.refs == 0) continue;
    const auto [block, at] = place(std::string_view(old[e.block].bytes.get() + e.at, e.size));
    e.block = block;
    e.at = at;
  }
  grow_index(m_entry_count - m_free.size());
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

const CellStore::Column* CellStore::column_of(std::int32_t col) const {
  // Lookups keep to a column for a while (a walk down a column, a formula
  // and the cells it reads): the column found last is looked at first.
  if (m_last_column < m_columns.size() && m_columns[m_last_column].col == col) {
    return &m_columns[m_last_column];
  }
  const auto c = std::lower_bound(m_columns.begin(), m_columns.end(), col,
                                  [](const Column& x, std::int32_t v) { return x.col < v; });
  if (c == m_columns.end() || c->col != col) return nullptr;
  m_last_column = static_cast<std::size_t>(c - m_columns.begin());
  return &*c;
}

CellStore::Place CellStore::find_place(std::uint64_t key) const {
  // A recalculation asks after one cell several times running (its formula
  // state, then its value): the cell found last is answered at once.
  if (m_last_place.chunk && m_last_key == key) return m_last_place;
  const std::int32_t col = key_col(key), row = key_row(key);
  const Column* c = column_of(col);
  if (!c) return {};
  const std::int32_t index = row >> kChunkShift;
  const auto& chunks = c->chunks;
  // The guess find_chunk makes first, here without the call.
  const std::int64_t guess = chunks.empty() ? -1 : std::int64_t{index} - chunks.front().index;
  const auto ch = guess >= 0 && guess < static_cast<std::int64_t>(chunks.size()) &&
                          chunks[static_cast<std::size_t>(guess)].index == index
                      ? chunks.begin() + guess
                      : find_chunk(chunks, index);
  if (ch == chunks.end() || ch->index != index) return {};
  const std::uint64_t bit = std::uint64_t{1} << (row & 63);
  if ((ch->mask & bit) == 0) return {};
  m_last_key = key;
  m_last_place =
      Place{const_cast<Chunk*>(&*ch), static_cast<std::size_t>(bits_set(ch->mask & (bit - 1))),
            false, const_cast<Column*>(c)};
  return m_last_place;
}

CellStore::Place CellStore::place_or_new(std::uint64_t key) {
  // A formula's result is written to the cell just looked up (to install
  // or evaluate it): its place is known, the row exists.
  if (m_last_place.chunk && m_last_key == key) {
    m_last_place.column->version = ++m_clock;
    return m_last_place;
  }
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
    ch = chunks.insert(ch, Chunk{index, 0, 0, {}, {}});
  }
  const std::uint64_t bit = std::uint64_t{1} << (row & 63);
  const auto pos = static_cast<std::size_t>(bits_set(ch->mask & (bit - 1)));
  // What find_place remembered may have moved with an insertion below; this
  // cell's place holds until the next write.
  m_last_key = key;
  m_last_place = Place{&*ch, pos, false, &*c};
  if ((ch->mask & bit) != 0) return m_last_place;
  // A new row reads as a plain number until the caller sets what it holds
  // (set_meta), which it always does: a chunk of numbers stays without metas.
  ch->mask |= bit;
  ch->bits.insert(ch->bits.begin() + static_cast<std::ptrdiff_t>(pos), 0);
  if (!ch->meta.empty()) {
    ch->meta.insert(ch->meta.begin() + static_cast<std::ptrdiff_t>(pos), Meta{0, Kind::Number});
  }
  ++m_size;
  return Place{&*ch, pos, true, &*c};
}

void CellStore::set_meta(Chunk& ch, std::size_t pos, Meta m) {
  const bool was_plain = ch.meta_at(pos).plain();
  if (ch.meta.empty()) {
    if (m.plain()) return;
    ch.meta.assign(ch.bits.size(), Meta{0, Kind::Number});
  }
  ch.meta[pos] = m;
  if (was_plain && !m.plain()) ++ch.odd;
  if (!was_plain && m.plain()) --ch.odd;
  if (ch.odd == 0) std::vector<Meta>().swap(ch.meta);
}

Value CellStore::value_of(Kind kind, std::uint64_t bits) const {
  const auto id = static_cast<std::uint32_t>(bits);
  switch (kind) {
    case Kind::Empty:
      return Value();
    case Kind::Number:
      return Value(bits_double(bits));
    case Kind::Date:
      return Value(Date{bits_double(bits)});
    case Kind::Bool:
      return Value(bits != 0);
    case Kind::Error:
      return Value(static_cast<ErrorCode>(bits));
    case Kind::Text:
      return Value(m_texts.text(id));
    case Kind::Formula: {
      const Result& r = m_formulas[id].value;
      return value_of(r.kind, r.bits);
    }
    case Kind::Other:
      return m_boxed[id];
    case Kind::Integer:
      return Value(static_cast<std::int32_t>(id));
  }
  return Value();
}

CellStore::Result CellStore::encode(const Value& v, bool result) {
  switch (v.type()) {
    case ValueType::Empty:
      return {0, Kind::Empty};
    case ValueType::Integer:
      if (result) {
        return {static_cast<std::uint32_t>(static_cast<std::int32_t>(v.number())), Kind::Integer};
      }
      // Integers are stored as numbers, as typed entry would store them.
      return {double_bits(v.number()), Kind::Number};
    case ValueType::Double:
      return {double_bits(v.number()), Kind::Number};
    case ValueType::Date:
      return {double_bits(v.number()), Kind::Date};
    case ValueType::Bool:
      return {v.as_bool() ? 1u : 0u, Kind::Bool};
    case ValueType::Error:
      return {static_cast<std::uint64_t>(v.error()), Kind::Error};
    case ValueType::Text:
      return {m_texts.add(v.text()), Kind::Text};
    default:  // null, missing, arrays and ranges: kept as they are
      return {m_boxed.add(v), Kind::Other};
  }
}

void CellStore::release(Kind kind, std::uint64_t bits) {
  const auto id = static_cast<std::uint32_t>(bits);
  switch (kind) {
    case Kind::Text:
      m_texts.release(id);
      break;
    case Kind::Formula: {
      const Result r = m_formulas[id].value;
      release(r.kind, r.bits);
      m_formulas.release(id);
      break;
    }
    case Kind::Other:
      m_boxed.release(id);
      break;
    default:
      break;
  }
}

std::optional<Cell> CellStore::find(std::uint64_t key) const {
  const Place p = find_place(key);
  if (!p.chunk) return std::nullopt;
  const Meta m = p.chunk->meta_at(p.pos);
  const std::uint64_t b = p.chunk->bits[p.pos];
  return Cell{value_of(m.kind, b),
              m.kind == Kind::Formula ? &m_formulas[static_cast<std::uint32_t>(b)].state : nullptr,
              m_format_texts[m.format]};
}

Value CellStore::value(std::uint64_t key) const {
  const Place p = find_place(key);
  return p.chunk ? value_of(p.chunk->meta_at(p.pos).kind, p.chunk->bits[p.pos]) : Value();
}

const std::string& CellStore::format(std::uint64_t key) const {
  const Place p = find_place(key);
  return m_format_texts[p.chunk ? p.chunk->meta_at(p.pos).format : 0];
}

FormulaState* CellStore::formula(std::uint64_t key) {
  const Place p = find_place(key);
  if (!p.chunk || p.chunk->meta.empty() || p.chunk->meta[p.pos].kind != Kind::Formula) {
    return nullptr;
  }
  return &m_formulas[static_cast<std::uint32_t>(p.chunk->bits[p.pos])].state;
}

const FormulaState* CellStore::formula(std::uint64_t key) const {
  return const_cast<CellStore*>(this)->formula(key);
}

void CellStore::set_value(std::uint64_t key, const Value& v) {
  const Place p = place_or_new(key);
  const Meta m = p.fresh ? Meta{} : p.chunk->meta_at(p.pos);
  std::uint64_t& bits = p.chunk->bits[p.pos];
  if (m.kind == Kind::Formula) {
    Result& r = m_formulas[static_cast<std::uint32_t>(bits)].value;
    release(r.kind, r.bits);
    r = encode(v, true);
    return;
  }
  release(m.kind, bits);
  const Result now = encode(v, false);
  bits = now.bits;
  set_meta(*p.chunk, p.pos, Meta{m.format, now.kind});
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
  const Place p = place_or_new(key);
  Meta m = p.fresh ? Meta{} : p.chunk->meta_at(p.pos);
  m.format = id;
  set_meta(*p.chunk, p.pos, m);
}

FormulaState& CellStore::add_formula(std::uint64_t key) {
  const Place p = place_or_new(key);
  const Meta m = p.fresh ? Meta{} : p.chunk->meta_at(p.pos);
  if (m.kind != Kind::Formula) {
    // The value the cell held becomes the formula's result as it is: what
    // the bits refer to (a text, a boxed value) changes hands, not copied.
    FormulaCell cell;
    cell.value = Result{p.chunk->bits[p.pos], m.kind};
    const std::uint32_t id = m_formulas.add(std::move(cell));
    p.chunk->bits[p.pos] = id;
    set_meta(*p.chunk, p.pos, Meta{m.format, Kind::Formula});
  }
  return m_formulas[static_cast<std::uint32_t>(p.chunk->bits[p.pos])].state;
}

void CellStore::remove_formula(std::uint64_t key) {
  const Place p = find_place(key);
  if (!p.chunk) return;
  const Meta m = p.chunk->meta_at(p.pos);
  if (m.kind != Kind::Formula) return;
  // The result changes hands back to the cell, as add_formula gave it; a
  // constant holds an integer as a number.
  const auto id = static_cast<std::uint32_t>(p.chunk->bits[p.pos]);
  Result r = m_formulas[id].value;
  m_formulas[id].value = Result{};
  m_formulas.release(id);
  if (r.kind == Kind::Integer) {
    r = Result{double_bits(static_cast<std::int32_t>(static_cast<std::uint32_t>(r.bits))),
               Kind::Number};
  }
  p.chunk->bits[p.pos] = r.bits;
  set_meta(*p.chunk, p.pos, Meta{m.format, r.kind});
}

void CellStore::erase(std::uint64_t key) {
  m_last_place = Place{};  // rows, chunks or the column may move
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
  const auto pos = static_cast<std::size_t>(bits_set(ch->mask & (bit - 1)));
  const Meta m = ch->meta_at(pos);
  release(m.kind, ch->bits[pos]);
  ch->bits.erase(ch->bits.begin() + static_cast<std::ptrdiff_t>(pos));
  if (!ch->meta.empty()) {
    ch->meta.erase(ch->meta.begin() + static_cast<std::ptrdiff_t>(pos));
    if (!m.plain()) --ch->odd;
    if (ch->odd == 0) std::vector<Meta>().swap(ch->meta);
  }
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
  const Place p = find_place(key);
  if (!p.chunk) return;
  const Meta m = p.chunk->meta_at(p.pos);
  if (m.kind == Kind::Empty && m.format == 0) erase(key);
}

}  // namespace quillo::spreadsheet
