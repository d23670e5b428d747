#include "http/curl_transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/text_encoding.h"

namespace quillo::http {

struct CurlTransport::Transfer {
  CurlTransport* owner = nullptr;
  RequestId id = 0;
  // Kept with this transfer's state when the transfer ends (recycle): the
  // handle's callbacks' data and error buffer point here, so a next
  // transfer with the same settings sets none of them again.
  CURL* easy = nullptr;
  HttpHandler handler;
  std::string body;
  std::size_t max_body = 0;
  bool over_cap = false;
  std::int64_t receive_ms = 0;
  std::int64_t transfer_ms = 0;
  std::int64_t started = 0;  // loop time of get()
  // Loop time of the last sign of life once the connection is ready; -1
  // while connecting (the connect time-out governs that phase).
  std::int64_t last_activity = -1;
  // With same_origin_redirects: redirects are followed here, not by curl.
  bool same_origin = false;
  std::string url;        // the address now asked for
  HttpSettings settings;  // what the easy handle's options were set up for
  // The address parsed when it was checked, handed to curl as it is: curl
  // then does not parse it a second time. A recycled transfer keeps it,
  // and a next address with the same part before its query only has its
  // path set there (curl reads it again when a transfer starts).
  CURLU* parsed = nullptr;
  std::string parsed_base;      // that part of parsed's address; empty: parsed whole
  std::string base_path;        // the path of parsed_base as curl holds it
  CURLU* handle_url = nullptr;  // the parsed address the handle was given
  int redirects = 0;
  char error[CURL_ERROR_SIZE] = {};

  ~Transfer() {
    curl_easy_cleanup(easy);  // lets go of parsed first
    curl_url_cleanup(parsed);
  }
};

namespace {

constexpr const char* kUserAgent = "Mozilla/5.0 (compatible; quillo)";
constexpr const char* kUserAgentHeader = "User-Agent: Mozilla/5.0 (compatible; quillo)";

CURLM* multi_of(void* m) {
  return static_cast<CURLM*>(m);
}

// The failure text of a finished transfer: curl's own detailed message
// when it wrote one, else the generic text of the code.
std::string error_text(const char* buffer, CURLcode code) {
  if (buffer[0] != '\0') return buffer;
  return curl_easy_strerror(code);
}

}  // namespace

// libcurl calls these plain functions; they forward to the transport.
struct CurlCallbacks {
  static size_t write(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<CurlTransport::Transfer*>(user);
    const size_t n = size * count;
    t->last_activity = t->owner->m_loop.now_ms();
    if (n > t->max_body - std::min(t->max_body, t->body.size())) {
      t->over_cap = true;
      return 0;  // curl stops the transfer with CURLE_WRITE_ERROR
    }
    if (t->body.empty()) {
      // The whole body in one allocation when its length is announced: a
      // large page is not copied over and over as the text grows (a length
      // past the cap is not believed; the cap stops such a body anyway).
      curl_off_t length = -1;
      if (curl_easy_getinfo(t->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
          length > 0 && static_cast<std::uint64_t>(length) <= t->max_body) {
        t->body.reserve(static_cast<std::size_t>(length));
      }
    }
    t->body.append(data, n);
    return n;
  }

  static size_t header(char*, size_t size, size_t count, void* user) {
    auto* t = static_cast<CurlTransport::Transfer*>(user);
    t->last_activity = t->owner->m_loop.now_ms();
    return size * count;
  }

  // Called once the connection is ready (new or reused), before the request
  // goes out: from here the receive time-out runs.
  static int ready(void* user, char*, char*, int, int) {
    auto* t = static_cast<CurlTransport::Transfer*>(user);
    t->last_activity = t->owner->m_loop.now_ms();
    t->owner->arm_watchdog(t->last_activity + t->receive_ms);
    return CURL_PREREQFUNC_OK;
  }

  static int socket(CURL*, curl_socket_t fd, int what, void* self, void*) {
    auto* transport = static_cast<CurlTransport*>(self);
    if (what == CURL_POLL_REMOVE || transport->m_closing) {
      transport->m_loop.unwatch_fd(fd);
      transport->m_watched.erase(fd);
      return 0;
    }
    unsigned events = 0;
    if (what == CURL_POLL_IN || what == CURL_POLL_INOUT) events |= host::kIoRead;
    if (what == CURL_POLL_OUT || what == CURL_POLL_INOUT) events |= host::kIoWrite;
    transport->m_loop.watch_fd(
        fd, events, [transport, fd](unsigned ready) { transport->socket_ready(fd, ready); });
    transport->m_watched.insert(fd);
    return 0;
  }

  static int timer(CURLM*, long timeout_ms, void* self) {
    auto* transport = static_cast<CurlTransport*>(self);
    // Each call replaces the time asked for before.
    transport->m_run_now = false;
    if (timeout_ms == 0 && transport->m_take_now && !transport->m_closing) {
      // Asked while curl's readiness is being handled (a transfer started
      // by a handler of a finished one): run once that is done, without a
      // turn of the loop. A pending loop timer stays; it only fires early.
      transport->m_run_now = true;
      return 0;
    }
    transport->m_loop.kill_timer(transport->m_curl_timer);
    transport->m_curl_timer = 0;
    if (timeout_ms >= 0 && !transport->m_closing) {
      transport->m_curl_timer =
          transport->m_loop.set_timeout(timeout_ms, [transport] { transport->curl_timer_fired(); });
    }
    return 0;
  }
};

CurlTransport::CurlTransport(host::EventLoop& loop) : m_loop(loop) {
  static std::once_flag once;
  std::call_once(once, [] {
    std::signal(SIGPIPE, SIG_IGN);
    curl_global_init(CURL_GLOBAL_DEFAULT);
  });
  m_multi = curl_multi_init();
  curl_multi_setopt(multi_of(m_multi), CURLMOPT_SOCKETFUNCTION, &CurlCallbacks::socket);
  curl_multi_setopt(multi_of(m_multi), CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(multi_of(m_multi), CURLMOPT_TIMERFUNCTION, &CurlCallbacks::timer);
  curl_multi_setopt(multi_of(m_multi), CURLMOPT_TIMERDATA, this);
  // Keep idle connections for reuse even when few transfers are added at a
  // time (curl's default cache follows the number of handles added).
  curl_multi_setopt(multi_of(m_multi), CURLMOPT_MAXCONNECTS, 64L);
  // The user agent is one of these headers rather than CURLOPT_USERAGENT,
  // which curl formats anew for every request (a proxy's CONNECT still
  // gets it through the option: see configure).
  curl_slist* headers = nullptr;
  for (const char* line : {kUserAgentHeader, "Cache-Control: no-store, no-cache, must-revalidate",
                           "Pragma: no-cache"}) {
    curl_slist* more = curl_slist_append(headers, line);
    if (more != nullptr) headers = more;
  }
  m_headers = headers;
}

CurlTransport::~CurlTransport() {
  abort_all();
  m_closing = true;
  m_spare.clear();
  if (m_multi != nullptr) curl_multi_cleanup(multi_of(m_multi));
  curl_slist_free_all(static_cast<curl_slist*>(m_headers));
  for (ParsedBase& b : m_bases) curl_url_cleanup(static_cast<CURLU*>(b.parsed));
  for (int fd : m_watched) m_loop.unwatch_fd(fd);
  m_loop.kill_timer(m_curl_timer);
  m_loop.kill_timer(m_watchdog);
}

namespace {

// Applies the per-request options; the caller has set the URL. Proxy and
// time-out options that curl rejects are ignored: the request then goes
// out with curl's defaults for them.
void configure(CURL* easy, const HttpSettings& s, curl_slist* headers) {
  curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  // Redirects that must stay on the origin are followed by collect_done,
  // which sees each target before anything is asked of it.
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, s.same_origin_redirects ? 0L : 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(timeout_ms(s.connection_timeout, kDefaultConnectionTimeout)));
  if (s.max_body_bytes > 0) {
    // Refuses at once an answer that announces a larger body.
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(s.max_body_bytes));
  }
  if (s.useproxy == 1 && !s.proxy_server.empty()) {
    curl_easy_setopt(easy, CURLOPT_PROXY, s.proxy_server.c_str());
    // The tunnel's CONNECT does not carry the header list.
    curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(easy, CURLOPT_NOPROXY, noproxy_from_bypass(s.proxy_bypass).c_str());
    if (!s.proxy_user.empty()) {
      // Separate name and password: a ':' in the name must not split it.
      curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, s.proxy_user.c_str());
      curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, s.proxy_password.c_str());
      curl_easy_setopt(easy, CURLOPT_PROXYAUTH, static_cast<unsigned long>(CURLAUTH_ANY));
    }
  } else {
    // An empty proxy also keeps curl from taking one from the environment;
    // an empty bypass list keeps it from reading no_proxy and NO_PROXY
    // there for every request, which without a proxy mean nothing.
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
  }
}

// True when sanitize_utf8 would give s back unchanged (every sequence valid
// and allowed), without building that copy for every address.
bool clean_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b >= 0x20 && b < 0x7f) {
      ++i;
      continue;
    }
    const auto ch = text::decode_utf8(s, i);
    if (!ch || !text::xml_allowed(ch->first)) return false;
    i += ch->second;
  }
  return true;
}

// Moves the query of a parsed address onto the end of its path, so curl
// sees "/path?query" as the path and no query. The request goes out with
// the same bytes (curl writes the path, then '?' and the query), and every
// address curl builds from the handle (a proxy's absolute address, the base
// of a relative redirect) is the same text; but curl then no longer formats
// "path?query" for an authentication it does not do here nor "?query" into
// the request line, two passes of its printf engine (about 5,000
// instructions) per request. Only a query of the characters a query may
// hold unescaped is moved: curl rewrites some others in a path and not in a
// query (bytes beyond ASCII are percent-encoded, and a proxy is sent "%2F"
// as "%2f").
bool plain_query_char(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("-._~!$&'()*+,;=:@/?", c) != nullptr;
}

void fold_query_into_path(CURLU* parsed) {
  char* query = nullptr;
  if (curl_url_get(parsed, CURLUPART_QUERY, &query, 0) != CURLUE_OK || query == nullptr) return;
  bool plain = true;
  for (const char* c = query; *c != '\0' && plain; ++c) plain = plain_query_char(*c);
  char* path = nullptr;
  if (plain && curl_url_get(parsed, CURLUPART_PATH, &path, 0) == CURLUE_OK && path != nullptr) {
    std::string target = path;
    target += '?';
    target += query;
    if (curl_url_set(parsed, CURLUPART_PATH, target.c_str(), 0) == CURLUE_OK) {
      curl_url_set(parsed, CURLUPART_QUERY, nullptr, 0);
    }
  }
  curl_free(path);
  curl_free(query);
}

// Checks that url is an absolute http or https address curl can parse;
// the parsed address, or null with the reason.
CURLU* url_acceptable(const std::string& url, std::string* reason) {
  if (url.find('\0') != std::string::npos) {
    *reason = "URL contains a NUL character";
    return nullptr;
  }
  // An address is UTF-8 text on every platform (WinHTTP cannot take any
  // other); curl would send other bytes on as they are.
  if (!clean_utf8(url)) {
    *reason = "Malformed URL: not UTF-8";
    return nullptr;
  }
  CURLU* parsed = curl_url();
  if (parsed == nullptr) {
    *reason = "Out of memory";
    return nullptr;
  }
  bool ok = false;
  const CURLUcode rc = curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0);
  if (rc != CURLUE_OK) {
    *reason = std::string("Malformed URL: ") + curl_url_strerror(rc);
  } else {
    char* scheme = nullptr;
    curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0);
    ok = scheme != nullptr &&
         (std::strcmp(scheme, "http") == 0 || std::strcmp(scheme, "https") == 0);
    if (!ok) *reason = "Unsupported protocol: only http and https are fetched";
    curl_free(scheme);
  }
  if (ok) {
    fold_query_into_path(parsed);
    return parsed;
  }
  curl_url_cleanup(parsed);
  return nullptr;
}

}  // namespace

// curl refuses a longer address (CURL_MAX_INPUT_LENGTH); its parts alone
// it would take.
constexpr std::size_t kMaxAddress = 8000000;

bool CurlTransport::parse_url(Transfer& t, std::string* reason) {
  const std::string& url = t.url;
  // Puts parsed in place of the transfer's old address, which the handle
  // is first told to let go of.
  const auto replace = [&t](CURLU* parsed) {
    if (t.handle_url == t.parsed && t.handle_url != nullptr) {
      curl_easy_setopt(t.easy, CURLOPT_CURLU, nullptr);
      t.handle_url = nullptr;
    }
    curl_url_cleanup(t.parsed);
    t.parsed = parsed;
  };
  const auto parsed_whole = [&] {
    CURLU* parsed = url_acceptable(url, reason);
    if (parsed == nullptr) return false;
    replace(parsed);
    t.parsed_base.clear();
    return true;
  };
  // Only base?query with a query of plain characters is put together: curl
  // splits such an address at its first '?' and keeps the query as it is,
  // so the copy holds what a parse of the whole address would. Anything
  // else (a fragment, escapes, other bytes) is parsed whole.
  const std::size_t q = url.find('?');
  if (q == std::string::npos || q + 1 == url.size() || url.size() > kMaxAddress ||
      url.find('#') != std::string::npos ||
      !std::all_of(url.begin() + static_cast<std::ptrdiff_t>(q) + 1, url.end(), plain_query_char)) {
    return parsed_whole();
  }
  const std::string_view base(url.data(), q);
  if (t.parsed == nullptr || t.parsed_base.empty() || t.parsed_base != base) {
    auto at = std::find_if(m_bases.rbegin(), m_bases.rend(),
                           [&](const ParsedBase& b) { return b.base == base; });
    if (at != m_bases.rend()) {
      std::rotate(at.base() - 1, at.base(), m_bases.end());  // to the back: used last
    } else {
      std::string why;
      CURLU* parsed = url_acceptable(std::string(base), &why);
      char* path = nullptr;
      if (parsed == nullptr || curl_url_get(parsed, CURLUPART_PATH, &path, 0) != CURLUE_OK ||
          path == nullptr) {
        curl_url_cleanup(parsed);
        return parsed_whole();  // the whole address tells why
      }
      ParsedBase entry{std::string(base), parsed, path};
      curl_free(path);
      if (m_bases.size() >= kBaseLimit) {
        curl_url_cleanup(static_cast<CURLU*>(m_bases.front().parsed));
        m_bases.erase(m_bases.begin());
      }
      m_bases.push_back(std::move(entry));
    }
    const ParsedBase& b = m_bases.back();
    CURLU* copy = curl_url_dup(static_cast<CURLU*>(b.parsed));
    if (copy == nullptr) {
      *reason = "Out of memory";
      return false;
    }
    replace(copy);
    t.parsed_base = b.base;
    t.base_path = b.path;
  }
  // The query on the path, as fold_query_into_path puts it.
  std::string target;
  target.reserve(t.base_path.size() + url.size() - q);
  target += t.base_path;
  target.append(url, q);
  if (curl_url_set(t.parsed, CURLUPART_PATH, target.c_str(), 0) != CURLUE_OK) {
    // The copy is no longer the base's: it is not used as one again.
    t.parsed_base.clear();
    return parsed_whole();
  }
  return true;
}

RequestId CurlTransport::get(std::string_view url, const HttpSettings& settings,
                             HttpHandler handler, std::string* error) {
  std::string reason;
  std::unique_ptr<Transfer> t = take_transfer(settings);
  if (t == nullptr) {
    if (error != nullptr) *error = "Out of memory";
    return 0;
  }
  t->url = url;
  if (!parse_url(*t, &reason)) {
    if (error != nullptr) *error = reason;
    recycle(std::move(t));
    return 0;
  }
  // A handle given this parsed address before reads it again at the start.
  if (t->handle_url != t->parsed) {
    if (curl_easy_setopt(t->easy, CURLOPT_CURLU, t->parsed) != CURLE_OK) {
      if (error != nullptr) *error = "Malformed URL";
      recycle(std::move(t));
      return 0;
    }
    t->handle_url = t->parsed;
  }
  t->id = m_next_id++;
  t->handler = std::move(handler);
  t->max_body = settings.max_body_bytes;
  t->receive_ms = timeout_ms(settings.receive_timeout, kDefaultReceiveTimeout);
  t->transfer_ms = timeout_ms(settings.transfer_timeout, kDefaultTransferTimeout);
  t->started = m_loop.now_ms();
  t->same_origin = settings.same_origin_redirects;
  const CURLMcode rc = curl_multi_add_handle(multi_of(m_multi), t->easy);
  if (rc != CURLM_OK) {
    if (error != nullptr) *error = curl_multi_strerror(rc);
    recycle(std::move(t));
    return 0;
  }
  const RequestId id = t->id;
  const std::int64_t deadline = t->started + t->transfer_ms;
  m_transfers.emplace(id, std::move(t));
  arm_watchdog(deadline);
  return id;
}

std::unique_ptr<CurlTransport::Transfer> CurlTransport::take_transfer(
    const HttpSettings& settings) {
  std::unique_ptr<Transfer> t;
  if (!m_spare.empty()) {
    t = std::move(m_spare.back());
    m_spare.pop_back();
    // What the last transfer left: nothing of it goes on.
    t->body.clear();
    t->over_cap = false;
    t->last_activity = -1;
    t->redirects = 0;
    t->error[0] = '\0';
    // Set up for the same settings: its options are what configure would
    // set, and the callbacks' data is this transfer's.
    if (t->settings == settings) return t;
    // Otherwise nothing of the other settings stays behind.
    curl_easy_reset(t->easy);
    t->handle_url = nullptr;
  } else {
    t = std::make_unique<Transfer>();
    t->owner = this;
    t->easy = curl_easy_init();
    if (t->easy == nullptr) return nullptr;
  }
  configure(t->easy, settings, static_cast<curl_slist*>(m_headers));
  curl_easy_setopt(t->easy, CURLOPT_PRIVATE, t.get());
  curl_easy_setopt(t->easy, CURLOPT_ERRORBUFFER, t->error);
  curl_easy_setopt(t->easy, CURLOPT_WRITEFUNCTION, &CurlCallbacks::write);
  curl_easy_setopt(t->easy, CURLOPT_WRITEDATA, t.get());
  curl_easy_setopt(t->easy, CURLOPT_HEADERFUNCTION, &CurlCallbacks::header);
  curl_easy_setopt(t->easy, CURLOPT_HEADERDATA, t.get());
  curl_easy_setopt(t->easy, CURLOPT_PREREQFUNCTION, &CurlCallbacks::ready);
  curl_easy_setopt(t->easy, CURLOPT_PREREQDATA, t.get());
  t->settings = settings;
  return t;
}

void CurlTransport::recycle(std::unique_ptr<Transfer> t) {
  if (t == nullptr || m_closing || m_spare.size() >= kSpareLimit) return;
  t->handler = nullptr;
  std::string().swap(t->body);  // a failed large answer's room is not kept
  m_spare.push_back(std::move(t));
}

std::unique_ptr<CurlTransport::Transfer> CurlTransport::detach(RequestId id) {
  const auto it = m_transfers.find(id);
  if (it == m_transfers.end()) return nullptr;
  std::unique_ptr<Transfer> t = std::move(it->second);
  m_transfers.erase(it);
  curl_multi_remove_handle(multi_of(m_multi), t->easy);
  return t;
}

void CurlTransport::cancel(RequestId id) {
  recycle(detach(id));
}

void CurlTransport::abort_all() {
  while (!m_transfers.empty()) recycle(detach(m_transfers.begin()->first));
}

void CurlTransport::socket_ready(int fd, unsigned ready) {
  int flags = 0;
  if (ready & host::kIoRead) flags |= CURL_CSELECT_IN;
  if (ready & host::kIoWrite) flags |= CURL_CSELECT_OUT;
  if (ready & host::kIoError) flags |= CURL_CSELECT_ERR;
  int running = 0;
  m_take_now = true;
  curl_multi_socket_action(multi_of(m_multi), fd, flags, &running);
  collect_done();
  m_take_now = false;
  run_now();
}

void CurlTransport::curl_timer_fired() {
  m_curl_timer = 0;
  int running = 0;
  m_take_now = true;
  curl_multi_socket_action(multi_of(m_multi), CURL_SOCKET_TIMEOUT, 0, &running);
  collect_done();
  m_take_now = false;
  run_now();
}

void CurlTransport::run_now() {
  if (!m_run_now) return;
  m_run_now = false;
  // Once: a further "now" from this run goes through a loop timer, so
  // readiness of other sockets is seen in between.
  int running = 0;
  curl_multi_socket_action(multi_of(m_multi), CURL_SOCKET_TIMEOUT, 0, &running);
  collect_done();
}

void CurlTransport::collect_done() {
  // Read every message first: a handler may start or cancel transfers, and
  // a message must not be read after its handle has left the multi handle.
  // The list is the member's (its room kept), taken while this call runs:
  // a handler that runs the loop may come back here.
  std::vector<std::pair<RequestId, int>> done;
  done.swap(m_done);
  done.clear();
  int left = 0;
  while (CURLMsg* msg = curl_multi_info_read(multi_of(m_multi), &left)) {
    if (msg->msg != CURLMSG_DONE) continue;
    char* priv = nullptr;
    curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &priv);
    done.emplace_back(reinterpret_cast<Transfer*>(priv)->id, msg->data.result);
  }
  for (const auto& [id, result_code] : done) {
    const auto code = static_cast<CURLcode>(result_code);
    std::unique_ptr<Transfer> t = detach(id);
    if (t == nullptr) continue;  // cancelled by an earlier handler
    long connects = 0;
    curl_easy_getinfo(t->easy, CURLINFO_NUM_CONNECTS, &connects);
    m_connections_opened += connects;
    HttpResult result;
    if (code == CURLE_OK && t->same_origin && follow_same_origin(t, result)) continue;
    if (result.error_number != 0) {
      // follow_same_origin refused the redirect; result says why.
    } else if (code == CURLE_OK) {
      long status = 0;
      curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
      result.completed = true;
      result.status = static_cast<int>(status);
      result.body = std::move(t->body);
      char* type = nullptr;
      if (curl_easy_getinfo(t->easy, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type != nullptr)
        result.content_type = type;
    } else if (t->over_cap || code == CURLE_FILESIZE_EXCEEDED) {
      result.error_number = kErrorBodyTooLarge;
      result.error_text = "Response body larger than " + std::to_string(t->max_body) + " bytes";
    } else {
      result.error_number = static_cast<int>(code);
      result.error_text = error_text(t->error, code);
    }
    HttpHandler handler = std::move(t->handler);
    recycle(std::move(t));
    handler(std::move(result));
  }
  if (m_done.capacity() < done.capacity()) m_done.swap(done);
}

bool CurlTransport::follow_same_origin(std::unique_ptr<Transfer>& t, HttpResult& result) {
  long status = 0;
  curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
  char* location = nullptr;
  curl_easy_getinfo(t->easy, CURLINFO_REDIRECT_URL, &location);
  if (status < 300 || status > 399 || location == nullptr) return false;
  const std::string target = location;
  if (!same_origin(t->url, target)) {
    result.error_number = kErrorRedirectRefused;
    result.error_text = "Redirect from " + t->url + " to " + target +
                        " refused: it leaves the scheme, host or port asked for";
    return false;
  }
  if (++t->redirects > 10) {
    result.error_number = CURLE_TOO_MANY_REDIRECTS;
    result.error_text = "Maximum (10) redirects followed";
    return false;
  }
  t->url = target;
  t->body.clear();
  t->last_activity = -1;
  t->error[0] = '\0';
  // The address parsed first would take precedence over CURLOPT_URL.
  curl_easy_setopt(t->easy, CURLOPT_CURLU, nullptr);
  t->handle_url = nullptr;
  if (curl_easy_setopt(t->easy, CURLOPT_URL, t->url.c_str()) != CURLE_OK ||
      curl_multi_add_handle(multi_of(m_multi), t->easy) != CURLM_OK) {
    result.error_number = CURLE_OUT_OF_MEMORY;
    result.error_text = "Out of memory";
    return false;
  }
  const RequestId id = t->id;
  m_transfers.emplace(id, std::move(t));
  return true;
}

void CurlTransport::arm_watchdog(std::int64_t deadline) {
  if (m_watchdog != 0 && m_watchdog_deadline <= deadline) return;
  m_loop.kill_timer(m_watchdog);
  m_watchdog_deadline = deadline;
  m_watchdog = m_loop.set_timeout(std::max<std::int64_t>(deadline - m_loop.now_ms(), 0),
                                  [this] { check_receive_timeouts(); });
}

void CurlTransport::check_receive_timeouts() {
  m_watchdog = 0;
  m_watchdog_deadline = -1;
  const std::int64_t now = m_loop.now_ms();
  struct Expired {
    RequestId id;
    int number;
    std::string text;
  };
  std::vector<Expired> expired;
  for (const auto& [id, t] : m_transfers) {
    if (now - t->started >= t->transfer_ms) {
      expired.push_back({id, kErrorTransferTimeout,
                         "Operation timed out: the transfer took longer than " +
                             std::to_string(t->transfer_ms) + " milliseconds"});
    } else if (t->last_activity >= 0 && now - t->last_activity >= t->receive_ms) {
      expired.push_back({id, kErrorReceiveTimeout,
                         "Operation timed out: no data received for " +
                             std::to_string(t->receive_ms) + " milliseconds"});
    }
  }
  for (Expired& e : expired) {
    std::unique_ptr<Transfer> t = detach(e.id);
    if (t == nullptr) continue;
    HttpHandler handler = std::move(t->handler);
    recycle(std::move(t));
    HttpResult result;
    result.error_number = e.number;
    result.error_text = std::move(e.text);
    handler(std::move(result));
  }
  for (const auto& [id, t] : m_transfers) {
    std::int64_t deadline = t->started + t->transfer_ms;
    if (t->last_activity >= 0) deadline = std::min(deadline, t->last_activity + t->receive_ms);
    arm_watchdog(deadline);
  }
}

}  // namespace quillo::http
