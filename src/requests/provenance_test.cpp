// Where values came from: the record's text form, and the engine's records
// of single items, history tables and indicator series through a real
// spreadsheet, a scripted transport and a save and reload of the workbook.
#include "requests/provenance.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "host/event_loop.h"
#include "http/scripted_transport.h"
#include "requests/engine_facade.h"
#include "spreadsheet/application.h"
#include "support/scratch_folder.h"
#include "xlsx/workbook_files.h"

namespace quillo {
namespace {

using http::ScriptedTransport;

constexpr const char* kQuotePage = "<h1>Big Corp (BIG)</h1> Last Trade: <b>12.5</b>";

std::int64_t at(const char* iso) {
  return *parse_iso(iso);
}

TEST(ProvenanceTextTest, TimesAddressesAndLinesReadBackAsWritten) {
  EXPECT_EQ(iso_utc(at("2026-12-07T21:38:42Z")), "2026-12-07T21:38:42Z");
  EXPECT_EQ(at("2026-12-07T22:38:42+01:00"), at("2026-12-07T21:38:42Z"));
  EXPECT_EQ(at("1999-12-31T23:00:00-01:00"), at("2000-01-01T00:00:00Z"));
  EXPECT_FALSE(parse_iso("2026-12-07 nonsense"));
  EXPECT_FALSE(parse_iso("2026-13-07T21:38:42Z"));

  // Credentials and the values of secret keys go; the keys stay, so the
  // address still says what was sent.
  EXPECT_EQ(strip_secrets("https://joe:pw@data.example/q?s=IBM&ApiKey=XYZ&f=1", {"APIKEY"}),
            "https://data.example/q?s=IBM&ApiKey=&f=1");
  EXPECT_EQ(strip_secrets("http://h/q?token=abc", {}), "http://h/q?token=abc");
  // Keys that need encoding in the address still lose their values, and a
  // scheme-less address loses its credentials.
  EXPECT_EQ(strip_secrets("https://h/q?s=IBM&auth%5Btoken%5D=S1&api%2Bkey=S2&api%20key=S3",
                          {"AUTH[TOKEN]", "API+KEY", "API KEY"}),
            "https://h/q?s=IBM&auth%5Btoken%5D=&api%2Bkey=&api%20key=");
  EXPECT_EQ(strip_secrets("https://h/q?api+key=S3&s=1", {"API KEY"}), "https://h/q?api+key=&s=1");
  EXPECT_EQ(strip_secrets("//u:PASS@h/q?s=1", {}), "//h/q?s=1");

  ProvenanceRecord a;
  a.sheet = "My Sheet";
  a.row = 2;
  a.col = 3;
  a.instrument = "IBM";
  a.field = "SMP.QUO.LAST";
  a.fetch = FetchInfo{"SMP", "QUO", "http://h/q?s=IBM", at("2026-12-07T21:38:42Z"), 200, 1, "", 0};
  ProvenanceRecord b = a;
  b.row = 3;
  ProvenanceRecord c;
  c.sheet = "My Sheet";
  c.row = 1;
  c.col = 8;
  c.kind = FilledKind::Series;
  c.block = host::Block{1, 8, 30, 2};
  c.computed_ms = at("2026-12-07T21:39:00Z");
  c.inputs = "'My Sheet'!$A$2:$F$30";
  c.formula = "=sma(A2:F30,\t2)";  // a tab in a field does not split it
  const std::vector<std::string> lines = encode_records({a, b, c});
  // One line for the address both cells came from, one per cell; no line
  // could be taken for a formula or a number.
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].substr(0, 2), "F\t");
  for (const std::string& line : lines) EXPECT_TRUE(line[0] == 'F' || line[0] == 'C') << line;
  const std::vector<ProvenanceRecord> back = decode_records(lines);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[1].row, 3);
  ASSERT_TRUE(back[1].fetch);
  EXPECT_EQ(back[1].fetch->address, "http://h/q?s=IBM");
  EXPECT_EQ(back[1].fetch->answered_ms, at("2026-12-07T21:38:42Z"));
  EXPECT_EQ(back[2].kind, FilledKind::Series);
  EXPECT_FALSE(back[2].fetch);
  EXPECT_EQ(back[2].formula, "=sma(A2:F30, 2)");
  EXPECT_TRUE(back[2].covers(30, 9));
  EXPECT_FALSE(back[2].covers(31, 9));
  // Lines of another version or broken ones are skipped, not guessed at.
  EXPECT_TRUE(decode_records({"C\tS\tZZZZ9\t\tS\t1\tX\tY", "X\tnothing", "C\tshort"}).empty());
}

TEST(ProvenanceTextTest, ManyAddressesReadBackInOrderEachWrittenOnce) {
  // Thousands of cells of their own addresses (the lines run over many
  // blocks of the encoder), every second one sharing its address with the
  // cell before.
  std::vector<ProvenanceRecord> records;
  for (int i = 0; i < 6000; ++i) {
    ProvenanceRecord r;
    r.sheet = "Prices";
    r.row = i + 1;
    r.col = 2;
    r.instrument = "I" + std::to_string(i);
    r.field = "SMP.QUO.LAST";
    const std::string page =
        "http://quotes.example/quote?s=" + std::to_string(i / 2) + "&n=" + std::string(40, 'x');
    r.fetch = FetchInfo{"SMP", "QUO", page, at("2026-12-07T21:38:42Z") + i * 1000, 200, 1, "", 0};
    if (i % 2 == 1) r.fetch->answered_ms = records.back().fetch->answered_ms;
    records.push_back(r);
  }
  const std::vector<std::string> lines = encode_records(records);
  ASSERT_EQ(lines.size(), 9000u);  // 3,000 addresses, 6,000 cells
  EXPECT_EQ(lines[2999].substr(0, 7), "F\t3000\t");
  EXPECT_EQ(lines[3000].substr(0, 2), "C\t");
  const std::vector<ProvenanceRecord> back = decode_records(lines);
  ASSERT_EQ(back.size(), records.size());
  for (std::size_t i = 0; i < back.size(); i += 997) {
    EXPECT_EQ(back[i].row, records[i].row);
    EXPECT_EQ(back[i].instrument, records[i].instrument);
    ASSERT_TRUE(back[i].fetch);
    EXPECT_EQ(back[i].fetch->address, records[i].fetch->address);
    EXPECT_EQ(back[i].fetch->answered_ms, records[i].fetch->answered_ms);
  }
  EXPECT_EQ(encode_records(back), lines);
}

std::string history_csv(int lines) {
  std::string s = "Date,Open,High,Low,Close,Volume,Adj Close\n";
  for (int i = lines; i >= 1; --i) {
    s += "2010-02-0" + std::to_string(i) + ",1,2,0.5," + std::to_string(10 + i) + ",100,1\n";
  }
  return s;
}

class ProvenanceTest : public testing_support::ScratchFolderTest {
 protected:
  ProvenanceTest() : transport(loop), engine(app, loop, transport) {
    std::ifstream in(std::string(QUILLO_DATA_DIR) + "/sample/ds.xml");
    std::ostringstream xml;
    xml << in.rdbuf();
    // The quote category sends an access key the record must not keep.
    std::string text = xml.str();
    const std::string instrument =
        "<parameter name=\"instrument id\" urlkey=\"s\" defaultvalue=\"\"/>";
    const std::size_t p = text.find(instrument);
    EXPECT_NE(p, std::string::npos);
    text.insert(p + instrument.size(),
                "<parameter name=\"access key\" urlkey=\"apikey\" defaultvalue=\"TOPSECRET\" "
                "secret=\"1\"/>");
    // And a JSON answer, whose refusal is a failure as an HTTP error is.
    const std::size_t quote = text.find("<category code=\"QUO\"");
    EXPECT_NE(quote, std::string::npos);
    text.insert(quote,
                "<category code=\"QJS\" name=\"Quote (JSON)\" answer=\"json\">"
                "<url>http://127.0.0.1/quote.json</url><updatefrq>1</updatefrq>"
                "<parameter name=\"instrument id\" urlkey=\"s\" defaultvalue=\"\"/>"
                "<field id=\"1\" name=\"LAST\" type=\"json\" pointer=\"/last\"/></category>");
    EXPECT_TRUE(engine.load_definitions(text));
    EXPECT_TRUE(engine.install_library(std::string(QUILLO_DATA_DIR) + "/tarnvale.xla").ok());
    EngineSettings s = engine.settings();
    s.history_service = "http://127.0.0.1:9";
    engine.configure(s);
    engine.set_calendar_clock([this] { return now; });
    spreadsheet::use_xlsx_files(app);
    book = *app.workbooks().add();
    sheet = *book->active_sheet();
    transport.set_default(ScriptedTransport::complete(200, history_csv(5), 20));
  }
  void set(const char* address, const std::string& formula) {
    ASSERT_TRUE((*sheet->range(address))->set_formula(formula).ok()) << formula;
  }
  void run(int seconds = 4) {
    for (int i = 0; i < seconds; ++i) {
      loop.advance(1000);
      engine.send_queued();
      engine.write_computed_series();
    }
  }
  const ProvenanceRecord* find(const std::vector<ProvenanceRecord>& all, std::int64_t row,
                               std::int64_t col) {
    for (const ProvenanceRecord& r : all) {
      if (r.row == row && r.col == col) return &r;
    }
    return nullptr;
  }

  std::int64_t now = at("2026-12-07T10:00:00Z");
  host::VirtualLoop loop;
  ScriptedTransport transport;
  spreadsheet::Application app;
  EngineFacade engine;
  host::WorkbookPtr book;
  host::WorksheetPtr sheet;
};

TEST_F(ProvenanceTest, ItemsTablesAndSeriesAreRecordedAndTheRecordSurvivesSaveAndReload) {
  transport.script_next(ScriptedTransport::complete(200, kQuotePage, 20));
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  set("A2", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");  // the same page
  set("D1",
      "=fhistory(\"BIG\",\"y\",\"DATE,CLOSE,VOLUME\",\"2010-02-01\",\"2010-02-05\",\"d\","
      "{\"SORT\",\"ASC\"})");
  set("H1", "=sma(D2:F7,2)");
  set("B1", "=1+1");  // not quillo's
  run();
  ASSERT_NE(transport.requests().at(0).url.find("apikey=TOPSECRET"), std::string::npos);

  const std::vector<ProvenanceRecord> records = engine.provenance(*book);
  ASSERT_EQ(records.size(), 4u);
  const ProvenanceRecord* quote = find(records, 1, 1);
  ASSERT_TRUE(quote && quote->fetch);
  EXPECT_EQ(quote->kind, FilledKind::Single);
  EXPECT_EQ(quote->instrument, "BIG");
  EXPECT_EQ(quote->field, "SMP.QUO.LAST");
  EXPECT_EQ(quote->fetch->source, "SMP");
  EXPECT_EQ(quote->fetch->category, "QUO");
  EXPECT_EQ(quote->fetch->address.find("TOPSECRET"), std::string::npos);
  EXPECT_NE(quote->fetch->address.find("apikey="), std::string::npos);
  EXPECT_EQ(quote->fetch->answered_ms, now);
  EXPECT_EQ(quote->fetch->http_status, 200);
  EXPECT_EQ(quote->fetch->attempts, 1);
  EXPECT_EQ(quote->fetch->failure, "");
  const ProvenanceRecord* table = find(records, 1, 4);
  ASSERT_TRUE(table && table->fetch);
  EXPECT_EQ(table->kind, FilledKind::Table);
  EXPECT_EQ(table->instrument, "BIG");
  EXPECT_TRUE(table->covers(7, 6));  // the table's last cell
  EXPECT_EQ(table->fetch->answered_ms, now);
  const ProvenanceRecord* series = find(records, 1, 8);
  ASSERT_TRUE(series);
  EXPECT_EQ(series->kind, FilledKind::Series);
  EXPECT_FALSE(series->fetch);
  EXPECT_EQ(series->formula, "=sma(D2:F7,2)");
  EXPECT_NE(series->inputs.find("$D$2:$F$7"), std::string::npos);
  EXPECT_EQ(series->computed_ms, now);
  EXPECT_FALSE(series->block.empty());

  // Saved with the workbook, on a very hidden sheet of texts only.
  const std::string file = path("book.xlsx");
  ASSERT_TRUE(engine.write_provenance(*book));
  ASSERT_TRUE(book->save_as(file).ok());
  spreadsheet::Application other;
  spreadsheet::use_xlsx_files(other);
  const auto reopened = other.workbooks().open(file);
  ASSERT_TRUE(reopened.ok()) << reopened.status().message();
  const auto store = (*reopened)->worksheet(kProvenanceSheet);
  ASSERT_TRUE(store.ok());
  EXPECT_EQ(*(*store)->visible(), host::Visibility::VeryHidden);
  for (std::int32_t r = 1; r <= 8; ++r) {
    const auto c = (*store)->cell(r, 1);
    EXPECT_FALSE(*(*c)->has_formula());
    const Value v = *(*c)->value();
    EXPECT_TRUE(v.is_empty() || v.is_text());
    EXPECT_EQ(v.to_text().find("TOPSECRET"), std::string::npos);
  }
  const std::vector<ProvenanceRecord> back = read_provenance(**reopened);
  ASSERT_EQ(back.size(), 4u);
  EXPECT_EQ(encode_records(back), encode_records(records));
}

TEST_F(ProvenanceTest, CellsOfBooksAndSheetsWhoseNamesRunTogetherAreKeptApart) {
  // Book "q.xlsx_z.xlsx" with sheet "S" and book "q.xlsx" with sheet
  // "z.xlsx_S": their names joined by "_" read the same, their cells are
  // still two, each filled and each recorded.
  ASSERT_TRUE(sheet->set_name("S").ok());
  ASSERT_TRUE(book->save_as(path("q.xlsx_z.xlsx")).ok());
  const host::WorkbookPtr second = *app.workbooks().add();
  const host::WorksheetPtr second_sheet = *second->active_sheet();
  ASSERT_TRUE(second_sheet->set_name("z.xlsx_S").ok());
  ASSERT_TRUE(second->save_as(path("q.xlsx")).ok());
  transport.set_default(ScriptedTransport::complete(200, kQuotePage, 20));
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  ASSERT_TRUE((*second_sheet->range("A1"))->set_formula("=fsingle(\"BIG\",\"SMP.QUO.LAST\")").ok());
  run();
  EXPECT_EQ((*(*sheet->range("A1"))->value()).to_text(), "12.5");
  EXPECT_EQ((*(*second_sheet->range("A1"))->value()).to_text(), "12.5");
  for (const host::WorkbookPtr& b : {book, second}) {
    const std::vector<ProvenanceRecord> records = engine.provenance(*b);
    ASSERT_EQ(records.size(), 1u);
    ASSERT_TRUE(records[0].fetch);
    EXPECT_EQ(records[0].fetch->answered_ms, now);
  }
}

// A call's cell is keyed by where the call came from, whatever was asked
// just before: an indicator evaluated right after a single item in another
// cell, a single item whose instrument is an error (it registers nothing),
// and a single item on another sheet after the requests were reset (the
// registry numbers its sheets anew).
TEST_F(ProvenanceTest, EachCallIsRecordedAtItsOwnCell) {
  transport.set_default(ScriptedTransport::complete(200, kQuotePage, 20));
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  set("C1", "=sma(A1:A1,1)");
  set("B1", "=fsingle(NA(),\"SMP.QUO.CHANGE\")");
  run();
  std::vector<ProvenanceRecord> records = engine.provenance(*book);
  const ProvenanceRecord* single = find(records, 1, 1);
  ASSERT_TRUE(single);
  EXPECT_EQ(single->kind, FilledKind::Single);
  EXPECT_EQ(single->field, "SMP.QUO.LAST");
  const ProvenanceRecord* series = find(records, 1, 3);
  ASSERT_TRUE(series);
  EXPECT_EQ(series->kind, FilledKind::Series);
  EXPECT_EQ(series->formula, "=sma(A1:A1,1)");
  const ProvenanceRecord* failed = find(records, 1, 2);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->field, "SMP.QUO.CHANGE");

  engine.reset_requests();
  const host::WorksheetPtr other = *book->add_worksheet("Other");
  ASSERT_TRUE((*other->range("B2"))->set_formula("=fsingle(\"SMALL\",\"SMP.QUO.OPEN\")").ok());
  set("A3", "=fsingle(\"BIG\",\"SMP.QUO.CHANGE\")");
  run();
  records = engine.provenance(*book);
  const auto on = [&](const std::string& sheet_name, std::int64_t row, std::int64_t col) {
    for (const ProvenanceRecord& r : records) {
      if (r.sheet == sheet_name && r.row == row && r.col == col)
        return r.instrument + " " + r.field;
    }
    return std::string("none");
  };
  EXPECT_EQ(on("Other", 2, 2), "SMALL SMP.QUO.OPEN");
  EXPECT_EQ(on(*sheet->name(), 3, 1), "BIG SMP.QUO.CHANGE");
  EXPECT_EQ(on("Other", 3, 1), "none");
  EXPECT_EQ(on(*sheet->name(), 2, 2), "none");
}

// Each cell's record says what its formula asks now: neighbours asking the
// same instrument or the same field, a cell changed to ask another field or
// instrument, and one whose instrument comes from a cell.
TEST_F(ProvenanceTest, EachRecordSaysWhatItsCellAsksNow) {
  transport.set_default(ScriptedTransport::complete(200, kQuotePage, 20));
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  set("A2", "=fsingle(\"BIG\",\"SMP.QUO.CHANGE\")");
  set("B1", "=fsingle(\"SMALL\",\"SMP.QUO.LAST\")");
  set("B2", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  run();
  auto asked = [&](std::int64_t row, std::int64_t col) {
    const std::vector<ProvenanceRecord> records = engine.provenance(*book);
    const ProvenanceRecord* r = find(records, row, col);
    return r ? r->instrument + " " + r->field : std::string("none");
  };
  EXPECT_EQ(asked(1, 1), "BIG SMP.QUO.LAST");
  EXPECT_EQ(asked(2, 1), "BIG SMP.QUO.CHANGE");
  EXPECT_EQ(asked(1, 2), "SMALL SMP.QUO.LAST");
  EXPECT_EQ(asked(2, 2), "BIG SMP.QUO.LAST");

  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.OPEN\")");
  set("B1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  set("C1", "SMALL");
  set("A2", "=fsingle(C1,\"SMP.QUO.CHANGE\")");
  run();
  EXPECT_EQ(asked(1, 1), "BIG SMP.QUO.OPEN");
  EXPECT_EQ(asked(1, 2), "BIG SMP.QUO.LAST");
  EXPECT_EQ(asked(2, 1), "SMALL SMP.QUO.CHANGE");
  set("A2", "=fsingle(\"BIG\",\"SMP.QUO.CHANGE\")");
  run();
  EXPECT_EQ(asked(2, 1), "BIG SMP.QUO.CHANGE");
  EXPECT_EQ(asked(2, 2), "BIG SMP.QUO.LAST");
}

TEST_F(ProvenanceTest, AFailedAnswerKeepsTheFilesTimeAndSaysWhatFailed) {
  // The file's record: A1 answered at nine, A2 (no longer a formula) too.
  ProvenanceRecord old;
  old.sheet = *sheet->name();
  old.row = 1;
  old.col = 1;
  old.instrument = "BIG";
  old.field = "SMP.QUO.LAST";
  old.fetch = FetchInfo{
      "SMP", "QUO", "http://127.0.0.1/quote?s=BIG&apikey=", at("2026-12-07T09:00:00Z"), 200, 1,
      "",    0};
  ProvenanceRecord gone = old;
  gone.row = 2;
  ProvenanceRecord other = old;  // A3 asked for another instrument then
  other.row = 3;
  other.instrument = "OLD";
  ASSERT_TRUE(write_provenance(*book, {old, gone, other}));

  transport.set_default(ScriptedTransport::complete(500, "oops"));
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  set("A3", "=fsingle(\"NEW\",\"SMP.QUO.LAST\")");
  run();
  std::vector<ProvenanceRecord> records = engine.provenance(*book);
  ASSERT_EQ(records.size(), 2u);
  ASSERT_TRUE(records[1].fetch);
  EXPECT_EQ(records[1].instrument, "NEW");
  EXPECT_EQ(records[1].fetch->answered_ms, 0);  // never answered for what it asks now
  ASSERT_TRUE(records[0].fetch);
  EXPECT_EQ(records[0].fetch->answered_ms, at("2026-12-07T09:00:00Z"));
  EXPECT_EQ(records[0].fetch->http_status, 500);
  EXPECT_EQ(records[0].fetch->failure, "HTTP 500 Internal server error.");
  EXPECT_EQ(records[0].fetch->failed_ms, now);
  EXPECT_EQ(records[0].as_of_ms(), at("2026-12-07T09:00:00Z"));

  // The next good answer is the new time, and the failure is over.
  now += 60000;
  transport.set_default(ScriptedTransport::complete(200, kQuotePage, 20));
  engine.reset_requests();
  run();
  records = engine.provenance(*book);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].fetch->answered_ms, now);
  EXPECT_EQ(records[0].fetch->failure, "");
}

TEST_F(ProvenanceTest, ARefusedAnswerIsTheLastFailureAndKeepsTheGoodAnswersTime) {
  transport.set_default(ScriptedTransport::complete(200, "{\"last\": 12.5}", 20));
  set("A1", "=fsingle(\"BIG\",\"SMP.QJS.LAST\")");
  run();
  std::vector<ProvenanceRecord> records = engine.provenance(*book);
  ASSERT_EQ(records.size(), 1u);
  ASSERT_TRUE(records[0].fetch);
  const std::int64_t good = now;
  EXPECT_EQ(records[0].fetch->answered_ms, good);
  EXPECT_EQ(records[0].fetch->failure, "");

  // An answer that is no JSON is no fresh value.
  now += 60000;
  transport.set_default(ScriptedTransport::complete(200, "<html>maintenance</html>", 20));
  engine.reset_requests();
  run();
  records = engine.provenance(*book);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].fetch->answered_ms, good);
  EXPECT_NE(records[0].fetch->failure, "");
  EXPECT_EQ(records[0].fetch->failed_ms, now);
  EXPECT_EQ(records[0].as_of_ms(), good);
}

TEST_F(ProvenanceTest, ARecordNoLongerDescribesACellEditedElsewhere) {
  transport.set_default(ScriptedTransport::complete(200, kQuotePage, 20));
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  set("A2", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  run();
  const std::vector<ProvenanceRecord> records = engine.provenance(*book);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(still_filled(*book, records[0]));
  // Another program wrote a value in A1 and another formula in A2.
  ASSERT_TRUE((*sheet->range("A1"))->set_value(Value(7.0)).ok());
  set("A2", "=SUM(1,2)");
  EXPECT_FALSE(still_filled(*book, records[0]));
  EXPECT_FALSE(still_filled(*book, records[1]));
  ProvenanceRecord elsewhere = records[0];
  elsewhere.sheet = "No Such Sheet";
  EXPECT_FALSE(still_filled(*book, elsewhere));
}

TEST_F(ProvenanceTest, AttemptsCountTheRetriesOfAnAnswer) {
  // Two transport failures, then the page: three attempts, no failure.
  transport.script_next(ScriptedTransport::fail(12029, "cannot connect"));
  transport.script_next(ScriptedTransport::fail(12029, "cannot connect"));
  transport.script_next(ScriptedTransport::complete(200, kQuotePage, 20));
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  run(6);
  std::vector<ProvenanceRecord> records = engine.provenance(*book);
  ASSERT_EQ(records.size(), 1u);
  ASSERT_TRUE(records[0].fetch);
  EXPECT_EQ(records[0].fetch->attempts, 3);
  EXPECT_EQ(records[0].fetch->http_status, 200);
  EXPECT_EQ(records[0].fetch->failure, "");

  // Three in a row are final: no HTTP status, the transport's reason.
  transport.set_default(ScriptedTransport::fail(12029, "cannot connect"));
  set("A2", "=fsingle(\"OTHER\",\"SMP.QUO.LAST\")");
  run(6);
  records = engine.provenance(*book);
  ASSERT_EQ(records.size(), 2u);
  ASSERT_TRUE(records[1].fetch);
  EXPECT_EQ(records[1].fetch->attempts, 3);
  EXPECT_EQ(records[1].fetch->http_status, 0);
  EXPECT_EQ(records[1].fetch->answered_ms, 0);
  EXPECT_NE(records[1].fetch->failure.find("cannot connect"), std::string::npos);
}

TEST_F(ProvenanceTest, WhileAnswersKeepComingTheRecordIsRewrittenAMinuteApartAndWhenTheyStop) {
  // Rewriting a large workbook's whole record at every second of its
  // loading would cost the square of its size.
  transport.set_default(ScriptedTransport::complete(200, kQuotePage, 20));
  auto second = [&] {
    now += 1000;
    loop.advance(1000);
    engine.send_queued();
    engine.write_computed_series();
  };
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  second();
  ASSERT_EQ(read_provenance(*book).size(), 1u);
  // A new cell is answered every second for 70 seconds.
  int rewrites = 0;
  std::size_t written = 1;
  for (int row = 2; row <= 70; ++row) {
    set(("A" + std::to_string(row)).c_str(),
        "=fsingle(\"I" + std::to_string(row) + "\",\"SMP.QUO.LAST\")");
    second();
    const std::size_t n = read_provenance(*book).size();
    if (n != written) ++rewrites;
    written = n;
  }
  EXPECT_EQ(rewrites, 1);
  EXPECT_LT(written, 70u);
  // The last answer comes in; the first second without one writes it all.
  second();
  second();
  const std::vector<ProvenanceRecord> all = read_provenance(*book);
  ASSERT_EQ(all.size(), 70u);
  for (const ProvenanceRecord& r : all) EXPECT_TRUE(r.fetch) << r.row;
}

TEST_F(ProvenanceTest, APageAskedAgainAfterItsRequestLeftTheTableKeepsWhatItsAnswerSaid) {
  // Asked from a second workbook, then from this one: one request.
  host::WorkbookPtr second = *app.workbooks().add();
  ASSERT_TRUE((*(*second->active_sheet())->range("A1"))
                  ->set_formula("=fsingle(\"BIG\",\"SMP.QUO.LAST\")")
                  .ok());
  run();
  const std::int64_t good = now;
  // The second workbook closes and its request is forgotten; the page
  // asked again here (its answer not come yet) still names the last one.
  ASSERT_TRUE(second->close().ok());
  EXPECT_EQ(engine.forget_unwaited_requests(), 1u);
  now += 60000;
  transport.set_default(ScriptedTransport::complete(200, kQuotePage, 5000));
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  std::vector<ProvenanceRecord> records = engine.provenance(*book);
  ASSERT_EQ(records.size(), 1u);
  ASSERT_TRUE(records[0].fetch);
  EXPECT_EQ(records[0].fetch->answered_ms, good);
  EXPECT_EQ(records[0].fetch->address, "http://127.0.0.1/quote?s=BIG&apikey=");
  EXPECT_EQ(records[0].fetch->source, "SMP");
  run(6);
  EXPECT_EQ(engine.provenance(*book)[0].fetch->answered_ms, now);

  // So is a page whose table is reset, until the new answer comes; a
  // failure then keeps the good answer's time.
  const std::int64_t second_good = now;
  now += 60000;
  transport.set_default(ScriptedTransport::complete(500, "oops", 20));
  engine.reset_requests();
  records = engine.provenance(*book);
  ASSERT_TRUE(records[0].fetch);
  EXPECT_EQ(records[0].fetch->answered_ms, second_good);
  EXPECT_EQ(records[0].fetch->failure, "");
  run();
  records = engine.provenance(*book);
  EXPECT_EQ(records[0].fetch->answered_ms, second_good);
  EXPECT_EQ(records[0].fetch->http_status, 500);
  EXPECT_EQ(records[0].fetch->failed_ms, now);
}

TEST_F(ProvenanceTest, AUsersSheetOfTheRecordsNameIsLeftAlone) {
  auto own = book->add_worksheet(kProvenanceSheet);
  ASSERT_TRUE(own.ok());
  ASSERT_TRUE((*(*own)->cell(1, 1))->set_value(Value(std::string("my notes"))).ok());
  transport.script_next(ScriptedTransport::complete(200, kQuotePage, 20));
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  run();
  EXPECT_FALSE(engine.write_provenance(*book));
  EXPECT_EQ((*(*own)->cell(1, 1))->value()->to_text(), "my notes");
  EXPECT_TRUE(read_provenance(*book).empty());
}

}  // namespace
}  // namespace quillo
