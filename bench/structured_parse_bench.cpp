// JSON and CSV answers read by the definitions: a quote list of about
// 10 MB and a category of 100 fields, half by array index and half by the
// "[symbol=...]" selection (a scan of the list), as the engine parses an
// answer when it arrives. Bytes per second are of the answer.
#include <benchmark/benchmark.h>

#include <string>

#include "parse/structured_answer.h"

namespace {

constexpr std::size_t kAnswerBytes = 10 * 1000 * 1000;
constexpr int kFields = 100;

std::string json_answer(std::size_t& count) {
  std::string out = "{\"asOf\":\"2026-12-07T16:00:00Z\",\"quotes\":[";
  for (count = 0; out.size() < kAnswerBytes; ++count) {
    if (count) out += ',';
    const std::string i = std::to_string(count);
    out += "{\"symbol\":\"S" + i + "\",\"name\":\"Instrument " + i +
           " Holdings\",\"last\":" + std::to_string(100 + count % 977) +
           ".25,\"change\":-0.5,\"changePct\":-0.49," +
           "\"range\":{\"low\":99.5,\"high\":101.25},\"volume\":" + std::to_string(1000 + count) +
           ",\"currency\":\"USD\"}";
  }
  return out + "]}";
}

std::string csv_answer(std::size_t& count) {
  std::string out = "Symbol,Name,Last,Change,Change %,Low,High,Volume,Currency\r\n";
  for (count = 0; out.size() < kAnswerBytes; ++count) {
    const std::string i = std::to_string(count);
    out += "S" + i + ",\"Instrument " + i + ", Holdings\"," + std::to_string(100 + count % 977) +
           ".25,-0.5,-0.49%,99.5,101.25," + std::to_string(1000 + count) + ",USD\r\n";
  }
  return out;
}

quillo::Category category(bool json, std::size_t count) {
  quillo::Category c;
  c.code = "QJS";
  c.answer = json ? "json" : "csv";
  static const char* const kMembers[] = {"last", "change", "changePct", "volume", "name"};
  static const char* const kColumns[] = {"Last", "Change", "Change %", "Volume", "Name"};
  for (int k = 0; k < kFields; ++k) {
    quillo::FieldDef f;
    f.id = std::to_string(k + 1);
    f.name = "F" + f.id;
    f.type = json ? "json" : "csv";
    // Spread over the list, so selections scan far into it.
    const std::string at = std::to_string(count * static_cast<std::size_t>(k) / kFields);
    if (json) {
      f.pointer = k % 2 ? "/quotes/" + at + "/" + kMembers[k % 5]
                        : "/quotes/[symbol=S" + at + "]/" + kMembers[k % 5];
    } else {
      f.column = kColumns[k % 5];
      f.keycolumn = "Symbol";
      f.key = "S" + at;
    }
    if (k % 5 != 4) f.figureconvert = "1";
    c.fields.push_back(std::move(f));
  }
  return c;
}

void run(benchmark::State& state, bool json) {
  std::size_t count = 0;
  const std::string answer = json ? json_answer(count) : csv_answer(count);
  const quillo::Category c = category(json, count);
  const quillo::AnswerKeys keys;
  std::size_t rows = 0;
  for (auto _ : state) {
    quillo::datarequest request;
    const std::string problem = quillo::structured_parse(answer, request, c, keys);
    if (!problem.empty()) state.SkipWithError(problem.c_str());
    rows += request.parsed.size();
    benchmark::DoNotOptimize(&request.parsed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * answer.size()));
  state.counters["fields"] = static_cast<double>(rows) / static_cast<double>(state.iterations());
}

void BM_JsonAnswer100Fields(benchmark::State& state) {
  run(state, true);
}
void BM_CsvAnswer100Fields(benchmark::State& state) {
  run(state, false);
}
BENCHMARK(BM_JsonAnswer100Fields)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CsvAnswer100Fields)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
