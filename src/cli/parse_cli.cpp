#include "cli/parse_cli.h"

namespace quillo::cli {

const char* const kProgramDescription = "quillo: market data from web pages into spreadsheet cells";

void set_program_flags(CLI::App& app) {
  app.set_version_flag("--version", std::string("quillo ") + QUILLO_VERSION);
  app.require_subcommand(1);
}

CLI::App* add_parse_command(CLI::App& app, ParseCommandLine& line) {
  ParseOptions& parse = line.options;
  CLI::App* cmd = app.add_subcommand(
      "parse",
      "Parse a saved page with the definitions of one category and print what each field "
      "would show.");
  cmd->footer(
      "Each output line is a field name, a tab and the value a cell would show.\n"
      "Exit codes: 0 printed, 2 bad input, 3 the page is the category's invalid-request page,\n"
      "4 the category reads JSON or CSV and the page is neither (or too large or deep): the\n"
      "fields print as cells would show them and the reason goes to standard error.\n"
      "With --check: one line FILE:LINE:COLUMN: message per finding; exit 0 none, 1 findings,\n"
      "2 the file does not load.\n\n"
      "Example:\n"
      "  quillo parse --definitions data/ds.xml --instrument IBM --option units=Thousands \\\n"
      "      SMP.QUO testdata/parse/quote/page.html");
  cmd->add_option("--definitions", parse.definitions, "Definitions file (ds.xml)")->required();
  cmd->add_option("--instrument", parse.instrument, "Instrument id the page was fetched for");
  cmd->add_option("--option", line.option_pairs,
                  "An option NAME=VALUE, as in a worksheet function's options (repeatable)")
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  cmd->add_flag("--check", parse.check,
                "Check the definitions file (unknown names, bad values) instead of parsing");
  cmd->add_option("category", parse.category, "SOURCE.CATEGORY, e.g. SMP.QUO");
  cmd->add_option("page", parse.page, "Saved page, or - for standard input");
  return cmd;
}

int run_parse_command(ParseCommandLine& line) {
  if (!name_value_pairs(line.option_pairs, "quillo parse: --option", line.options.options)) {
    return 2;
  }
  return run_parse(line.options, std::cin, std::cout, std::cerr);
}

}  // namespace quillo::cli
