// quillo ui on a port another program listens on: it ends with exit 2, as
// the usage says, instead of sharing the port with it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "cli/ui_command.h"
#include "cli_workspace.h"

namespace quillo::cli {
namespace {

namespace fs = std::filesystem;

class UiPortTest : public testing_support::CliWorkspace {};

TEST_F(UiPortTest, APortInUseEndsWithExitTwo) {
  // The other program: a listener on a free loopback port that would let
  // others share it (as a server that sets SO_REUSEPORT does).
  const int other = ::socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  ::setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  ::setsockopt(other, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(other, 8), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::getsockname(other, reinterpret_cast<sockaddr*>(&addr), &len), 0);

  fs::create_directories(root / "web");
  std::ofstream(root / "web" / "index.html") << "<p>page</p>";
  fs::copy_file(fs::path(QUILLO_DATA_DIR) / "demo.xlsx", root / "demo.xlsx");
  UiOptions o;
  o.book = (root / "demo.xlsx").string();
  o.port = ntohs(addr.sin_port);
  o.open_browser = false;
  o.web_root = (root / "web").string();
  std::ostringstream out, err;
  // Should quillo ui start serving after all, a stop request ends it (the
  // test fails then rather than hangs).
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::thread stopper([&] {
    std::unique_lock lock(mutex);
    if (!ended.wait_for(lock, std::chrono::seconds(30), [&] { return done; }))
      ::kill(::getpid(), SIGTERM);
  });
  const int code = run_ui(o, out, err);
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  ended.notify_all();
  stopper.join();
  EXPECT_EQ(code, 2);
  EXPECT_NE(err.str().find("cannot listen on 127.0.0.1:" + std::to_string(o.port)),
            std::string::npos)
      << err.str();
  EXPECT_EQ(out.str().find("http://"), std::string::npos);
  ::close(other);
}

}  // namespace
}  // namespace quillo::cli
