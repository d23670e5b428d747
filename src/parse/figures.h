// Figures as pages write them: the separators a source uses, typographic
// minus signs, and the reading of a well-formed figure (signs, parentheses,
// currency signs, units and percent) into a number. clsparse's
// figure_convert1 is built on these. Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillo {

// The separators figures are written with. The default is the fixed
// locale's: "." decimal point, "," group separator. A source or field of
// the definitions may name others (decimal="," for "1.234,56").
struct FigureFormat {
  std::string decimal = ".";
  std::string group = ",";
};

// Removes group separators and makes the decimal separator ".".
void figure_separators(std::string& text, const FigureFormat& format);
// Turns the typographic minus sign and dashes in front of digits into "-".
void figure_minus_signs(std::string& text);
// The number a well-formed figure stands for; nullopt for other texts.
std::optional<double> read_figure(std::string_view text);

}  // namespace quillo
