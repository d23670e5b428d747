// quillo-commands: the program that carries every command of quillo. Users
// run quillo (parse_main.cpp), which runs `quillo parse` itself and starts
// this program with the same arguments for everything else.
#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "cli/assist_commands.h"
#include "cli/demo_command.h"
#include "cli/explain_command.h"
#include "cli/link_command.h"
#include "cli/parse_cli.h"
#include "cli/refresh_command.h"
#include "cli/session.h"
#include "cli/settings_command.h"
#include "cli/show_command.h"
#include "cli/site_commands.h"
#include "cli/ui_command.h"
#include "cli/watch_command.h"
#include "host/process.h"
#include "parse/html_document.h"

// The longest wait an option may ask for, in seconds (a day, as for the
// connection and receive time-outs of the settings).
constexpr double kMaxWaitSeconds = 86400;

// Checks a number of seconds to wait: greater than 0, at most a day. The
// messages quote what was typed.
const CLI::Validator kSeconds(
    [](std::string& typed) -> std::string {
      const char* begin = typed.c_str();
      char* end = nullptr;
      const double v = std::strtod(begin, &end);
      if (typed.empty() || end != begin + typed.size() || !(v > 0)) {
        return "give the seconds to wait as a number greater than 0, not \"" + typed + "\"";
      }
      if (v > kMaxWaitSeconds) {
        return "\"" + typed + "\" is out of range: at most 86400 seconds (a day)";
      }
      return {};
    },
    "SECONDS (more than 0, at most 86400)");

// Checks a count from 1: a whole number up to max. The messages quote
// what was typed, so a number too big to hold is not shown as another.
CLI::Validator count_from_1(std::size_t max) {
  return CLI::Validator(
      [max](std::string& typed) -> std::string {
        std::size_t n = 0;
        const char* end = typed.data() + typed.size();
        const auto [stop, error] = std::from_chars(typed.data(), end, n);
        const std::string range = "a whole number from 1 to " + std::to_string(max);
        if (typed.empty() || stop != end) return "give " + range + ", not \"" + typed + "\"";
        if (error == std::errc::result_out_of_range || n < 1 || n > max) {
          return "\"" + typed + "\" is out of range: give " + range;
        }
        return {};
      },
      "1 to " + std::to_string(max));
}

int main(int argc, char** argv) {
  quillo::cli::leave_workbooks_to_exit();
  CLI::App app{quillo::cli::kProgramDescription};
  quillo::cli::set_program_flags(app);

  quillo::cli::ParseCommandLine parse;
  CLI::App* cmd = quillo::cli::add_parse_command(app, parse);

  quillo::cli::RefreshOptions refresh;
  CLI::App* refresh_cmd = app.add_subcommand(
      "refresh",
      "Open an xlsx workbook with the add-in loaded, fill every quillo formula from the web, "
      "recalculate and save it.");
  refresh_cmd->footer(
      "The add-in finds ds.xml and tarnvale.xla in its install folder (quillo settings shows\n"
      "installpath; when none is set, the data folder shipped with quillo). Formulas quillo\n"
      "cannot compute keep the values stored in the file (listed as warnings), and so do\n"
      "cells whose request has not answered (or failed, under connectionerrorhandling 2).\n"
      "Exit codes: 0 saved, 1 the file could not be written (the previous one is intact) or,\n"
      "with --strict, a quillo cell shows a failure or kept the file's value, a formula quillo\n"
      "cannot compute kept the file's value though cells it reads changed, the function\n"
      "library is not installed, or (with --max-age) a quillo value is older than that; 2 bad "
      "usage, definitions that do not load or a workbook\n"
      "that cannot be read.\n\n"
      "Example:\n"
      "  quillo refresh prices.xlsx -o prices-now.xlsx --timeout 120");
  refresh_cmd->add_option("book", refresh.book, "The workbook (.xlsx)")->required();
  refresh_cmd->add_option("-o,--output", refresh.output,
                          "Save to this file instead of over the workbook");
  refresh_cmd
      ->add_option("--timeout", refresh.timeout_seconds,
                   "Seconds to wait for the answers before saving what arrived")
      ->check(kSeconds)
      ->capture_default_str();
  refresh_cmd->add_flag("--strict", refresh.strict,
                        "Exit 1 when any quillo cell shows an error or has no new value, or a "
                        "formula quillo cannot compute may be out of date");
  refresh_cmd
      ->add_option("--max-age", refresh.max_age_minutes,
                   "Warn about quillo values (by the time of their answer) older than this many "
                   "minutes after the refresh; with --strict, exit 1 when there is one")
      ->check(CLI::NonNegativeNumber);

  quillo::cli::WatchOptions watch;
  CLI::App* watch_cmd = app.add_subcommand(
      "watch",
      "Keep a workbook filled: update it as the settings say and save it after each round of "
      "answers, until Ctrl-C or SIGTERM.");
  watch_cmd->footer(
      "Every save is atomic: the file on disk is always a complete workbook. Cells not yet\n"
      "answered keep the file's values. Changes another program saves to the file meanwhile\n"
      "are taken in before the next save. A failed save is tried again.\n"
      "Exit codes: 0 stopped with the file up to date, 1 the last save failed, 2 bad usage,\n"
      "definitions that do not load or a workbook that cannot be read.\n\n"
      "Example:\n"
      "  quillo settings set trading_updatefrq 5 && quillo watch prices.xlsx");
  watch_cmd->add_option("book", watch.book, "The workbook (.xlsx)")->required();
  watch_cmd
      ->add_option("--minute", watch.minute_seconds,
                   "Length of the update timer's minute in seconds (shorter to try things out)")
      ->capture_default_str();
  watch_cmd
      ->add_option("--first-round", watch.first_round_seconds,
                   "Seconds to wait for the first answers before the first save")
      ->capture_default_str();

  quillo::cli::UiOptions ui;
  bool ui_no_open = false;
  CLI::App* ui_cmd = app.add_subcommand(
      "ui",
      "Show a workbook in the browser: open and fill it as watch does, and serve it to a page on "
      "the loopback address until Ctrl-C or SIGTERM.");
  ui_cmd->footer(
      "The address printed carries a random token; nothing answers without it. The page shows\n"
      "every sheet with the values as the cells show them, edits formulas, saves the workbook\n"
      "(atomically, in place) and follows the cells as answers arrive.\n"
      "Exit codes: 0 stopped, 2 bad usage, definitions or a workbook that cannot be read, a\n"
      "port that cannot be used or a front end that is not built.\n\n"
      "Example:\n"
      "  quillo ui prices.xlsx --port 8080 --no-open");
  ui_cmd->add_option("book", ui.book, "The workbook (.xlsx)")->required();
  ui_cmd->add_option("--port", ui.port, "Loopback port to listen on (0: any free one)")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  ui_cmd->add_flag("--no-open", ui_no_open, "Print the address without opening a browser");

  quillo::cli::SettingsOptions settings;
  CLI::App* settings_cmd = app.add_subcommand(
      "settings", "Print the settings; get, set or unset one (settings set NAME VALUE)");
  settings_cmd->footer(
      "Settings live in $XDG_CONFIG_HOME/quillo/HKEY_CURRENT_USER.reg (QUILLO_HKCU_DIR moves it).\n"
      "A change writes only its own setting; a settings file that cannot be read is never\n"
      "written over.\n"
      "Exit codes: 0 done, 1 the store could not be read or written, 2 unknown setting or bad\n"
      "value.\n\n"
      "Examples:\n"
      "  quillo settings\n"
      "  quillo settings get receive_timeout\n"
      "  quillo settings set trading_updatemode Manual\n"
      "  quillo settings unset receive_timeout");
  CLI::App* get_cmd = settings_cmd->add_subcommand("get", "Print one setting's value");
  get_cmd->add_option("name", settings.name, "The setting's name")->required();
  CLI::App* set_cmd = settings_cmd->add_subcommand("set", "Change one setting");
  set_cmd->add_option("name", settings.name, "The setting's name")->required();
  set_cmd->add_option("value", settings.value, "Its new value")->required();
  CLI::App* unset_cmd =
      settings_cmd->add_subcommand("unset", "Remove one setting (its default applies again)");
  unset_cmd->add_option("name", settings.name, "The setting's name")->required();

  quillo::cli::ShowOptions show;
  CLI::App* show_cmd = app.add_subcommand(
      "show", "Print the address, formula and value of each non-empty cell of an xlsx workbook.");
  show_cmd->footer(
      "One cell per line: address, formula (empty for a constant) and value, tab-separated.\n"
      "The value is shown with the cell's number format, as a spreadsheet shows it.\n"
      "Exit codes: 0 printed, 2 bad usage, a workbook that cannot be read or a bad range.\n\n"
      "Example:\n"
      "  quillo show prices.xlsx \"'Sheet 2'!A1:C10\"");
  show_cmd->add_option("book", show.book, "The workbook (.xlsx)")->required();
  show_cmd->add_option("range", show.range,
                       "Only these cells: A1:C10 (every sheet) or 'Sheet 2'!A1:C10");
  show_cmd->add_flag("--raw", show.raw,
                     "Print the values themselves, not as the cells' number formats show them");
  show_cmd
      ->add_option("--stale", show.stale_minutes,
                   "Instead of the cells, list the cells quillo filled whose value is older "
                   "than this many minutes (or was never answered): cell, time (UTC), age in "
                   "minutes and kind, tab-separated")
      ->check(CLI::NonNegativeNumber);

  quillo::cli::ExplainOptions explain;
  CLI::App* explain_cmd = app.add_subcommand(
      "explain", "Print where the values of quillo's cells in a workbook came from, and when.");
  explain_cmd->footer(
      "For each cell, price-history table or indicator series quillo filled in CELL: what was\n"
      "asked (instrument, field), the source, category and address fetched (credentials and\n"
      "values the definitions mark secret removed), the time of the last good answer (ISO 8601,\n"
      "UTC), the HTTP status and attempts, the last failure; for an indicator series the\n"
      "ranges it read and its formula. The workbook keeps this record on a very hidden sheet,\n"
      "quillo_provenance, written on every save.\n"
      "Exit codes: 0 printed, 1 quillo filled no cell in CELL, 2 bad usage, a workbook that\n"
      "cannot be read, or CELL is no cell or range.\n\n"
      "Examples:\n"
      "  quillo explain prices.xlsx Quotes!C5\n"
      "  quillo explain prices.xlsx \"'My Sheet'!B2:D9\"");
  explain_cmd->add_option("book", explain.book, "The workbook (.xlsx)")->required();
  explain_cmd->add_option("cell", explain.cells, "A cell or range: Sheet1!B2, 'My Sheet'!B2:D9, B2")
      ->required();

  quillo::cli::DemoOptions demo;
  // The data folder installed beside the program (share/quillo), else the
  // source tree's.
  demo.data_dir = quillo::cli::shipped_data_folder(
      std::filesystem::path(quillo::cli::own_module_path()).parent_path().string());
  CLI::App* demo_cmd = app.add_subcommand(
      "demo",
      "Fill the bundled demo workbook from a local market-data service started for the run, "
      "save it and print the filled table.");
  demo_cmd->footer(
      "Needs no network: the service listens on a free loopback port for the run.\n"
      "Exit codes: 0 filled and saved, 1 answers missing or the file not written, 2 bad data.\n\n"
      "Example:\n"
      "  quillo demo -o demo-out.xlsx");
  demo_cmd->add_option("-o,--output", demo.output, "Where to save the filled workbook")
      ->capture_default_str();
  demo_cmd->add_option("--data", demo.data_dir, "Folder with ds.xml, tarnvale.xla and demo.xlsx")
      ->capture_default_str();
  demo_cmd->add_option("--timeout", demo.timeout_seconds, "Seconds to wait for the answers")
      ->capture_default_str();

  quillo::cli::SearchOptions search;
  CLI::App* search_cmd = app.add_subcommand(
      "search", "Look up instrument ids by name at a data source's symbol search page.");
  search_cmd->footer(
      "One line per hit: name, instrument id and exchange, tab-separated.\n"
      "Exit codes: 0 hits printed, 1 no hits, 2 bad input or the search failed.\n\n"
      "Example:\n"
      "  quillo search --source LMS \"Alder\"");
  search_cmd->add_option("--source", search.source,
                         "Data source name or code (default: the first)");
  search_cmd->add_option("--timeout", search.timeout_seconds, "Seconds to wait for the answer")
      ->check(kSeconds)
      ->capture_default_str();
  search_cmd->add_option("text", search.text, "Name (or part of it) to search for")->required();

  CLI::App* insert_cmd = app.add_subcommand(
      "insert", "Write the formula blocks the assistants write into a workbook and save it.");
  insert_cmd->require_subcommand(1);
  quillo::cli::InsertSingleOptions single;
  std::vector<std::string> param_pairs;
  CLI::App* single_cmd = insert_cmd->add_subcommand(
      "single", "A table of fsingle formulas: ids along one edge, field codes along the other.");
  single_cmd->footer(
      "The parameter block (name and value of each parameter) goes at CELL, one column to the\n"
      "right; the table follows one row below it. quillo refresh then fills the table.\n"
      "Exit codes: 0 saved, 1 the file could not be written, 2 bad input (nothing written).\n\n"
      "Example:\n"
      "  quillo insert single prices.xlsx B2 --ids ABC,DEF --fields LMS.QUO.LAST,LMS.QUO.OPEN \\\n"
      "      --param units=Millions");
  single_cmd->add_option("book", single.book, "The workbook (.xlsx)")->required();
  single_cmd->add_option("cell", single.cell, "Where the block starts: B2 or 'Sheet 2'!B2")
      ->required();
  single_cmd->add_option("--ids", single.ids, "Instrument ids")->delimiter(',')->required();
  single_cmd->add_option("--fields", single.fields, "Field codes SOURCE.CATEGORY.FIELD")
      ->delimiter(',')
      ->required();
  single_cmd->add_option("--param", param_pairs, "A parameter NAME=VALUE (repeatable)")
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  single_cmd
      ->add_option("--orientation", single.orientation,
                   "rows: one instrument per row; columns: one per column")
      ->check(CLI::IsMember({"rows", "columns"}))
      ->capture_default_str();

  quillo::cli::InsertHistoryOptions history;
  CLI::App* history_cmd = insert_cmd->add_subcommand(
      "history", "The price-history block: id, dates and sampling above an fhistory formula.");
  history_cmd->footer(
      "Exit codes: 0 saved, 1 the file could not be written, 2 bad input (nothing written).\n\n"
      "Example:\n"
      "  quillo insert history prices.xlsx B2 --id ABC --from 2010-03-01 --to 2026-12-01 \\\n"
      "      --sampling w --fields CLOSE,VOLUME --sort desc");
  history_cmd->add_option("book", history.book, "The workbook (.xlsx)")->required();
  history_cmd->add_option("cell", history.cell, "Where the block starts")->required();
  history_cmd->add_option("--id", history.id, "Instrument id")->required();
  history_cmd->add_option("--from", history.from, "Start date YYYY-MM-DD")->required();
  history_cmd->add_option("--to", history.to, "End date YYYY-MM-DD")->required();
  history_cmd->add_option("--sampling", history.sampling, "d, w or m")->capture_default_str();
  history_cmd->add_option("--fields", history.fields, "History columns, e.g. DATE,CLOSE")
      ->delimiter(',');
  history_cmd->add_option("--sort", history.sort, "asc or desc")->capture_default_str();
  history_cmd->add_flag("--no-header", history.no_header, "No header row");
  history_cmd->add_flag("--transpose", history.transpose, "Dates in columns");

  quillo::cli::SiteOptions site;
  CLI::App* update_cmd = app.add_subcommand(
      "update-definitions",
      "Ask the product site (the setting product_site) for newer web-parse definitions and "
      "install them as ds.xml in the install folder.");
  update_cmd->footer(
      "Prints \"up to date (version X)\" or \"updated from X to Y\". A file that does not load as\n"
      "definitions is refused and the old ds.xml stays; the new one is written atomically.\n"
      "Exit codes: 0 up to date or updated, 1 the site or the download failed or the file was\n"
      "refused or not written (ds.xml unchanged), 2 no site set or settings that cannot be read.");
  CLI::App* models_cmd = app.add_subcommand(
      "models", "List the product site's model library (the Financial Templates menu).");
  models_cmd->footer(
      "Exit codes: 0 listed, 1 the site's document could not be had, 2 no site set.\n\n"
      "Example:\n"
      "  quillo models open \"Portfolio tracker\" -o portfolio.xlsx");
  CLI::App* models_open_cmd =
      models_cmd->add_subcommand("open", "Download a model workbook, open it and save it.");
  models_open_cmd->footer(
      "Exit codes: 0 saved, 1 the model could not be downloaded, opened or saved, 2 no model\n"
      "with that caption or no site set.");
  models_open_cmd->add_option("caption", site.caption, "The model's caption")->required();
  models_open_cmd->add_option("-o,--output", site.output, "Where to save the workbook (.xlsx)")
      ->required();
  for (CLI::App* c : {update_cmd, models_cmd, models_open_cmd}) {
    c->add_option("--timeout", site.timeout_seconds, "Seconds to wait for the site")
        ->check(kSeconds)
        ->capture_default_str();
  }
  CLI::App* link_cmd = app.add_subcommand(
      "link",
      "Create web links (values marked on a web page, read again by =wlink) and list them.");
  link_cmd->require_subcommand(1);
  quillo::cli::LinkAddOptions link_add;
  CLI::App* link_add_cmd = link_cmd->add_subcommand(
      "add",
      "Fetch a page, mark the N-th element whose first text is VALUE, store the link and write "
      "=wlink(\"name\") into CELL.");
  link_add_cmd->footer(
      "VALUE is compared with the page's text as a browser shows it: character references\n"
      "decoded, runs of blanks (also non-breaking spaces) as one space, blanks at the ends\n"
      "dropped, letter case significant. Text in scripts and attribute values does not count.\n"
      "The page is fetched with the proxy and time-outs of quillo settings. The links already\n"
      "in the workbook keep their names: a name in use is refused. The workbook is saved\n"
      "atomically, with the cell's first value, only when the link was stored.\n"
      "Exit codes: 0 stored and saved; 1 the page could not be fetched or read, the value is\n"
      "not on it, the link could not be made (the reason is printed) or the file could not be\n"
      "written; 2 bad usage, definitions that do not load or a workbook that cannot be read.\n\n"
      "Example:\n"
      "  quillo link add prices.xlsx B2 'http://127.0.0.1:8080/wl/quote?s=ABC' 100.05 --name "
      "abc_last");
  link_add_cmd->add_option("book", link_add.book, "The workbook (.xlsx)")->required();
  link_add_cmd->add_option("cell", link_add.cell, "Where the formula goes: B2 or 'Sheet 2'!B2")
      ->required();
  link_add_cmd->add_option("url", link_add.url, "The page's address")->required();
  link_add_cmd->add_option("value", link_add.value, "The value as the page shows it")->required();
  link_add_cmd->add_option("--name", link_add.name,
                           "The link's name (default: weblink_N, one more than the last)");
  link_add_cmd
      ->add_option("--occurrence", link_add.occurrence,
                   "Which element showing VALUE, counted from 1 in page order")
      ->check(count_from_1(quillo::html::kMaxTags))
      ->capture_default_str();
  link_add_cmd->add_option("--decimal", link_add.decimal,
                           "The decimal separator of the page's figures, as a source names it "
                           "(default: a comma is a decimal sign only where it cannot separate "
                           "groups of three digits)");
  link_add_cmd->add_option("--group", link_add.group,
                           "The group separator of the page's figures (with --decimal)");
  link_add_cmd
      ->add_option("--timeout", link_add.timeout_seconds,
                   "Seconds to wait for the page and to read it, and again for the cell's first "
                   "value")
      ->check(kSeconds)
      ->capture_default_str();
  quillo::cli::LinkListOptions link_list;
  CLI::App* link_list_cmd =
      link_cmd->add_subcommand("list", "Print the web links stored in a workbook.");
  link_list_cmd->footer(
      "One line per link: name, page address, references, start marker and end marker,\n"
      "then the decimal and group separator for links that name them,\n"
      "tab-separated (tabs and line breaks inside written as \\t and \\n). A header line comes\n"
      "first when standard output is a terminal, never in a pipe.\n"
      "Exit codes: 0 listed (a workbook without links prints nothing and says so on standard\n"
      "error), 2 bad usage or a workbook that cannot be read.");
  link_list_cmd->add_option("book", link_list.book, "The workbook (.xlsx)")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  if (cmd->parsed()) return quillo::cli::run_parse_command(parse);
  if (refresh_cmd->parsed()) {
    refresh.progress = quillo::host::stderr_is_terminal();
    return quillo::cli::run_refresh(refresh, std::cout, std::cerr);
  }
  if (watch_cmd->parsed()) return quillo::cli::run_watch(watch, std::cout, std::cerr);
  if (ui_cmd->parsed()) {
    ui.open_browser = !ui_no_open;
    return quillo::cli::run_ui(ui, std::cout, std::cerr);
  }
  if (settings_cmd->parsed()) {
    using Action = quillo::cli::SettingsOptions::Action;
    settings.action = get_cmd->parsed()     ? Action::Get
                      : set_cmd->parsed()   ? Action::Set
                      : unset_cmd->parsed() ? Action::Unset
                                            : Action::Print;
    return quillo::cli::run_settings(settings, std::cout, std::cerr);
  }
  if (show_cmd->parsed()) return quillo::cli::run_show(show, std::cout, std::cerr);
  if (explain_cmd->parsed()) return quillo::cli::run_explain(explain, std::cout, std::cerr);
  if (demo_cmd->parsed()) return quillo::cli::run_demo(demo, std::cout, std::cerr);
  if (search_cmd->parsed()) return quillo::cli::run_search(search, std::cout, std::cerr);
  if (single_cmd->parsed()) {
    if (!quillo::cli::name_value_pairs(param_pairs, "quillo insert single: --param", single.params))
      return 2;
    return quillo::cli::run_insert_single(single, std::cout, std::cerr);
  }
  if (history_cmd->parsed()) return quillo::cli::run_insert_history(history, std::cout, std::cerr);
  if (update_cmd->parsed()) return quillo::cli::run_update_definitions(site, std::cout, std::cerr);
  if (models_open_cmd->parsed()) return quillo::cli::run_models_open(site, std::cout, std::cerr);
  if (models_cmd->parsed()) return quillo::cli::run_models(site, std::cout, std::cerr);
  if (link_add_cmd->parsed()) return quillo::cli::run_link_add(link_add, std::cout, std::cerr);
  if (link_list_cmd->parsed()) {
    link_list.header = quillo::host::stdout_is_terminal();
    return quillo::cli::run_link_list(link_list, std::cout, std::cerr);
  }
  return 2;
}
