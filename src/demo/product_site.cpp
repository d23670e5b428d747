#include "demo/product_site.h"

#include <httplib.h>

#include <array>
#include <cstdint>
#include <vector>

namespace quillo::service {

namespace {

struct Model {
  std::string_view name;
  std::string_view caption;
};

constexpr Model kModels[] = {
    {"dcf.xlsx", "Discounted cash flow"},
    {"dividends.xlsx", "Dividend yield"},
    {"portfolio.xlsx", "Portfolio tracker"},
};

// The small definitions file the site offers as the newer one.
std::string newer_definitions(int port) {
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<definitions>\n  <version>" +
         std::string(kSiteDefinitionsVersion) +
         "</version>\n"
         "  <datasource code=\"LMS\" name=\"Local market service\">\n"
         "    <max_requests_allowed>8</max_requests_allowed>\n"
         "    <category code=\"QUO\" name=\"Quote\">\n"
         "      <url>" +
         base +
         "/quote</url>\n"
         "      <updatefrq>1</updatefrq>\n"
         "      <invalidrequest>No quote found for symbol</invalidrequest>\n"
         "      <parameter name=\"instrument id\" urlkey=\"s\" defaultvalue=\"\"/>\n"
         "      <field id=\"1\" name=\"NAME\" type=\"single\"><ref1></ref1><ref2>&lt;h1&gt;</ref2>"
         "<ref3> (</ref3></field>\n"
         "      <field id=\"2\" name=\"LAST\" type=\"single\" "
         "figureconvert=\"1\"><ref1>Last:</ref1>"
         "<ref2>&lt;b&gt;</ref2><ref3>&lt;/b&gt;</ref3></field>\n"
         "    </category>\n  </datasource>\n</definitions>\n";
}

std::string site_document(std::string_view path, std::string_view library) {
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<site>\n";
  if (!path.empty()) {
    doc += "  <definitions version=\"" + std::string(kSiteDefinitionsVersion) + "\" path=\"" +
           std::string(path) + "\"/>\n";
  }
  return doc + "  <library>\n" + std::string(library) + "  </library>\n</site>\n";
}

constexpr std::string_view kLibrary =
    "    <folder caption=\"Valuation\">\n"
    "      <model name=\"dcf.xlsx\">Discounted cash flow</model>\n"
    "      <model name=\"dividends.xlsx\">Dividend yield</model>\n"
    "    </folder>\n"
    "    <folder caption=\"Empty\"/>\n"
    "    <model name=\"portfolio.xlsx\">Portfolio tracker</model>\n"
    "    <model name=\"missing.xlsx\">Missing model</model>\n";

// 100 models in 25 folders of four, a nested folder and names that try to
// leave the library folder.
std::string big_library() {
  std::string lib =
      "    <model name=\"../x.xlsx\">Escape up</model>\n"
      "    <model name=\"a/b.xlsx\">Escape down</model>\n";
  for (int f = 1; f <= 25; ++f) {
    lib += "    <folder caption=\"Folder " + std::to_string(f) + "\">\n";
    for (int m = 1; m <= 4; ++m) {
      const std::string n = std::to_string((f - 1) * 4 + m);
      lib += "      <model name=\"m" + n + ".xlsx\">Model " + n + "</model>\n";
    }
    if (f == 1)
      lib += "      <folder caption=\"Nested\"><model name=\"n.xlsx\">N</model></folder>\n";
    lib += "    </folder>\n";
  }
  return lib;
}

std::uint32_t crc32(std::string_view data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char ch : data) {
    crc ^= static_cast<unsigned char>(ch);
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void put16(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& out, std::uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

// A zip archive of stored (uncompressed) entries.
std::string zip_stored(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string out, central;
  for (const auto& [name, data] : entries) {
    const auto offset = static_cast<std::uint32_t>(out.size());
    const std::uint32_t crc = crc32(data);
    const auto size = static_cast<std::uint32_t>(data.size());
    const auto name_size = static_cast<std::uint32_t>(name.size());
    put32(out, 0x04034b50);
    for (std::uint32_t v : {20u, 0u, 0u, 0u, 0x21u}) put16(out, v);  // version .. date
    put32(out, crc);
    put32(out, size);
    put32(out, size);
    put16(out, name_size);
    put16(out, 0);
    out += name;
    out += data;
    put32(central, 0x02014b50);
    for (std::uint32_t v : {20u, 20u, 0u, 0u, 0u, 0x21u}) put16(central, v);
    put32(central, crc);
    put32(central, size);
    put32(central, size);
    for (std::uint32_t v : {name_size, 0u, 0u, 0u, 0u}) put16(central, v);
    put32(central, 0);
    put32(central, offset);
    central += name;
  }
  const auto central_offset = static_cast<std::uint32_t>(out.size());
  const auto count = static_cast<std::uint32_t>(entries.size());
  out += central;
  put32(out, 0x06054b50);
  for (std::uint32_t v : {0u, 0u, count, count}) put16(out, v);
  put32(out, static_cast<std::uint32_t>(central.size()));
  put32(out, central_offset);
  put16(out, 0);
  return out;
}

void reply(httplib::Response& res, int status, const std::string& body, const char* type) {
  res.status = status;
  res.set_content(body, type);
}

}  // namespace

std::string model_workbook(std::string_view caption) {
  constexpr std::string_view kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
  constexpr std::string_view kRel =
      "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
  constexpr std::string_view kPkgRel =
      "http://schemas.openxmlformats.org/package/2006/relationships";
  const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
  std::string text;
  for (const char c : caption) {
    if (c == '<') {
      text += "&lt;";
    } else if (c == '&') {
      text += "&amp;";
    } else {
      text += c;
    }
  }
  return zip_stored({
      {"[Content_Types].xml",
       head + "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
              "<Default Extension=\"rels\" "
              "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
              "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
              "<Override PartName=\"/xl/workbook.xml\" ContentType=\"application/"
              "vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
              "<Override PartName=\"/xl/worksheets/sheet1.xml\" ContentType=\"application/"
              "vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/></Types>"},
      {"_rels/.rels", head + "<Relationships xmlns=\"" + std::string(kPkgRel) +
                          "\"><Relationship Id=\"rId1\" Type=\"" + std::string(kRel) +
                          "/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>"},
      {"xl/workbook.xml", head + "<workbook xmlns=\"" + std::string(kMain) + "\" xmlns:r=\"" +
                              std::string(kRel) +
                              "\"><sheets><sheet name=\"Model\" sheetId=\"1\" "
                              "r:id=\"rId1\"/></sheets></workbook>"},
      {"xl/_rels/workbook.xml.rels",
       head + "<Relationships xmlns=\"" + std::string(kPkgRel) +
           "\"><Relationship Id=\"rId1\" Type=\"" + std::string(kRel) +
           "/worksheet\" Target=\"worksheets/sheet1.xml\"/></Relationships>"},
      {"xl/worksheets/sheet1.xml",
       head + "<worksheet xmlns=\"" + std::string(kMain) +
           "\"><sheetData><row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>" + text +
           "</t></is></c></row><row r=\"2\"><c r=\"A2\"><v>100</v></c><c r=\"B2\"><f>A2*2</f>"
           "<v>200</v></c></row></sheetData></worksheet>"},
  });
}

bool answer_product_site(std::string_view target, int port, httplib::Response& res) {
  const std::string_view path = target.substr(0, target.find('?'));
  constexpr std::string_view kRoots[] = {"/site/",      "/broken-site/", "/html-site/",
                                         "/huge-site/", "/loop-site/",   "/big-site/",
                                         "/away-site/"};
  std::string_view root;
  for (const std::string_view r : kRoots) {
    if (path.starts_with(r)) root = r;
  }
  if (root.empty()) return false;
  const std::string_view rest = path.substr(root.size());
  constexpr const char* kXml = "application/xml";
  if (root == "/away-site/" && rest != "site.xml") {
    res.status = 302;
    res.set_header("Location",
                   "http://localhost:" + std::to_string(port) + "/site/" + std::string(rest));
    return true;
  }
  if (rest == "site.xml") {
    if (root == "/loop-site/") {
      res.status = 302;
      res.set_header("Location", std::string(path));
      return true;
    }
    const std::string_view announced = root == "/site/" || root == "/away-site/"
                                           ? "definitions/ds-2026.2.1.xml"
                                       : root == "/broken-site/" ? "definitions/broken.xml"
                                       : root == "/html-site/"   ? "definitions/error.html"
                                       : root == "/huge-site/"   ? "definitions/huge.xml"
                                                                 : "";
    reply(res, 200,
          site_document(announced, root == "/big-site/" ? big_library() : std::string(kLibrary)),
          kXml);
    return true;
  }
  if (rest == "definitions/ds-2026.2.1.xml") {
    reply(res, 200, newer_definitions(port), kXml);
  } else if (rest == "definitions/broken.xml") {
    const std::string whole = newer_definitions(port);
    reply(res, 200, whole.substr(0, whole.size() / 2), kXml);
  } else if (rest == "definitions/error.html") {
    reply(res, 200, "<html><body><h1>Service unavailable</h1></body></html>\n", "text/html");
  } else if (rest == "definitions/huge.xml") {
    std::string huge = "<?xml version=\"1.0\"?>\n<definitions><version>9</version>";
    huge.resize(50u << 20, ' ');
    reply(res, 200, huge + "</definitions>\n", kXml);
  } else if (rest.starts_with("library/")) {
    const std::string_view name = rest.substr(8);
    for (const Model& m : kModels) {
      if (name == m.name) {
        reply(res, 200, model_workbook(m.caption),
              "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet");
        return true;
      }
    }
    reply(res, 404, "<html><body><h1>Not found</h1></body></html>\n", "text/html");
  } else {
    reply(res, 404, "<html><body><h1>Not found</h1></body></html>\n", "text/html");
  }
  return true;
}

}  // namespace quillo::service
