#include "common/text.h"
#include "common/text_encoding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "common/value.h"

namespace quillo::text {
namespace {

TEST(FindTest, CaseInsensitiveOneBasedWithStart) {
  EXPECT_EQ(find_ci("abc<TABLE x><table>", "<table"), 4u);
  EXPECT_EQ(find_ci("abc<TABLE x><table>", "<table", 5), 13u);
  EXPECT_EQ(find_ci("Last Trade: 5", "last trade"), 1u);
  EXPECT_EQ(find_ci("xxLaSt", "LAST"), 3u);
  EXPECT_EQ(find_ci("abc", "abcd"), 0u);
  EXPECT_EQ(find_ci("abc", "c", 4), 0u);
  // A letter that appears in both cases before the match is skipped in order.
  EXPECT_EQ(find_ci("aAaAb", "AB"), 4u);
  // Letters beyond ASCII fold too, character by character; positions are bytes.
  EXPECT_EQ(find_ci("x PR\u00C9IS: 1 Pr\u00E9is: 2", "Pr\u00E9is:"), 3u);
  EXPECT_EQ(find_ci("\u0426\u0415\u041D\u0410 7", "\u0446\u0435\u043D\u0430"), 1u);
  EXPECT_EQ(find_ci("\u039A\u039B\u0395\u0399\u03A3\u0399\u039C\u039F", "\u03C3\u03B9\u03BC"), 9u);
  // Accented capitals, and a word's final sigma.
  EXPECT_EQ(find_ci("x \u03A3\u038E\u039D\u039F\u039B\u039F\u03A3",
                    "\u03C3\u03CD\u03BD\u03BF\u03BB\u03BF\u03C2"),
            3u);
  EXPECT_EQ(find_ci("\u0141\u00F3d\u017A \u0178", "\u0142\u00D3D\u0179 \u00FF"), 1u);
  EXPECT_EQ(find_ci("caf\u00E8 caf\u00C9", "CAF\u00E9"), 7u);  // è is not é
  EXPECT_EQ(find_ci("caf\u00C9", "caf\u00E9", 2), 0u);
  // Bytes that are no character match only themselves; a cut character never matches.
  EXPECT_EQ(find_ci("a\xFF\xC3\x62 \u00E9", "\xC3\x62"), 3u);
  EXPECT_EQ(find_ci("ab\xC3", "\u00E9"), 0u);
  EXPECT_EQ(find("aAaAb", "ab"), 0u);
}

TEST(FindTest, FindsEveryPositionOfLongTexts) {
  // Block-wise candidate tests must not miss a match at any offset, nor
  // read past the end.
  for (std::size_t at = 0; at + 6 <= 100; ++at) {
    std::string hay(100, 'e');
    hay.replace(at, 6, "<TaBlE");
    EXPECT_EQ(find_ci(hay, "<table"), at + 1) << at;
    EXPECT_EQ(find_ci(hay, "<table", at + 2), 0u) << at;
    EXPECT_EQ(find_ci(hay, "e<tab"), at == 0 ? 0u : at) << at;
    // A candidate that is no match (first and last bytes alike) before it.
    if (at >= 7) {
      hay.replace(at - 7, 6, "<tabxe");
      EXPECT_EQ(find_ci(hay, "<table"), at + 1) << at;
    }
  }
  std::string near_end(40, '<');
  EXPECT_EQ(find_ci(near_end, "<<<"), 1u);
  EXPECT_EQ(find_ci(near_end, "<<<", 38), 38u);
  EXPECT_EQ(find_ci(near_end, "<<<", 39), 0u);
}

// Eight bytes are folded and compared at once: only the letters A to Z
// fold, never their neighbours nor bytes of the text beyond ASCII (0xC1
// and 0xE1 differ by the same bit as "A" and "a"), for needles of every
// length that match at any place, near the end of the text too, and from
// any start.
TEST(FindTest, FoldsOnlyAsciiLettersAtEveryLengthAndPlace) {
  const std::string ascii = "@AZ[`az{";
  const std::string bytes = ascii + "\xC1\xE1\xDA\xFA";
  const auto reference = [](std::string_view hay, std::string_view needle, std::size_t start) {
    for (std::size_t p = start - 1; p + needle.size() <= hay.size(); ++p) {
      std::size_t i = 0;
      while (i < needle.size() && lower_char(hay[p + i]) == lower_char(needle[i])) ++i;
      if (i == needle.size()) return p + 1;
    }
    return std::size_t{0};
  };
  std::uint32_t seed = 12345;
  const auto next = [&] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  for (int round = 0; round < 4000; ++round) {
    std::string needle;
    const std::size_t n = 1 + next() % 12;
    for (std::size_t i = 0; i < n; ++i) needle += ascii[next() % ascii.size()];
    std::string hay;
    const std::size_t h = next() % 48;
    for (std::size_t i = 0; i < h; ++i) hay += bytes[next() % bytes.size()];
    if (h >= n && next() % 2 == 0) {  // a copy of the needle, letters in either case
      const std::size_t at = next() % (h - n + 1);
      for (std::size_t i = 0; i < n; ++i) {
        const char c = needle[i];
        hay[at + i] = next() % 2 == 0 && c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
      }
    }
    const std::size_t start = 1 + next() % (h + 1);
    EXPECT_EQ(find_ci(hay, needle, start), reference(hay, needle, start))
        << "'" << hay << "' '" << needle << "' from " << start;
    EXPECT_EQ(find_ci(hay, needle, ci_needle(needle), start), reference(hay, needle, start))
        << "prepared: '" << hay << "' '" << needle << "' from " << start;
  }
}

// A needle prepared once (when the definitions load) finds what the needle
// itself finds, after its string has moved or gone; a prepared form made
// from a text of another length is not trusted.
TEST(FindTest, PreparedNeedlesFindWhatTheNeedleFinds) {
  const std::string page = "<p>Pr\u00C9is: <b>12</b> | CHANGE: 3</p><TABLE>";
  std::vector<std::pair<std::string, CiNeedle>> kept;
  for (const char* marker : {"change:", "pr\u00e9is:", "<table", "</b>", "|", "", "absent!",
                             "<p>Pr\u00C9is: <b>12</b> | CHANGE: 3</p><TABLE>!"}) {
    std::string owned = marker;
    const CiNeedle prepared = ci_needle(owned);
    std::string moved = std::move(owned);
    owned.assign(moved.size(), 'x');  // the first string's bytes are gone
    kept.emplace_back(std::move(moved), prepared);
  }
  for (const auto& [marker, prepared] : kept) {
    for (std::size_t start = 0; start <= page.size() + 2; ++start) {
      EXPECT_EQ(find_ci(page, marker, prepared, start), find_ci(page, marker, start))
          << marker << " from " << start;
    }
  }
  EXPECT_EQ(find_ci(page, "change:", ci_needle("x")), find_ci(page, "change:"));
  EXPECT_EQ(find_ci(page, "<table", ci_needle("")), find_ci(page, "<table"));
}

TEST(FindTest, EmptyNeedleIsFoundAtStart) {
  EXPECT_EQ(find_ci("abc", ""), 1u);
  EXPECT_EQ(find_ci("abc", "", 4), 4u);
  EXPECT_EQ(find_ci("abc", "", 5), 0u);
  EXPECT_EQ(find_ci("", ""), 1u);
}

TEST(SubstringTest, ByteAndCharacterPositions) {
  EXPECT_EQ(mid("hello", 2, 3), "ell");
  EXPECT_EQ(mid("hello", 9), "");
  EXPECT_EQ(left("hi", 5), "hi");
  EXPECT_EQ(right("hello", 2), "lo");
  // "€" is three bytes but one character.
  EXPECT_EQ(char_count("5€x"), 3u);
  EXPECT_EQ(left_chars("€12", 2), "€1");
  EXPECT_EQ(mid_chars("a€bc", 2, 2), "€b");
  EXPECT_EQ(right_chars("ab€", 1), "€");
}

TEST(NumberTest, LocaleNumericTexts) {
  EXPECT_EQ(locale_number("1,234.5"), 1234.5);
  EXPECT_EQ(locale_number(" -12 "), -12);
  EXPECT_EQ(locale_number("12-"), -12);
  EXPECT_EQ(locale_number("(12.5)"), -12.5);
  EXPECT_EQ(locale_number("$5"), 5);
  EXPECT_EQ(locale_number("1e3"), 1000);
  EXPECT_EQ(locale_number(".5"), 0.5);
  for (const char* bad : {"", "-", ".", "1.2.3", "12M", "abc", ",1", "1e", "$", "1 2"}) {
    EXPECT_FALSE(is_locale_numeric(bad)) << bad;
  }
}

TEST(NumberTest, LeadingNumberStopsAtFirstForeignCharacter) {
  EXPECT_EQ(leading_number("  12.5abc"), 12.5);
  EXPECT_EQ(leading_number("1 000"), 1000);
  EXPECT_EQ(leading_number("-3.5e2x"), -350);
  EXPECT_EQ(leading_number("2e"), 2);
  EXPECT_EQ(leading_number("abc"), 0);
  EXPECT_EQ(leading_number("1.2.3"), 1.2);
  EXPECT_EQ(leading_number("1e999"), HUGE_VAL);
}

TEST(NumberTest, IntegersRoundHalfToEvenAndFit) {
  EXPECT_EQ(to_int32("2.5"), 2);
  EXPECT_EQ(to_int32("3.5"), 4);
  EXPECT_EQ(to_int32(" 7 "), 7);
  EXPECT_FALSE(to_int32("3000000000"));
  EXPECT_FALSE(to_int32("x"));
  // Plain digits read at once, up to the largest 32-bit number.
  EXPECT_EQ(to_int32("007"), 7);
  EXPECT_EQ(to_int32("999999999"), 999999999);
  EXPECT_EQ(to_int32("2147483647"), 2147483647);
  EXPECT_FALSE(to_int32("2147483648"));
  EXPECT_FALSE(to_int32(""));
}

TEST(NumberTest, ShortestRoundTripFormat) {
  EXPECT_EQ(format_number(0.1), "0.1");
  EXPECT_EQ(format_number(1234500000), "1234500000");
  EXPECT_EQ(format_number(-0.0), "0");
  EXPECT_EQ(format_number(1e21), "1e+21");
  EXPECT_EQ(format_number(1e-4), "0.0001");
  EXPECT_EQ(format_number(-131400000000.0), "-131400000000");
  EXPECT_EQ(format_number(1.5e-9), "1.5e-09");
  EXPECT_EQ(Value(0.125).to_text(), "0.125");
}

TEST(TextTest, ReplaceTrimAndCase) {
  std::string s = "a&nbsp;b&nbsp;";
  replace_all(s, "&nbsp;", " ");
  EXPECT_EQ(s, "a b ");
  std::string t = "a\r\nb\tc";
  remove_chars(t, "\r\n\t");
  EXPECT_EQ(t, "abc");
  EXPECT_EQ(trim("  x y  "), "x y");
  EXPECT_EQ(trim("   "), "");
  EXPECT_EQ(upper("aBc€"), "ABC€");
  EXPECT_TRUE(iequals("Smp", "sMP"));
  // Names and option values beyond ASCII compare as find_ci finds them.
  EXPECT_TRUE(iequals("\u00C9t\u00C9", "\u00E9T\u00E9"));
  EXPECT_TRUE(iequals("\u0426\u0435\u043D\u0430", "\u0446\u0415\u041D\u0410"));
  EXPECT_FALSE(iequals("caf\u00E8", "CAF\u00C9"));
  EXPECT_FALSE(iequals("a\xC3", "A\xE3"));  // a cut character is no letter
}

TEST(TextEncodingTest, PagesAreDecodedToUtf8AsABrowserWouldRead) {
  const std::string latin1 = "<p>Caf\xE9 \x80 5</p>";
  const std::string utf8 = "<p>Caf\xC3\xA9 \xE2\x82\xAC 5</p>";
  // The HTTP charset, a <meta> charset, or no label and bytes that are not UTF-8.
  EXPECT_EQ(decode_page(latin1, "text/html; charset=ISO-8859-1"), utf8);
  EXPECT_EQ(decode_page("<meta charset=\"windows-1252\">" + latin1),
            "<meta charset=\"windows-1252\">" + utf8);
  EXPECT_EQ(
      decode_page("<meta http-equiv='Content-Type' content='text/html; charset=latin1'>x\xE9"),
      "<meta http-equiv='Content-Type' content='text/html; charset=latin1'>x\xC3\xA9");
  EXPECT_EQ(decode_page(latin1), utf8);
  // The HTTP charset wins over the page's own; a byte order mark over both.
  EXPECT_EQ(decode_page("<meta charset=latin1>" + utf8, "text/html; charset=utf-8"),
            "<meta charset=latin1>" + utf8);
  EXPECT_EQ(decode_page("\xEF\xBB\xBF" + utf8, "text/html; charset=latin1"), utf8);
  EXPECT_EQ(decode_page(std::string("\xFF\xFE"
                                    "A\0\xE9\0",
                                    6)),
            "A\xC3\xA9");
  // Invalid sequences and characters XML forbids become U+FFFD.
  EXPECT_EQ(decode_page("a\xC3(b", "text/html; charset=utf-8"), "a\xEF\xBF\xBD(b");
  EXPECT_EQ(decode_page("a\xEF\xBF\xBE\x01"
                        "b\tc"),
            "a\xEF\xBF\xBD\xEF\xBF\xBD"
            "b\tc");
  EXPECT_EQ(decode_page("x\x81y", "text/html; charset=windows-1252"), "x\xEF\xBF\xBDy");
  // An unknown label leaves the bytes to be read as UTF-8.
  EXPECT_EQ(decode_page(utf8, "text/html; charset=x-no-such"), utf8);
  // An XML declaration is made to say what the text now is.
  EXPECT_EQ(decode_page("<?xml version='1.0' encoding='ISO-8859-1'?><a>\xE9</a>"),
            "<?xml version='1.0' encoding='UTF-8'?><a>\xC3\xA9</a>");
}

// Decoding a page in place gives what decode_page gives, for every way a
// page's encoding is chosen and every repair: it only skips the copy.
TEST(TextEncodingTest, DecodingInPlaceGivesTheSameText) {
  const std::string latin1 = "<p>Caf\xE9 \x80 5</p>";
  const std::string utf8 = "<p>Caf\xC3\xA9 \xE2\x82\xAC 5</p>";
  const std::string long_ascii(100, 'x');
  const std::pair<std::string, std::string> pages[] = {
      {latin1, "text/html; charset=ISO-8859-1"},
      {"<meta charset=\"windows-1252\">" + latin1, ""},
      {latin1, ""},
      {utf8, ""},
      {"\xEF\xBB\xBF" + utf8, "text/html; charset=latin1"},
      {"\xEF\xBB\xBF" + long_ascii + "\xC3", ""},
      {std::string("\xFF\xFE"
                   "A\0\xE9\0",
                   6),
       ""},
      {"a\xC3(b", "text/html; charset=utf-8"},
      {long_ascii + "a\xEF\xBF\xBE\x01" + long_ascii + "b\tc\r\n", ""},
      {long_ascii + "\x7F\x1F" + long_ascii, ""},
      {long_ascii + utf8 + long_ascii, "text/html; charset=utf-8"},
      {"<?xml version='1.0' encoding='ISO-8859-1'?><a>\xE9</a>", ""},
      // Short lines: what follows a line break inside a block of sixteen
      // bytes is read as carefully as the rest.
      {"<p>one</p>\n<p>two\n\xC3(x</p>\n" + long_ascii, "text/html; charset=utf-8"},
      {"a\nb\nc\n\x01" + long_ascii + "\n\xEF\xBF\xBE\nd", ""},
      {"row\r\nrow\r\n\xC3\xA9\t\xE2\x82\xAC\n" + long_ascii + "\n\xE9", ""},
      {"", ""},
  };
  for (const auto& [page, content_type] : pages) {
    std::string in_place = page;
    decode_page_in_place(in_place, content_type);
    EXPECT_EQ(in_place, decode_page(page, content_type)) << page;
  }
}

TEST(TextEncodingTest, QueryValuesAreEncodedOnce) {
  EXPECT_EQ(encode_query_value("BRK B"), "BRK%20B");
  EXPECT_EQ(encode_query_value("X#Y&s=1+2"), "X%23Y%26s%3D1%2B2");
  EXPECT_EQ(encode_query_value("A%20B%2"), "A%20B%252");
  EXPECT_EQ(encode_query_value("caf\xC3\xA9-._~"), "caf%C3%A9-._~");
}

// The one UTF-8 decoder: the page sanitizer, the xlsx writer and the text
// functions all read malformed text through it.
TEST(DecodeUtf8Test, ValidSequencesAndEveryKindOfMalformedOne) {
  using Decoded = std::optional<std::pair<char32_t, std::size_t>>;
  EXPECT_EQ(decode_utf8("A", 0), (Decoded{{U'A', 1}}));
  EXPECT_EQ(decode_utf8("x\xC3\xA9", 1), (Decoded{{U'\u00E9', 2}}));
  EXPECT_EQ(decode_utf8("\xE2\x82\xAC", 0), (Decoded{{U'\u20AC', 3}}));
  EXPECT_EQ(decode_utf8("\xF0\x9F\x98\x80", 0), (Decoded{{U'\U0001F600', 4}}));
  EXPECT_EQ(decode_utf8("\x80", 0), std::nullopt);              // stray continuation byte
  EXPECT_EQ(decode_utf8("\xE2\x82", 0), std::nullopt);          // cut short
  EXPECT_EQ(decode_utf8("\xC3(", 0), std::nullopt);             // no continuation
  EXPECT_EQ(decode_utf8("\xC0\x80", 0), std::nullopt);          // overlong
  EXPECT_EQ(decode_utf8("\xED\xA0\x80", 0), std::nullopt);      // surrogate
  EXPECT_EQ(decode_utf8("\xF4\x90\x80\x80", 0), std::nullopt);  // beyond U+10FFFF
  EXPECT_EQ(decode_utf8("\xF8\x88\x80\x80", 0), std::nullopt);  // no such lead byte
}

TEST(CallsAnyTest, OnlyACallOfTheNameInAnyCaseCounts) {
  const std::vector<std::string> names{"sma", "fhistory"};
  EXPECT_TRUE(calls_any("=SMA(A1:F9,5)", names));
  EXPECT_TRUE(calls_any("=1+FHistory(\"X\")", names));
  EXPECT_FALSE(calls_any("=xsma(A1:F9,5)", names));    // a longer name
  EXPECT_FALSE(calls_any("=my.sma(A1:F9,5)", names));  // a name with a dot
  EXPECT_FALSE(calls_any("=sma", names));              // not a call
  EXPECT_FALSE(calls_any("=A1+sma_2(1)", names));
  EXPECT_TRUE(calls_any("=xsma(1)+sma(2)", names));  // a later call counts
}

}  // namespace
}  // namespace quillo::text
