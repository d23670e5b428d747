// The process on Windows (see host/process.h): the module holding quillo's
// code (quillo.dll inside the host), console checks, a temporary folder
// only its user may enter, and console control events as stop requests.
#include "host/process.h"

#include <windows.h>
// sddl.h needs windows.h first.
#include <sddl.h>

#include <atomic>
#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace quillo::host {

std::string own_module_path() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&own_module_path), &module)) {
    return {};
  }
  std::string path(MAX_PATH, '\0');
  while (true) {
    const DWORD n = GetModuleFileNameA(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    // A full buffer means the name was cut short: try a larger one.
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

namespace {

bool is_console(DWORD which) {
  HANDLE h = GetStdHandle(which);
  DWORD mode = 0;
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

// "D:P(A;OICI;FA;;;<user's SID>)": full access for this user alone,
// inherited by what is made inside, nothing inherited from the parent.
std::string owner_only_sddl() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buf(size);
  std::string sddl;
  if (size > 0 && GetTokenInformation(token, TokenUser, buf.data(), size, &size)) {
    char* sid = nullptr;
    if (ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid, &sid)) {
      sddl = std::string("D:P(A;OICI;FA;;;") + sid + ")";
      LocalFree(sid);
    }
  }
  CloseHandle(token);
  return sddl;
}

}  // namespace

bool stderr_is_terminal() {
  return is_console(STD_ERROR_HANDLE);
}

bool stdout_is_terminal() {
  return is_console(STD_OUTPUT_HANDLE);
}

std::string make_private_temp_folder(std::string_view prefix) {
  char base[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof base, base);
  if (n == 0 || n > MAX_PATH) return {};
  const std::string sddl = owner_only_sddl();
  SECURITY_ATTRIBUTES sa{static_cast<DWORD>(sizeof sa), nullptr, FALSE};
  if (sddl.empty() || !ConvertStringSecurityDescriptorToSecurityDescriptorA(
                          sddl.c_str(), SDDL_REVISION_1, &sa.lpSecurityDescriptor, nullptr)) {
    return {};
  }
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::string made;
  for (int attempt = 0; attempt < 100 && made.empty(); ++attempt) {
    std::string path = std::string(base) + std::string(prefix);
    for (int i = 0; i < 8; ++i) path += kChars[random() % (sizeof kChars - 1)];
    if (CreateDirectoryA(path.c_str(), &sa)) {
      made = path;
    } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
      break;
    }
  }
  LocalFree(sa.lpSecurityDescriptor);
  return made;
}

namespace {

// Console control events arrive on a thread the system makes; the loop
// looks at the count on a short timer, so any EventLoop can receive them.
std::atomic<unsigned> g_stop_count{0};
TimerId g_stop_timer = 0;
constexpr std::int64_t kStopPollMs = 100;

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      ++g_stop_count;
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

StopRequests::StopRequests() {
  m_fd = SetConsoleCtrlHandler(on_console_event, TRUE) ? 0 : -1;
}

// The handler stays: a second Ctrl-C during a final save must not end the
// process either.
StopRequests::~StopRequests() = default;

void StopRequests::watch(EventLoop& loop, std::function<void()> on_stop) {
  if (m_fd < 0) return;
  unwatch(loop);
  // The loop runs a copy of the handler: the count seen is kept outside it.
  auto seen = std::make_shared<unsigned>(g_stop_count.load());
  g_stop_timer = loop.set_timer(kStopPollMs, [seen, on_stop = std::move(on_stop)] {
    const unsigned now = g_stop_count.load();
    for (; *seen != now; ++*seen) on_stop();
  });
}

void StopRequests::unwatch(EventLoop& loop) {
  if (g_stop_timer != 0) loop.kill_timer(std::exchange(g_stop_timer, 0));
}

}  // namespace quillo::host
