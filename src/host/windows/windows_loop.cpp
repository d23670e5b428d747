#include "host/windows/windows_loop.h"

#include <windows.h>

#include <algorithm>
#include <mutex>

namespace quillo::host {

namespace {

constexpr UINT_PTR kTimerId = 1;
constexpr UINT kWakeMessage = WM_APP + 0x51;
constexpr const char* kClassName = "quillo.WindowsLoop";

// The module holding this code (quillo.dll inside the host, the program in
// tests): the window class belongs to it.
HINSTANCE own_instance() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&own_instance), &module);
  return module;
}

LRESULT CALLBACK loop_window_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if ((msg == WM_TIMER && wparam == kTimerId) || msg == kWakeMessage) {
    auto* loop = reinterpret_cast<WindowsLoop*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (loop) {
      // An exception must not unwind through the system's frames between
      // the message loop and this procedure; the handler's own caller
      // cannot see it anyway.
      try {
        loop->on_wake();
      } catch (...) {
        OutputDebugStringA("quillo: an event-loop handler failed with an exception\n");
      }
    }
    return 0;
  }
  return DefWindowProcA(hwnd, msg, wparam, lparam);
}

// The window class is registered while any loop exists, and unregistered
// with the last one, so a DLL that is unloaded leaves no class behind that
// points into it.
std::mutex g_class_mutex;
int g_class_users = 0;

bool acquire_class() {
  std::lock_guard<std::mutex> lock(g_class_mutex);
  if (g_class_users == 0) {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = loop_window_proc;
    wc.hInstance = own_instance();
    wc.lpszClassName = kClassName;
    if (!RegisterClassExA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  }
  ++g_class_users;
  return true;
}

void release_class() {
  std::lock_guard<std::mutex> lock(g_class_mutex);
  if (--g_class_users == 0) UnregisterClassA(kClassName, own_instance());
}

HWND hwnd_of(void* window) {
  return static_cast<HWND>(window);
}

}  // namespace

WindowsLoop::WindowsLoop() : WindowsLoop(m_system_clock) {}

WindowsLoop::WindowsLoop(const Clock& clock) : m_clock(clock) {
  m_now = m_clock.monotonic_ms();
  // The class or the window is refused now and then while the session's
  // desktop is still starting (seen under Wine on a loaded machine, where a
  // refusal has lasted several seconds): tries a short pause apart, the
  // pauses growing, for up to ten seconds before the loop gives up. A
  // desktop that answers at once costs no wait.
  HWND hwnd = nullptr;
  const ULONGLONG started = GetTickCount64();
  for (DWORD pause = 25; hwnd == nullptr; pause = std::min<DWORD>(pause * 2, 400)) {
    if (acquire_class()) {
      hwnd = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             own_instance(), nullptr);
      if (hwnd == nullptr) {
        m_error = GetLastError();
        release_class();
      }
    } else {
      m_error = GetLastError();
    }
    if (hwnd != nullptr || GetTickCount64() - started >= 10000) break;
    Sleep(pause);
  }
  if (hwnd == nullptr) return;
  SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  m_window = hwnd;
}

WindowsLoop::~WindowsLoop() {
  if (m_window == nullptr) return;
  HWND hwnd = hwnd_of(m_window);
  KillTimer(hwnd, kTimerId);
  SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
  DestroyWindow(hwnd);
  release_class();
}

void WindowsLoop::wake() {
  if (m_window == nullptr || m_wake_pending.exchange(true)) return;
  if (!PostMessageA(hwnd_of(m_window), kWakeMessage, 0, 0)) m_wake_pending = false;
}

void WindowsLoop::schedule_changed() {
  // During a dispatch the loop re-arms once at its end.
  if (!m_dispatching) arm();
}

void WindowsLoop::arm() {
  if (m_window == nullptr) return;
  bool wake_now = has_posted() || has_foreign();
  HWND hwnd = hwnd_of(m_window);
  const std::int64_t deadline = next_deadline();
  if (deadline < 0) {
    if (m_timer_set) KillTimer(hwnd, kTimerId);
    m_timer_set = false;
  } else {
    // SetTimer takes at most about 24 days; a later deadline re-arms on
    // the way.
    const std::int64_t delay =
        std::clamp<std::int64_t>(deadline - m_clock.monotonic_ms(), 0, 0x7ffffff0);
    if (delay > 0) {
      m_timer_set = SetTimer(hwnd, kTimerId, static_cast<UINT>(delay), nullptr) != 0;
    } else {
      wake_now = true;  // due already: wake at once rather than after the timer's minimum
    }
  }
  if (wake_now) wake();
}

void WindowsLoop::on_wake() {
  m_wake_pending = false;
  // A handler's nested message loop (a message box) delivers our messages
  // again: the outer dispatch finishes first and re-arms.
  if (m_dispatching) return;
  struct Dispatching {
    bool& flag;
    explicit Dispatching(bool& f) : flag(f) { flag = true; }
    ~Dispatching() { flag = false; }
  };
  {
    Dispatching guard(m_dispatching);
    m_now = m_clock.monotonic_ms();
    dispatch_due();
  }
  arm();
}

bool WindowsLoop::run_until(const std::function<bool()>& done, std::int64_t timeout_ms) {
  const std::int64_t end = m_clock.monotonic_ms() + timeout_ms;
  while (true) {
    if (done()) return true;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));
        return done();
      }
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
      if (done()) return true;
    }
    const std::int64_t left = end - m_clock.monotonic_ms();
    if (left <= 0) return done();
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(std::min<std::int64_t>(left, 60000)),
                                QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

}  // namespace quillo::host
