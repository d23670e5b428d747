// The two steps every open-addressed table of this program shares: tables
// of plain slots in a power-of-two array, probed linearly from a slot's
// home (its hash masked to the array). The tables themselves say what a
// free slot is and where a slot's home is, since some keep the hash in the
// slot and others compute it again from what the slot points to.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace quillo::open_addressing {

// Moves the slots into an array of `size` free slots (a power of two larger
// than their number), each at the first free place from its home.
template <typename Slot, typename IsFree, typename Home>
void rehash(std::vector<Slot>& slots, std::size_t size, const Slot& free, IsFree is_free,
            Home home) {
  std::vector<Slot> old(size, free);
  old.swap(slots);
  const std::size_t mask = slots.size() - 1;
  for (const Slot& slot : old) {
    if (is_free(slot)) continue;
    std::size_t i = home(slot) & mask;
    while (!is_free(slots[i])) i = (i + 1) & mask;
    slots[i] = slot;
  }
}

// Frees slot i and moves back the slots after it, up to a free one, that
// their probe would no longer reach past the freed slot: no tombstones, so
// a lookup still ends at the first free slot.
template <typename Slot, typename IsFree, typename Home>
void erase_at(std::vector<Slot>& slots, std::size_t i, const Slot& free, IsFree is_free,
              Home home) {
  const std::size_t mask = slots.size() - 1;
  slots[i] = free;
  for (std::size_t j = (i + 1) & mask; !is_free(slots[j]); j = (j + 1) & mask) {
    const std::size_t at = home(slots[j]) & mask;
    // It stays when its home lies cyclically in (i, j].
    const bool stays = i < j ? (at > i && at <= j) : (at > i || at <= j);
    if (stays) continue;
    slots[i] = slots[j];
    slots[j] = free;
    i = j;
  }
}

}  // namespace quillo::open_addressing
