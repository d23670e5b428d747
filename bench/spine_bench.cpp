// The request spine end to end: 1,000 instruments x 10 fields = 10,000
// formula cells of one category, against the local market-data service on
// 127.0.0.1, max_requests_allowed 8. Measures the time until every cell
// shows its value (with the one-second pacing of queued requests, and with
// send-on-completion), the same 1,000 URLs fetched by
// `curl --parallel --parallel-max 8`, peak memory, and the loop thread's
// CPU time per cell (user and system) when the service answers without
// delay, from the first formula entered until the last cell shows its
// value. The service's clock is fixed, so every cell's value is known:
// each is checked against the market's figure, and the benchmark fails
// (exit 1) when a cell is missing or wrong.
//
//   build/rel/bench/spine_bench [--delay-ms 20] [--skip-paced] [--repeat N]
//                               [--no-delay-only]
//
// --repeat runs the case without delay N times (each in a fresh engine and
// workbook) and reports every run and the median; --no-delay-only skips
// curl and the delayed cases (for profiling).
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cmath>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/text.h"
#include "demo/market_data.h"
#include "host/event_loop.h"
#include "host/posix/poll_loop.h"
#include "host/worksheet.h"
#include "http/curl_transport.h"
#include "market_service.h"
#include "requests/engine.h"
#include "spreadsheet/application.h"

namespace {

using namespace quillo;

constexpr int kInstruments = 1000;
const char* const kFields[10] = {"LAST",   "CHANGE",  "CHANGEPCT", "PREVCLOSE", "OPEN",
                                 "DAYLOW", "DAYHIGH", "VOLUME",    "MARKETCAP", "NAME"};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buf;
  buf << in.rdbuf();
  return buf.str();
}

// The calling thread's CPU time so far, user and system, and the page
// faults it took (each one is system time).
struct ThreadCpu {
  double user = 0, system = 0;
  long faults = 0;
};
ThreadCpu thread_cpu() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  auto seconds = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
  };
  return {seconds(usage.ru_utime), seconds(usage.ru_stime), usage.ru_minflt + usage.ru_majflt};
}

// 2026-01-02 14:30 UTC, within a trading day: the service's pages show the
// figures of this moment.
constexpr std::int64_t kMoment = 1767364200000;

// Whether a cell shows the market's figure for its instrument and field.
bool correct(const Value& v, const service::Instrument& inst, int field) {
  if (field == 9) return v.is_text() && v.text() == inst.name;
  if (!v.is_number()) return false;
  const service::Quote q = service::quote_at(inst, kMoment);
  const double expected[9] = {q.last,
                              q.change,
                              q.change_pct / 100,
                              q.prev_close,
                              q.open,
                              q.day_low,
                              q.day_high,
                              static_cast<double>(q.volume),
                              q.market_cap_billions * 1e9};
  const double want = expected[field];
  return std::fabs(v.number() - want) <= 1e-9 * std::max(1.0, std::fabs(want));
}

struct Outcome {
  double seconds = 0;
  ThreadCpu loop_cpu;
  int filled = 0;   // cells showing a value
  int correct = 0;  // of them, the market's figure
  std::int64_t http_requests = 0;
  double cpu() const { return loop_cpu.user + loop_cpu.system; }
};

// The timed part: the formulas entered (kInstruments rows of ten) and the
// loop run until every answer is in. A function of its own, so callgrind
// can count it alone (--toggle-collect='*enter_and_fill*').
[[gnu::noinline]] void enter_and_fill(host::Worksheet& sheet,
                                      const std::vector<std::string>& formulas,
                                      host::PollLoop& loop, Engine& engine) {
  for (int i = 0; i < kInstruments; ++i) {
    for (int f = 0; f < 10; ++f) {
      const std::size_t at = static_cast<std::size_t>(i) * 10 + static_cast<std::size_t>(f);
      (void)(*sheet.cell(i + 1, f + 1))->set_formula(formulas[at]);
    }
  }
  loop.run_until([&] { return engine.idle(); }, 600000);
}

Outcome run_spine(service::MarketService& svc, int delay_ms, bool send_on_completion) {
  host::PollLoop loop;
  http::CurlTransport transport(loop);
  spreadsheet::Application app;
  Engine engine(app, loop, transport);

  std::string xml = slurp(std::string(QUILLO_DATA_DIR) + "/ds.xml");
  if (delay_ms > 0) {
    text::replace_all(xml, "http://127.0.0.1:{port}/quote<",
                      "http://127.0.0.1:{port}/quote?_delay=" + std::to_string(delay_ms) + "<");
  }
  text::replace_all(xml, "{port}", std::to_string(svc.port()));
  if (!engine.load_definitions(xml) ||
      !engine.install_library(std::string(QUILLO_DATA_DIR) + "/tarnvale.xla").ok()) {
    std::cerr << engine.definitions().error() << "\n";
    std::exit(1);
  }
  engine.manager().set_send_on_completion(send_on_completion);
  engine.start_pass(1000);
  auto sheet = *(*app.workbooks().add())->active_sheet();

  // The formulas' texts are what a user types: they are written before the
  // clock starts, so the figure is quillo's work from entry to value.
  const auto& instruments = service::instruments();
  std::vector<std::string> formulas;
  formulas.reserve(static_cast<std::size_t>(kInstruments) * 10);
  for (int i = 0; i < kInstruments; ++i) {
    for (int f = 0; f < 10; ++f) {
      formulas.push_back("=fsingle(\"" + instruments[static_cast<std::size_t>(i)].symbol +
                         "\",\"LMS.QUO." + kFields[f] + "\")");
    }
  }
  const std::int64_t before = svc.requests();
  const auto start = std::chrono::steady_clock::now();
  const ThreadCpu cpu_start = thread_cpu();
  enter_and_fill(*sheet, formulas, loop, engine);
  Outcome out;
  out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const ThreadCpu cpu_end = thread_cpu();
  out.loop_cpu = {cpu_end.user - cpu_start.user, cpu_end.system - cpu_start.system,
                  cpu_end.faults - cpu_start.faults};
  out.http_requests = svc.requests() - before;
  for (int i = 0; i < kInstruments; ++i) {
    for (int f = 0; f < 10; ++f) {
      const Value v = *(*sheet->cell(i + 1, f + 1))->value();
      if (v.is_number() || (v.is_text() && v.text() != "Loading data..." && !v.text().empty())) {
        ++out.filled;
      }
      if (correct(v, instruments[static_cast<std::size_t>(i)], f)) ++out.correct;
    }
  }
  return out;
}

double run_curl(service::MarketService& svc, int delay_ms) {
  const std::string config = "/tmp/quillo-spine-bench-curl.txt";
  {
    std::ofstream out(config);
    const auto& instruments = service::instruments();
    for (int i = 0; i < kInstruments; ++i) {
      out << "url = \"" << svc.base_url() << "/quote?_delay=" << delay_ms
          << "&s=" << instruments[static_cast<std::size_t>(i)].symbol << "\"\noutput = /dev/null\n";
    }
  }
  const auto start = std::chrono::steady_clock::now();
  const int rc = std::system(
      ("curl -s --no-progress-meter --parallel --parallel-max 8 -K " + config + " 2>/dev/null")
          .c_str());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::remove(config.c_str());
  return rc == 0 ? seconds : -1;
}

constexpr int kCells = kInstruments * 10;

// Prints one run; false when a cell is missing or wrong.
bool report(const char* what, const Outcome& o) {
  std::printf(
      "%-38s %7.3f s  %5d/%d cells (%d right)  %4lld HTTP requests  loop CPU %.3f s "
      "(%.1f us/cell: user %.1f, system %.1f; %ld page faults)\n",
      what, o.seconds, o.filled, kCells, o.correct, static_cast<long long>(o.http_requests),
      o.cpu(), o.cpu() * 1e6 / kCells, o.loop_cpu.user * 1e6 / kCells,
      o.loop_cpu.system * 1e6 / kCells, o.loop_cpu.faults);
  return o.filled == kCells && o.correct == kCells;
}

}  // namespace

int main(int argc, char** argv) {
  int delay = 20;
  int repeat = 1;
  bool skip_paced = false;
  bool no_delay_only = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--delay-ms" && i + 1 < argc) delay = std::atoi(argv[++i]);
    if (arg == "--repeat" && i + 1 < argc) repeat = std::max(1, std::atoi(argv[++i]));
    if (arg == "--skip-paced") skip_paced = true;
    if (arg == "--no-delay-only") no_delay_only = true;
  }
  service::MarketService svc;
  if (!svc.running()) return 1;
  svc.set_time(kMoment);
  bool ok = true;
  if (!no_delay_only) {
    std::printf("1,000 instruments x 10 fields, max_requests_allowed 8, answers after %d ms\n",
                delay);
    const double curl_seconds = run_curl(svc, delay);
    std::printf("%-38s %7.3f s\n", "curl --parallel --parallel-max 8", curl_seconds);
    const Outcome eager = run_spine(svc, delay, true);
    ok = report("quillo, send on completion", eager) && ok;
    std::printf("%-38s %7.2fx curl\n", "", eager.seconds / curl_seconds);
    if (!skip_paced) ok = report("quillo, one-second pacing", run_spine(svc, delay, false)) && ok;
  }
  std::vector<double> per_cell;
  for (int k = 0; k < repeat; ++k) {
    const Outcome fast = run_spine(svc, 0, true);
    ok = report("quillo, no delay, send on completion", fast) && ok;
    per_cell.push_back(fast.cpu() * 1e6 / kCells);
  }
  if (repeat > 1) {
    std::sort(per_cell.begin(), per_cell.end());
    std::printf("%-38s median %.1f us/cell, best %.1f, worst %.1f over %d runs\n",
                "quillo, no delay, loop CPU", per_cell[per_cell.size() / 2], per_cell.front(),
                per_cell.back(), repeat);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak memory (whole process, service included): %.1f MB\n",
              static_cast<double>(usage.ru_maxrss) / 1024.0);
  if (!ok) std::fprintf(stderr, "spine_bench: cells missing or wrong\n");
  return ok ? 0 : 1;
}
