// Throughput of the definition-based parse over generated quote pages of
// growing size: 120 fields (24 single fields between markers, 96 table
// fields over 8 tables found by number and by markers, with conversions).
// Run: build/release/bench/parse_bench --benchmark_counters_tabular=true
// `parse_bench --write DIR MB...` writes the definitions (DIR/ds.xml) and
// the pages (DIR/page-<MB>.html) instead, for timing `quillo parse` on them
// (bench/parse_command.sh).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "parse/definitions.h"
#include "parse/table_extraction.h"

namespace {

constexpr int kTables = 8;
constexpr int kSingles = 24;

std::string definitions_xml() {
  std::string x =
      "<r><datasource code='BEN'><category code='PAG'><url>u</url>"
      "<updatefrq>1</updatefrq><invalidrequest>no such symbol</invalidrequest>"
      "<parameter name='period' urlkey='' defaultvalue='2'/>";
  int id = 1;
  for (int s = 0; s < kSingles; ++s) {
    x += "<field id='" + std::to_string(id++) + "' name='S" + std::to_string(s) +
         "' type='single' figureconvert='1'><ref1>Anchor " + std::to_string(s) +
         ":</ref1><ref2>&lt;b&gt;</ref2><ref3>&lt;/b&gt;</ref3></field>";
  }
  for (int t = 1; t <= kTables; ++t) {
    // Odd tables are found by number, even ones by their markers.
    const std::string where = t % 2 ? "tablenumber='" + std::to_string(t) + "'"
                                    : "tablenumber='0' tablestarttag='&lt;table id=\"t" +
                                          std::to_string(t) + "\"' tableendtag='&lt;/table'";
    for (int f = 0; f < 12; ++f) {
      const std::string row = "Item " + std::to_string(t) + "-" + std::to_string(f) + " ";
      x +=
          "<field id='" + std::to_string(id++) + "' name='T" + std::to_string(t) + "F" +
          std::to_string(f) + "' type='tablecell' " + where + " rowtype='Fixedstring' rowvalue='" +
          row + "'" +
          (f % 3 ? " coltype='Fixednumeric' colvalue='2'" : " coltype='period' colvalue='period'") +
          " parseasvalue='2' figureconvert='1'/>";
    }
  }
  return x + "</category></datasource></r>";
}

// A page of about `bytes`: filler paragraphs and table rows spread evenly,
// with every field's data present once.
std::string page(std::size_t bytes) {
  std::string p = "<html><body>";
  const std::size_t filler_rows = bytes / (kTables * 80);
  for (int t = 1; t <= kTables; ++t) {
    p += "<p>Anchor " + std::to_string(t * 3 - 3) + ": <b>1,234.5M</b></p>";
    p += "<div>Anchor " + std::to_string(t * 3 - 2) + ": <b>(12.5)</b> &#8364; &nbsp;</div>";
    p += "<div>Anchor " + std::to_string(t * 3 - 1) + ": <b>3.25%</b></div>\n";
    p += "<table id=\"t" + std::to_string(t) + "\" class=\"data\">\n";
    for (std::size_t r = 0; r < filler_rows; ++r) {
      p += "<tr><td>Other line " + std::to_string(r) +
           "</td><td class=\"n\">12.50</td><td>1,000</td><td>-</td></tr>\n";
      if (r % (filler_rows / 12 + 1) == 0 && r / (filler_rows / 12 + 1) < 12) {
        const std::size_t f = r / (filler_rows / 12 + 1);
        p += "<TR><TD>Item " + std::to_string(t) + "-" + std::to_string(f) + " </TD><TD><b>" +
             std::to_string(100 + f) + ".5</b></TD><TD>2.5B</TD></TR>\n";
      }
    }
    p += "</table>\n";
  }
  return p + "</body></html>";
}

void BM_DefinitionParse(benchmark::State& state) {
  quillo::Definitions defs;
  if (!defs.load_text(definitions_xml())) {
    state.SkipWithError(defs.error().c_str());
    return;
  }
  const std::string original = page(static_cast<std::size_t>(state.range(0)) << 20);
  quillo::RequestTable requests;
  quillo::datarequest request;
  request.source = "BEN";
  request.category = "PAG";
  const std::int32_t r = requests.add(request);
  for (auto _ : state) {
    std::string text = original;
    quillo::definition_parse(text, requests, r, defs);
    benchmark::DoNotOptimize(&requests.at(r).parsed);
  }
  if (requests.at(r).parsed.size() != kSingles + kTables * 12) {
    state.SkipWithError("not every field was stored");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * original.size()));
  state.counters["page_MB"] = static_cast<double>(original.size()) / (1 << 20);
  state.counters["fields"] = static_cast<double>(requests.at(r).parsed.size());
}
BENCHMARK(BM_DefinitionParse)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);

bool write_files(const std::string& dir, int argc, char** argv) {
  std::ofstream(dir + "/ds.xml", std::ios::binary) << definitions_xml();
  for (int i = 0; i < argc; ++i) {
    const std::size_t mb = static_cast<std::size_t>(std::atoi(argv[i]));
    std::ofstream out(dir + "/page-" + std::to_string(mb) + ".html", std::ios::binary);
    out << page(mb << 20);
    if (!out) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--write") {
    return write_files(argv[2], argc - 3, argv + 3) ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
