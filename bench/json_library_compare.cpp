// Compares the two JSON libraries Debian offers on a quote answer of about
// 10 MB: parse the whole answer, then read 100 fields by member names.
// Run one library per process so its peak memory can be read apart:
//   json_library_compare nlohmann   (or simdjson), under /usr/bin/time -v
// Not part of the build: compiled by hand, see docs/benchmarks.md.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include <simdjson.h>
#include <nlohmann/json.hpp>

namespace {

// {"quotes":[{"symbol":"S0","last":1.5,"change":-0.25,"volume":1200,"name":"..."},...]}
std::string answer(std::size_t bytes) {
  std::string out = "{\"quotes\":[";
  for (std::size_t i = 0; out.size() < bytes; ++i) {
    if (i) out += ',';
    out += "{\"symbol\":\"S" + std::to_string(i) + "\",\"last\":" + std::to_string(100 + i % 977) +
           ".25,\"change\":-0.5,\"volume\":" + std::to_string(1000 + i) +
           ",\"name\":\"Instrument number " + std::to_string(i) + " of the market\"}";
  }
  return out + "]}";
}

}  // namespace

int main(int argc, char** argv) {
  const bool simd = argc > 1 && std::strcmp(argv[1], "simdjson") == 0;
  const std::string text = answer(10 * 1000 * 1000);
  const int rounds = 5;
  double sum = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (int r = 0; r < rounds; ++r) {
    if (simd) {
      simdjson::dom::parser parser;
      simdjson::dom::element doc = parser.parse(text);
      simdjson::dom::array quotes = doc["quotes"];
      for (std::size_t k = 0; k < 100; ++k) {
        double v = quotes.at(k * 800)["last"];
        sum += v;
      }
    } else {
      const nlohmann::json doc = nlohmann::json::parse(text);
      const nlohmann::json& quotes = doc["quotes"];
      for (std::size_t k = 0; k < 100; ++k) sum += quotes[k * 800]["last"].get<double>();
    }
  }
  const double s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / rounds;
  std::printf("%s: %.1f MB in %.1f ms per answer = %.0f MB/s (check %.0f)\n",
              simd ? "simdjson" : "nlohmann", text.size() / 1e6, s * 1e3, text.size() / 1e6 / s,
              sum);
}
