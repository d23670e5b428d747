// The request spine end to end: 1,000 instruments x 10 fields = 10,000
// formula cells of one category, against the local market-data service on
// 127.0.0.1, max_requests_allowed 8. Measures the time until every cell
// shows its value (with the one-second pacing of queued requests, and with
// send-on-completion), the same 1,000 URLs fetched by
// `curl --parallel --parallel-max 8`, peak memory, and the loop thread's
// CPU time per cell when the service answers without delay.
//
//   build/release/bench/spine_bench [--delay-ms 20] [--skip-paced]
#include <sys/resource.h>
#include <time.h>

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

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Outcome {
  double seconds = 0;
  double loop_cpu_seconds = 0;
  int filled = 0;
  std::int64_t http_requests = 0;
};

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

  const std::int64_t before = svc.requests();
  const auto start = std::chrono::steady_clock::now();
  const double cpu_start = thread_cpu_seconds();
  const auto& instruments = service::instruments();
  for (int i = 0; i < kInstruments; ++i) {
    for (int f = 0; f < 10; ++f) {
      const std::string formula = "=fsingle(\"" + instruments[static_cast<std::size_t>(i)].symbol +
                                  "\",\"LMS.QUO." + kFields[f] + "\")";
      (void)(*sheet->cell(i + 1, f + 1))->set_formula(formula);
    }
  }
  loop.run_until([&] { return engine.idle(); }, 600000);
  Outcome out;
  out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  out.loop_cpu_seconds = thread_cpu_seconds() - cpu_start;
  out.http_requests = svc.requests() - before;
  for (int i = 0; i < kInstruments; ++i) {
    for (int f = 0; f < 10; ++f) {
      const Value v = *(*sheet->cell(i + 1, f + 1))->value();
      if (v.is_number() || (v.is_text() && v.text() != "Loading data..." && !v.text().empty())) {
        ++out.filled;
      }
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

void report(const char* what, const Outcome& o) {
  std::printf("%-34s %8.3f s  %5d/%d cells  %5lld HTTP requests  loop CPU %.3f s (%.1f us/cell)\n",
              what, o.seconds, o.filled, kInstruments * 10, static_cast<long long>(o.http_requests),
              o.loop_cpu_seconds, o.loop_cpu_seconds * 1e6 / (kInstruments * 10));
}

}  // namespace

int main(int argc, char** argv) {
  int delay = 20;
  bool skip_paced = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--delay-ms" && i + 1 < argc) delay = std::atoi(argv[++i]);
    if (arg == "--skip-paced") skip_paced = true;
  }
  service::MarketService svc;
  if (!svc.running()) return 1;
  std::printf("1,000 instruments x 10 fields, max_requests_allowed 8, answers after %d ms\n",
              delay);
  const double curl_seconds = run_curl(svc, delay);
  std::printf("%-34s %8.3f s\n", "curl --parallel --parallel-max 8", curl_seconds);
  const Outcome eager = run_spine(svc, delay, true);
  report("quillo, send on completion", eager);
  std::printf("%-34s %8.2fx curl\n", "", eager.seconds / curl_seconds);
  if (!skip_paced) report("quillo, one-second pacing", run_spine(svc, delay, false));
  const Outcome fast = run_spine(svc, 0, true);
  report("quillo, no delay, send on completion", fast);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak memory (whole process, service included): %.1f MB\n",
              static_cast<double>(usage.ru_maxrss) / 1024.0);
  return 0;
}
