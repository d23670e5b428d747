#include "libreoffice/uno_values.h"

#include <com/sun/star/uno/Sequence.hxx>
#include <rtl/ustring.hxx>

namespace css = com::sun::star;
using css::uno::Any;
using css::uno::Sequence;
using css::uno::TypeClass;
using rtl::OString;
using rtl::OUString;

namespace quillo::lo {

OUString ou(std::string_view s) {
  return OUString(s.data(), static_cast<sal_Int32>(s.size()), RTL_TEXTENCODING_UTF8);
}

std::string u8(const OUString& s) {
  const OString o = OUStringToOString(s, RTL_TEXTENCODING_UTF8);
  return std::string(o.getStr(), static_cast<std::size_t>(o.getLength()));
}

namespace {

Value scalar(const Any& any, bool in_range) {
  switch (any.getValueTypeClass()) {
    case TypeClass::TypeClass_VOID:
      return in_range ? Value() : Value(Missing{});
    case TypeClass::TypeClass_BOOLEAN:
      return Value(*static_cast<const sal_Bool*>(any.getValue()) != 0);
    case TypeClass::TypeClass_BYTE:
    case TypeClass::TypeClass_SHORT:
    case TypeClass::TypeClass_UNSIGNED_SHORT:
    case TypeClass::TypeClass_LONG:
    case TypeClass::TypeClass_UNSIGNED_LONG:
    case TypeClass::TypeClass_HYPER:
    case TypeClass::TypeClass_FLOAT:
    case TypeClass::TypeClass_DOUBLE: {
      double d = 0;
      any >>= d;
      return Value(d);
    }
    case TypeClass::TypeClass_STRING: {
      OUString s;
      any >>= s;
      if (in_range && s.isEmpty()) return Value();
      return Value(u8(s));
    }
    default:
      return Value(ErrorCode::Value);
  }
}

}  // namespace

Value element(const Any& any) {
  return scalar(any, true);
}

Value argument(const Any& any) {
  Sequence<Sequence<Any>> rows;
  if (any.getValueTypeClass() == TypeClass::TypeClass_SEQUENCE && (any >>= rows)) {
    Array a;
    a.rows = rows.getLength();
    a.cols = 0;
    for (const auto& row : rows) a.cols = std::max(a.cols, row.getLength());
    if (a.rows == 1 && a.cols == 1) return element(rows[0][0]);
    a.items.reserve(static_cast<std::size_t>(a.rows) * static_cast<std::size_t>(a.cols));
    for (const auto& row : rows) {
      for (sal_Int32 c = 0; c < a.cols; ++c) {
        a.items.push_back(c < row.getLength() ? element(row[c]) : Value());
      }
    }
    return Value(std::move(a));
  }
  return scalar(any, false);
}

Any to_any(const Value& v) {
  if (v.is_number()) return Any(v.number());
  switch (v.type()) {
    case ValueType::Bool:
      return Any(v.as_bool());
    case ValueType::Text:
      return Any(ou(v.text()));
    case ValueType::Array: {
      const Array& a = v.array();
      Sequence<Sequence<Any>> rows(a.rows);
      for (std::int32_t r = 0; r < a.rows; ++r) {
        Sequence<Any> row(a.cols);
        for (std::int32_t c = 0; c < a.cols; ++c) {
          const Value& item = a.at(r, c);
          row[c] = item.is_array() ? Any(OUString()) : to_any(item);
        }
        rows[r] = row;
      }
      return Any(rows);
    }
    default:
      return Any(ou(v.to_text()));
  }
}

}  // namespace quillo::lo
