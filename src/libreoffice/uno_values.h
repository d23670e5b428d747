// Conversions between Calc's values (UNO Any) and the engine's Value.
// An argument left out arrives void and becomes Missing; a range arrives
// as rows of values (an empty cell as an empty text, which becomes an empty
// value); a one-cell range is read as its value. An answer becomes what a
// live result carries: a number, a text (an error value as its text, empty
// as an empty text) or rows of values for an array.
#pragma once

#include <com/sun/star/uno/Any.hxx>
#include <rtl/ustring.hxx>

#include <string>
#include <string_view>

#include "common/value.h"

namespace quillo::lo {

// UTF-8 text to and from Calc's strings.
rtl::OUString ou(std::string_view s);
std::string u8(const rtl::OUString& s);

Value argument(const com::sun::star::uno::Any& any);
com::sun::star::uno::Any to_any(const Value& value);
// The same for one element of a range: void and "" are an empty cell.
Value element(const com::sun::star::uno::Any& any);

}  // namespace quillo::lo
