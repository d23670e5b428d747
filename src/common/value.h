// Value: the tagged value passed between worksheet functions, the spreadsheet,
// the parsers and the configuration. It mirrors what a spreadsheet cell or a
// function argument can hold: nothing (empty), null, a missing optional
// argument, a boolean, an integer, a double, a date serial, a text, an error
// value, an array of values or a reference to a range of cells.
//
// Values are small and cheap to copy: arrays and ranges are shared, immutable
// once built. Any thread may use a Value; the range a Value refers to belongs
// to the spreadsheet and is only touched on the event-loop thread.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillo {

class Value;

// Spreadsheet error values, numbered as the spreadsheet file format counts them.
enum class ErrorCode : std::int32_t {
  Null = 1,   // #NULL!
  Div0 = 2,   // #DIV/0!
  Value = 3,  // #VALUE!
  Ref = 4,    // #REF!
  Name = 5,   // #NAME?
  Num = 6,    // #NUM!
  NA = 7,     // #N/A
};

// The text a spreadsheet shows for an error value ("#N/A", "#NAME?", ...).
std::string_view error_text(ErrorCode code);
// Reads an error literal such as "#DIV/0!" (case-insensitive); nullopt if it is none.
std::optional<ErrorCode> error_from_text(std::string_view text);

// A rectangular block of values stored row by row (an array constant such as
// {1,2;3,4}, or the values of a range).
struct Array {
  std::int32_t rows = 0;
  std::int32_t cols = 0;
  std::vector<Value> items;  // rows * cols values, row-major

  const Value& at(std::int32_t row, std::int32_t col) const;  // 0-based
};

// A reference to a range of cells, implemented by the spreadsheet. The common
// layer only needs to know that it exists and what its values are.
class RangeRef {
 public:
  virtual ~RangeRef() = default;
  // The values of the range, row-major.
  virtual Array values() const = 0;
  // True for a range of the host's object model (host/range.h), which
  // host::as_range then reaches without a dynamic_cast: the engine asks for
  // it at every call of a worksheet function.
  virtual bool is_host_range() const { return false; }
};

struct Empty {
  bool operator==(const Empty&) const = default;
};
struct Null {
  bool operator==(const Null&) const = default;
};
struct Missing {
  bool operator==(const Missing&) const = default;
};
// A date as a spreadsheet serial (days since 1899-12-30, fraction = time of day).
struct Date {
  double serial = 0;
  bool operator==(const Date&) const = default;
};

enum class ValueType {
  Empty,
  Null,
  Missing,
  Bool,
  Integer,
  Double,
  Date,
  Text,
  Error,
  Array,
  Range
};

class Value {
 public:
  Value() = default;
  Value(Empty) {}
  Value(Null v) : m_v(v) {}
  Value(Missing v) : m_v(v) {}
  Value(bool b) : m_v(b) {}
  Value(std::int32_t i) : m_v(i) {}
  Value(double d) : m_v(d) {}
  Value(Date d) : m_v(d) {}
  Value(std::string s) : m_v(std::move(s)) {}
  // A text is made where the value keeps it, not made and then moved in.
  Value(std::string_view s) : m_v(std::in_place_type<std::string>, s) {}
  Value(const char* s) : m_v(std::in_place_type<std::string>, s) {}
  Value(ErrorCode e) : m_v(e) {}
  Value(Array a) : m_v(std::make_shared<const Array>(std::move(a))) {}
  Value(std::shared_ptr<const RangeRef> r) : m_v(std::move(r)) {}

  ValueType type() const { return static_cast<ValueType>(m_v.index()); }
  bool is_empty() const { return type() == ValueType::Empty; }
  bool is_text() const { return type() == ValueType::Text; }
  bool is_error() const { return type() == ValueType::Error; }
  bool is_array() const { return type() == ValueType::Array; }
  bool is_range() const { return type() == ValueType::Range; }
  // Numbers in the wide sense: integer, double or date.
  bool is_number() const;

  // Accessors; each requires the matching type.
  bool as_bool() const { return std::get<bool>(m_v); }
  const std::string& text() const { return std::get<std::string>(m_v); }
  // The text to change in place (no new value made); requires a text.
  std::string& text_in_place() { return std::get<std::string>(m_v); }
  ErrorCode error() const { return std::get<ErrorCode>(m_v); }
  const Array& array() const { return *std::get<std::shared_ptr<const Array>>(m_v); }
  const RangeRef& range() const { return *std::get<std::shared_ptr<const RangeRef>>(m_v); }
  // The number held by an integer, double or date value.
  double number() const;

  // The value as text, as a spreadsheet would show it in a cell with no
  // format: numbers in their shortest exact form, booleans TRUE/FALSE, errors
  // by their literal, empty and missing as the empty text.
  std::string to_text() const;
  // The value as a number if it is one or is a text that reads as one
  // (locale-numeric, see text.h); nullopt otherwise.
  std::optional<double> to_number() const;

  bool operator==(const Value& o) const;

 private:
  std::variant<Empty, Null, Missing, bool, std::int32_t, double, Date, std::string, ErrorCode,
               std::shared_ptr<const Array>, std::shared_ptr<const RangeRef>>
      m_v;
};

// Prints a value for test failure messages: its type and its text.
void PrintTo(const Value& value, std::ostream* os);

}  // namespace quillo
