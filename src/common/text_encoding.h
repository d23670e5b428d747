// Text encodings: page bytes as they arrive from a server, turned into the
// UTF-8 the engine works in, and query values made safe for an address.
//
// decode_page picks the page's encoding the way a browser does: a byte
// order mark first, then the charset of the HTTP Content-Type, then a
// charset named by a <meta> tag (or an XML declaration) near the start;
// without any of these a text that is valid UTF-8 is taken as UTF-8 and
// anything else as Windows-1252. ISO-8859-1 and US-ASCII are read as
// Windows-1252, as browsers read them. Conversion goes through iconv
// (glibc). Invalid sequences become U+FFFD, and so does every character
// XML 1.0 forbids (controls other than tab, line feed and carriage return,
// U+FFFE, U+FFFF), so nothing a page holds can make a saved workbook
// unreadable. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quillo::text {

// The page as UTF-8. content_type is the HTTP Content-Type header's value
// (may be empty). An XML declaration naming another encoding is rewritten
// to name UTF-8, so a later XML parser does not convert a second time.
std::string decode_page(std::string_view body, std::string_view content_type = {});
// decode_page for a body its caller gives up: page becomes what decode_page
// would answer for it, without a copy when the page is UTF-8 that needs no
// character replaced (one pass over it).
void decode_page_in_place(std::string& page, std::string_view content_type = {});

// The charset named by a Content-Type value ("text/html; charset=ISO-8859-1"
// gives "ISO-8859-1"); empty when there is none.
std::string charset_of_content_type(std::string_view content_type);

// Valid UTF-8 with every invalid sequence and every character XML forbids
// replaced by U+FFFD.
std::string sanitize_utf8(std::string_view s);

// The code point of the UTF-8 sequence at byte i (i < s.size()) and the
// bytes it takes; nullopt when the bytes there are no valid sequence (a
// stray or truncated one, an overlong form, a surrogate, beyond U+10FFFF).
// The one UTF-8 decoder: text that may be malformed is read through it.
std::optional<std::pair<char32_t, std::size_t>> decode_utf8(std::string_view s, std::size_t i);

// True for a code point XML 1.0 allows in a document.
bool xml_allowed(char32_t cp);

// A query value with every byte that is not safe in a query component
// percent-encoded ("BRK B" -> "BRK%20B", "X#Y" -> "X%23Y", "A&s=Z" ->
// "A%26s%3DZ"). A "%" already followed by two hex digits stays, so a value
// that is already encoded passes unchanged.
std::string encode_query_value(std::string_view value);

}  // namespace quillo::text
