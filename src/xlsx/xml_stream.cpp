// XML parsed as it is fed, through expat (see package.h). The sheet
// parts of a large workbook are read and written this way: a tree of a
// sheet part costs several times the part's text, expat's state does not
// grow with it. Expat rather than libxml2's push parser: it reports the
// byte offset and length of every event, which the writer needs to copy
// what surrounds the cells byte for byte, and on a 100,000-row sheet the
// two differ by less than the model's own cost of the cells.
#include <expat.h>

#include <climits>
#include <cstring>
#include <utility>

#include "xlsx/package.h"

namespace quillo::spreadsheet::xlsx {

struct XmlStream::Impl {
  std::string part;
  XmlHandler* handler = nullptr;
  XML_Parser parser = nullptr;
  Status stopped;  // what a handler gave to stop, or the refusal of a DOCTYPE

  ~Impl() {
    if (parser) XML_ParserFree(parser);
  }

  // The name and, after its prefix, its local part, in one pass over the
  // name (a few bytes, once for each element of the part).
  static std::pair<std::string_view, std::string_view> names(const XML_Char* name) {
    std::size_t n = 0, local = 0;
    for (; name[n] != '\0'; ++n) {
      if (name[n] == ':' && local == 0) local = n + 1;
    }
    const std::string_view qualified(name, n);
    return {qualified, qualified.substr(local)};
  }
  static void on_start(void* user, const XML_Char* name, const XML_Char** attributes) {
    auto* self = static_cast<Impl*>(user);
    const auto [qualified, local] = names(name);
    self->handler->start(local, qualified, attributes);
  }
  static void on_end(void* user, const XML_Char* name) {
    auto* self = static_cast<Impl*>(user);
    self->handler->end(names(name).second);
  }
  static void on_text(void* user, const XML_Char* s, int len) {
    static_cast<Impl*>(user)->handler->text(std::string_view(s, static_cast<std::size_t>(len)));
  }
  static void on_doctype(void* user, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    auto* self = static_cast<Impl*>(user);
    self->stopped = Status::failed("malformed XML in " + self->part +
                                   ": a document type declaration, which parts may not have");
    XML_StopParser(self->parser, XML_FALSE);
  }
};

XmlStream::XmlStream(std::string_view part, XmlHandler& handler)
    : m_impl(std::make_unique<Impl>()) {
  m_impl->part = std::string(part);
  m_impl->handler = &handler;
  m_impl->parser = XML_ParserCreate(nullptr);
  if (!m_impl->parser) throw std::bad_alloc();
  XML_SetUserData(m_impl->parser, m_impl.get());
  XML_SetElementHandler(m_impl->parser, &Impl::on_start, &Impl::on_end);
  XML_SetCharacterDataHandler(m_impl->parser, &Impl::on_text);
  XML_SetStartDoctypeDeclHandler(m_impl->parser, &Impl::on_doctype);
}

XmlStream::~XmlStream() = default;

Status XmlStream::feed(std::string_view chunk, bool last) {
  if (!m_impl->stopped.ok()) return m_impl->stopped;
  // expat takes lengths as int: large pieces go in parts.
  do {
    const std::size_t n = std::min<std::size_t>(chunk.size(), INT_MAX / 2);
    const bool final_piece = last && n == chunk.size();
    if (XML_Parse(m_impl->parser, chunk.data(), static_cast<int>(n), final_piece) !=
        XML_STATUS_OK) {
      if (!m_impl->stopped.ok()) return m_impl->stopped;
      return Status::failed("malformed XML in " + m_impl->part + ": " +
                            XML_ErrorString(XML_GetErrorCode(m_impl->parser)) + " at offset " +
                            std::to_string(XML_GetCurrentByteIndex(m_impl->parser)));
    }
    chunk.remove_prefix(n);
  } while (!chunk.empty());
  return m_impl->stopped;
}

void XmlStream::stop(Status why) {
  if (m_impl->stopped.ok()) m_impl->stopped = std::move(why);
  XML_StopParser(m_impl->parser, XML_FALSE);
}

std::uint64_t XmlStream::offset() const {
  return static_cast<std::uint64_t>(XML_GetCurrentByteIndex(m_impl->parser));
}

std::uint64_t XmlStream::length() const {
  return static_cast<std::uint64_t>(XML_GetCurrentByteCount(m_impl->parser));
}

}  // namespace quillo::spreadsheet::xlsx
