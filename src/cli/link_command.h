// quillo link: web links for people without a browser window.
//
// `link add` does what a user does in the link wizard: it opens the page
// (fetched through the add-in's request manager, as the wizard's own page
// fetch: request number -1, processor "weblinkResponseProcessor", the "wlink"
// channel, with the proxy and time-outs of the settings), selects the
// occurrence-th element of the page whose first text reads as the value
// (html::HtmlDocument, which parses and serializes as a browser does),
// hands the wizard model the texts a browser would, with the place of the
// selected element in the page (so that of two identical elements the one
// chosen is linked), and lets it store the
// link on the workbook's "weblinks_data" sheet and write =wlink("name")
// into the cell. It then waits for the new cell's first value and saves
// the workbook atomically. The links already stored in the workbook are
// loaded first, as the host loads them when their cells are evaluated, so
// a proposed name never reuses a stored one and a name given that is
// already stored is refused by the wizard instead of overwriting its row.
//
// `link list` prints the rows of the workbook's "weblinks_data" sheet.
//
// Loop thread only (the command's own). Messages go to the error stream,
// each line starting with the command's name.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

namespace quillo::cli {

struct LinkAddOptions {
  std::string book;
  std::string cell;  // "B2" or "Sheet 2!B2"
  std::string url;
  std::string value;
  std::string name;  // empty: the wizard proposes weblink_N
  std::size_t occurrence = 1;
  std::string decimal;  // the separators of the page's figures; empty: the link's default
  std::string group;
  double timeout_seconds = 300;  // for the page and its reading, then for the cell's first value
};

struct LinkListOptions {
  std::string book;
  bool header = false;  // a header line first (the command line sets it on a terminal)
};

// Exit codes: 0 stored and saved; 1 the page could not be fetched or read,
// the value is not on it, the wizard refused (its message is printed), or
// the file could not be written (the previous one is intact); 2 bad usage,
// definitions that do not load, or a workbook that cannot be read.
int run_link_add(const LinkAddOptions& options, std::ostream& out, std::ostream& err);
// One line per link: name, page address, references, start marker, end
// marker, tab-separated. Exit codes: 0 listed (also when there are none,
// which is said on the error stream), 2 a workbook that cannot be read.
int run_link_list(const LinkListOptions& options, std::ostream& out, std::ostream& err);

}  // namespace quillo::cli
