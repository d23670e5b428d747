// The table of response processors: operations named by text that receive
// an answer (response text, request number, HTTP status, message). A
// monitor looks its processor up here by name when the answer arrives;
// an unknown name means the answer is neither read nor passed on.
// Loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace quillo::http {

// Status passed for a transport failure (no HTTP answer at all).
inline constexpr std::int16_t kTransportFailure = -9999;

using ResponseProcessor = std::function<void(const std::string& response, std::int32_t reqno,
                                             std::int16_t status, const std::string& message)>;

class ResponseProcessors {
 public:
  void add(std::string name, ResponseProcessor fn) { m_table[std::move(name)] = std::move(fn); }
  // The processor with exactly this name, or nullptr.
  const ResponseProcessor* find(std::string_view name) const {
    const auto it = m_table.find(name);
    return it == m_table.end() ? nullptr : &it->second;
  }

 private:
  std::map<std::string, ResponseProcessor, std::less<>> m_table;
};

}  // namespace quillo::http
