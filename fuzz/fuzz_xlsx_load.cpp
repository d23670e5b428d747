// The xlsx reader and writer over arbitrary files: a load either fails with
// a reason or gives a workbook that recalculates, saves, and loads again.
//
// An input that starts with "PK" is taken as the whole file. Any other is
// the text of parts, separated by a line "====": the first sheet, the
// shared strings and the styles, wrapped in a package of our own, so the
// fuzzer spends its time in the XML rather than in the zip checksums.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "xlsx/package.h"
#include "xlsx/xlsx.h"

namespace {

namespace sp = quillo::spreadsheet;
namespace xlsx = quillo::spreadsheet::xlsx;

// A folder of this process for the files, removed when it exits (kept
// alive for the exit handler, hence never destroyed).
const std::string& work_dir() {
  static const std::string* dir = [] {
    // In memory where there is a tmpfs: every save flushes its file.
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
    const auto d = base / ("quillo-fuzz-xlsx-" + std::to_string(::getpid()));
    std::filesystem::create_directories(d);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(work_dir(), ignored);
    });
    return new std::string(d.string());
  }();
  return *dir;
}

std::vector<std::string_view> split(std::string_view s, std::string_view sep) {
  std::vector<std::string_view> out;
  for (std::size_t at = s.find(sep); at != std::string_view::npos; at = s.find(sep)) {
    out.push_back(s.substr(0, at));
    s.remove_prefix(at + sep.size());
  }
  out.push_back(s);
  return out;
}

// The package of the parts the input gives, around a workbook of two sheets.
xlsx::ZipEdit package(std::string_view input) {
  const auto parts = split(input, "\n====\n");
  const std::string rel = std::string(xlsx::kRelWorksheet);
  std::string wb = xlsx::new_workbook();
  wb.replace(wb.find("<sheets/>"), 9,
             "<sheets><sheet name=\"Data\" sheetId=\"1\" r:id=\"rId10\"/>"
             "<sheet name=\"2024 .x\" sheetId=\"2\" r:id=\"rId11\"/></sheets>");
  std::string rels = xlsx::new_workbook_rels();
  rels.insert(rels.find("</Relationships>"),
              "<Relationship Id=\"rId10\" Type=\"" + rel +
                  "\" Target=\"worksheets/sheet1.xml\"/><Relationship Id=\"rId11\" Type=\"" + rel +
                  "\" Target=\"worksheets/sheet2.xml\"/><Relationship Id=\"rId12\" Type=\"" +
                  std::string(xlsx::kRelSharedStrings) + "\" Target=\"sharedStrings.xml\"/>");
  xlsx::ZipEdit edit;
  edit.put["[Content_Types].xml"] = xlsx::new_content_types();
  edit.put["_rels/.rels"] = xlsx::new_root_rels();
  edit.put["xl/workbook.xml"] = wb;
  edit.put["xl/_rels/workbook.xml.rels"] = rels;
  edit.put["xl/worksheets/sheet1.xml"] = std::string(parts[0]);
  edit.put["xl/worksheets/sheet2.xml"] = xlsx::new_worksheet();
  edit.put["xl/sharedStrings.xml"] = parts.size() > 1
                                         ? std::string(parts[1])
                                         : "<sst xmlns=\"" + std::string(xlsx::kMainNs) + "\"/>";
  edit.put["xl/styles.xml"] = parts.size() > 2 ? std::string(parts[2]) : xlsx::new_styles();
  return edit;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto files = quillo::host::make_platform_file_system();
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string in = work_dir() + "/in.xlsx";
  const std::string out = work_dir() + "/out.xlsx";
  if (input.substr(0, 2) == "PK") {
    if (!files->write_file(in, input).ok()) std::abort();
  } else if (!xlsx::write_zip_atomic(*files, nullptr, package(input), in).ok()) {
    std::abort();
  }

  sp::XlsxLoadOptions options;
  options.limits.max_file_bytes = 1 << 20;
  options.limits.max_part_bytes = 8 << 20;
  options.limits.max_total_bytes = 16 << 20;
  options.limits.max_cells = 20000;
  options.limits.max_strings = 20000;
  options.limits.max_text_bytes = 4 << 20;
  // Add-in calls count as computable, so their formulas are parsed and saved.
  options.external_function = [](std::string_view, const std::string*) { return true; };
  auto model = std::make_shared<sp::Model>();
  auto loaded = sp::load_xlsx(*model, in, options);
  if (!loaded.ok()) return 0;
  model->calculate_all();
  // What loaded must save, and what saved must load.
  if (auto st = sp::save_xlsx(*model, loaded->book, loaded->file.get(), out); !st.ok()) {
    std::fprintf(stderr, "a loaded workbook did not save: %s\n", st.message().c_str());
    std::abort();
  }
  // Saving may add strings (inline ones join the shared strings): the
  // reload gets the usual limits.
  sp::Model again;
  sp::XlsxLoadOptions usual;
  usual.external_function = options.external_function;
  auto reloaded = sp::load_xlsx(again, out, usual);
  if (!reloaded.ok()) {
    std::fprintf(stderr, "a saved workbook did not load: %s\n",
                 reloaded.status().message().c_str());
    std::abort();
  }
  if (again.book(reloaded->book)->sheets.size() != model->book(loaded->book)->sheets.size()) {
    std::abort();
  }
  return 0;
}
