#include "spreadsheet/cell_store.h"

#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <tuple>
#include <utility>

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
  // A new block's bytes are had before anything changes: a failure to get
  // them leaves the pool as it was.
  auto new_block = [&](std::uint32_t capacity) {
    auto bytes = std::make_unique_for_overwrite<char[]>(capacity);
    if (m_free_blocks.empty()) {
      m_blocks.push_back(Block{std::move(bytes), capacity, 0, 0});
      return static_cast<std::uint32_t>(m_blocks.size() - 1);
    }
    const std::uint32_t b = m_free_blocks.back();
    m_free_blocks.pop_back();
    m_blocks[b] = Block{std::move(bytes), capacity, 0, 0};
    return b;
  };
  std::uint32_t b;
  if (size > kBlockBytes / 4) {
    b = new_block(size);  // a long text has a block of its own
  } else {
    if (m_current == kEmptySlot || m_blocks[m_current].capacity - m_blocks[m_current].used < size) {
      const std::uint32_t full = m_current;
      m_current = new_block(kBlockBytes);
      if (full != kEmptySlot && m_blocks[full].live == 0) free_block(full);
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
  // An entry holds a text's size in 32 bits.
  if (text.size() > kMaxTextBytes) throw std::length_error("a text too long for a cell");
  if (m_index.empty()) grow_index(0);
  const std::size_t hash = std::hash<std::string_view>{}(text);
  std::size_t slot = slot_of(text, hash);
  if (m_index[slot] < kDeadSlot) {
    ++entry(m_index[slot]).refs;
    return m_index[slot];
  }
  // What may fail comes first (the index's room, an entry's, the bytes'):
  // a failure leaves the pool as it was.
  if (m_index[slot] == kEmptySlot && (m_index_used + 1) * 4 > m_index.size() * 3) {
    grow_index(m_entry_count - m_free.size() + 1);
    slot = slot_of(text, hash);
  }
  if (m_free.empty() && m_entry_count == m_entries.size() * kEntryBlock) {
    m_entries.push_back(std::make_unique<Entry[]>(kEntryBlock));
  }
  const auto [block, at] = place(text);
  std::uint32_t id;
  if (!m_free.empty()) {
    id = m_free.back();
    m_free.pop_back();
  } else {
    id = m_entry_count++;
  }
  entry(id) = Entry{block, at, static_cast<std::uint32_t>(text.size()), 1};
  if (m_index[slot] == kEmptySlot) ++m_index_used;
  m_index[slot] = id;
  return id;
}

void CellStore::TextPool::free_block(std::uint32_t b) noexcept {
  m_dead -= m_blocks[b].used;
  m_blocks[b] = Block{};
  try {
    m_free_blocks.push_back(b);
  } catch (const std::bad_alloc&) {
    // The block's place is not given out again; nothing else is lost.
  }
}

void CellStore::TextPool::release(std::uint32_t id) noexcept {
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
    if (e.block == m_current) {
      m_dead -= b.used;
      b.used = 0;
    } else {
      free_block(e.block);
    }
  }
  e = Entry{};
  try {
    m_free.push_back(id);
  } catch (const std::bad_alloc&) {
    // The entry is not given out again; nothing else is lost.
  }
  const std::size_t texts = m_entry_count - m_free.size();
  try {
    if (m_dead > 1024 * 1024 && m_dead > m_live) {
      compact();
    } else if (m_index.size() > 1024 && texts * 8 < m_index.size()) {
      grow_index(texts);  // mostly dead marks: a smaller index
    }
  } catch (...) {
    // Tidying waits for a later release: the pool is whole without it.
  }
}

void CellStore::TextPool::compact() {
  // The texts are copied into new blocks first; the entries move to them
  // only once every text has its place, so a failure on the way leaves the
  // pool as it was.
  std::vector<Block> old = std::move(m_blocks);
  std::vector<std::uint32_t> old_free = std::move(m_free_blocks);
  const std::uint32_t old_current = m_current;
  const std::uint64_t old_live = m_live, old_dead = m_dead;
  m_blocks.clear();
  m_free_blocks.clear();
  m_current = kEmptySlot;
  m_live = 0;
  m_dead = 0;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> moved;
  try {
    moved.reserve(m_entry_count - m_free.size());
    for (std::uint32_t id = 0; id < m_entry_count; ++id) {
      const Entry& e = entry(id);
      if (e.refs != 0) moved.push_back(place({old[e.block].bytes.get() + e.at, e.size}));
    }
  } catch (...) {
    m_blocks = std::move(old);
    m_free_blocks = std::move(old_free);
    m_current = old_current;
    m_live = old_live;
    m_dead = old_dead;
    throw;
  }
  std::size_t next = 0;
  for (std::uint32_t id = 0; id < m_entry_count; ++id) {
    Entry& e = entry(id);
    if (e.refs == 0) continue;
    std::tie(e.block, e.at) = moved[next++];
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
  // What find_place remembered may move with an insertion below.
  m_last_place = Place{};
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
  const bool fresh = (ch->mask & bit) == 0;
  if (fresh) {
    // A new row reads as a plain number until the caller sets what it holds
    // (set_meta), which it always does: a chunk of numbers stays without
    // metas. It is counted in only once its room is had: a failure leaves
    // the column as it was.
    try {
      ch->bits.insert(ch->bits.begin() + static_cast<std::ptrdiff_t>(pos), 0);
      if (!ch->meta.empty()) {
        try {
          ch->meta.insert(ch->meta.begin() + static_cast<std::ptrdiff_t>(pos),
                          Meta{0, Kind::Number});
        } catch (...) {
          ch->bits.erase(ch->bits.begin() + static_cast<std::ptrdiff_t>(pos));
          throw;
        }
      }
    } catch (...) {
      if (ch->mask == 0) c->chunks.erase(ch);
      if (c->chunks.empty()) m_columns.erase(c);
      throw;
    }
    ch->mask |= bit;
    ++m_size;
  }
  // This cell's place holds until the next write.
  m_last_key = key;
  m_last_place = Place{&*ch, pos, false, &*c};
  return Place{&*ch, pos, fresh, &*c};
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

void CellStore::release(Kind kind, std::uint64_t bits) noexcept {
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

CellStore::FormulasAround CellStore::formulas_around(std::uint64_t key) {
  FormulasAround out;
  const std::int32_t col = key_col(key), row = key_row(key);
  const Column* c = column_of(col);
  if (!c) return out;
  // The three rows mostly share a chunk: it is searched for once.
  const Chunk* ch = nullptr;
  const auto at = [&](std::int32_t r) -> FormulaState* {
    if (!valid_cell(r, col)) return nullptr;
    const std::int32_t index = r >> kChunkShift;
    if (!ch || ch->index != index) {
      const auto it = find_chunk(c->chunks, index);
      ch = it != c->chunks.end() && it->index == index ? &*it : nullptr;
      if (!ch) return nullptr;
    }
    const std::uint64_t bit = std::uint64_t{1} << (r & 63);
    if ((ch->mask & bit) == 0 || ch->meta.empty()) return nullptr;
    const auto pos = static_cast<std::size_t>(bits_set(ch->mask & (bit - 1)));
    if (ch->meta[pos].kind != Kind::Formula) return nullptr;
    return &m_formulas[static_cast<std::uint32_t>(ch->bits[pos])].state;
  };
  out.above = at(row - 1);
  out.own = at(row);
  out.below = at(row + 1);
  return out;
}

const FormulaState* CellStore::formula(std::uint64_t key) const {
  return const_cast<CellStore*>(this)->formula(key);
}

void CellStore::set_value(std::uint64_t key, const Value& v) {
  // The new value is encoded (which may fail: no memory, a text too long)
  // and put in place before the old one is let go: a write that fails
  // leaves the cell as it was (or none, when there was none), never holding
  // a text already released.
  const Place p = place_or_new(key);
  const Meta m = p.fresh ? Meta{} : p.chunk->meta_at(p.pos);
  const bool result = m.kind == Kind::Formula;
  Result now;
  try {
    now = encode(v, result);
    try {
      if (!result) set_meta(*p.chunk, p.pos, Meta{m.format, now.kind});
    } catch (...) {
      release(now.kind, now.bits);
      throw;
    }
  } catch (...) {
    if (p.fresh) erase(key);
    throw;
  }
  std::uint64_t& bits = p.chunk->bits[p.pos];
  if (result) {
    Result& r = m_formulas[static_cast<std::uint32_t>(bits)].value;
    const Result old = std::exchange(r, now);
    release(old.kind, old.bits);
    return;
  }
  release(m.kind, std::exchange(bits, now.bits));
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
  try {
    set_meta(*p.chunk, p.pos, m);
  } catch (...) {
    if (p.fresh) erase(key);  // no cell is left behind by a failure
    throw;
  }
}

FormulaState& CellStore::add_formula(std::uint64_t key) {
  const Place p = place_or_new(key);
  const Meta m = p.fresh ? Meta{} : p.chunk->meta_at(p.pos);
  if (m.kind != Kind::Formula) {
    // The value the cell held becomes the formula's result as it is: what
    // the bits refer to (a text, a boxed value) changes hands, not copied.
    // The state is made and the cell marked a formula cell before the
    // value changes hands: a failure leaves the cell as it was (or none).
    std::uint32_t id = 0;
    try {
      id = m_formulas.add(FormulaCell{});
      try {
        set_meta(*p.chunk, p.pos, Meta{m.format, Kind::Formula});
      } catch (...) {
        m_formulas.release(id);
        throw;
      }
    } catch (...) {
      if (p.fresh) erase(key);
      throw;
    }
    m_formulas[id].value = Result{p.chunk->bits[p.pos], m.kind};
    p.chunk->bits[p.pos] = id;
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
