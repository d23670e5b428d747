#include "host/windows/variant_value.h"

#include <gtest/gtest.h>
#include <oleauto.h>

namespace quillo::host::win {
namespace {

// A VARIANT that clears itself.
struct Var {
  VARIANT v;
  Var() { VariantInit(&v); }
  ~Var() { VariantClear(&v); }
};

Value round_trip(const Value& in) {
  Var out;
  EXPECT_EQ(variant_from_value(in, &out.v), S_OK);
  return value_from_variant(out.v);
}

TEST(VariantValue, ScalarsRoundTrip) {
  for (const Value& v : {Value(), Value(Null{}), Value(Missing{}), Value(true), Value(false),
                         Value(std::int32_t{-7}), Value(2.5), Value(Date{45000.25}),
                         Value("Zürich €"), Value(""), Value(ErrorCode::NA), Value(ErrorCode::Div0),
                         Value(ErrorCode::Null), Value(ErrorCode::Name)}) {
    EXPECT_EQ(round_trip(v), v);
  }
  // Missing is how an omitted optional argument arrives.
  Var m;
  ASSERT_EQ(variant_from_value(Missing{}, &m.v), S_OK);
  EXPECT_EQ(m.v.vt, VT_ERROR);
  EXPECT_EQ(m.v.scode, DISP_E_PARAMNOTFOUND);
}

TEST(VariantValue, ErrorCodesAreTheHostsNumbers) {
  Var na;
  ASSERT_EQ(variant_from_value(ErrorCode::NA, &na.v), S_OK);
  EXPECT_EQ(na.v.scode & 0xFFFF, 2042);
  Var bare;
  bare.v.vt = VT_ERROR;
  bare.v.scode = 2007;  // without the facility bits
  EXPECT_EQ(value_from_variant(bare.v), Value(ErrorCode::Div0));
  bare.v.scode = static_cast<SCODE>(0x800A0000u | 2029);
  EXPECT_EQ(value_from_variant(bare.v), Value(ErrorCode::Name));
  bare.v.scode = E_FAIL;  // no cell error: #VALUE!
  EXPECT_EQ(value_from_variant(bare.v), Value(ErrorCode::Value));
}

TEST(VariantValue, NumbersOfEveryWidth) {
  Var v;
  v.v.vt = VT_UI1;
  v.v.bVal = 200;
  EXPECT_EQ(value_from_variant(v.v).type(), ValueType::Integer);
  EXPECT_EQ(value_from_variant(v.v).number(), 200);
  v.v.vt = VT_UI4;
  v.v.ulVal = 4000000000u;  // beyond a 32-bit signed integer
  EXPECT_EQ(value_from_variant(v.v).type(), ValueType::Double);
  EXPECT_EQ(value_from_variant(v.v).number(), 4000000000.0);
  v.v.vt = VT_CY;
  v.v.cyVal.int64 = 12345;  // 1.2345
  EXPECT_DOUBLE_EQ(value_from_variant(v.v).number(), 1.2345);
  v.v.vt = VT_R4;
  v.v.fltVal = 0.5f;
  EXPECT_EQ(value_from_variant(v.v), Value(0.5));
  Var dec;
  ASSERT_EQ(VarDecFromR8(-3.25, &dec.v.decVal), S_OK);
  dec.v.vt = VT_DECIMAL;
  EXPECT_EQ(value_from_variant(dec.v), Value(-3.25));
}

TEST(VariantValue, TextInAndOutOfUtf16) {
  EXPECT_EQ(utf8_from_wide(L"a\u00e9\u20ac\U0001F600"), "a\u00e9\u20ac\U0001F600");
  EXPECT_EQ(wide_from_utf8("a\u00e9\u20ac\U0001F600"), L"a\u00e9\u20ac\U0001F600");
  // Unpaired surrogates, lone or at the end, become U+FFFD; the rest stays.
  const wchar_t bad[] = {L'x', 0xD800, L'y', 0xDC00, 0xD83D};
  EXPECT_EQ(utf8_from_wide(std::wstring_view(bad, 5)), "x\uFFFDy\uFFFD\uFFFD");
  // Bytes that are not UTF-8: stray continuation, truncated, overlong, surrogate.
  EXPECT_EQ(wide_from_utf8("a\x80"
                           "b"),
            L"a\uFFFDb");
  EXPECT_EQ(wide_from_utf8("a\xE2\x82"), L"a\uFFFD");
  EXPECT_EQ(wide_from_utf8("\xC0\xAF"), L"\uFFFD");
  EXPECT_EQ(wide_from_utf8("\xED\xA0\x80z"), L"\uFFFDz");
  // A BSTR with an embedded NUL keeps its full length.
  Var b;
  b.v.vt = VT_BSTR;
  b.v.bstrVal = SysAllocStringLen(L"a\0b", 3);
  EXPECT_EQ(value_from_variant(b.v), Value(std::string("a\0b", 3)));
}

TEST(VariantValue, ArraysAreTwoDimensionalAndOneBased) {
  Array a{2, 3, {1, 2.5, "x", true, ErrorCode::Ref, Value()}};
  Var out;
  ASSERT_EQ(variant_from_value(a, &out.v), S_OK);
  ASSERT_EQ(out.v.vt, VT_ARRAY | VT_VARIANT);
  EXPECT_EQ(SafeArrayGetDim(out.v.parray), 2u);
  LONG lo = 0, hi = 0;
  SafeArrayGetLBound(out.v.parray, 1, &lo);
  SafeArrayGetUBound(out.v.parray, 1, &hi);
  EXPECT_EQ(lo, 1);
  EXPECT_EQ(hi, 2);  // rows first
  SafeArrayGetUBound(out.v.parray, 2, &hi);
  EXPECT_EQ(hi, 3);
  EXPECT_EQ(value_from_variant(out.v), Value(a));
}

TEST(VariantValue, ArraysWithOtherBoundsAndElementTypes) {
  // A 0-based 2x2 array of doubles and a 1-D array starting at -1.
  SAFEARRAYBOUND b2[2] = {{2, 0}, {2, 0}};
  Var m;
  m.v.vt = VT_ARRAY | VT_R8;
  m.v.parray = SafeArrayCreate(VT_R8, 2, b2);
  for (LONG r = 0; r < 2; ++r) {
    for (LONG c = 0; c < 2; ++c) {
      LONG idx[2] = {r, c};
      double d = r * 10 + c;
      SafeArrayPutElement(m.v.parray, idx, &d);
    }
  }
  EXPECT_EQ(value_from_variant(m.v), Value(Array{2, 2, {0.0, 1.0, 10.0, 11.0}}));

  SAFEARRAYBOUND b1 = {3, static_cast<LONG>(-1)};
  Var row;
  row.v.vt = VT_ARRAY | VT_BSTR;
  row.v.parray = SafeArrayCreate(VT_BSTR, 1, &b1);
  const wchar_t* words[] = {L"a", L"b\u00fc", L"c"};
  for (LONG i = 0; i < 3; ++i) {
    LONG idx = i - 1;
    BSTR s = SysAllocString(words[i]);
    SafeArrayPutElement(row.v.parray, &idx, s);
    SysFreeString(s);
  }
  EXPECT_EQ(value_from_variant(row.v), Value(Array{1, 3, {"a", "b\u00fc", "c"}}));

  SAFEARRAYBOUND b3[3] = {{1, 0}, {1, 0}, {1, 0}};
  Var cube;
  cube.v.vt = VT_ARRAY | VT_VARIANT;
  cube.v.parray = SafeArrayCreate(VT_VARIANT, 3, b3);
  EXPECT_EQ(value_from_variant(cube.v), Value(ErrorCode::Value));
}

TEST(VariantValue, ByReferenceIsFollowed) {
  Var inner;
  inner.v.vt = VT_BSTR;
  inner.v.bstrVal = SysAllocString(L"ref");
  VARIANT by_variant;
  VariantInit(&by_variant);
  by_variant.vt = VT_BYREF | VT_VARIANT;
  by_variant.pvarVal = &inner.v;
  EXPECT_EQ(value_from_variant(by_variant), Value("ref"));
  double d = 4.5;
  VARIANT by_double;
  VariantInit(&by_double);
  by_double.vt = VT_BYREF | VT_R8;
  by_double.pdblVal = &d;
  EXPECT_EQ(value_from_variant(by_double), Value(4.5));
}

TEST(VariantValue, DispatchGoesThroughWrapOrIsAnError) {
  Var d;
  d.v.vt = VT_DISPATCH;
  d.v.pdispVal = nullptr;
  EXPECT_EQ(value_from_variant(d.v), Value(ErrorCode::Value));
  auto fake = reinterpret_cast<IDispatch*>(0x1000);  // never called
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DISPATCH;
  v.pdispVal = fake;
  IDispatch* seen = nullptr;
  EXPECT_EQ(value_from_variant(v,
                               [&](IDispatch* p) {
                                 seen = p;
                                 return Value("wrapped");
                               }),
            Value("wrapped"));
  EXPECT_EQ(seen, fake);
  EXPECT_EQ(value_from_variant(v), Value(ErrorCode::Value));
}

}  // namespace
}  // namespace quillo::host::win
