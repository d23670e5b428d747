// quillo: the program users run. It runs `quillo parse` itself and starts
// quillo-commands, the program beside it that carries every command, with
// the same arguments for everything else.
//
// Why two programs: quillo-commands links the HTTP, TLS, xlsx and HTML
// libraries, and loading them costs a process about 25 ms of CPU before
// main even starts, more than the parse of a page of megabytes. `quillo
// parse` needs none of them, so it lives where they are not loaded.
// Starting quillo-commands replaces this process (same process id,
// standard streams and signals), so a command behaves as if run directly.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <system_error>

#include "cli/parse_cli.h"

namespace {

// Where quillo-commands lies: beside this program.
std::filesystem::path commands_program() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : self.parent_path() / "quillo-commands";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string_view(argv[1]) == "parse") {
    CLI::App app{quillo::cli::kProgramDescription};
    quillo::cli::set_program_flags(app);
    quillo::cli::ParseCommandLine line;
    add_parse_command(app, line);
    bool parsed = true;
    try {
      app.parse(argc, argv);
    } catch (const CLI::ParseError&) {
      // Help, --version and mistakes in the command line are answered by
      // quillo-commands, as for every command.
      parsed = false;
    }
    if (parsed) return quillo::cli::run_parse_command(line);
  }
  const std::filesystem::path program = commands_program();
  if (!program.empty()) ::execv(program.c_str(), argv);
  const int error = errno;
  std::cerr << "quillo: cannot start " << (program.empty() ? "quillo-commands" : program.string())
            << ": " << std::strerror(error) << "\n";
  return 2;
}
