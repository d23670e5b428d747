// Golden cases for `quillo parse`: each folder under testdata/parse holds a
// page, a definitions file, the command's arguments and the expected output,
// so a new case needs no C++.
//
//   args          one argument per line: "definitions FILE", "instrument ID",
//                 "option NAME=VALUE" (repeatable), "category SOURCE.CATEGORY",
//                 "page FILE" (default page.html), "check" (--check); files
//                 relative to the folder; any other key fails the case
//   expected.txt  standard output, with the folder's path left out of file names
//   exit          expected exit code (default 0)
//   stderr.txt    text that standard error must contain (optional)
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/parse_command.h"

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream buf;
  buf << in.rdbuf();
  return buf.str();
}

std::vector<fs::path> cases() {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(fs::path(QUILLO_TESTDATA) / "parse")) {
    if (e.is_directory()) out.push_back(e.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Reads a case's args file into opt (files relative to dir). Answers an
// error naming the file and the first key it does not know, so a misspelt
// key fails the case instead of being ignored; empty when all are known.
std::string read_args(const fs::path& file, const fs::path& dir, quillo::cli::ParseOptions& opt) {
  std::istringstream args(slurp(file));
  std::string line;
  while (std::getline(args, line)) {
    const std::size_t sp = line.find(' ');
    const std::string key = line.substr(0, sp);
    const std::string value = sp == std::string::npos ? "" : line.substr(sp + 1);
    if (key == "definitions") {
      opt.definitions = (dir / value).string();
    } else if (key == "instrument") {
      opt.instrument = value;
    } else if (key == "category") {
      opt.category = value;
    } else if (key == "page") {
      opt.page = (dir / value).string();
    } else if (key == "check") {
      opt.check = true;
    } else if (key == "option") {
      const std::size_t eq = value.find('=');
      opt.options.emplace_back(value.substr(0, eq), value.substr(eq + 1));
    } else {
      return file.string() + ": unknown key \"" + key + "\"";
    }
  }
  return {};
}

TEST(GoldenParseArgs, AnUnknownKeyIsAnErrorNamingTheFileAndTheKey) {
  const fs::path dir =
      fs::temp_directory_path() / ("quillo-golden-args-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path file = dir / "args";
  std::ofstream(file) << "definitions defs.txt\ninstrumnet IBM\n";
  quillo::cli::ParseOptions opt;
  const std::string error = read_args(file, dir, opt);
  fs::remove_all(dir);
  EXPECT_NE(error.find(file.string()), std::string::npos) << error;
  EXPECT_NE(error.find("\"instrumnet\""), std::string::npos) << error;
}

class GoldenParse : public ::testing::TestWithParam<fs::path> {};

TEST_P(GoldenParse, OutputMatches) {
  const fs::path dir = GetParam();
  quillo::cli::ParseOptions opt;
  opt.page = (dir / "page.html").string();
  const std::string error = read_args(dir / "args", dir, opt);
  ASSERT_TRUE(error.empty()) << error;
  std::istringstream in;
  std::ostringstream out, err;
  const int code = quillo::cli::run_parse(opt, in, out, err);
  const int expected_code = fs::exists(dir / "exit") ? std::stoi(slurp(dir / "exit")) : 0;
  EXPECT_EQ(code, expected_code) << err.str();
  std::string printed = out.str();
  const std::string folder = dir.string() + "/";
  for (std::size_t p = printed.find(folder); p != std::string::npos; p = printed.find(folder, p))
    printed.erase(p, folder.size());
  EXPECT_EQ(printed, slurp(dir / "expected.txt"));
  if (fs::exists(dir / "stderr.txt")) {
    std::string want = slurp(dir / "stderr.txt");
    while (!want.empty() && want.back() == '\n') want.pop_back();
    EXPECT_NE(err.str().find(want), std::string::npos) << err.str();
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenParse, ::testing::ValuesIn(cases()), [](const auto& info) {
  std::string name = info.param.filename().string();
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
});

}  // namespace
