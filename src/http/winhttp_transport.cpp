#include "http/winhttp_transport.h"

// clang-format off
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <vector>

namespace quillo::http {

namespace {

constexpr wchar_t kUserAgent[] = L"Mozilla/5.0 (compatible; quillo)";
constexpr wchar_t kRequestHeaders[] =
    L"Cache-Control: no-store, no-cache, must-revalidate\r\nPragma: no-cache";
constexpr DWORD kMaxReadChunk = 1 << 20;
// Windows Sockets' time-out, which some WinHTTP implementations report for a
// stalled body instead of ERROR_WINHTTP_TIMEOUT.
constexpr DWORD kWsaTimedOut = 10060;

std::wstring wide_from_utf8(const std::string& s, bool* ok) {
  *ok = true;
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(),
                                    static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) {
    *ok = false;
    return {};
  }
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), w.data(),
                      n);
  return w;
}

std::string utf8_from_wide(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  if (n <= 0) return {};
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

// A header of the answer as text; empty when it is absent.
std::wstring query_header(HINTERNET request, DWORD which) {
  DWORD bytes = 0;
  WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                      &bytes, WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return {};
  std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
  if (!WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &bytes,
                           WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  value.resize(bytes / sizeof(wchar_t));
  return value;
}

// Contexts not yet freed by their handle's closing.
std::atomic<std::size_t> g_unwinding{0};

DWORD clamp_ms(std::int64_t ms) {
  return static_cast<DWORD>(std::min<std::int64_t>(ms, 0x7fffffff));
}

}  // namespace

// What WinHTTP's workers may reach of the transport. It outlives the
// transport: a worker finishing after the transport is gone finds it closed.
struct WinHttpTransport::Shared {
  std::mutex mutex;  // guards open and the use of post
  bool open = true;
  ThreadPoster post;
  WinHttpTransport* owner = nullptr;  // read and reset on the loop thread only
};

// One request as WinHTTP's callbacks see it. Owned by its request handle:
// freed when WinHTTP reports that handle closing.
struct WinHttpTransport::Context {
  std::shared_ptr<Shared> shared;
  RequestId id = 0;
  HINTERNET handle = nullptr;   // the request handle, for recognising its closing
  HINTERNET connect = nullptr;  // closed once the request handle has closed
  // Recursive: WinHTTP may call back on the calling thread from inside a
  // call made under the lock.
  std::recursive_mutex mutex;
  // Guarded by mutex from here on.
  bool closed = false;    // the loop closed the handle: no more calls on it
  bool finished = false;  // a result went to the loop
  bool auth_tried = false;
  // With same_origin_redirects: the address asked for, whose origin every
  // redirect must keep.
  bool same_origin = false;
  std::string url;
  int status = 0;
  std::string content_type;
  long long content_length = -1;
  std::string body;
  std::vector<char> buffer;
  std::size_t max_body = 0;
  std::int64_t receive_ms = 0;
  std::wstring proxy_user;
  std::wstring proxy_password;
  // Read by the loop's watchdog without the lock.
  std::atomic<bool> sent{false};  // the request is on its way: the receive time-out runs
  std::atomic<std::uint64_t> progress{0};
};

// WinHTTP's status callback and the steps of a request, on worker threads.
struct WinHttpCallbacks {
  using Context = WinHttpTransport::Context;

  static void CALLBACK status(HINTERNET handle, DWORD_PTR context, DWORD code, LPVOID info,
                              DWORD info_length) {
    if (context == 0) return;  // the session or a connection handle
    auto* c = reinterpret_cast<Context*>(context);
    if (code == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
      if (handle != c->handle) return;
      if (c->connect != nullptr) WinHttpCloseHandle(c->connect);
      delete c;
      --g_unwinding;
      return;
    }
    std::lock_guard<std::recursive_mutex> lock(c->mutex);
    if (c->closed || c->finished) return;
    switch (code) {
      case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
      case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
        c->sent = true;
        ++c->progress;
        break;
      case WINHTTP_CALLBACK_STATUS_RECEIVING_RESPONSE:
      case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED:
        ++c->progress;
        break;
      case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        c->sent = true;
        ++c->progress;
        if (!WinHttpReceiveResponse(c->handle, nullptr)) fail(c, GetLastError());
        break;
      case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        ++c->progress;
        headers(c);
        break;
      case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE: {
        ++c->progress;
        const DWORD available = info != nullptr ? *static_cast<DWORD*>(info) : 0;
        if (available == 0) {
          complete(c);
        } else {
          c->buffer.resize(std::min(available, kMaxReadChunk));
          if (!WinHttpReadData(c->handle, c->buffer.data(), static_cast<DWORD>(c->buffer.size()),
                               nullptr)) {
            fail(c, GetLastError());
          }
        }
        break;
      }
      case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        ++c->progress;
        read(c, info_length);
        break;
      case WINHTTP_CALLBACK_STATUS_REDIRECT:
        ++c->progress;
        if (c->same_origin && info != nullptr) redirect(c, static_cast<const wchar_t*>(info));
        break;
      case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        fail(c, info != nullptr ? static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError : 0);
        break;
      default:
        break;
    }
  }

  static void headers(Context* c) {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(c->handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
      fail(c, GetLastError());
      return;
    }
    if (status == 407 && !c->proxy_user.empty() && !c->auth_tried) {
      // The proxy wants credentials: send the request once more with them.
      c->auth_tried = true;
      c->sent = false;
      if (!WinHttpSetCredentials(c->handle, WINHTTP_AUTH_TARGET_PROXY, WINHTTP_AUTH_SCHEME_BASIC,
                                 c->proxy_user.c_str(), c->proxy_password.c_str(), nullptr) ||
          !WinHttpSendRequest(c->handle, kRequestHeaders, static_cast<DWORD>(-1),
                              WINHTTP_NO_REQUEST_DATA, 0, 0, reinterpret_cast<DWORD_PTR>(c))) {
        fail(c, GetLastError());
      }
      return;
    }
    c->status = static_cast<int>(status);
    c->content_type = utf8_from_wide(query_header(c->handle, WINHTTP_QUERY_CONTENT_TYPE));
    const std::wstring length = query_header(c->handle, WINHTTP_QUERY_CONTENT_LENGTH);
    if (!length.empty()) {
      wchar_t* end = nullptr;
      const unsigned long long n = std::wcstoull(length.c_str(), &end, 10);
      if (end != length.c_str()) c->content_length = static_cast<long long>(n);
    }
    if (c->content_length >= 0 &&
        static_cast<unsigned long long>(c->content_length) > c->max_body) {
      too_large(c);  // refused at once, as announced
      return;
    }
    if (!WinHttpQueryDataAvailable(c->handle, nullptr)) fail(c, GetLastError());
  }

  // A redirect's target as an absolute address. WinHTTP may hand over the
  // Location header as the server wrote it (Wine does), relative to the
  // address asked for; only its origin matters here, and every hop so far
  // kept the origin of from.
  static std::string absolute_target(const std::string& from, const std::string& to) {
    const std::size_t mark = to.find_first_of(":/?#");
    if (mark != std::string::npos && mark > 0 && to[mark] == ':') return to;  // has a scheme
    const std::size_t scheme_end = from.find("://");
    if (scheme_end == std::string::npos) return to;
    if (to.rfind("//", 0) == 0) return from.substr(0, scheme_end + 1) + to;
    const std::size_t path = from.find_first_of("/?#", scheme_end + 3);
    const std::string origin = from.substr(0, path);
    return origin + (to.empty() || to[0] != '/' ? "/" : "") + to;
  }

  // WinHTTP is about to follow a redirect: one that leaves the origin ends
  // the request with a failure. The handle is closed by the loop thread
  // (closing it here would free the context under the loop's feet), so the
  // redirected request may still go out meanwhile; its answer is never used.
  static void redirect(Context* c, const wchar_t* target) {
    const std::string to = utf8_from_wide(target);
    if (http::same_origin(c->url, absolute_target(c->url, to))) return;
    HttpResult result;
    result.error_number = kErrorRedirectRefused;
    result.error_text = "Redirect from " + c->url + " to " + to +
                        " refused: it leaves the scheme, host or port asked for";
    post(c, std::move(result));
  }

  static void read(Context* c, DWORD bytes) {
    if (bytes == 0) {
      complete(c);
      return;
    }
    if (bytes > c->max_body - std::min(c->max_body, c->body.size())) {
      too_large(c);
      return;
    }
    c->body.append(c->buffer.data(), bytes);
    if (!WinHttpQueryDataAvailable(c->handle, nullptr)) fail(c, GetLastError());
  }

  static void complete(Context* c) {
    HttpResult result;
    if (c->content_length >= 0 && c->body.size() < static_cast<std::size_t>(c->content_length)) {
      // The peer closed before the announced end of the body.
      result.error_number = 18;
      result.error_text =
          "transfer closed with " +
          std::to_string(static_cast<std::size_t>(c->content_length) - c->body.size()) +
          " bytes remaining to read";
    } else {
      result.completed = true;
      result.status = c->status;
      result.body = std::move(c->body);
      result.content_type = std::move(c->content_type);
    }
    post(c, std::move(result));
  }

  static void too_large(Context* c) {
    HttpResult result;
    result.error_number = kErrorBodyTooLarge;
    result.error_text = "Response body larger than " + std::to_string(c->max_body) + " bytes";
    post(c, std::move(result));
  }

  static void fail(Context* c, DWORD code) {
    auto [number, text] = WinHttpTransport::classify(code, c->sent, c->receive_ms);
    HttpResult result;
    result.error_number = number;
    result.error_text = std::move(text);
    post(c, std::move(result));
  }

  // Hands the result to the loop thread, once.
  static void post(Context* c, HttpResult result) {
    c->finished = true;
    std::shared_ptr<WinHttpTransport::Shared> shared = c->shared;
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (!shared->open) return;
    shared->post([shared, id = c->id, result = std::move(result)]() mutable {
      if (shared->owner != nullptr) shared->owner->deliver(id, std::move(result));
    });
  }

  // Closes a request's handle from the loop thread; no call is made on it
  // afterwards. Its context is freed when the handle reports closing.
  static void close(Context* c) {
    HINTERNET handle = nullptr;
    {
      std::lock_guard<std::recursive_mutex> lock(c->mutex);
      if (c->closed) return;
      c->closed = true;
      handle = c->handle;
    }
    WinHttpCloseHandle(handle);  // c may be gone from here on
  }
};

WinHttpTransport::WinHttpTransport(host::EventLoop& loop, ThreadPoster post)
    : m_loop(loop), m_shared(std::make_shared<Shared>()) {
  m_shared->post = std::move(post);
  m_shared->owner = this;
}

WinHttpTransport::~WinHttpTransport() {
  {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->open = false;
  }
  m_shared->owner = nullptr;
  abort_all();
  m_loop.kill_timer(m_watchdog);
  // Requests still unwinding keep their session alive inside WinHTTP until
  // their handles close.
  for (const auto& [key, session] : m_sessions) WinHttpCloseHandle(static_cast<HINTERNET>(session));
}

void* WinHttpTransport::session(const std::string& proxy, const std::string& bypass,
                                std::string* error) {
  const std::string key = proxy.empty() ? std::string() : proxy + '\n' + bypass;
  if (const auto it = m_sessions.find(key); it != m_sessions.end()) return it->second;
  bool ok_proxy = false;
  bool ok_bypass = false;
  const std::wstring wide_proxy = wide_from_utf8(proxy, &ok_proxy);
  const std::wstring wide_bypass = wide_from_utf8(bypass, &ok_bypass);
  if (!ok_proxy || !ok_bypass) {
    *error = "Proxy not usable: not UTF-8";
    return nullptr;
  }
  // The proxy is the session's: a proxy set on a request handle is not
  // honoured everywhere (Wine ignores it), so each proxy gets a session.
  HINTERNET handle =
      proxy.empty()
          ? WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                        WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC)
          : WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, wide_proxy.c_str(),
                        wide_bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : wide_bypass.c_str(),
                        WINHTTP_FLAG_ASYNC);
  // Connection and request handles inherit the callback.
  if (handle == nullptr || WinHttpSetStatusCallback(handle, &WinHttpCallbacks::status,
                                                    WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS,
                                                    0) == WINHTTP_INVALID_STATUS_CALLBACK) {
    const DWORD code = GetLastError();
    if (handle != nullptr) WinHttpCloseHandle(handle);
    *error = (proxy.empty() ? "WinHTTP is not available: " : "Proxy not usable: ") +
             classify(code, false, 0).second;
    return nullptr;
  }
  m_sessions.emplace(key, handle);
  return handle;
}

std::pair<int, std::string> WinHttpTransport::classify(unsigned long code, bool connected,
                                                       std::int64_t receive_ms) {
  int number = static_cast<int>(code);
  std::string text;
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT:
    case kWsaTimedOut:
      if (connected) {
        number = kErrorReceiveTimeout;
        text = "Operation timed out: no data received for " + std::to_string(receive_ms) +
               " milliseconds";
      } else {
        number = 28;
        text = "Timeout was reached while connecting";
      }
      break;
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      number = 6;
      text = "Couldn't resolve host name";
      break;
    case ERROR_WINHTTP_CANNOT_CONNECT:
      number = 7;
      text = "Couldn't connect to server";
      break;
    case ERROR_WINHTTP_CONNECTION_ERROR:
      number = 56;
      text = "Failure when receiving data from the peer";
      break;
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      number = 8;
      text = "Weird server reply";
      break;
    case ERROR_WINHTTP_INVALID_URL:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
      number = 3;
      text = "URL using bad/illegal format or missing URL";
      break;
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
      number = 60;
      text = "SSL peer certificate or SSH remote key was not OK";
      break;
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
      number = 35;
      text = "SSL connect error";
      break;
    case ERROR_WINHTTP_REDIRECT_FAILED:
      number = 47;
      text = "Redirect failed";
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      number = 27;
      text = "Out of memory";
      break;
    default:
      text = "HTTP request failed";
      break;
  }
  return {number, text + " (WinHTTP error " + std::to_string(code) + ")"};
}

RequestId WinHttpTransport::get(std::string_view url, const HttpSettings& settings,
                                HttpHandler handler, std::string* error) {
  const auto refuse = [error](std::string reason) -> RequestId {
    if (error != nullptr) *error = std::move(reason);
    return 0;
  };
  const std::string address(url);
  if (address.find('\0') != std::string::npos) return refuse("URL contains a NUL character");
  const std::size_t colon = address.find("://");
  if (colon != std::string::npos) {
    std::string scheme = address.substr(0, colon);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    if (scheme != "http" && scheme != "https") {
      return refuse("Unsupported protocol: only http and https are fetched");
    }
  }
  bool valid = false;
  const std::wstring wide = wide_from_utf8(address, &valid);
  if (!valid) return refuse("Malformed URL: not UTF-8");
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (colon == std::string::npos ||
      !WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts) ||
      parts.dwHostNameLength == 0) {
    return refuse("Malformed URL");
  }
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
    return refuse("Unsupported protocol: only http and https are fetched");
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty() || path.front() != L'/') path.insert(path.begin(), L'/');

  const bool proxied = settings.useproxy == 1 && !settings.proxy_server.empty();
  std::string reason;
  void* const session_handle = session(proxied ? settings.proxy_server : std::string(),
                                       proxied ? settings.proxy_bypass : std::string(), &reason);
  if (session_handle == nullptr) return refuse(reason);
  HINTERNET connect =
      WinHttpConnect(static_cast<HINTERNET>(session_handle), host.c_str(), parts.nPort, 0);
  if (connect == nullptr) return refuse(classify(GetLastError(), false, 0).second);
  HINTERNET request = WinHttpOpenRequest(
      connect, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
      parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
  if (request == nullptr) {
    const DWORD code = GetLastError();
    WinHttpCloseHandle(connect);
    return refuse(classify(code, false, 0).second);
  }
  auto* c = new Context;
  ++g_unwinding;
  c->shared = m_shared;
  c->id = m_next_id;
  c->handle = request;
  c->connect = connect;
  c->max_body = settings.max_body_bytes;
  c->same_origin = settings.same_origin_redirects;
  c->url = address;
  const std::int64_t connect_ms =
      timeout_ms(settings.connection_timeout, kDefaultConnectionTimeout);
  c->receive_ms = timeout_ms(settings.receive_timeout, kDefaultReceiveTimeout);
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(c);
  if (!WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
    const DWORD code = GetLastError();
    WinHttpCloseHandle(request);  // no context yet: nothing frees it but us
    WinHttpCloseHandle(connect);
    delete c;
    --g_unwinding;
    return refuse(classify(code, false, 0).second);
  }
  // From here the request handle owns the context.
  WinHttpSetTimeouts(
      request, static_cast<int>(clamp_ms(connect_ms)), static_cast<int>(clamp_ms(connect_ms)),
      static_cast<int>(clamp_ms(c->receive_ms)), static_cast<int>(clamp_ms(c->receive_ms)));
  DWORD redirects = 10;
  WinHttpSetOption(request, WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &redirects,
                   sizeof redirects);
  if (proxied) {
    bool ok_user = false;
    bool ok_password = false;
    c->proxy_user = wide_from_utf8(settings.proxy_user, &ok_user);
    c->proxy_password = wide_from_utf8(settings.proxy_password, &ok_password);
  }

  auto entry = std::make_unique<Request>();
  entry->context = c;
  entry->handler = std::move(handler);
  entry->started = m_loop.now_ms();
  entry->receive_ms = c->receive_ms;
  entry->transfer_ms = timeout_ms(settings.transfer_timeout, kDefaultTransferTimeout);
  const RequestId id = m_next_id++;
  m_requests.emplace(id, std::move(entry));
  // The answer comes through the callback (perhaps before this returns, on
  // a worker); it reaches the handler only through the loop.
  if (!WinHttpSendRequest(request, kRequestHeaders, static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA,
                          0, 0, context)) {
    const DWORD code = GetLastError();
    detach(id);
    return refuse(classify(code, false, 0).second);
  }
  arm_watchdog();
  return id;
}

std::size_t WinHttpTransport::unwinding_requests() {
  return g_unwinding.load();
}

std::unique_ptr<WinHttpTransport::Request> WinHttpTransport::detach(RequestId id) {
  const auto it = m_requests.find(id);
  if (it == m_requests.end()) return nullptr;
  std::unique_ptr<Request> r = std::move(it->second);
  m_requests.erase(it);
  WinHttpCallbacks::close(r->context);
  r->context = nullptr;
  if (m_requests.empty()) {
    m_loop.kill_timer(m_watchdog);
    m_watchdog = 0;
  }
  return r;
}

void WinHttpTransport::cancel(RequestId id) {
  detach(id);
}

void WinHttpTransport::abort_all() {
  while (!m_requests.empty()) detach(m_requests.begin()->first);
}

void WinHttpTransport::deliver(RequestId id, HttpResult result) {
  std::unique_ptr<Request> r = detach(id);
  if (r == nullptr) return;  // withdrawn or timed out meanwhile
  HttpHandler handler = std::move(r->handler);
  r.reset();
  handler(std::move(result));
}

void WinHttpTransport::arm_watchdog() {
  m_loop.kill_timer(m_watchdog);
  m_watchdog = 0;
  if (m_requests.empty()) return;
  // Progress is seen only when the watchdog looks, so it looks several
  // times per receive time-out: a silence is caught within a quarter of it.
  const std::int64_t now = m_loop.now_ms();
  std::int64_t next = now + 1000;
  for (const auto& [id, r] : m_requests) {
    next = std::min(next, r->started + r->transfer_ms);
    next = std::min(next, now + std::clamp<std::int64_t>(r->receive_ms / 4, 10, 1000));
  }
  m_watchdog = m_loop.set_timeout(std::max<std::int64_t>(next - now, 0), [this] {
    m_watchdog = 0;
    check_timeouts();
  });
}

void WinHttpTransport::check_timeouts() {
  const std::int64_t now = m_loop.now_ms();
  struct Expired {
    RequestId id;
    int number;
    std::string text;
  };
  std::vector<Expired> expired;
  for (const auto& [id, r] : m_requests) {
    const std::uint64_t progress = r->context->progress.load();
    if (r->last_activity < 0) {
      if (r->context->sent.load()) {
        r->last_activity = now;
        r->progress_seen = progress;
      }
    } else if (progress != r->progress_seen) {
      r->last_activity = now;
      r->progress_seen = progress;
    }
    if (now - r->started >= r->transfer_ms) {
      expired.push_back({id, kErrorTransferTimeout,
                         "Operation timed out: the transfer took longer than " +
                             std::to_string(r->transfer_ms) + " milliseconds"});
    } else if (r->last_activity >= 0 && now - r->last_activity >= r->receive_ms) {
      expired.push_back({id, kErrorReceiveTimeout,
                         "Operation timed out: no data received for " +
                             std::to_string(r->receive_ms) + " milliseconds"});
    }
  }
  for (Expired& e : expired) {
    std::unique_ptr<Request> r = detach(e.id);
    if (r == nullptr) continue;  // withdrawn by an earlier handler
    HttpHandler handler = std::move(r->handler);
    r.reset();
    HttpResult result;
    result.error_number = e.number;
    result.error_text = std::move(e.text);
    handler(std::move(result));
  }
  arm_watchdog();
}

}  // namespace quillo::http
