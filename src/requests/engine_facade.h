// EngineFacade: the request engine as its users see it - the one thing a
// front end (the command line, the browser view, the Windows add-in) or the
// add-in that binds the engine to a host talks to. It owns the engine and
// answers in plain values: whether each cell's request is waiting,
// answered, failed and why, or keeps the value the workbook's file held;
// progress; the summary a command prints; where each filled cell's value
// came from (its provenance); and it takes what they tell it
// (definitions, settings, the timers' rounds, web links made in the link
// wizard, pages fetched for it).
//
// The rules behind those answers live here, once, so every host gives the
// same ones. Loop thread only, as the engine; the host application, the
// event loop and the transport are given to it and must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/status.h"
#include "common/value.h"
#include "host/application.h"
#include "host/event_loop.h"
#include "host/messages.h"
#include "host/range.h"
#include "http/http_transport.h"
#include "http/response_processors.h"
#include "parse/definitions.h"
#include "parse/link_text.h"
#include "requests/file_values.h"
#include "requests/provenance.h"
#include "requests/registry.h"

namespace quillo {

class Engine;
class core;

// Where a cell of the add-in's stands with its request, and what it shows.
struct CellState {
  enum class Kind {
    Answered,  // it shows a value
    Waiting,   // its request (or its history table) has not been answered yet
    Failed,    // it shows a failure
  };
  Kind kind = Kind::Answered;
  // Empty for Answered; "not answered" while Waiting; otherwise the kind of
  // failure, e.g. "connection error", "invalid field", "#VALUE!".
  std::string reason;
  // Waiting or failed, the cell shows the value the workbook's file held
  // instead (see EngineFacade::remember_file_value).
  bool file_value_kept = false;
};

// Requests answered so far, of all made; failures among them.
struct Progress {
  std::int32_t answered = 0;
  std::int32_t total = 0;
  std::int32_t errors = 0;
};

// A cell of the add-in's as a summary reads it: where it is, what it shows
// and its formula.
struct ShownCell {
  host::CellPlace cell;
  Value shown;
  std::string formula;
};

// What the add-in's cells of a workbook show: how many hold a value, and
// how many show each kind of failure; of those, how many show the value the
// file held instead (kept).
struct Summary {
  std::int32_t cells = 0;
  std::int32_t filled = 0;
  std::map<std::string, std::int32_t> failures;  // by kind, e.g. "connection error"
  std::int32_t kept = 0;
  // Among the filled cells: price-history formulas whose table was written,
  // and indicator formulas whose series was written.
  std::int32_t history_tables = 0;
  std::int32_t indicator_series = 0;
  // Formulas of the workbook quillo cannot compute, left with the file's
  // value although a cell they read changed in this run (the front end
  // counts those).
  std::int32_t stale = 0;
};

// "22 cells with quillo formulas, 20 filled, 1 invalid field, 1 not answered;
// the file's value kept in 1 of them".
std::string summary_line(const Summary& summary);

// What a text an add-in's cell shows says: a value is on its way or was
// just loaded ("Loading data...", "Updating...", "Calculating..."), a
// failure (an invalid instrument, a field that does not exist, a data
// retrieval error, ...), or anything else (a value).
enum class ShownKind { Other, Progress, Failure };
ShownKind shown_kind(std::string_view shown);

// The settings the engine follows: error handling (2: keep the last figure
// on that kind of failure), the connection, and the price-history service.
struct EngineSettings {
  std::int16_t connectionerrorhandling = 1;
  std::int16_t parseerrorhandling = 1;
  std::int32_t useproxy = 0;
  std::string proxy_server;
  std::string proxy_user;
  std::string proxy_password;
  double connection_timeout = 60;
  double receive_timeout = 30;
  // Send a channel's next queued request as soon as one completes.
  bool send_on_completion = false;
  // Scheme and host; empty: history formulas say how to set one.
  std::string history_service;
};

// Which update frequencies a minute's round of the periodic update reaches:
// requests updated every update interval (and web links), quarter-hourly,
// half-hourly. Requests that failed to connect or parse go again in every
// round.
struct UpdateRound {
  bool every_interval = false;
  bool quarter_hour = false;
  bool half_hour = false;
};

// An answer of the request manager: body text, request number, HTTP status
// (http::kTransportFailure when none came) and the transport's message.
using HttpAnswer = std::function<void(const std::string& text, std::int32_t reqno,
                                      std::int16_t status, const std::string& message)>;

// What the link wizard is given when the user presses create on a page.
struct LinkRequest {
  std::string url;   // the page's address
  std::string name;  // empty: the wizard proposes weblink_N
  std::optional<LinkSeparators> separators;
  bool has_selection = false;  // false: nothing is selected on the page
  std::string body_html;       // outer HTML of the document's body
  std::string parent_html;     // outer HTML of the selection's parent element
  // Where parent_html starts in body_html (0-based), when known.
  std::size_t parent_offset = std::string::npos;
  // The cell the formula goes into.
  std::function<Result<host::RangePtr>()> cell;
};

// What the link wizard made of it: whether it stored the link (what it
// refused it said in a message box), the link's name, the value it reads,
// and its references and markers.
struct LinkMade {
  bool stored = false;
  std::string name;
  std::string value;
  std::string references;
  std::string startmarker;
  std::string endmarker;
};

// The name of the sheet a workbook stores its web links on.
std::string_view link_sheet_name();
// The links stored on the book's web-links sheet, in row order; none when
// it has no such sheet. Fails when the sheet cannot be read.
Result<std::vector<LinkRow>> stored_links(host::Workbook& book);
// The value a link made by the wizard reads from a page as the server sends
// it ("#N/A" when its references or markers are not there). The page is
// prepared where it lies (hand it over with std::move when done with it).
std::string link_reads(std::string page, const LinkMade& link);

class EngineFacade {
 public:
  EngineFacade(host::Application& app, host::EventLoop& loop, http::HttpTransport& transport);
  ~EngineFacade();
  EngineFacade(const EngineFacade&) = delete;
  EngineFacade& operator=(const EngineFacade&) = delete;

  // ---- Setting the engine up (the add-in that binds it to a host) ----

  // Makes the core methods callable from the function library's functions.
  void register_methods();
  // Registers the core methods and installs the function library at path.
  Status install_library(const std::string& path);
  // The core object whose methods answer the worksheet functions.
  core& core_object();
  // Loads definitions (the text of a ds.xml); false, with
  // definitions().error() set, when the text does not load.
  bool load_definitions(std::string_view xml);
  // Loads the definitions file; on failure says why (the loader's message).
  Status load_definitions_file(const std::string& file);
  const Definitions& definitions() const;
  // Makes the engine follow the settings; settings() reads back what it
  // follows now.
  void configure(const EngineSettings& settings);
  EngineSettings settings() const;
  // The transport settings the engine's requests go out with.
  http::HttpSettings http_settings() const;
  // Starts the pass that sends queued and failed requests and writes
  // computed indicator series.
  void start_pass(std::int64_t interval_ms = 1000);

  // ---- The timers' rounds ----

  // Sends the requests whose frequency the round reaches (see UpdateRound).
  // Requests still counted in flight from the last round are taken as lost:
  // the sheets are recalculated and the count cleared first. The requests
  // whose cells all stopped asking for them are forgotten before
  // (RequestRegistry::requests_forget_unasked).
  void send_due_updates(const UpdateRound& round);
  // Sends what waits in the channels' queues and the failed requests due.
  void send_queued();
  // Whether a history table was drawn since the last call (then cleared).
  bool take_areas_dirty();
  // Writes the indicator series computed and not yet written, and the
  // record of where the values came from into each workbook touched, when
  // it changed (see write_provenance).
  void write_computed_series();
  // Asks every formula again (the "Update data" menu entry).
  void reset_requests();
  // Forgets only the requests no cell waits on any more (their cells are
  // gone: a document was closed); the others keep their answers and are
  // not asked again. Answers how many were forgotten.
  std::size_t forget_unwaited_requests();
  // The cells' formulas were replaced or removed (a file saved elsewhere
  // was taken in): each waits only on the requests its formula makes now
  // (the registry's cells_replaced), and the requests no cell waits on any
  // more are forgotten, so an instrument no cell asks for is not fetched
  // again.
  void formulas_replaced(const std::vector<host::CellPlace>& cells);
  // Forgets the requests counted in flight (start-up).
  void forget_in_flight();
  // Ends every request in flight (shutdown).
  void close_requests();

  // ---- Requests of the add-in's own (the product site, searches) ----

  // The answers sent for processor go to answer (replacing an earlier one).
  void set_processor(const std::string& processor, HttpAnswer answer);
  // GETs url on the named channel, the answer going to processor with
  // reqno; false when there is no such channel.
  bool send(const std::string& url, const std::string& processor, std::int32_t reqno,
            std::string_view channel);
  // Sets up the manager's own channels when no definitions set any up.
  void ensure_channels();
  // url with the random parameter that keeps caches from answering.
  std::string add_rand(std::string_view url);
  // Writes a line to the engine's event log.
  void log_event(std::string_view source, std::string_view text);

  // ---- What front ends ask ----

  // No answer is outstanding and nothing waits to be sent.
  bool idle() const;
  // Every request has had an answer (or failed for good) at least once,
  // every history table asked for has been written or given up, and no
  // indicator series waits to be written. Requests the update timer sends
  // again show the last answer meanwhile and count as answered; a web
  // link's page counts once a link it feeds holds a value.
  bool answered() const;
  Progress progress() const;
  // Counts the times cells were made to show new answers (or asked again),
  // indicator series written or cleared included.
  std::uint64_t updates() const;

  // Remembers the value a cell held when its workbook was read: while its
  // request has not answered, or has failed where the settings say to keep
  // the last figure, it shows that value instead of a status text. A cell
  // the file left empty stays empty only while its answer is awaited (no
  // "Loading data..." is saved); a failure shows itself.
  void remember_file_value(const host::Range& cell, Value value);
  // Where one cell stands, given what it shows now.
  CellState cell_state(const host::Range& cell, const Value& shown) const;
  // The summary of the cells given (stale is left 0).
  Summary summarize(const std::vector<ShownCell>& cells) const;
  // The same with the cells handed over one at a time, so a workbook of
  // many is never held as shown cells all at once: next fills the cell and
  // answers true, or answers false when there are no more.
  Summary summarize_each(const std::function<bool(ShownCell&)>& next) const;

  // ---- Where values came from (requests/provenance.h) ----

  // The provenance records of the workbook's filled cells as they stand:
  // this session's for the cells it filled, the file's for those that
  // still hold their formulas. read_provenance reads a workbook's without
  // an engine.
  std::vector<ProvenanceRecord> provenance(host::Workbook& book);
  // Writes them into the workbook's very hidden record sheet; done before
  // the workbook is saved. False when a user's sheet has that name.
  bool write_provenance(host::Workbook& book);
  // The calendar clock the records' times are read from (ms since 1970
  // UTC); the system's unless set (tests set one).
  void set_calendar_clock(std::function<std::int64_t()> now);

  // ---- Web links and the link wizard ----

  // Loads the links stored on the book's web-links sheet that are not
  // loaded yet, so the wizard sees every name already taken.
  void load_stored_links(host::Workbook& book);
  // The wizard's create: stores a link for the value selected on the page
  // and writes its formula into the request's cell. Its messages go to
  // messages. The request's page is prepared where it lies (hand it over
  // with std::move: a page may be large).
  LinkMade create_link(LinkRequest request, host::MessageSink& messages);
  // A link's name has at most this many characters (a formula's text
  // argument is limited to it).
  static constexpr std::size_t kMaxLinkNameLength = 255;
  // Fetches a page for the link wizard on the web links' channel through
  // processor; answer receives it (once). A fetch still under way through
  // processor is withdrawn first. False when there is no channel for web
  // links.
  bool fetch_page(const std::string& processor, const std::string& url, HttpAnswer answer);
  // Withdraws the fetch under way through processor; a late answer is
  // dropped.
  void end_page_fetch(const std::string& processor);

  // The engine beneath, for tests of the add-in that check its inner
  // state; front ends have no use for it.
  Engine& parts() { return *m_engine; }

 private:
  // One cell's state; requests is the registry's cell-to-request index.
  CellState state_of(const host::CellPlace& cell, const Value& shown,
                     const CellRequests& requests) const;
  // Whether the price-history cell with this key waits for its table.
  bool table_pending(const std::string& key) const;
  // Whether a link fed by web-link request reqno has had a value.
  bool link_answered(std::int32_t reqno) const;

  std::unique_ptr<Engine> m_engine;
  // The values cells held when their workbook was read.
  FileValues m_file_values;
  // answered() is asked after every event of the loop: requests 1 to
  // m_settled are known answered (data requests leave the awaiting states
  // for good until the table is reset, m_settled_resets ago), so its scan
  // starts after them instead of at the first request each time.
  mutable std::int32_t m_settled = 0;
  mutable std::uint64_t m_settled_resets = 0;
};

}  // namespace quillo
