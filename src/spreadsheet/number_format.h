// Number format codes: the text a cell shows for a value under a format
// such as "#,##0.00", "0%", "yyyy-mm-dd hh:mm", "[>100]0;0.0" or
// "#,##0_);(#,##0)". Used by TEXT, FIXED, DOLLAR and by `quillo show`.
//
// A code has up to four sections separated by ";": positive, negative,
// zero and text (or sections chosen by conditions such as [>100]). A
// section holds digit placeholders (0 # ?), a decimal point, "," (thousands
// separator, or scaling by 1000 at the end of the digits), "%", exponents
// (E+ E-), fractions (# ?/?), literals ("text", \x, and characters that
// stand for themselves), spacing (_x gives one blank; *x fills, and there
// is no cell width to fill here, so it gives nothing), the text
// placeholder @, "General", and date and time codes (d dd ddd dddd, m mm mmm
// mmmm mmmmm, yy yyyy, h hh, m mm as minutes after h or before s, s ss with
// .0 .00 .000, AM/PM A/P, elapsed [h] [mm] [ss]). Colours and locale tags
// ([Red], [$-409]) are accepted and change nothing; a currency tag
// ([$€-407]) shows its symbol. Names of months and days are English.
//
// Numbers are rounded as the spreadsheet rounds them: to at most 15
// significant digits first, then half away from zero to the places shown.
// Any code is safe to format with: one that cannot be read (unbalanced
// quotes or brackets, more than four sections) answers nullopt, and so does
// a date code given a value outside the calendar. Pure; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/value.h"

namespace quillo::spreadsheet {

// The value (number, date, text or boolean; errors show their literal)
// formatted with code; an empty code is General. nullopt when the code
// cannot show the value.
std::optional<std::string> format_value(const Value& value, std::string_view code);

// A number as the General format shows it: at most 11 characters besides
// the sign, switching to scientific notation ("1.23457E+11") when plain
// digits would lose more of the number.
std::string format_general(double d);

// A number rounded to decimals places (negative: to tens, hundreds, ...),
// with "," thousands separators when grouped; FIXED and DOLLAR.
std::string format_fixed(double d, int decimals, bool grouped);

}  // namespace quillo::spreadsheet
