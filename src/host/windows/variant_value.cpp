#include "host/windows/variant_value.h"

#include <oleauto.h>

#include <cstddef>
#include <iterator>
#include <limits>
#include <vector>

namespace quillo::host::win {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
// The error codes the object model gives its cell errors, in ErrorCode order.
constexpr std::int32_t kHostErrors[] = {2000, 2007, 2015, 2023, 2029, 2036, 2042};
// A VARIANT's error codes are the host's codes in the FACILITY_CONTROL range.
constexpr std::uint32_t kHostErrorBase = 0x800A0000u;
// How deep a chain of VT_BYREF|VT_VARIANT is followed before giving up.
constexpr int kMaxIndirection = 8;

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void append_wide(std::wstring& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<wchar_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<wchar_t>(0xD800 + (c >> 10));
    out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
  }
}

Value error_value(SCODE scode) {
  if (scode == DISP_E_PARAMNOTFOUND) return Missing{};
  const auto code = static_cast<std::uint32_t>(scode);
  // Excel gives CVErr codes with the facility bits; some callers pass the bare number.
  if ((code & 0xFFFF0000u) == kHostErrorBase || (code & 0xFFFF0000u) == 0) {
    if (auto e = error_from_host_code(static_cast<std::int32_t>(code & 0xFFFFu))) return *e;
  }
  return ErrorCode::Value;
}

Value number_value(double d) {
  return d;
}

Value integer_value(long long i) {
  if (i >= std::numeric_limits<std::int32_t>::min() &&
      i <= std::numeric_limits<std::int32_t>::max()) {
    return static_cast<std::int32_t>(i);
  }
  return static_cast<double>(i);
}

Value value_of(const VARIANT& v, const std::function<Value(IDispatch*)>& wrap, int depth);

// One element of a SAFEARRAY as a Value, whatever its element type.
Value array_element(SAFEARRAY* psa, VARTYPE vt, LONG* indices,
                    const std::function<Value(IDispatch*)>& wrap, int depth) {
  VARIANT item;
  VariantInit(&item);
  HRESULT hr;
  if (vt == VT_VARIANT) {
    hr = SafeArrayGetElement(psa, indices, &item);
  } else if (vt == VT_DECIMAL) {
    hr = SafeArrayGetElement(psa, indices, &item.decVal);
    if (SUCCEEDED(hr)) item.vt = VT_DECIMAL;
  } else {
    // Every other element type fits in the VARIANT's value union.
    hr = SafeArrayGetElement(psa, indices, &item.llVal);
    if (SUCCEEDED(hr)) item.vt = vt;
  }
  if (FAILED(hr)) return ErrorCode::Value;
  Value out = value_of(item, wrap, depth + 1);
  VariantClear(&item);
  return out;
}

Value array_value(SAFEARRAY* psa, const std::function<Value(IDispatch*)>& wrap, int depth) {
  if (!psa) return ErrorCode::Value;
  VARTYPE vt = VT_EMPTY;
  if (FAILED(SafeArrayGetVartype(psa, &vt)) || vt == VT_RECORD) return ErrorCode::Value;
  const UINT dims = SafeArrayGetDim(psa);
  if (dims < 1 || dims > 2) return ErrorCode::Value;
  LONG lo[2] = {0, 0};
  LONG hi[2] = {0, 0};
  for (UINT d = 0; d < dims; ++d) {
    if (FAILED(SafeArrayGetLBound(psa, d + 1, &lo[d])) ||
        FAILED(SafeArrayGetUBound(psa, d + 1, &hi[d]))) {
      return ErrorCode::Value;
    }
  }
  Array out;
  // A 1-D array is one row; a 2-D array is indexed (row, column).
  const long long rows = dims == 1 ? 1 : static_cast<long long>(hi[0]) - lo[0] + 1;
  const long long cols = dims == 1 ? static_cast<long long>(hi[0]) - lo[0] + 1
                                   : static_cast<long long>(hi[1]) - lo[1] + 1;
  if (rows <= 0 || cols <= 0) return out;  // an empty array
  if (rows > std::numeric_limits<std::int32_t>::max() ||
      cols > std::numeric_limits<std::int32_t>::max()) {
    return ErrorCode::Value;
  }
  out.rows = static_cast<std::int32_t>(rows);
  out.cols = static_cast<std::int32_t>(cols);
  out.items.reserve(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
  for (long long r = 0; r < rows; ++r) {
    for (long long c = 0; c < cols; ++c) {
      LONG idx[2];
      if (dims == 1) {
        idx[0] = static_cast<LONG>(lo[0] + c);
      } else {
        idx[0] = static_cast<LONG>(lo[0] + r);
        idx[1] = static_cast<LONG>(lo[1] + c);
      }
      out.items.push_back(array_element(psa, vt, idx, wrap, depth));
    }
  }
  return out;
}

Value value_of(const VARIANT& v, const std::function<Value(IDispatch*)>& wrap, int depth) {
  if (depth > kMaxIndirection) return ErrorCode::Value;
  if (v.vt & VT_BYREF) {
    VARIANT direct;
    VariantInit(&direct);
    // VariantCopyInd does not write its source; mingw declares it non-const.
    if (FAILED(VariantCopyInd(&direct, const_cast<VARIANT*>(&v)))) return ErrorCode::Value;
    Value out = value_of(direct, wrap, depth + 1);
    VariantClear(&direct);
    return out;
  }
  if (v.vt & VT_ARRAY) return array_value(v.parray, wrap, depth);
  switch (v.vt) {
    case VT_EMPTY:
      return Empty{};
    case VT_NULL:
      return Null{};
    case VT_ERROR:
      return error_value(v.scode);
    case VT_BOOL:
      return v.boolVal != VARIANT_FALSE;
    case VT_I1:
      return integer_value(v.cVal);
    case VT_UI1:
      return integer_value(v.bVal);
    case VT_I2:
      return integer_value(v.iVal);
    case VT_UI2:
      return integer_value(v.uiVal);
    case VT_I4:
      return integer_value(v.lVal);
    case VT_UI4:
      return integer_value(v.ulVal);
    case VT_INT:
      return integer_value(v.intVal);
    case VT_UINT:
      return integer_value(v.uintVal);
    case VT_I8:
      return integer_value(v.llVal);
    case VT_UI8:
      return v.ullVal <= static_cast<ULONGLONG>(std::numeric_limits<std::int32_t>::max())
                 ? Value(static_cast<std::int32_t>(v.ullVal))
                 : Value(static_cast<double>(v.ullVal));
    case VT_R4:
      return number_value(v.fltVal);
    case VT_R8:
      return number_value(v.dblVal);
    case VT_CY:
      return number_value(static_cast<double>(v.cyVal.int64) / 10000.0);
    case VT_DECIMAL: {
      double d = 0;
      // VarR8FromDec does not write its source; mingw declares it non-const.
      if (FAILED(VarR8FromDec(const_cast<DECIMAL*>(&v.decVal), &d))) return ErrorCode::Num;
      return number_value(d);
    }
    case VT_DATE:
      return Date{v.date};
    case VT_BSTR:
      if (!v.bstrVal) return std::string();
      return utf8_from_wide(std::wstring_view(v.bstrVal, SysStringLen(v.bstrVal)));
    case VT_DISPATCH:
      if (wrap && v.pdispVal) return wrap(v.pdispVal);
      return ErrorCode::Value;
    default:
      return ErrorCode::Value;
  }
}

HRESULT put_bstr(std::string_view text, VARIANT* out) {
  const std::wstring w = wide_from_utf8(text);
  BSTR b = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
  if (!b) return E_OUTOFMEMORY;
  out->vt = VT_BSTR;
  out->bstrVal = b;
  return S_OK;
}

HRESULT put_array(const Array& a, VARIANT* out,
                  const std::function<IDispatch*(const Range&)>& range_dispatch) {
  SAFEARRAYBOUND bounds[2];
  bounds[0].lLbound = 1;
  bounds[0].cElements = static_cast<ULONG>(a.rows);
  bounds[1].lLbound = 1;
  bounds[1].cElements = static_cast<ULONG>(a.cols);
  SAFEARRAY* psa = SafeArrayCreate(VT_VARIANT, 2, bounds);
  if (!psa) return E_OUTOFMEMORY;
  for (std::int32_t r = 0; r < a.rows; ++r) {
    for (std::int32_t c = 0; c < a.cols; ++c) {
      VARIANT item;
      VariantInit(&item);
      HRESULT hr = variant_from_value(a.at(r, c), &item, range_dispatch);
      LONG idx[2] = {r + 1, c + 1};
      if (SUCCEEDED(hr)) hr = SafeArrayPutElement(psa, idx, &item);  // copies item
      VariantClear(&item);
      if (FAILED(hr)) {
        SafeArrayDestroy(psa);
        return hr;
      }
    }
  }
  out->vt = VT_ARRAY | VT_VARIANT;
  out->parray = psa;
  return S_OK;
}

}  // namespace

std::string utf8_from_wide(std::wstring_view w) {
  std::string out;
  out.reserve(w.size());
  for (std::size_t i = 0; i < w.size(); ++i) {
    const char32_t c = static_cast<char16_t>(w[i]);
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 < w.size()) {
        const char32_t low = static_cast<char16_t>(w[i + 1]);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          append_utf8(out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
          ++i;
          continue;
        }
      }
      append_utf8(out, kReplacement);
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      append_utf8(out, kReplacement);
    } else {
      append_utf8(out, c);
    }
  }
  return out;
}

std::wstring wide_from_utf8(std::string_view s) {
  std::wstring out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    int extra = 0;
    char32_t c = 0;
    char32_t min = 0;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      extra = 1;
      c = b & 0x1F;
      min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2;
      c = b & 0x0F;
      min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3;
      c = b & 0x07;
      min = 0x10000;
    } else {
      append_wide(out, kReplacement);
      ++i;
      continue;
    }
    std::size_t j = 1;
    for (; j <= static_cast<std::size_t>(extra); ++j) {
      if (i + j >= s.size()) break;
      const auto cont = static_cast<unsigned char>(s[i + j]);
      if ((cont & 0xC0) != 0x80) break;
      c = (c << 6) | (cont & 0x3F);
    }
    if (j <= static_cast<std::size_t>(extra) || c < min || c > 0x10FFFF ||
        (c >= 0xD800 && c <= 0xDFFF)) {
      // A truncated, overlong or out-of-range sequence: one replacement for
      // the bytes read so far, then carry on at the next byte.
      append_wide(out, kReplacement);
      i += j;
      continue;
    }
    append_wide(out, c);
    i += j;
  }
  return out;
}

std::int32_t host_error_code(ErrorCode code) {
  const auto i = static_cast<std::size_t>(code) - 1;
  return i < std::size(kHostErrors) ? kHostErrors[i] : kHostErrors[2];
}

std::optional<ErrorCode> error_from_host_code(std::int32_t code) {
  for (std::size_t i = 0; i < std::size(kHostErrors); ++i) {
    if (kHostErrors[i] == code) return static_cast<ErrorCode>(i + 1);
  }
  return std::nullopt;
}

Value value_from_variant(const VARIANT& v, const std::function<Value(IDispatch*)>& wrap) {
  return value_of(v, wrap, 0);
}

HRESULT variant_from_value(const Value& v, VARIANT* out,
                           const std::function<IDispatch*(const Range&)>& range_dispatch) {
  VariantInit(out);
  switch (v.type()) {
    case ValueType::Empty:
      return S_OK;
    case ValueType::Null:
      out->vt = VT_NULL;
      return S_OK;
    case ValueType::Missing:
      out->vt = VT_ERROR;
      out->scode = DISP_E_PARAMNOTFOUND;
      return S_OK;
    case ValueType::Bool:
      out->vt = VT_BOOL;
      out->boolVal = v.as_bool() ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    case ValueType::Integer:
      out->vt = VT_I4;
      out->lVal = static_cast<LONG>(v.number());
      return S_OK;
    case ValueType::Double:
      out->vt = VT_R8;
      out->dblVal = v.number();
      return S_OK;
    case ValueType::Date:
      out->vt = VT_DATE;
      out->date = v.number();
      return S_OK;
    case ValueType::Text:
      return put_bstr(v.text(), out);
    case ValueType::Error:
      out->vt = VT_ERROR;
      out->scode = static_cast<SCODE>(kHostErrorBase |
                                      static_cast<std::uint32_t>(host_error_code(v.error())));
      return S_OK;
    case ValueType::Array:
      return put_array(v.array(), out, range_dispatch);
    case ValueType::Range: {
      const Range* range = as_range(v);
      if (range && range_dispatch) {
        if (IDispatch* d = range_dispatch(*range)) {
          out->vt = VT_DISPATCH;
          out->pdispVal = d;
          return S_OK;
        }
      }
      if (range) {
        auto value = range->value();
        if (!value.ok()) return variant_from_value(Value(ErrorCode::Ref), out);
        return variant_from_value(value.value(), out, range_dispatch);
      }
      return put_array(v.range().values(), out, range_dispatch);
    }
  }
  return S_OK;
}

}  // namespace quillo::host::win
