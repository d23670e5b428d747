// Golden cases for `quillo parse`: each folder under testdata/parse holds a
// page, a definitions file, the command's arguments and the expected output,
// so a new case needs no C++.
//
//   args          one argument per line: "definitions FILE", "instrument ID",
//                 "option NAME=VALUE" (repeatable), "category SOURCE.CATEGORY",
//                 "page FILE" (default page.html), "check" (--check); files
//                 relative to the folder
//   expected.txt  standard output, with the folder's path left out of file names
//   exit          expected exit code (default 0)
//   stderr.txt    text that standard error must contain (optional)
#include <gtest/gtest.h>

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

class GoldenParse : public ::testing::TestWithParam<fs::path> {};

TEST_P(GoldenParse, OutputMatches) {
  const fs::path dir = GetParam();
  quillo::cli::ParseOptions opt;
  opt.page = (dir / "page.html").string();
  std::istringstream args(slurp(dir / "args"));
  std::string line;
  while (std::getline(args, line)) {
    const std::size_t sp = line.find(' ');
    const std::string key = line.substr(0, sp);
    const std::string value = sp == std::string::npos ? "" : line.substr(sp + 1);
    if (key == "definitions") opt.definitions = (dir / value).string();
    if (key == "instrument") opt.instrument = value;
    if (key == "category") opt.category = value;
    if (key == "page") opt.page = (dir / value).string();
    if (key == "check") opt.check = true;
    if (key == "option") {
      const std::size_t eq = value.find('=');
      opt.options.emplace_back(value.substr(0, eq), value.substr(eq + 1));
    }
  }
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
