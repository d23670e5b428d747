// HttpTransport: asynchronous HTTP GET for the request monitors.
//
// A request is started with get(); its answer is reported later, exactly
// once, on the event-loop thread, and never from inside get() itself:
// either a completion (an HTTP answer arrived, whatever its status, with
// its body) or a failure (no usable answer: connection refused or reset,
// time-out, a body over the cap...), with a number and a description. A
// request that cannot even be started (a malformed URL, one that is not
// UTF-8, a scheme other than http or https) makes get() answer 0 with a
// reason and is never reported. cancel() withdraws one request and abort_all() every request;
// neither reports anything for what it withdraws.
//
// Implementations: CurlTransport (libcurl on the event loop) and, on
// Windows, WinHttpTransport (asynchronous WinHTTP) for real use,
// ScriptedTransport for tests; the first two keep the cases of
// http_transport_contract.h. Loop thread only. A handler may start,
// cancel or abort requests of the same transport; it must not destroy the
// transport.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quillo::http {

// Failure numbers of our own; all others are libcurl's CURLcode numbers
// (below 1000; WinHttpTransport gives the same number for the same class
// of failure) or, for a WinHTTP failure with no such class, WinHTTP's own
// code (12000 and above).
enum HttpErrorNumber : int {
  kErrorReceiveTimeout = 1001,   // no byte arrived for receive_timeout seconds
  kErrorBodyTooLarge = 1002,     // the body grew past max_body_bytes
  kErrorTransferTimeout = 1003,  // the whole exchange took longer than transfer_timeout
  kErrorRedirectRefused = 1004,  // a redirect left the origin (same_origin_redirects)
};

// How one request is sent. The monitor fills it from the configuration.
struct HttpSettings {
  // 1: send through proxy_server (host[:port]) unless the host matches the
  // bypass list; any other value: connect directly, ignoring proxy
  // variables of the environment as well.
  std::int32_t useproxy = 0;
  std::string proxy_server;
  std::string proxy_user;  // empty: no proxy credentials
  std::string proxy_password;
  // Hosts that go direct even with useproxy 1: wildcard host patterns
  // separated by ';', such as "*.example.com;intranet;10.1.2.3".
  std::string proxy_bypass;
  // Time-outs in seconds; a value that is not a positive number means the
  // default. connection_timeout covers name resolution, TCP, TLS and the
  // proxy handshake; receive_timeout is the longest silence allowed once
  // the connection is ready, from sending the request to the last byte of
  // the answer. A GET carries no body and its request fits in the socket
  // buffer, so no separate send time-out applies.
  double connection_timeout = 60;
  double receive_timeout = 30;
  // The longest a whole exchange may take, from the start to the last byte,
  // however steadily the bytes come: a server that trickles its answer
  // cannot hold a request (and whoever waits on it) for ever.
  double transfer_timeout = 120;
  // A body larger than this is a failure (kErrorBodyTooLarge), not an
  // out-of-memory.
  std::size_t max_body_bytes = 64 * 1024 * 1024;
  // Redirects are followed (at most 10, http and https only). With this on,
  // only to the scheme, host and port of the requested address: what the
  // product site serves (its document, definitions, models) is installed or
  // opened, so a redirect elsewhere, or from https to http, is a failure
  // (kErrorRedirectRefused) rather than a file from another server.
  bool same_origin_redirects = false;

  bool operator==(const HttpSettings&) const = default;
};

// The default of each time-out, in seconds.
inline constexpr double kDefaultConnectionTimeout = 60;
inline constexpr double kDefaultReceiveTimeout = 30;
inline constexpr double kDefaultTransferTimeout = 120;

// What a request came to. completed: an HTTP answer with status and body
// (404 and 500 included). Otherwise a failure with error_number and
// error_text.
struct HttpResult {
  bool completed = false;
  int status = 0;
  std::string body;
  std::string content_type;  // the Content-Type header, empty when there is none
  int error_number = 0;
  std::string error_text;
};

using HttpHandler = std::function<void(HttpResult)>;
using RequestId = std::uint64_t;  // 0 is never a request

class HttpTransport {
 public:
  virtual ~HttpTransport() = default;

  // Starts a GET of url. Returns the request's id, or 0 with *error set
  // (when error is not null) when it could not be started; handler is then
  // never called.
  virtual RequestId get(std::string_view url, const HttpSettings& settings, HttpHandler handler,
                        std::string* error = nullptr) = 0;
  // Withdraws a request: its handler is never called. Unknown or finished
  // ids are ignored.
  virtual void cancel(RequestId id) = 0;
  // Withdraws every request (shutdown).
  virtual void abort_all() = 0;
  // Requests started and neither reported nor withdrawn.
  virtual std::size_t in_flight() const = 0;
};

// The bypass list in the form libcurl's no-proxy option understands:
// comma-separated host names or domain suffixes. "*.example.com" and
// "*example.com" become ".example.com" (the domain and its subdomains), a
// bare "*" bypasses every host, blanks are dropped and "<local>" (the
// platform's "hosts without a dot") has no equivalent and is left out.
std::string noproxy_from_bypass(std::string_view bypass);

// True when both are absolute http or https addresses with the same scheme,
// host (letter case ignored) and port (the scheme's default when none is
// given); user information before the host does not count.
bool same_origin(std::string_view a, std::string_view b);

// A time-out setting in milliseconds: the default for values that are not
// positive numbers, at most 30 days.
std::int64_t timeout_ms(double seconds, double default_seconds);

}  // namespace quillo::http
