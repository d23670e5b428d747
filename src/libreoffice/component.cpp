// quillo's UNO component for LibreOffice Calc: the add-in service
// org.quillo.Calc (the worksheet functions, each answering a live result),
// the protocol handler behind the "Tarnvale" menu (org.quillo.calc: URLs)
// and the job that recalculates quillo's cells in a document just loaded.
//
// Threads: Calc calls the functions, the listeners' methods, the menu and
// the job on its main thread while it holds its global mutex; they never
// wait for the engine, which runs on the LiveSession's worker. The worker
// asks for one AsyncCallback per batch of changes; the callback (main
// thread) updates the live results and writes tables into the documents.
// No lock of ours is held while Calc is called back (modified()).
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <com/sun/star/awt/AsyncCallback.hpp>
#include <com/sun/star/awt/XCallback.hpp>
#include <com/sun/star/awt/XRequestCallback.hpp>
#include <com/sun/star/beans/NamedValue.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/document/DocumentEvent.hpp>
#include <com/sun/star/document/XDocumentEventBroadcaster.hpp>
#include <com/sun/star/document/XDocumentEventListener.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/frame/XDesktop.hpp>
#include <com/sun/star/frame/XDispatch.hpp>
#include <com/sun/star/frame/XDispatchProvider.hpp>
#include <com/sun/star/frame/XTerminateListener.hpp>
#include <com/sun/star/frame/theGlobalEventBroadcaster.hpp>
#include <com/sun/star/lang/XInitialization.hpp>
#include <com/sun/star/lang/XServiceInfo.hpp>
#include <com/sun/star/lang/XServiceName.hpp>
#include <com/sun/star/lang/XSingleComponentFactory.hpp>
#include <com/sun/star/sheet/LocalizedName.hpp>
#include <com/sun/star/sheet/XAddIn.hpp>
#include <com/sun/star/sheet/XCompatibilityNames.hpp>
#include <com/sun/star/sheet/XResultListener.hpp>
#include <com/sun/star/sheet/XVolatileResult.hpp>
#include <com/sun/star/task/XJob.hpp>
#include <com/sun/star/uno/XComponentContext.hpp>
#include <cppuhelper/factory.hxx>
#include <cppuhelper/implbase1.hxx>
#include <cppuhelper/implbase2.hxx>
#include <cppuhelper/implbase3.hxx>
#include <cppuhelper/implbase6.hxx>
#include <cppuhelper/implementationentry.hxx>
#include <cppuhelper/supportsservice.hxx>
#include <org/quillo/XCalcFunctions.hpp>
#include <rtl/ref.hxx>
#include <rtl/ustring.hxx>

#include "common/text.h"
#include "indicators/indicator_frame.h"
#include "libreoffice/calc_documents.h"
#include "libreoffice/function_info.h"
#include "libreoffice/live_session.h"
#include "libreoffice/uno_values.h"
#include "requests/registry.h"

namespace css = com::sun::star;
using css::uno::Any;
using css::uno::Reference;
using css::uno::RuntimeException;
using css::uno::Sequence;
using css::uno::XComponentContext;
using css::uno::XInterface;
using rtl::OString;
using rtl::OUString;

namespace quillo::lo {

namespace {

constexpr char kAddInName[] = "org.quillo.Calc";
constexpr char kMenuName[] = "org.quillo.calc.Menu";
constexpr char kJobName[] = "org.quillo.calc.LoadJob";
constexpr char kProtocol[] = "org.quillo.calc:";

// The folder of this library, with a trailing separator.
std::string own_folder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&own_folder), &info) == 0 || !info.dli_fname) return {};
  std::string path = info.dli_fname;
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

class Host;
Host& host();

// Whether the function writes an indicator series beside its cell (every
// function but the single items, the history table and the web link).
bool is_indicator(const FunctionInfo& f) {
  return !text::iequals(f.programmatic, "FSINGLE") && !text::iequals(f.programmatic, "FHISTORY") &&
         !text::iequals(f.programmatic, "WLINK");
}

// Whether the value says the call's answer is still to come.
bool in_progress(const Value& v) {
  return v.is_text() &&
         (v.text() == status_message(StatusText::Loading) || v.text() == indicators::kCalculating);
}

// Whether a history call's value is a failure (not its status while it
// loads, nor "Data loaded.").
bool history_failed(const Value& v) {
  if (v.is_error()) return true;
  if (!v.is_text() || v.text().empty()) return false;
  for (const StatusText s : {StatusText::Loading, StatusText::Updating, StatusText::Initializing,
                             StatusText::DataLoaded}) {
    if (v.text() == status_message(s)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// A live result: what one call (function and arguments) shows, shared by
// every cell making that call.

class LiveResult final : public cppu::WeakImplHelper1<css::sheet::XVolatileResult> {
 public:
  // Until the engine's first answer comes (a turn of its loop later), the
  // call shows the status every call starts with: Calc takes the first
  // value told to a new listener as what the cell shows.
  explicit LiveResult(std::int64_t id) : m_id(id) {
    m_value <<= ou(status_message(StatusText::Loading));
  }
  std::int64_t id() const { return m_id; }

  void SAL_CALL addResultListener(const Reference<css::sheet::XResultListener>& l) override;
  void SAL_CALL removeResultListener(const Reference<css::sheet::XResultListener>& l) override;

  // Main thread: the new value, told to every listener (no lock held).
  // The same value again tells nobody: Calc computes the cells of a told
  // result again, which calls the function again.
  void set(const Any& value) {
    std::vector<Reference<css::sheet::XResultListener>> listeners;
    {
      const std::lock_guard lock(m_mutex);
      if (m_value == value) return;
      m_value = value;
      listeners = m_listeners;
    }
    notify(listeners, value);
  }
  // What the cells show now, as text.
  std::string text() {
    Any value;
    {
      const std::lock_guard lock(m_mutex);
      value = m_value;
    }
    OUString s;
    if (value >>= s) return u8(s);
    return argument(value).to_text();
  }

 private:
  void notify(const std::vector<Reference<css::sheet::XResultListener>>& listeners,
              const Any& value) {
    css::sheet::ResultEvent event(static_cast<cppu::OWeakObject*>(this), value);
    for (const auto& l : listeners) {
      try {
        l->modified(event);
      } catch (const css::uno::Exception&) {
        // A listener that is gone is dropped by Calc itself.
      }
    }
  }

  const std::int64_t m_id;
  std::mutex m_mutex;
  Any m_value;
  std::vector<Reference<css::sheet::XResultListener>> m_listeners;
};

// ---------------------------------------------------------------------------
// The process's one connection of the engine to Calc.

class Notifier;

class Host {
 public:
  // Main thread. The shared result for this call, made (and handed to the
  // engine) on first use.
  Reference<css::sheet::XVolatileResult> call(const FunctionInfo& f, std::vector<Value> args,
                                              Value link_store = Value());
  // Main thread: the listeners of a result are gone.
  void drop(std::int64_t id);
  // Main thread: a menu entry.
  void menu(const std::string& command);
  // Main thread, from the AsyncCallback: shows what the engine changed.
  void deliver();
  // Worker thread: asks the main thread for one callback.
  void ask_callback();
  void set_context(const Reference<XComponentContext>& ctx);
  void terminate();

 private:
  bool start();

  std::mutex m_mutex;  // the tables below; never held while calling Calc
  Reference<XComponentContext> m_ctx;
  std::map<std::string, rtl::Reference<LiveResult>> m_by_key;
  std::map<std::int64_t, std::pair<std::string, rtl::Reference<LiveResult>>> m_by_id;
  std::map<std::int64_t, const FunctionInfo*> m_functions;
  std::map<std::int64_t, std::vector<Value>> m_arguments;
  // The last table of each call, and the calls whose tables are to be
  // written again: a call made again may come from a cell that has none
  // yet (the same arguments in another cell or document).
  std::map<std::int64_t, host::lo::LiveChange> m_last_blocks;
  std::map<std::int64_t, Value> m_values;  // each call's value as the engine has it
  std::set<std::int64_t> m_rewrite;
  std::int64_t m_next_id = 1;
  std::vector<LibraryEntry> m_library;
  std::unique_ptr<LiveSession> m_session;
  Reference<css::awt::XRequestCallback> m_async;
  rtl::Reference<Notifier> m_notifier;
  bool m_terminated = false;
  bool m_listening = false;
};

class Notifier final
    : public cppu::WeakImplHelper2<css::awt::XCallback, css::frame::XTerminateListener> {
 public:
  void SAL_CALL notify(const Any&) override { host().deliver(); }
  void SAL_CALL queryTermination(const css::lang::EventObject&) override {}
  void SAL_CALL notifyTermination(const css::lang::EventObject&) override { host().terminate(); }
  void SAL_CALL disposing(const css::lang::EventObject&) override {}
};

Host& host() {
  // Made once, never destroyed: Calc may call in until the process ends,
  // and the worker is stopped by the terminate listener, not by exit.
  static Host* h = new Host();
  return *h;
}

// Recalculates quillo's cells of every document loaded from a file: Calc
// does not recalculate an .xlsx file on load by default, and its cells
// would show the values saved in it, never going live. Calc makes the
// add-in while it reads the first file holding quillo's functions (to
// know their names), before that file's load is announced. Before a
// document is saved, its block records of formulas that are gone are
// dropped.
class LoadListener final : public cppu::WeakImplHelper1<css::document::XDocumentEventListener> {
 public:
  void SAL_CALL documentEventOccured(const css::document::DocumentEvent& event) override {
    // OnLoadFinished: also told for a document loaded hidden (OnLoad is not).
    if (event.EventName == "OnLoadFinished") recalculate_quillo_cells(event.Source);
    // Before a save (OnCopyTo: a copy stored elsewhere): the records of
    // formulas that are gone go.
    if (event.EventName == "OnSave" || event.EventName == "OnSaveAs" ||
        event.EventName == "OnCopyTo") {
      drop_stale_block_records(event.Source);
    }
  }
  void SAL_CALL disposing(const css::lang::EventObject&) override {}
};

void Host::set_context(const Reference<XComponentContext>& ctx) {
  {
    const std::lock_guard lock(m_mutex);
    if (m_ctx.is() || !ctx.is()) return;
    m_ctx = ctx;
  }
  try {
    Reference<css::document::XDocumentEventBroadcaster> events(
        css::frame::theGlobalEventBroadcaster::get(ctx), css::uno::UNO_QUERY);
    if (events.is()) events->addDocumentEventListener(new LoadListener());
  } catch (const css::uno::Exception&) {
    // Without it a loaded .xlsx shows its saved values until recalculated.
  }
}

bool Host::start() {
  // Called with m_mutex held, on the main thread.
  if (m_session) return true;
  if (m_terminated || !m_ctx.is()) return false;
  const std::string folder = own_folder();
  std::string text;
  if (FILE* f = std::fopen((folder + "data/tarnvale.xla").c_str(), "rb")) {
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
  }
  m_library = library_entries(text);
  try {
    m_async = css::awt::AsyncCallback::create(m_ctx);
    m_notifier = new Notifier();
    if (!m_listening) {
      css::frame::Desktop::create(m_ctx)->addTerminateListener(
          Reference<css::frame::XTerminateListener>(m_notifier.get()));
      m_listening = true;
    }
  } catch (const css::uno::Exception&) {
    return false;
  }
  LiveSessionOptions options;
  options.module_path = folder + "libquillo_calc.so";
  options.minute_ms = minute_ms_from_environment(std::getenv("QUILLO_CALC_MINUTE_SECONDS"));
  options.changes_ready = [] { host().ask_callback(); };
  m_session = std::make_unique<LiveSession>(std::move(options));
  return true;
}

Reference<css::sheet::XVolatileResult> Host::call(const FunctionInfo& f, std::vector<Value> args,
                                                  Value link_store) {
  host::lo::LiveCall live;
  live.function = std::string(f.function);
  live.args = std::move(args);
  live.link_store = std::move(link_store);
  const std::string key = host::lo::live_call_key(live);
  rtl::Reference<LiveResult> result;
  std::int64_t id = 0;
  {
    std::unique_lock lock(m_mutex);
    if (const auto it = m_by_key.find(key); it != m_by_key.end()) {
      rtl::Reference<LiveResult> known = it->second;
      const bool rewrite = m_last_blocks.contains(known->id()) &&
                           m_rewrite.insert(known->id()).second && m_rewrite.size() == 1;
      lock.unlock();
      if (rewrite) ask_callback();
      return known.get();
    }
    if (!start()) throw RuntimeException("quillo could not start its engine");
    const LibraryEntry* entry = nullptr;
    for (const LibraryEntry& e : m_library) {
      if (text::iequals(e.function, f.function)) entry = &e;
    }
    id = m_next_id++;
    result = new LiveResult(id);
    m_by_key[key] = result;
    m_by_id[id] = {key, result};
    m_functions[id] = &f;
    m_arguments[id] = live.args;
    if (entry) {
      live.method = entry->method;
      live.takes_caller = entry->takes_caller;
    } else {
      live.method = "#" + live.function;  // answers #NAME? (the library lacks it)
    }
  }
  m_session->add_call(id, std::move(live));
  return result.get();
}

void Host::drop(std::int64_t id) {
  {
    const std::lock_guard lock(m_mutex);
    const auto it = m_by_id.find(id);
    if (it == m_by_id.end()) return;
    m_by_key.erase(it->second.first);
    m_by_id.erase(it);
    m_functions.erase(id);
    m_arguments.erase(id);
    m_last_blocks.erase(id);
    m_values.erase(id);
    m_rewrite.erase(id);
  }
  if (m_session) m_session->remove_call(id);
}

void Host::menu(const std::string& command) {
  {
    const std::lock_guard lock(m_mutex);
    if (!start()) return;
  }
  const std::string caption = host::lo::menu_caption(command);
  if (caption.empty()) {
    show_message(m_ctx, "quillo", "This menu entry is not known: " + command);
    return;
  }
  if (caption == "Create Weblink" || caption == "Search..." ||
      caption == "Single Dataitem Assistant" || caption == "History Assistant" ||
      caption == "Settings...") {
    // The engine's dialogs are drawn by the browser page and the command
    // line; Calc shows none of them yet.
    show_message(m_ctx, "quillo",
                 "\"" + caption +
                     "\" is not available inside LibreOffice yet. Use the command line: "
                     "quillo settings, quillo link add, or quillo ui for the browser page.");
    return;
  }
  m_session->menu(caption);
}

void Host::ask_callback() {
  Reference<css::awt::XRequestCallback> async;
  rtl::Reference<Notifier> notifier;
  {
    const std::lock_guard lock(m_mutex);
    async = m_async;
    notifier = m_notifier;
  }
  if (!async.is() || !notifier.is()) return;
  try {
    async->addCallback(notifier.get(), Any());
  } catch (const css::uno::Exception&) {
    // Calc is going away; nothing is shown any more.
  }
}

void Host::deliver() {
  if (!m_session) return;
  auto taken = m_session->take();
  std::vector<BlockWrite> blocks;
  std::set<std::int64_t> rewrite;
  {
    const std::lock_guard lock(m_mutex);
    rewrite.swap(m_rewrite);
  }
  std::vector<rtl::Reference<LiveResult>> block_results;
  std::vector<Value> values;
  auto add_block = [&](const rtl::Reference<LiveResult>& result, const FunctionInfo* f,
                       std::vector<Value> args, host::lo::LiveChange change) {
    {
      const std::lock_guard lock(m_mutex);
      values.push_back(m_values[change.call]);
    }
    blocks.push_back(
        BlockWrite{std::string(f->programmatic), std::move(args), std::move(change), {}});
    block_results.push_back(result);
  };
  for (auto& change : taken.changes) {
    rtl::Reference<LiveResult> result;
    const FunctionInfo* f = nullptr;
    std::vector<Value> args;
    bool clear = false;
    bool keep = false;
    {
      const std::lock_guard lock(m_mutex);
      const auto it = m_by_id.find(change.call);
      if (it == m_by_id.end()) continue;
      result = it->second.second;
      f = m_functions[change.call];
      if (change.value_changed) m_values[change.call] = change.value;
      if (change.block_changed) {
        args = m_arguments[change.call];
        m_last_blocks[change.call] = change;
        rewrite.erase(change.call);
      } else if (change.value_changed && f && is_indicator(*f) &&
                 !m_last_blocks.contains(change.call) && !in_progress(change.value)) {
        // An indicator answered without a series (it failed, or its
        // table gives none): an empty table clears the series its cells
        // wrote before, as in the other hosts, also for a cell that makes
        // this call later.
        clear = true;
        args = m_arguments[change.call];
        m_last_blocks[change.call].call = change.call;
        rewrite.erase(change.call);
      } else if (change.value_changed && f && text::iequals(f->programmatic, "FHISTORY") &&
                 history_failed(change.value)) {
        // A history call that failed keeps the tables its cells wrote
        // before, as in the other hosts, and says so.
        keep = true;
        args = m_arguments[change.call];
      }
    }
    if (change.value_changed) result->set(to_any(change.value));
    if (change.block_changed && f) add_block(result, f, std::move(args), change);
    if (clear) {
      host::lo::LiveChange none;
      none.call = change.call;
      add_block(result, f, std::move(args), std::move(none));
    }
    if (keep) {
      host::lo::LiveChange none;
      none.call = change.call;
      add_block(result, f, std::move(args), std::move(none));
      blocks.back().keeps = true;
    }
  }
  for (const std::int64_t id : rewrite) {
    rtl::Reference<LiveResult> result;
    const FunctionInfo* f = nullptr;
    std::vector<Value> args;
    host::lo::LiveChange change;
    {
      const std::lock_guard lock(m_mutex);
      const auto it = m_by_id.find(id);
      const auto last = m_last_blocks.find(id);
      if (it == m_by_id.end() || last == m_last_blocks.end()) continue;
      result = it->second.second;
      f = m_functions[id];
      args = m_arguments[id];
      change = last->second;
    }
    if (f) add_block(result, f, std::move(args), std::move(change));
  }
  if (!blocks.empty()) {
    for (std::size_t i = 0; i < blocks.size(); ++i) blocks[i].shown = block_results[i]->text();
    const auto shown = write_blocks(m_ctx, blocks);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      // A table written everywhere shows the call's own value again.
      block_results[i]->set(shown[i].empty() ? to_any(values[i]) : Any(ou(shown[i])));
    }
  }
  for (const std::string& m : taken.messages) show_message(m_ctx, "quillo", m);
}

void Host::terminate() {
  std::unique_ptr<LiveSession> session;
  {
    const std::lock_guard lock(m_mutex);
    m_terminated = true;
    session = std::move(m_session);
    m_async.clear();
  }
  if (session) session->stop();
  // The results stay with Calc's cells; the session is gone, so they
  // change no more.
  const std::lock_guard lock(m_mutex);
  m_by_key.clear();
  m_by_id.clear();
}

void LiveResult::addResultListener(const Reference<css::sheet::XResultListener>& l) {
  if (!l.is()) return;
  Any value;
  {
    const std::lock_guard lock(m_mutex);
    m_listeners.push_back(l);
    value = m_value;
  }
  // Told at once, so the cell shows the call's state without waiting.
  notify({l}, value);
}

void LiveResult::removeResultListener(const Reference<css::sheet::XResultListener>& l) {
  bool none = false;
  {
    const std::lock_guard lock(m_mutex);
    for (auto it = m_listeners.begin(); it != m_listeners.end(); ++it) {
      if (*it == l) {
        m_listeners.erase(it);
        break;
      }
    }
    none = m_listeners.empty();
  }
  if (none) host().drop(m_id);
}

// ---------------------------------------------------------------------------
// The add-in service.

class CalcAddIn final
    : public cppu::WeakImplHelper6<org::quillo::XCalcFunctions, css::sheet::XAddIn,
                                   css::sheet::XCompatibilityNames, css::lang::XServiceName,
                                   css::lang::XServiceInfo, css::lang::XInitialization> {
 public:
  explicit CalcAddIn(const Reference<XComponentContext>& ctx) { host().set_context(ctx); }

  // XCalcFunctions
  Reference<css::sheet::XVolatileResult> run(const char* name, std::vector<Value> args,
                                             Value link_store = Value()) {
    const FunctionInfo* f = find_function(name);
    if (!f) throw RuntimeException("unknown function");
    return host().call(*f, std::move(args), std::move(link_store));
  }
  using Props = Reference<css::beans::XPropertySet>;
  Reference<css::sheet::XVolatileResult> SAL_CALL FSINGLE(const Props&, const Any& a, const Any& b,
                                                          const Any& c) override {
    return run("FSINGLE", {argument(a), argument(b), argument(c)});
  }
  Reference<css::sheet::XVolatileResult> SAL_CALL FHISTORY(const Props&, const Any& a, const Any& b,
                                                           const Any& c, const Any& d, const Any& e,
                                                           const Any& f, const Any& g) override {
    return run("FHISTORY", {argument(a), argument(b), argument(c), argument(d), argument(e),
                            argument(f), argument(g)});
  }
  // A web link is looked up in the calling document's link store.
  Reference<css::sheet::XVolatileResult> SAL_CALL WLINK(const Props& document,
                                                        const Any& a) override {
    return run("WLINK", {argument(a)}, link_store_of(document));
  }
  // The first argument of an indicator is its price-history table, a range.
  using Range = Reference<css::table::XCellRange>;
#define QUILLO_T2(NAME)                                                                            \
  Reference<css::sheet::XVolatileResult> SAL_CALL NAME(const Props&, const Range& a, const Any& b) \
      override {                                                                                   \
    return run(#NAME, {range_values(a), argument(b)});                                             \
  }
#define QUILLO_T3(NAME)                                                                            \
  Reference<css::sheet::XVolatileResult> SAL_CALL NAME(const Props&, const Range& a, const Any& b, \
                                                       const Any& c) override {                    \
    return run(#NAME, {range_values(a), argument(b), argument(c)});                                \
  }
#define QUILLO_T4(NAME)                                                                            \
  Reference<css::sheet::XVolatileResult> SAL_CALL NAME(const Props&, const Range& a, const Any& b, \
                                                       const Any& c, const Any& d) override {      \
    return run(#NAME, {range_values(a), argument(b), argument(c), argument(d)});                   \
  }
  QUILLO_T2(SMA)
  QUILLO_T2(WMA)
  QUILLO_T2(EMA)
  QUILLO_T2(RSI)
  QUILLO_T4(MACD)
  QUILLO_T3(STO_FAST)
  QUILLO_T4(STO_SLOW)
  QUILLO_T3(BOLLINGER)
  QUILLO_T2(PRICECHANNEL)
  QUILLO_T2(MOMENTUM)
  QUILLO_T2(ROC)
  QUILLO_T2(MONEY_FLOW)
  QUILLO_T3(OSC)
  QUILLO_T2(W_CLOSE)
  QUILLO_T2(VOL_CTC)
  Reference<css::sheet::XVolatileResult> SAL_CALL BETA(const Props&, const Range& a, const Range& b,
                                                       const Any& c) override {
    return run("BETA", {range_values(a), range_values(b), argument(c)});
  }
#undef QUILLO_T2
#undef QUILLO_T3
#undef QUILLO_T4

  // XAddIn
  OUString SAL_CALL getProgrammaticFuntionName(const OUString& display) override {
    const FunctionInfo* f = find_function(u8(display));
    return f ? ou(f->programmatic) : OUString();
  }
  OUString SAL_CALL getDisplayFunctionName(const OUString& name) override {
    const FunctionInfo* f = find_function(u8(name));
    return f ? ou(f->programmatic) : OUString();
  }
  OUString SAL_CALL getFunctionDescription(const OUString& name) override {
    const FunctionInfo* f = find_function(u8(name));
    return f ? ou(f->description) : OUString();
  }
  // The index counts Calc's hidden caller argument as 0.
  OUString SAL_CALL getDisplayArgumentName(const OUString& name, sal_Int32 index) override {
    const ArgumentInfo* a = argument_info(name, index);
    return a ? ou(a->name) : OUString();
  }
  OUString SAL_CALL getArgumentDescription(const OUString& name, sal_Int32 index) override {
    const ArgumentInfo* a = argument_info(name, index);
    return a ? ou(a->description) : OUString();
  }
  OUString SAL_CALL getProgrammaticCategoryName(const OUString&) override {
    return "Add-In";
  }
  OUString SAL_CALL getDisplayCategoryName(const OUString&) override {
    return "Add-In";
  }

  // XLocalizable
  void SAL_CALL setLocale(const css::lang::Locale& locale) override {
    m_locale = locale;
  }
  css::lang::Locale SAL_CALL getLocale() override {
    return m_locale;
  }

  // XCompatibilityNames: the name Excel's files use for the function.
  Sequence<css::sheet::LocalizedName> SAL_CALL
  getCompatibilityNames(const OUString& name) override {
    const FunctionInfo* f = find_function(u8(name));
    if (!f) return {};
    Sequence<css::sheet::LocalizedName> names(1);
    names[0] = css::sheet::LocalizedName(css::lang::Locale("en", "US", ""), ou(f->programmatic));
    return names;
  }

  // XServiceName, XServiceInfo
  OUString SAL_CALL getServiceName() override {
    return kAddInName;
  }
  OUString SAL_CALL getImplementationName() override {
    return kAddInName;
  }
  sal_Bool SAL_CALL supportsService(const OUString& name) override {
    return cppu::supportsService(this, name);
  }
  Sequence<OUString> SAL_CALL getSupportedServiceNames() override {
    return services();
  }
  static Sequence<OUString> services() {
    Sequence<OUString> s(2);
    s[0] = "com.sun.star.sheet.AddIn";
    s[1] = kAddInName;
    return s;
  }
  void SAL_CALL initialize(const Sequence<Any>&) override {}

 private:
  static const ArgumentInfo* argument_info(const OUString& name, sal_Int32 index) {
    const FunctionInfo* f = find_function(u8(name));
    if (!f || index < 1 || static_cast<std::size_t>(index) > f->argument_count) return nullptr;
    return &f->arguments[static_cast<std::size_t>(index - 1)];
  }

  css::lang::Locale m_locale;
};

// ---------------------------------------------------------------------------
// The menu's protocol handler.

class MenuHandler final
    : public cppu::WeakImplHelper3<css::frame::XDispatchProvider, css::frame::XDispatch,
                                   css::lang::XServiceInfo> {
 public:
  explicit MenuHandler(const Reference<XComponentContext>& ctx) { host().set_context(ctx); }

  Reference<css::frame::XDispatch> SAL_CALL queryDispatch(const css::util::URL& url,
                                                          const OUString&, sal_Int32) override {
    if (url.Complete.startsWith(kProtocol)) return this;
    return {};
  }
  Sequence<Reference<css::frame::XDispatch>> SAL_CALL
  queryDispatches(const Sequence<css::frame::DispatchDescriptor>& requests) override {
    Sequence<Reference<css::frame::XDispatch>> out(requests.getLength());
    for (sal_Int32 i = 0; i < requests.getLength(); ++i) {
      out[i] =
          queryDispatch(requests[i].FeatureURL, requests[i].FrameName, requests[i].SearchFlags);
    }
    return out;
  }
  void SAL_CALL dispatch(const css::util::URL& url,
                         const Sequence<css::beans::PropertyValue>&) override {
    if (!url.Complete.startsWith(kProtocol)) return;
    host().menu(u8(url.Complete.copy(static_cast<sal_Int32>(sizeof(kProtocol) - 1))));
  }
  void SAL_CALL addStatusListener(const Reference<css::frame::XStatusListener>& l,
                                  const css::util::URL& url) override {
    if (!l.is()) return;
    css::frame::FeatureStateEvent event;
    event.FeatureURL = url;
    event.IsEnabled = true;
    event.Source = static_cast<cppu::OWeakObject*>(this);
    l->statusChanged(event);
  }
  void SAL_CALL removeStatusListener(const Reference<css::frame::XStatusListener>&,
                                     const css::util::URL&) override {}

  OUString SAL_CALL getImplementationName() override { return kMenuName; }
  sal_Bool SAL_CALL supportsService(const OUString& name) override {
    return cppu::supportsService(this, name);
  }
  Sequence<OUString> SAL_CALL getSupportedServiceNames() override { return services(); }
  static Sequence<OUString> services() {
    Sequence<OUString> s(1);
    s[0] = "com.sun.star.frame.ProtocolHandler";
    return s;
  }
};

// ---------------------------------------------------------------------------
// The job run when a document has been loaded: quillo's cells of a file
// that is not recalculated on load (xlsx by default) are recalculated, so
// they go live.

class LoadJob final : public cppu::WeakImplHelper2<css::task::XJob, css::lang::XServiceInfo> {
 public:
  explicit LoadJob(const Reference<XComponentContext>& ctx) { host().set_context(ctx); }

  Any SAL_CALL execute(const Sequence<css::beans::NamedValue>& arguments) override {
    Reference<XInterface> model;
    for (const auto& a : arguments) {
      if (a.Name == "Environment") {
        Sequence<css::beans::NamedValue> env;
        a.Value >>= env;
        for (const auto& e : env) {
          if (e.Name == "Model") e.Value >>= model;
        }
      }
    }
    if (model.is()) recalculate_quillo_cells(model);
    return Any();
  }

  OUString SAL_CALL getImplementationName() override { return kJobName; }
  sal_Bool SAL_CALL supportsService(const OUString& name) override {
    return cppu::supportsService(this, name);
  }
  Sequence<OUString> SAL_CALL getSupportedServiceNames() override { return services(); }
  static Sequence<OUString> services() {
    Sequence<OUString> s(1);
    s[0] = "com.sun.star.task.Job";
    return s;
  }
};

template <typename T>
Reference<XInterface> SAL_CALL create(const Reference<XComponentContext>& ctx) {
  return static_cast<cppu::OWeakObject*>(new T(ctx));
}

OUString SAL_CALL addin_name() {
  return kAddInName;
}
OUString SAL_CALL menu_name() {
  return kMenuName;
}
OUString SAL_CALL job_name() {
  return kJobName;
}

const cppu::ImplementationEntry kEntries[] = {
    {create<CalcAddIn>, addin_name, CalcAddIn::services, cppu::createSingleComponentFactory,
     nullptr, 0},
    {create<MenuHandler>, menu_name, MenuHandler::services, cppu::createSingleComponentFactory,
     nullptr, 0},
    {create<LoadJob>, job_name, LoadJob::services, cppu::createSingleComponentFactory, nullptr, 0},
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0}};

}  // namespace

}  // namespace quillo::lo

extern "C" SAL_DLLPUBLIC_EXPORT void* SAL_CALL component_getFactory(const char* name, void* smgr,
                                                                    void* key) {
  return cppu::component_getFactoryHelper(name, smgr, key, quillo::lo::kEntries);
}
