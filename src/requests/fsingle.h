// The single data item function: one field of one instrument, cut out of
// the category's page. Evaluated twice in a normal life: first it finds or
// creates the request and answers "Loading data..."; when the answer has
// arrived the registry re-evaluates the cell and it answers the value.
//
// Loop thread only; answers values (texts, numbers, error values), never
// throws.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/value.h"
#include "parse/definitions.h"
#include "requests/dispatch.h"
#include "requests/recent_texts.h"
#include "requests/registry.h"

namespace quillo {

// What a cell shows for a field code the definitions do not know.
inline constexpr std::string_view kInvalidField = "Invalid fieldname!";

// What fsingle works out from its arguments before it asks for the
// request - the field's definitions and, for a call without options, the
// parameters and the address - kept by field code and by category and
// instrument, so that a cell evaluated again (every filled cell is, when
// its answer arrives) neither looks the definitions up nor builds the
// address again. It holds for one load of the definitions (their
// generation); past kLimit entries a table keeps no more (what it holds
// stays where it is, as a call may still be using it).
class SingleItemMemo {
 public:
  static constexpr std::size_t kLimit = 16384;
  SingleItemMemo() = default;
  // What was found last points into the tables.
  SingleItemMemo(const SingleItemMemo&) = delete;
  SingleItemMemo& operator=(const SingleItemMemo&) = delete;
  struct Field {
    const DataSource* source = nullptr;
    const Category* category = nullptr;
    const FieldDef* field = nullptr;
    bool all = false;  // the field named ALL: the request alone
  };
  struct Request {
    ParameterChoice params;
    std::int16_t updatefrq = 0;
    std::string url;
    // The request this address was last found as: it stands while that
    // record holds the address and is not forgotten (a registry keeps one
    // such record an address), so the registry is not searched again.
    mutable std::int32_t number = 0;
    // The registry's numbering when number was last found or checked: while
    // it is the same, number still names this address's record.
    mutable std::uint64_t numbering = 0;
  };

  // Null when not kept; the definitions' change since empties the memo.
  const Field* field(const Definitions& definitions, std::string_view code);
  const Request* request(const Category* category, std::string_view inst) {
    // The cells of a row of instruments, and the cells an answer fills, ask
    // for one request after another: the last one found is tried first, in
    // line.
    if (m_last_request && m_last_category == category && m_last_inst == inst) {
      return m_last_request;
    }
    return find_request(category, inst);
  }
  // What was kept; null when the table is full.
  const Field* keep_field(std::string_view code, const Field& field);
  const Request* keep_request(const Category* category, std::string_view inst, Request&& request);

 private:
  // Tables looked up by a text without making a string of it.
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  template <class T>
  using ByText = std::unordered_map<std::string, T, Hash, std::equal_to<>>;
  // The category's address and the instrument, written into m_key (which
  // keeps its room from call to call).
  std::string_view request_key(const Category* category, std::string_view inst);
  // request past the last one found.
  const Request* find_request(const Category* category, std::string_view inst);
  // The request found or kept last, with its category and instrument.
  void remember(const Category* category, std::string_view inst, const Request* request);

  const Definitions* m_definitions = nullptr;
  std::uint64_t m_generation = 0;
  ByText<Field> m_fields;
  RecentByText<Field> m_recent_fields;  // of m_fields: a sheet asks a few codes over and over
  ByText<Request> m_requests;
  std::string m_key;
  const Category* m_last_category = nullptr;
  std::string m_last_inst;
  const Request* m_last_request = nullptr;  // null: none
};

struct SingleItemContext {
  const Definitions& definitions;
  RequestRegistry& registry;
  RequestDispatch& dispatch;
  SingleItemMemo* memo = nullptr;  // none: every call works it all out
};

// inst: the instrument id; field: "SRC.CAT.NAME"; options: an array (or
// range) of alternating option names and values, or Missing; fcaller: the
// calling cell as a range.
Value fsingle(SingleItemContext& ctx, const Value& inst, const Value& field, const Value& options,
              const Value& fcaller);

}  // namespace quillo
