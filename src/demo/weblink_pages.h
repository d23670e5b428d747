// Pages of the local market-data service for web links: a page a user
// would mark a value on, and the awkward answers link creation must cope
// with. Served under /wl/ on both ports of the service.
//
//   /wl/quote [s]     a quote page for any id: last price, change and
//                     volume follow the clock (weblink_last, weblink_volume),
//                     attribute values (classes, data-ts, ids) change every
//                     second, the table has no tbody and a paragraph is left
//                     open; a script holds the token "session-7f3a" and an
//                     attribute the text "Quillo Labs", neither as page text
//   /wl/many [n, v, open]  n table rows (at most 100,000) whose second cell
//                     is v (default "n/a"); the first cell is "row K"; with
//                     open=1 the cells and rows are left without end tags
//   /wl/figures [open]  a table of figures: Open (as given), Last (as
//                     weblink_last), Last as "$&nbsp;..." and with a decimal
//                     comma and "&nbsp;&euro;", the name "AT&amp;T" and the
//                     change "-0,75"
//   /wl/big [mb]      a page of about mb megabytes (at most 100) of
//                     paragraphs, ending with <div>end of page</div>
//   /wl/price [open]  a price in bold and a change in italics in paragraphs;
//                     in odd minutes <br>, <button> and <img> stand beside
//                     them; with open=1 a bold figure left without its end tag
//   /wl/loop          a redirect to itself (main port only, weblink_redirect)
//   /wl/data          a binary answer (application/octet-stream)
//   /wl/json          a JSON answer with the figures of /wl/quote?s=ABC
// Any other path under /wl/ answers 404.
//
// Pure: the time is given. Any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "demo/market_site.h"

namespace quillo::service {

// The page for a target under /wl/; nullopt for other targets.
std::optional<Reply> weblink_page(std::string_view target, std::int64_t now_ms);

// Where a target redirects to, for the server to send as a redirect;
// nullopt for targets that are answered with a page.
std::optional<std::string> weblink_redirect(std::string_view target);

// The figures /wl/quote shows at a moment, as it writes them: the last
// price ("100.45") moves by a cent a minute within a 1,000-minute cycle,
// the volume ("1,166,543") grows with the minutes of the day.
std::string weblink_last(std::int64_t now_ms);
std::string weblink_volume(std::int64_t now_ms);

}  // namespace quillo::service
