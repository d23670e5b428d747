// KeySet: an ordered set of cell keys kept as a list of sorted blocks.
//
// A sheet lists its formula cells in one. A tree set costs a node of about
// 40 bytes per key, scattered over the heap, so walking the formulas of a
// large sheet misses the cache at every step; here the keys sit 8 bytes
// each in blocks of at most kMaxBlock, in order. Adding keys in order (as a
// file is read) appends to the last block; any other insert or erase moves
// at most one block's keys.
//
// Iterators are read-only and, unlike a tree's, do not survive an insert or
// erase.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

namespace quillo::spreadsheet {

class KeySet {
 public:
  static constexpr std::size_t kMaxBlock = 512;

  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::uint64_t;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::uint64_t*;
    using reference = const std::uint64_t&;

    const_iterator() = default;
    reference operator*() const { return (*m_blocks)[m_block][m_pos]; }
    const_iterator& operator++() {
      if (++m_pos == (*m_blocks)[m_block].size()) ++m_block, m_pos = 0;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator was = *this;
      ++*this;
      return was;
    }
    bool operator==(const const_iterator& o) const {
      return m_block == o.m_block && m_pos == o.m_pos;
    }

   private:
    friend class KeySet;
    const_iterator(const std::vector<std::vector<std::uint64_t>>* blocks, std::size_t block,
                   std::size_t pos)
        : m_blocks(blocks), m_block(block), m_pos(pos) {}
    const std::vector<std::vector<std::uint64_t>>* m_blocks = nullptr;
    std::size_t m_block = 0, m_pos = 0;
  };

  const_iterator begin() const { return {&m_blocks, 0, 0}; }
  const_iterator end() const { return {&m_blocks, m_blocks.size(), 0}; }
  std::size_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }

  // The first key not less than key.
  const_iterator lower_bound(std::uint64_t key) const {
    const std::size_t b = block_for(key);
    if (b == m_blocks.size()) return end();
    const auto& keys = m_blocks[b];
    return {
        &m_blocks, b,
        static_cast<std::size_t>(std::lower_bound(keys.begin(), keys.end(), key) - keys.begin())};
  }
  bool contains(std::uint64_t key) const {
    const const_iterator it = lower_bound(key);
    return it != end() && *it == key;
  }

  // Adds key; false when it was there already.
  bool insert(std::uint64_t key) {
    if (m_blocks.empty() || m_lasts.back() < key) {
      // In order: the last block takes it, or a new one does.
      if (m_blocks.empty() || m_blocks.back().size() == kMaxBlock) {
        m_blocks.emplace_back().reserve(kMaxBlock);
        m_lasts.push_back(key);
      }
      m_blocks.back().push_back(key);
      m_lasts.back() = key;
      ++m_size;
      return true;
    }
    const std::size_t b = block_for(key);  // a key below the last one has a block
    auto& keys = m_blocks[b];
    const auto at = std::lower_bound(keys.begin(), keys.end(), key);
    if (at != keys.end() && *at == key) return false;
    keys.insert(at, key);
    ++m_size;
    if (keys.size() > kMaxBlock) {
      // Split in halves, so keys added around here have room again.
      std::vector<std::uint64_t> upper(keys.begin() + kMaxBlock / 2, keys.end());
      keys.resize(kMaxBlock / 2);
      m_lasts[b] = keys.back();
      m_lasts.insert(m_lasts.begin() + static_cast<std::ptrdiff_t>(b) + 1, upper.back());
      m_blocks.insert(m_blocks.begin() + static_cast<std::ptrdiff_t>(b) + 1, std::move(upper));
    }
    return true;
  }

  // Removes key; answers how many keys went (0 or 1).
  std::size_t erase(std::uint64_t key) {
    const std::size_t b = block_for(key);
    if (b == m_blocks.size()) return 0;
    auto& keys = m_blocks[b];
    const auto at = std::lower_bound(keys.begin(), keys.end(), key);
    if (at == keys.end() || *at != key) return 0;
    keys.erase(at);
    --m_size;
    if (keys.empty()) {
      m_blocks.erase(m_blocks.begin() + static_cast<std::ptrdiff_t>(b));
      m_lasts.erase(m_lasts.begin() + static_cast<std::ptrdiff_t>(b));
    } else {
      m_lasts[b] = keys.back();
    }
    return 1;
  }

 private:
  // The block that holds key or would: the first whose last key is not
  // below it; m_blocks.size() when every key is below it. Searched in the
  // blocks' last keys, side by side, rather than in the blocks themselves.
  std::size_t block_for(std::uint64_t key) const {
    return static_cast<std::size_t>(std::lower_bound(m_lasts.begin(), m_lasts.end(), key) -
                                    m_lasts.begin());
  }

  std::vector<std::vector<std::uint64_t>> m_blocks;  // none empty; in order, not overlapping
  std::vector<std::uint64_t> m_lasts;                // the last key of each block
  std::size_t m_size = 0;
};

}  // namespace quillo::spreadsheet
