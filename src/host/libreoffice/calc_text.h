// Calc's texts that quillo reads: its formulas calling quillo's functions
// (as Calc's API writes them: "=ORG.QUILLO.CALC.FSINGLE("IBM";A1)") and
// the commands of the menu's protocol (org.quillo.calc:<command>). Pure
// functions, any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillo::host::lo {

// The prefix of a quillo call in a formula: the add-in's service name.
inline constexpr std::string_view kFormulaPrefix = "ORG.QUILLO.CALC.";

// Whether the formula calls any of quillo's functions.
bool calls_quillo(std::string_view formula);

// The arguments of the formula's first call of kFormulaPrefix + function
// (letter case ignored), as written (trimmed); separators ";" or ",", and
// quoted texts, braces and nested parentheses respected. False when the
// formula makes no such call or it is cut short.
bool formula_arguments(std::string_view formula, std::string_view function,
                       std::vector<std::string>& out);

// Whether the formula's first call of kFormulaPrefix + function lies
// within the arguments of another quillo call that writes a table beside
// its cell (any but FSINGLE and WLINK): the cell's table is that outer
// call's, the nested call only gives it a value.
bool nested_in_writing_call(std::string_view formula, std::string_view function);

// A quoted text argument's content ("a""b" -> a"b); false for any other.
bool text_literal(std::string_view argument, std::string& out);

// A reference as Calc writes whole columns ("A:F", "$A:$F") or whole rows
// ("3:5") made into one of cells ("A1:F<last_row>", "A3:<last col>5"),
// given the sheet's last row and column (1-based); any other text is
// returned as it is.
std::string whole_lines_address(std::string_view ref, long last_row, long last_col);

// The menu entries: the command of each and its caption in the engine's
// menu.
struct MenuCommand {
  std::string_view command;  // "UpdateData"
  std::string_view caption;  // "Update data"
};
inline constexpr MenuCommand kMenuCommands[] = {
    {"Search", "Search..."},
    {"UpdateData", "Update data"},
    {"SingleItemAssistant", "Single Dataitem Assistant"},
    {"HistoryAssistant", "History Assistant"},
    {"CreateWeblink", "Create Weblink"},
    {"Settings", "Settings..."},
    {"OnlineHelp", "Online help"},
    {"AskQuestion", "Ask a question"},
    {"ReportBug", "Report a bug"},
    {"About", "About"},
};
// The caption for a command (letter case ignored); empty when unknown.
std::string menu_caption(std::string_view command);

}  // namespace quillo::host::lo
