// LiveSession: the engine inside LibreOffice Calc, on a thread of its own.
// Calc's main thread must never wait for the network nor for the engine,
// so the engine's event loop (with its timers and the libcurl transport)
// runs on a worker thread, on the live book of host/libreoffice. Calls,
// removals and menu commands are posted to it; after every turn of its
// loop the changes are put in the outbox and, for the first put since the
// main thread last took them, changes_ready runs (on the worker) to ask
// the main thread for one callback.
//
// Nothing here knows UNO: the component makes the session and shows what
// take() hands out.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "host/libreoffice/live_book.h"
#include "host/libreoffice/live_outbox.h"

namespace quillo::lo {

// The function library's functions with their engine methods, read from
// the library file the build ships (tarnvale.xla); false on a bad file.
struct LibraryEntry {
  std::string function;       // "fsingle"
  std::string method;         // "i_fsingle"
  std::size_t arguments = 0;  // written in formulas (the calling cell not counted)
  bool takes_caller = false;
};
std::vector<LibraryEntry> library_entries(const std::string& library_text);

// The length of the engine's minute (the automatic update's clock) in
// milliseconds: 60,000, or QUILLO_CALC_MINUTE_SECONDS (tests and benchmarks
// shorten it; at least 0.01 s) when that holds a number.
std::int64_t minute_ms_from_environment(const char* seconds);

struct LiveSessionOptions {
  // The component's file; the data files (ds.xml, tarnvale.xla) lie in
  // data/ beside it.
  std::string module_path;
  std::function<void()> changes_ready;  // called on the worker thread
  std::int64_t minute_ms = 60000;
};

class LiveSession {
 public:
  // Starts the worker and connects the engine there.
  explicit LiveSession(LiveSessionOptions options);
  // Stops the worker (as stop) and waits for it.
  ~LiveSession();
  LiveSession(const LiveSession&) = delete;
  LiveSession& operator=(const LiveSession&) = delete;

  // Any thread. The call's id is chosen by the caller, unique per session.
  void add_call(std::int64_t id, host::lo::LiveCall call);
  void remove_call(std::int64_t id);
  // Clicks the menu entry with this caption ("Update data"); a missing or
  // disabled entry puts a message in the outbox.
  void menu(std::string caption);
  // Disconnects the engine and ends the worker; waits for it. Idempotent.
  void stop();
  host::lo::LiveOutbox::Taken take() { return m_outbox.take(); }

 private:
  void run();
  struct Engine;

  LiveSessionOptions m_options;
  host::lo::LiveOutbox m_outbox;
  std::atomic<bool> m_stopping{false};
  std::unique_ptr<Engine> m_engine;  // lives on the worker
  std::thread m_worker;
};

}  // namespace quillo::lo
