#include "requests/dispatch.h"

#include <charconv>

#include "common/text_encoding.h"
#include "history/cls_history_yahoo.h"
#include "parse/table_extraction.h"
#include "requests/cls_weblinkroutines.h"
#include "requests/provenance.h"

namespace quillo {

std::string query_build(std::string_view url, const std::vector<std::string>& names,
                        const std::vector<std::string>& keys,
                        const std::vector<std::string>& values) {
  std::string out(url);
  const char* separator = url.find('?') != std::string_view::npos ? "&" : "?";
  for (std::size_t i = 0; i < names.size() && i < keys.size() && i < values.size(); ++i) {
    if (keys[i].empty() || values[i].empty()) continue;
    out.append(separator)
        .append(text::encode_query_value(keys[i]))
        .append("=")
        .append(text::encode_query_value(values[i]));
    separator = "&";
  }
  return out;
}

RequestDispatch::RequestDispatch(RequestRegistry& registry, http::clsXMLHttpManager& manager,
                                 const Definitions& definitions, const ErrorPolicy& policy)
    : m_registry(registry), m_manager(manager), m_definitions(definitions), m_policy(policy) {}

std::string RequestDispatch::add_rand(std::string_view url) {
  const float value = std::uniform_real_distribution<float>(0.0f, 1.0f)(m_random);
  // As "%.7g" writes it, without the cost of printf.
  char buf[32];
  const auto written =
      std::to_chars(buf, buf + sizeof buf, static_cast<double>(value < 1.0f ? value : 0.0f),
                    std::chars_format::general, 7);
  const std::string_view separator = url.find('?') != std::string_view::npos ? "&rand=" : "?rand=";
  std::string out;
  out.reserve(url.size() + separator.size() + static_cast<std::size_t>(written.ptr - buf));
  out.append(url).append(separator).append(buf, written.ptr);
  return out;
}

std::int32_t RequestDispatch::request_add(const std::string& url, RequestType reqtype,
                                          const std::string& source, const std::string& category,
                                          std::int16_t updatefrq, const std::string& extra,
                                          bool send_now) {
  if (const std::int32_t found = m_registry.find(url)) return found;
  datarequest request;
  request.url = url;
  request.reqtype = reqtype;
  request.source = source;
  request.category = category;
  request.extra = extra;
  request.channel = m_manager.getchannelid(source);
  request.updatefrq = updatefrq;
  const std::int32_t r = m_registry.append(std::move(request));
  if (send_now) {
    request_send(r);
    datarequest& sent = m_registry.requests().at(r);
    // A request that could not be handed over at all shows its error now.
    if (sent.status != RequestStatus::Loaded && sent.status != RequestStatus::ConnectionError) {
      sent.status = RequestStatus::Loading;
    }
  } else {
    m_registry.requests().at(r).status = RequestStatus::NotSent;
  }
  return r;
}

void RequestDispatch::request_send(std::int32_t r) {
  if (!m_registry.requests().contains(r)) return;
  datarequest& request = m_registry.requests().at(r);
  if (request.forgotten) return;
  switch (request.status) {
    case RequestStatus::Sent:
    case RequestStatus::Loading:
    case RequestStatus::InvalidInstrument:
    case RequestStatus::NoData:
      return;
    default:
      break;
  }
  std::string url;
  std::uint8_t channel = request.channel;
  switch (request.reqtype) {
    case RequestType::SingleItem:
    case RequestType::History:
      url = add_rand(request.url);
      break;
    case RequestType::WebLink:
      url = request.url.size() > 8 ? std::string(request.url.substr(8)) : std::string();
      channel = m_manager.getchannelid("wlink");
      break;
    default:
      return;
  }
  request.status = RequestStatus::Sent;
  m_registry.inflight_sent();
  const std::string source = request.source;
  if (!m_manager.XMLHttpCall("GET", url, kProcessorName, r, channel)) {
    // No channel for the source (the definitions did not set it up): an
    // answer would never come, so the request fails now instead of waiting.
    datarequest& failed = m_registry.requests().at(r);
    m_registry.inflight_answered();
    failed.status = RequestStatus::ConnectionError;
    failed.httpcode = http::kTransportFailure;
    failed.message = "No connection channel for data source \"" + source + "\"";
  }
}

void RequestDispatch::HttpResponseProcessor(const std::string& text, std::int32_t r,
                                            std::int16_t status, const std::string& message) {
  if (!m_provenance || !m_registry.requests().contains(r)) {
    process_answer(text, r, status, message);
    recalc_if_due();
    return;
  }
  const datarequest& request = m_registry.requests().at(r);
  const std::uint8_t channel =
      request.reqtype == RequestType::WebLink ? m_manager.getchannelid("wlink") : request.channel;
  const std::int32_t attempts = m_manager.tries(r, channel);
  const std::string url = request.url.str();
  const std::string refusal = process_answer(text, r, status, message);
  recalc_if_due();
  record_answer(r, url, status, attempts, message, refusal);
}

void RequestDispatch::record_answer(std::int32_t r, const std::string& url, std::int16_t status,
                                    std::int32_t attempts, const std::string& message,
                                    const std::string& refusal) {
  // Cells re-evaluated meanwhile may have reset the table.
  if (!m_registry.requests().contains(r) || m_registry.requests().at(r).url != url) return;
  const datarequest& request = m_registry.requests().at(r);
  std::string failure;
  if (status != 200) {
    failure = !message.empty()
                  ? message
                  : "HTTP " + std::to_string(status) + " " + std::string(http_errortext(status));
  } else if (request.status == RequestStatus::InvalidInstrument ||
             request.status == RequestStatus::NoData ||
             request.status == RequestStatus::ParseError) {
    failure = m_registry.request_statustext(r);
  } else if (!refusal.empty()) {
    failure = refusal;
  }
  m_provenance->note_answer(r, request, status, attempts, std::move(failure));
}

std::string RequestDispatch::process_answer(const std::string& text, std::int32_t r,
                                            std::int16_t status, const std::string& message) {
  m_registry.inflight_answered();
  if (!m_registry.requests().contains(r)) return {};  // answered after a reset
  datarequest& request = m_registry.requests().at(r);
  if (request.forgotten) return {};  // nobody waits for it any more
  const bool had_data = !request.parsed.empty();
  // A history request that ends without a table releases its areas before
  // the cells are evaluated again, so they show the request's status.
  const bool history = request.reqtype == RequestType::History && m_history;
  const bool weblink = request.reqtype == RequestType::WebLink;
  auto release_areas = [&] {
    if (history) m_history->clear_areas(r);
  };

  if (status != 200) {
    const bool report =
        m_policy.connectionerrorhandling == 1 ||
        (m_policy.connectionerrorhandling == 2 && (!request.extra.empty() || !had_data));
    if (!report) {
      // The cells keep the data they had. A request's first answer still
      // re-evaluates its cells, so they show an empty result instead of
      // waiting for ever.
      request.status = RequestStatus::Loaded;
      release_areas();
      show_result(r);
      return {};
    }
    request.status = RequestStatus::ConnectionError;
    request.httpcode = status;
    request.message = message;
    release_areas();
    m_registry.request_refresh_cells(r);
    return {};
  }

  std::string refusal;
  bool valid = false;
  if (request.reqtype == RequestType::SingleItem)
    valid = m_definitions.response_isvalid(request, text);
  if (weblink) valid = true;
  if (history) valid = history::cls_history_yahoo::datavalidate(text);
  if (!valid) {
    if (request.status != RequestStatus::NoData) request.status = RequestStatus::InvalidInstrument;
    release_areas();
    m_registry.request_refresh_cells(r);
    return {};
  }
  if (request.reqtype == RequestType::SingleItem) {
    std::string page = text;
    refusal = definition_parse(page, m_registry.requests(), r, m_definitions);
  }
  if (history) {
    // An answer that is no price table (an error page, an empty body) fails
    // the request; every area keeps the table it shows.
    if (std::string problem = history::cls_history_yahoo::tablecheck(text); !problem.empty()) {
      request.status = RequestStatus::ParseError;
      request.message = std::move(problem);
      release_areas();
      m_registry.request_refresh_cells(r);
      return {};
    }
    std::string csv = text;
    m_history->fieldparse(csv, r);
  }
  if (weblink && m_weblinks) m_weblinks->wlinkparse(text, r);
  datarequest& parsed = m_registry.requests().at(r);
  if (parsed.status == RequestStatus::ParseError) {
    if (had_data && m_policy.parseerrorhandling == 2) parsed.status = RequestStatus::Loaded;
  } else {
    parsed.status = RequestStatus::Loaded;
  }
  show_result(r);
  return refusal;
}

void RequestDispatch::show_result(std::int32_t r) {
  datarequest& request = m_registry.requests().at(r);
  if (request.refresh_cells) {
    request.refresh_cells = false;
    m_registry.request_refresh_cells(r);
  } else {
    m_recalc_due = true;  // once the last answer in flight is in
  }
}

void RequestDispatch::recalc_if_due() {
  // Whatever the last answer in flight was - a value, or a failure that
  // re-evaluates only its own cells - the values that came before it are
  // shown now, not at some later round.
  if (!m_recalc_due || m_registry.inflight_count() != 0) return;
  m_recalc_due = false;
  m_registry.sheets_recalc(false, false);
}

}  // namespace quillo
