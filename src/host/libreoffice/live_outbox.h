// LiveOutbox: what the engine's thread hands to Calc's main thread. The
// engine's thread puts the changes of each tick in; the main thread takes
// everything at once from one callback. Changes to the same call since the
// last take are merged (the latest value and block win), so however many
// ticks pass before the main thread comes round, each live cell is told
// once, with what it shows now.
//
// Any thread. put answers true only for the first put after a take: the
// one that must ask the main thread for a callback.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/libreoffice/live_book.h"

namespace quillo::host::lo {

class LiveOutbox {
 public:
  // Adds changes and messages; true when the main thread must be called.
  bool put(std::vector<LiveChange> changes, std::vector<std::string> messages = {}) {
    if (changes.empty() && messages.empty()) return false;
    const std::lock_guard lock(m_mutex);
    for (LiveChange& c : changes) {
      auto [it, added] = m_changes.try_emplace(c.call, c);
      if (added) continue;
      LiveChange& kept = it->second;
      if (c.value_changed) {
        kept.value_changed = true;
        kept.value = std::move(c.value);
      }
      if (c.block_changed) {
        kept.block_changed = true;
        kept.block_rows = c.block_rows;
        kept.block_cols = c.block_cols;
        kept.block = std::move(c.block);
      }
    }
    for (std::string& m : messages) m_messages.push_back(std::move(m));
    const bool ask = !m_asked;
    m_asked = true;
    return ask;
  }

  struct Taken {
    std::vector<LiveChange> changes;  // by call id
    std::vector<std::string> messages;
  };
  // Everything put since the last take; the next put asks again.
  Taken take() {
    const std::lock_guard lock(m_mutex);
    Taken t;
    t.changes.reserve(m_changes.size());
    for (auto& [id, c] : m_changes) t.changes.push_back(std::move(c));
    m_changes.clear();
    t.messages.swap(m_messages);
    m_asked = false;
    return t;
  }

 private:
  std::mutex m_mutex;
  std::map<std::int64_t, LiveChange> m_changes;
  std::vector<std::string> m_messages;
  bool m_asked = false;
};

}  // namespace quillo::host::lo
