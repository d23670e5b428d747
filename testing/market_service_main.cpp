// quillo-market: runs the local market-data service until it is
// interrupted (SIGINT or SIGTERM), for demos and for saving pages.
//
//   quillo-market [UNIX_MS]
//
// Prints the main and the fault server's base addresses, one a line. With
// UNIX_MS the service's clock stands still at that moment.
#include <csignal>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#include "market_service.h"

int main(int argc, char** argv) {
  constexpr const char* kUsage = "usage: quillo-market [UNIX_MS]\n";
  if (argc > 2) {
    std::cerr << kUsage;
    return 2;
  }
  std::int64_t moment = 0;
  if (argc == 2) {
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
      std::cout << kUsage;
      return 0;
    }
    // A moment in milliseconds since 1970, as digits only: anything else is
    // a mistake to report, not a clock set to zero.
    std::size_t used = 0;
    try {
      moment = std::stoll(argv[1], &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || argv[1][used] != '\0' || moment < 0) {
      std::cerr << "quillo-market: not a moment in milliseconds: " << argv[1] << "\n" << kUsage;
      return 2;
    }
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  // Blocked before the server threads start, so only sigwait sees them.
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  quillo::service::MarketService service;
  if (!service.running()) {
    std::cerr << "quillo-market: cannot listen on 127.0.0.1\n";
    return 1;
  }
  if (argc == 2) service.set_time(moment);
  std::cout << service.base_url() << "\n" << service.fault_url() << std::endl;
  int signal = 0;
  sigwait(&signals, &signal);
  return 0;
}
