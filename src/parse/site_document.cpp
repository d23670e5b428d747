#include "parse/site_document.h"

#include <pugixml.hpp>

#include "common/text.h"

namespace quillo {

namespace {

// The element's own text: its text and CDATA children joined, blanks around
// the whole removed (documents are written indented).
std::string own_text(const pugi::xml_node& node) {
  std::string out;
  for (const pugi::xml_node& c : node.children()) {
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) out += c.value();
  }
  return std::string(text::trim(out));
}

LibraryElement library_element(const pugi::xml_node& node, bool with_children) {
  LibraryElement e;
  e.element = node.name();
  e.caption = node.attribute("caption").value();
  e.name = node.attribute("name").value();
  e.text = own_text(node);
  if (with_children) {
    for (const pugi::xml_node& c : node.children()) {
      if (c.type() == pugi::node_element) e.children.push_back(library_element(c, false));
    }
  }
  return e;
}

std::optional<SiteDocument> refuse(std::string* error, std::string why) {
  if (error) *error = std::move(why);
  return std::nullopt;
}

}  // namespace

std::optional<SiteDocument> site_document_parse(std::string_view xml, std::string* error) {
  if (xml.size() > kMaxSiteDocument) {
    return refuse(error, "the site document is larger than " +
                             std::to_string(kMaxSiteDocument / 1024) + " KB");
  }
  pugi::xml_document doc;
  const pugi::xml_parse_result r = doc.load_buffer(xml.data(), xml.size());
  if (!r) {
    return refuse(error, std::string("the site document is not well-formed XML: ") +
                             r.description() + " at byte " + std::to_string(r.offset));
  }
  const pugi::xml_node root = doc.document_element();
  if (std::string_view(root.name()) != "site") {
    return refuse(error,
                  "the site document's root is <" + std::string(root.name()) + ">, not <site>");
  }
  SiteDocument site;
  if (const pugi::xml_node d = root.child("definitions")) {
    if (const pugi::xml_attribute v = d.attribute("version")) site.definitions_version = v.value();
    site.definitions_path = d.attribute("path").value();
  }
  if (const pugi::xml_node lib = root.child("library")) {
    site.has_library = true;
    for (const pugi::xml_node& c : lib.children()) {
      if (c.type() == pugi::node_element) site.library.push_back(library_element(c, true));
    }
  }
  return site;
}

}  // namespace quillo
