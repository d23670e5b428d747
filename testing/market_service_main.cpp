// quillo-market: runs the local market-data service until it is
// interrupted (SIGINT or SIGTERM), for demos and for saving pages.
//
//   quillo-market [UNIX_MS]
//
// Prints the main and the fault server's base addresses, one a line. With
// UNIX_MS the service's clock stands still at that moment.
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>

#include "market_service.h"

int main(int argc, char** argv) {
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
  if (argc > 1) service.set_time(std::atoll(argv[1]));
  std::cout << service.base_url() << "\n" << service.fault_url() << std::endl;
  int signal = 0;
  sigwait(&signals, &signal);
  return 0;
}
