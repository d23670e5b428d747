// The quillo command.
#include <CLI/CLI.hpp>

#include <iostream>

#include "cli/parse_command.h"

int main(int argc, char** argv) {
  CLI::App app{"quillo: market data from web pages into spreadsheet cells"};
  app.require_subcommand(1);

  quillo::cli::ParseOptions parse;
  std::vector<std::string> option_pairs;
  CLI::App* cmd = app.add_subcommand(
      "parse",
      "Parse a saved page with the definitions of one category and print what each field "
      "would show.");
  cmd->footer(
      "Each output line is a field name, a tab and the value a cell would show.\n"
      "Exit codes: 0 printed, 2 bad input, 3 the page is the category's invalid-request page.\n\n"
      "Example:\n"
      "  quillo parse --definitions data/ds.xml --instrument IBM --option units=Thousands \\\n"
      "      SMP.QUO testdata/parse/quote/page.html");
  cmd->add_option("--definitions", parse.definitions, "Definitions file (ds.xml)")->required();
  cmd->add_option("--instrument", parse.instrument, "Instrument id the page was fetched for");
  cmd->add_option("--option", option_pairs,
                  "An option NAME=VALUE, as in a worksheet function's options (repeatable)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  cmd->add_option("category", parse.category, "SOURCE.CATEGORY, e.g. SMP.QUO")->required();
  cmd->add_option("page", parse.page, "Saved page, or - for standard input")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  if (cmd->parsed()) {
    for (const std::string& pair : option_pairs) {
      const std::size_t eq = pair.find('=');
      if (eq == std::string::npos) {
        std::cerr << "quillo parse: --option needs NAME=VALUE, got \"" << pair << "\"\n";
        return 2;
      }
      parse.options.emplace_back(pair.substr(0, eq), pair.substr(eq + 1));
    }
    return quillo::cli::run_parse(parse, std::cin, std::cout, std::cerr);
  }
  return 2;
}
