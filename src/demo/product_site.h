// The product site as the local market-data service serves it: the site
// document of the definitions update and model library, a newer definitions
// file, broken ones, and small model workbooks, under a few site roots that
// each show one case:
//
//   /site/        announces definitions 2026.2.1 (a short file describing
//                 the service's quote page) and a library: a folder
//                 "Valuation" with two models, an empty folder "Empty", the
//                 top-level "Portfolio tracker" and "Missing model", whose
//                 workbook the site does not have (404)
//   /broken-site/ announces a file cut off in the middle
//   /html-site/   announces a file that is an HTML error page, status 200
//   /huge-site/   announces a 50 MB file
//   /loop-site/   redirects site.xml to itself for ever
//   /away-site/   announces what /site/ does, but redirects the definitions
//                 and every model to /site/ on another host (localhost)
//   /big-site/    no definitions; a library of 100 models in 25 folders,
//                 with a nested folder and file names that try to leave the
//                 library folder ("../x.xlsx", "a/b.xlsx")
//
// Model workbooks (any root's library/NAME for the names above) are made
// in memory: an xlsx with one sheet "Model" whose A1 holds the caption.
// Thread-safe: everything is computed from the request.
#pragma once

#include <string>
#include <string_view>

namespace httplib {
struct Response;
}

namespace quillo::service {

// The version the product site announces, and that of data/ds.xml it is
// newer than.
inline constexpr std::string_view kSiteDefinitionsVersion = "2026.2.1";

// Answers a request for the product site's pages into res; false for any
// other target. port is the service's own (the served definitions point at it).
bool answer_product_site(std::string_view target, int port, httplib::Response& res);

// The bytes of a small xlsx workbook whose one sheet "Model" holds caption
// in A1, 100 in A2 and =A2*2 in B2.
std::string model_workbook(std::string_view caption);

}  // namespace quillo::service
