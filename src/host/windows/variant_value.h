// Conversions between COM's VARIANT and the engine's Value, and between
// UTF-8 and UTF-16 text. The Excel adapter and the COM objects of quillo.dll
// use them for every argument and answer that crosses IDispatch. Plain
// functions, any thread (a Range travels as its IDispatch, which only the
// host's thread may call).
#pragma once

// windows.h first: the COM headers rely on what it declares.
#include <windows.h>

#include <oaidl.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/value.h"
#include "host/range.h"

namespace quillo::host::win {

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8_from_wide(std::wstring_view w);
// UTF-8 to UTF-16; a byte sequence that is not UTF-8 becomes U+FFFD.
std::wstring wide_from_utf8(std::string_view s);

// The object model's error values as VARIANT error codes (2042 for #N/A),
// and back; error_from_host_code is nullopt for a code that is none of them.
std::int32_t host_error_code(ErrorCode code);
std::optional<ErrorCode> error_from_host_code(std::int32_t code);

// A VARIANT as a Value: VT_EMPTY Empty, VT_NULL Null, DISP_E_PARAMNOTFOUND
// Missing, the host's error codes their error, other error codes #VALUE!,
// booleans, integers up to 32 bits as integers (wider ones as doubles),
// VT_R4/R8/CY/DECIMAL as doubles, VT_DATE as Date, VT_BSTR as Text, a 1-D or
// 2-D SAFEARRAY (any lower bounds) as an Array, VT_DISPATCH through wrap (a
// Range) or #VALUE! without it; VT_BYREF is followed. Anything else, or an
// array of more than two dimensions, is #VALUE!.
Value value_from_variant(const VARIANT& v, const std::function<Value(IDispatch*)>& wrap = {});

// A Value as a VARIANT: arrays as 2-D 1-based SAFEARRAYs of VARIANT, errors
// as the host's error codes, Missing as DISP_E_PARAMNOTFOUND. A range goes as
// range_dispatch's IDispatch (AddRef'd) when that answers one, otherwise as
// its value. out must be VariantInit'ed; the caller VariantClear's it, and on
// failure (E_OUTOFMEMORY) out is left empty.
HRESULT variant_from_value(const Value& v, VARIANT* out,
                           const std::function<IDispatch*(const Range&)>& range_dispatch = {});

}  // namespace quillo::host::win
