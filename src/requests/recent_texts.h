// RecentByText: a few entries of a table keyed by text, found again without
// hashing the whole text - a small table in front of a larger one for the
// lookups made at every call of a worksheet function, where the same few
// texts (a sheet's field codes, the instrument of a row) come back again
// and again. A text's slot is worked out from its length and last bytes;
// a slot holds the last entry put there, checked against its text.
//
// The texts and values it points to belong to the larger table, which
// must not move them (a node-based map, a deque) and clears this one
// whenever it lets them go. Loop thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace quillo {

template <class T>
class RecentByText {
 public:
  // The value kept for text; null when none is.
  const T* find(std::string_view text) const {
    const Slot* set = &m_slots[set_of(text)];
    for (int way = 0; way < 2; ++way) {
      const Slot& s = set[way];
      if (s.value && s.text->size() == text.size() &&
          (text.empty() || std::memcmp(s.text->data(), text.data(), text.size()) == 0)) {
        return s.value;
      }
    }
    return nullptr;
  }
  // Keeps value for text (both stay where they are until clear); of the two
  // kept with a text of the same slot, the older gives way.
  void keep(const std::string& text, const T* value) {
    Slot* set = &m_slots[set_of(text)];
    set[1] = set[0];
    set[0] = Slot{&text, value};
  }
  void clear() { m_slots = {}; }

 private:
  static constexpr std::size_t kSets = 64;
  struct Slot {
    const std::string* text = nullptr;
    const T* value = nullptr;
  };
  // The first of the set's two slots: from the length and the last four
  // bytes (where codes and symbols differ), mixed by a multiplication.
  static std::size_t set_of(std::string_view text) {
    std::uint64_t h = text.size();
    if (text.size() >= 4) {
      std::uint32_t last = 0;
      std::memcpy(&last, text.data() + text.size() - 4, sizeof last);
      h ^= static_cast<std::uint64_t>(last) << 8;
    } else {
      for (const char c : text) h = (h << 8) ^ static_cast<unsigned char>(c);
    }
    return static_cast<std::size_t>((h * 0x9E3779B97F4A7C15ull) >> 58) * 2;  // 64 sets
  }
  std::array<Slot, kSets * 2> m_slots{};
};

}  // namespace quillo
