// Request dispatch and response processing: building request URLs,
// finding or creating the request for a URL, sending it through the
// request manager, and "HttpResponseProcessor", which judges every answer
// to a data request, hands it to the parser of its kind, sets the
// request's status and makes the waiting cells show the result.
//
// Loop thread only. The processor re-evaluates cells, which re-enters
// worksheet functions; it reads the request again by number after that.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "http/clsXMLHttpManager.h"
#include "parse/definitions.h"
#include "requests/registry.h"

namespace quillo {

namespace history {
class cls_history_yahoo;
}
class cls_weblinkroutines;
class ProvenanceLog;

// How failures of a request that already showed data are shown (the
// settings "connectionerrorhandling" and "parseerrorhandling"): 1 shows
// every failure, 2 keeps the last figure where there is one.
struct ErrorPolicy {
  std::int16_t connectionerrorhandling = 1;
  std::int16_t parseerrorhandling = 1;
};

// The URL with each parameter whose key and value are both set appended as
// key=value ("?" first unless the URL has one, then "&"). Keys and values
// are percent-encoded where a character is not safe in a query ("X#Y"
// would otherwise fetch X's page, "A&s=Z" add a parameter); text already
// encoded ("%20") stays as it is.
std::string query_build(std::string_view url, const std::vector<std::string>& names,
                        const std::vector<std::string>& keys,
                        const std::vector<std::string>& values);

class RequestDispatch {
 public:
  static constexpr const char* kProcessorName = "HttpResponseProcessor";

  RequestDispatch(RequestRegistry& registry, http::clsXMLHttpManager& manager,
                  const Definitions& definitions, const ErrorPolicy& policy);

  // The URL with a fresh random value appended ("rand=0.7055475"), so no
  // cache between here and the site answers an old page.
  std::string add_rand(std::string_view url);

  // The request with exactly this URL, or a new one (sent at once when
  // send_now is set). Returns its number.
  std::int32_t request_add(const std::string& url, RequestType reqtype, const std::string& source,
                           const std::string& category, std::int16_t updatefrq,
                           const std::string& extra, bool send_now);
  // Sends the request unless it is in flight or failed for good.
  void request_send(std::int32_t r);

  // The parser of price-history answers (none: they are judged invalid).
  void set_history(history::cls_history_yahoo* parser) { m_history = parser; }
  // The reader of web link pages (none: their answers only mark the request loaded).
  void set_weblinks(cls_weblinkroutines* weblinks) { m_weblinks = weblinks; }

  // Where answers are recorded for the provenance of the cells they fill.
  void set_provenance(ProvenanceLog* log) { m_provenance = log; }

  // The response processor of all data requests.
  void HttpResponseProcessor(const std::string& text, std::int32_t r, std::int16_t status,
                             const std::string& message);

 private:
  // Answers why a JSON or CSV answer was refused (not JSON, no CSV header),
  // or empty.
  std::string process_answer(const std::string& text, std::int32_t r, std::int16_t status,
                             const std::string& message);
  // Records the answer's outcome once it was processed; a refused answer
  // (refusal) is a failure, not a fresh value.
  void record_answer(std::int32_t r, const std::string& url, std::int16_t status,
                     std::int32_t attempts, const std::string& message, const std::string& refusal);
  // Shows an answer's values: a first answer's cells at once; an answer of
  // a round of updates with the recalculation of the sheets once nothing is
  // in flight (recalc_if_due, after every answer, value or failure).
  void show_result(std::int32_t r);
  void recalc_if_due();

  RequestRegistry& m_registry;
  http::clsXMLHttpManager& m_manager;
  const Definitions& m_definitions;
  const ErrorPolicy& m_policy;
  history::cls_history_yahoo* m_history = nullptr;
  cls_weblinkroutines* m_weblinks = nullptr;
  ProvenanceLog* m_provenance = nullptr;
  std::mt19937 m_random{std::random_device{}()};
  bool m_recalc_due = false;
};

}  // namespace quillo
