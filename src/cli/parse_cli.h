// The command line of `quillo parse` and the program's own flags, shared by
// the two programs the command line is made of: quillo-commands, which
// carries every command (main.cpp), and quillo, the one users run, which
// runs `quillo parse` itself and hands every other command line to
// quillo-commands (parse_main.cpp). Both read a parse command line the same
// way because both build it here.
#pragma once

#include <CLI/CLI.hpp>

#include <iostream>
#include <string>
#include <vector>

#include "cli/parse_command.h"

namespace quillo::cli {

// The program's description, as --help shows it.
extern const char* const kProgramDescription;

// The program's own flags (--version) and its rule of one command.
void set_program_flags(CLI::App& app);

// A parse command line as read: the options, with each --option still as
// typed (NAME=VALUE).
struct ParseCommandLine {
  ParseOptions options;
  std::vector<std::string> option_pairs;
};

// Adds the parse command to app; its values go to line when app parses.
CLI::App* add_parse_command(CLI::App& app, ParseCommandLine& line);

// Runs a parse command line that app has read: the exit code (2 for an
// --option without "=", with the reason on standard error).
int run_parse_command(ParseCommandLine& line);

// Splits each NAME=VALUE text of an option given several times into out;
// false, with the reason on standard error, for a text without "=".
template <typename Pairs>
bool name_value_pairs(const std::vector<std::string>& texts, const char* what, Pairs& out) {
  for (const std::string& pair : texts) {
    const std::size_t eq = pair.find('=');
    if (eq == std::string::npos) {
      std::cerr << what << " needs NAME=VALUE, got \"" << pair << "\"\n";
      return false;
    }
    out.emplace_back(pair.substr(0, eq), pair.substr(eq + 1));
  }
  return true;
}

}  // namespace quillo::cli
