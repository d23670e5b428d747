// Web link values as pages write them: the text between a link's markers
// decoded as a reader sees it, and read as a number with the separators
// the link names or, without them, with a comma read as the decimal sign
// wherever it cannot be a group separator. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillo {

// The text with its character references decoded: numeric ones, and the
// named ones pages write around figures and names (&amp; &lt; &gt; &quot;
// &apos; &nbsp; the currency signs &euro; &pound; &yen; &cent; &dollar;,
// &copy; &reg; &trade; &deg; &percnt; &permil; &plusmn; &times; &divide;
// &minus; &ndash; &mdash; &hellip; &middot; &bull; &laquo; &raquo; &lsquo;
// &rsquo; &ldquo; &rdquo; &sbquo; &bdquo; &frac12; &frac14; &frac34;
// &sect;), names in any letter case (link pages are read upper-cased).
// Line feeds, carriage returns and tabs are removed, and so is every
// non-breaking space when keep_nbsp is false (the value of a link never
// held "&nbsp;"); otherwise it becomes a blank. Other text stays as it is.
std::string decode_link_text(std::string_view raw, bool keep_nbsp = false);

// Where the first text run of an element's HTML starts (0-based), as
// runs are counted for the value of a selection: the first text between a
// ">" and the next "<" that holds more than line breaks and tabs; npos
// when there is none. length receives the run's length.
std::size_t first_text_run(std::string_view html, std::size_t* length);

// The separators a link's figures are written with. Both empty: a comma is
// a group separator where it can be one (groups of exactly three digits
// after a first group of one to three digits that does not start with 0)
// and otherwise, when it is the only one and no "." is there, the decimal
// sign: "1,234" is 1234, "-0,75" -0.75, "0,075" 0.075, "1,2,3" no number.
struct LinkSeparators {
  std::string decimal;
  std::string group;
  bool automatic() const { return decimal.empty() && group.empty(); }
};

// One row of a link store sheet, as its cells' values read.
struct LinkRow {
  std::string name;
  std::string url;
  std::string references;
  std::string startmarker;
  std::string endmarker;
  LinkSeparators separators;  // columns 6 and 7
};

// A link's value read as a number: signs, parentheses, "$" (and the euro,
// pound and yen signs, in front or behind), the separators as above;
// nullopt for any other text.
std::optional<double> link_number(std::string_view text, const LinkSeparators& separators);

}  // namespace quillo
