#include "addin/modRegistry.h"

#include <cmath>
#include <cstdlib>
#include <utility>

#include "addin/modGetSystemErrorMessageText.h"
#include "common/text.h"

namespace quillo::addin {
namespace {

constexpr std::int32_t kErrFileNotFound = 2;
constexpr std::int32_t kErrInvalidHandle = 6;
constexpr std::int32_t kErrInvalidParameter = 87;
constexpr std::int32_t kErrBadPath = 161;
constexpr std::int32_t kErrMoreData = 234;
constexpr std::size_t kMaxKeyPath = 256;
constexpr std::size_t kMaxNameLength = 255;
constexpr std::size_t kStringBuffer = 1024;

constexpr const char* kErrorTexts[] = {
    "Invalid Base Key Value.",
    "Invalid Data Type.",
    "Key Not Found.",
    "Value Not Found.",
    "Value Data Type Mismatch.",
    "Registry Entry Locked.",
    "The Specified Key Is Invalid.",
    "Unable To Open Key.",
    "Unable To Read Key.",
    "Unable To Create Key.",
    "Unable To Read Value.",
    "Unable To Update Value.",
    "Unable To Create Value.",
    "Unable To Delete Key.",
    "Unable To Delete Value.",
};

// The key path in the store's form: segments joined by one backslash, a
// trailing backslash dropped. Empty segments or control characters make it
// unusable.
std::optional<std::string> canonical_path(std::string_view key) {
  if (key.ends_with("\\")) key.remove_suffix(1);
  if (key.empty()) return std::string();
  std::size_t start = 0;
  while (start <= key.size()) {
    std::size_t end = key.find('\\', start);
    if (end == std::string_view::npos) end = key.size();
    if (end == start || end - start > kMaxNameLength) return std::nullopt;
    start = end + 1;
  }
  for (unsigned char c : key) {
    if (c < 0x20) return std::nullopt;
  }
  return std::string(key);
}

bool usable_value_name(std::string_view name) {
  if (name.size() > 16383) return false;
  for (unsigned char c : name) {
    if (c < 0x20) return false;
  }
  return true;
}

std::string dword_bytes(std::int32_t n) {
  auto u = static_cast<std::uint32_t>(n);
  std::string b(4, '\0');
  for (int i = 0; i < 4; ++i) b[i] = static_cast<char>((u >> (8 * i)) & 0xff);
  return b;
}

// The value as a 32-bit integer, as the platform's integer conversion does
// it: halves to the even neighbour, TRUE as -1.
std::optional<std::int32_t> to_long(const Value& v) {
  switch (v.type()) {
    case ValueType::Bool:
      return v.as_bool() ? -1 : 0;
    case ValueType::Integer:
    case ValueType::Double:
    case ValueType::Date: {
      double r = std::nearbyint(v.number());
      if (!(r >= -2147483648.0 && r <= 2147483647.0)) return std::nullopt;
      return static_cast<std::int32_t>(r);
    }
    case ValueType::Text:
      return text::to_int32(v.text());
    default:
      return std::nullopt;
  }
}

std::string to_stored_text(const Value& v) {
  if (v.type() == ValueType::Bool) return v.as_bool() ? "True" : "False";
  return v.to_text();
}

}  // namespace

// One outermost operation's view of a root: read at the start (under the
// file lock when the operation may change it), written once at the end.
class modRegistry::Session {
 public:
  Session(modRegistry& r, std::int32_t root, bool mutating) : m_r(r) {
    if (m_r.m_depth++ > 0) return;
    m_r.m_root = root;
    // A root that cannot be read (or locked) leaves an empty view whose
    // changes are never committed: finish reports the failure.
    (void)m_r.m_store->begin(root, mutating);
  }
  ~Session() { finish(true, RegError::None); }

  // Ends the session; for the outermost one, writes the changes. A failed
  // write turns the result into a failure recorded with failure_code.
  bool finish(bool ok, RegError failure_code) {
    if (m_done) return ok;
    m_done = true;
    if (--m_r.m_depth > 0) return ok;
    const std::int32_t err = m_r.m_store->end(true);
    if (err != 0 && failure_code != RegError::None) {
      m_r.record(failure_code, err);
      return false;
    }
    return ok;
  }

 private:
  modRegistry& m_r;
  bool m_done = false;
};

modRegistry::modRegistry(const RegistryLocation& where, WarningSink warn)
    : modRegistry(host::make_registry_store(where, warn), warn) {}

modRegistry::modRegistry(std::unique_ptr<host::RegistryStore> store, WarningSink warn)
    : m_store(std::move(store)), m_warn(std::move(warn)) {}

modRegistry::~modRegistry() = default;

void modRegistry::record(RegError code, std::int32_t system_code) {
  m_last.error_code = static_cast<std::int32_t>(code);
  m_last.error_text = reg_errortext(m_last.error_code);
  if (system_code != 0) {
    m_last.system_error_code = system_code;
    m_last.system_error_text = GetSystemErrorMessageText(system_code, m_warn);
  }
}

std::int32_t modRegistry::reg_rootstatus(std::int32_t root) {
  reg_clearerror();
  if (!reg_isvalidroot(root)) {
    record(RegError::InvalidBaseKey);
    return kErrInvalidHandle;
  }
  const std::int32_t err = m_store->begin(root, false);
  (void)m_store->end(false);
  if (err != 0) record(RegError::CannotReadKey, err);
  return err;
}

// ---- the store in Windows terms ----

std::int32_t modRegistry::store_open(std::int32_t root, std::string_view key, std::string* path) {
  if (!reg_isvalidroot(root) || root != m_root) return kErrInvalidHandle;
  auto canonical = canonical_path(key);
  if (!canonical || !m_store->key_exists(*canonical)) return kErrFileNotFound;
  if (path) *path = std::move(*canonical);
  return 0;
}

std::int32_t modRegistry::store_create(std::int32_t root, std::string_view key) {
  if (!reg_isvalidroot(root) || root != m_root) return kErrInvalidHandle;
  auto canonical = canonical_path(key);
  if (!canonical) return key.starts_with("\\") ? kErrBadPath : kErrInvalidParameter;
  return m_store->create_key(*canonical);
}

std::int32_t modRegistry::store_query(std::int32_t root, std::string_view key,
                                      std::string_view name, RegistryData* out) {
  std::string path;
  if (std::int32_t err = store_open(root, key, &path)) return err;
  return m_store->query_value(path, name, out);
}

std::int32_t modRegistry::store_set(std::int32_t root, std::string_view key, std::string_view name,
                                    RegistryData data) {
  std::string path;
  if (std::int32_t err = store_open(root, key, &path)) return err;
  if (!usable_value_name(name)) return kErrInvalidParameter;
  return m_store->set_value(path, name, std::move(data));
}

std::int32_t modRegistry::store_delete(std::int32_t root, std::string_view key,
                                       std::string_view name) {
  std::string path;
  if (std::int32_t err = store_open(root, key, &path)) return err;
  return m_store->delete_value(path, name);
}

// ---- checks ----

bool modRegistry::reg_isvalidroot(std::int32_t root) {
  return root >= HKEY_CLASSES_ROOT && root < static_cast<std::int32_t>(0x80000007u);
}

bool modRegistry::reg_isvalidkeyname(std::string_view key) {
  return !text::trim(key).empty() && key.size() <= kMaxKeyPath;
}

bool modRegistry::reg_isvalidtype(const Value& value) {
  switch (value.type()) {
    case ValueType::Bool:
    case ValueType::Integer:
    case ValueType::Double:
    case ValueType::Date:
    case ValueType::Text:
      return true;
    default:
      return false;
  }
}

std::string modRegistry::reg_errortext(std::int32_t code) {
  if (code == 0) return {};
  auto index = static_cast<std::uint32_t>(code) - 0x80040001u;
  if (code < 0 && index < std::size(kErrorTexts)) return kErrorTexts[index];
  return "Undefined Error.";
}

std::string modRegistry::reg_stripnull(std::string_view text, bool from_end) {
  std::size_t at = from_end ? text.rfind('\0') : text.find('\0');
  return std::string(text.substr(0, at));
}

// ---- operations ----

bool modRegistry::reg_keyexists(std::int32_t root, std::string_view key, bool create) {
  reg_clearerror();
  Session s(*this, root, create);
  if (!reg_isvalidroot(root) || !reg_isvalidkeyname(key)) record(RegError::InvalidBaseKey);
  if (store_open(root, key, nullptr) == 0) return s.finish(true, RegError::None);
  return s.finish(create && reg_createkey(root, key), RegError::CannotCreateKey);
}

bool modRegistry::reg_createkey(std::int32_t root, std::string_view key) {
  reg_clearerror();
  Session s(*this, root, true);
  if (!reg_isvalidroot(root) || !reg_isvalidkeyname(key)) record(RegError::InvalidBaseKey);
  if (reg_keyexists(root, key, false)) return s.finish(true, RegError::CannotCreateKey);
  if (std::int32_t err = store_create(root, key)) {
    record(RegError::CannotCreateKey, err);
    return s.finish(false, RegError::CannotCreateKey);
  }
  return s.finish(true, RegError::CannotCreateKey);
}

bool modRegistry::reg_valueexists(std::int32_t root, std::string_view key, std::string_view name,
                                  bool create, std::int32_t default_type) {
  reg_clearerror();
  Session s(*this, root, create);
  if (!reg_isvalidroot(root) || !reg_isvalidkeyname(key)) record(RegError::InvalidBaseKey);
  if (std::int32_t err = store_open(root, key, nullptr)) {
    record(RegError::CannotOpenKey, err);
    return false;
  }
  if (store_query(root, key, name, nullptr) == 0) return true;
  if (!create) return false;
  Value initial = default_type == kRegDword ? Value(std::int32_t{0}) : Value("");
  return s.finish(reg_setvalue(root, key, name, initial, true), RegError::CannotUpdateValue);
}

std::int32_t modRegistry::reg_valuetype(std::int32_t root, std::string_view key,
                                        std::string_view name) {
  reg_clearerror();
  Session s(*this, root, false);
  if (!reg_isvalidroot(root) || !reg_isvalidkeyname(key)) record(RegError::InvalidBaseKey);
  if (store_open(root, key, nullptr) != 0) {
    record(RegError::CannotOpenKey);
    return -1;
  }
  RegistryData data;
  if (std::int32_t err = store_query(root, key, name, &data)) {
    record(RegError::CannotReadValue, err);
    return -1;
  }
  return data.type == kRegSz || data.type == kRegDword ? static_cast<std::int32_t>(data.type) : -1;
}

Value modRegistry::reg_getvalue(std::int32_t root, std::string_view key, std::string_view name) {
  reg_clearerror();
  Session s(*this, root, false);
  if (!reg_isvalidroot(root) || !reg_isvalidkeyname(key)) {
    record(RegError::InvalidBaseKey);
    return Null{};
  }
  if (!reg_keyexists(root, key, false)) {
    record(RegError::KeyNotFound);
    return Null{};
  }
  std::int32_t type = reg_valuetype(root, key, name);
  if (std::int32_t err = store_open(root, key, nullptr)) {
    record(RegError::CannotOpenKey, err);
    return Null{};
  }
  if (type != kRegSz && type != kRegDword) {
    record(RegError::InvalidDataType);
    return Null{};
  }
  RegistryData data;
  std::int32_t err = store_query(root, key, name, &data);
  std::size_t room = type == kRegDword ? 4 : kStringBuffer;
  if (err == 0 && data.bytes.size() > room) err = kErrMoreData;
  if (err != 0) {
    record(RegError::CannotReadValue, err);
    return Null{};
  }
  if (type == kRegSz) return reg_stripnull(data.bytes, false);
  data.bytes.resize(4, '\0');
  std::uint32_t n = 0;
  for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(data.bytes[i]);
  return static_cast<std::int32_t>(n);
}

bool modRegistry::reg_setvalue(std::int32_t root, std::string_view key, std::string_view name,
                               const Value& value, bool create) {
  reg_clearerror();
  Session s(*this, root, true);
  if (!reg_isvalidroot(root) || !reg_isvalidkeyname(key)) {
    record(RegError::InvalidBaseKey);
    return false;
  }
  if (!reg_keyexists(root, key, create)) {
    record(RegError::KeyNotFound);
    return s.finish(false, RegError::None);
  }
  if (!reg_isvalidtype(value)) {
    record(RegError::InvalidDataType);
    return s.finish(false, RegError::None);
  }
  std::int32_t type = value.is_text() ? kRegSz : kRegDword;
  if (reg_valueexists(root, key, name, false, kRegSz)) {
    type = reg_valuetype(root, key, name);
    if (type == kRegSz && !value.is_text()) {
      record(RegError::TypeMismatch);
      return s.finish(false, RegError::None);
    }
  }
  RegistryData data{kRegSz, to_stored_text(value)};
  if (type == kRegDword) {
    auto n = to_long(value);
    if (!n) {
      record(RegError::TypeMismatch);
      return s.finish(false, RegError::None);
    }
    data = {kRegDword, dword_bytes(*n)};
  }
  if (std::int32_t err = store_set(root, key, name, std::move(data))) {
    record(err == kErrFileNotFound ? RegError::CannotOpenKey : RegError::CannotUpdateValue, err);
    return s.finish(false, RegError::None);
  }
  return s.finish(true, RegError::CannotUpdateValue);
}

bool modRegistry::reg_writevalue(std::int32_t root, std::string_view key, std::string_view name,
                                 const Value& value, bool create) {
  reg_clearerror();
  Session s(*this, root, true);
  if (!reg_isvalidroot(root) || !reg_isvalidkeyname(key)) {
    record(RegError::InvalidBaseKey);
    return false;
  }
  if (!reg_isvalidtype(value)) {
    record(RegError::InvalidDataType);
    return false;
  }
  if (!reg_keyexists(root, key, true)) {
    record(RegError::KeyNotFound);
    return s.finish(false, RegError::None);
  }
  if (!reg_valueexists(root, key, name, create, value.is_text() ? kRegSz : kRegDword)) {
    record(RegError::ValueNotFound);
    return s.finish(false, RegError::None);
  }
  reg_deletevalue(root, key, name);
  bool ok = reg_setvalue(root, key, name, value, true);
  return s.finish(ok, RegError::CannotUpdateValue);
}

bool modRegistry::reg_deletevalue(std::int32_t root, std::string_view key, std::string_view name) {
  reg_clearerror();
  Session s(*this, root, true);
  if (!reg_isvalidroot(root) || !reg_isvalidkeyname(key)) {
    record(RegError::InvalidBaseKey);
    return false;
  }
  if (!reg_keyexists(root, key, false)) {
    record(RegError::KeyNotFound);
    return false;
  }
  if (store_open(root, key, nullptr) != 0) return false;
  if (store_query(root, key, name, nullptr) == 0) {
    if (std::int32_t err = store_delete(root, key, name)) {
      record(RegError::CannotDeleteValue, err);
      return s.finish(false, RegError::None);
    }
  }
  return s.finish(true, RegError::CannotDeleteValue);
}

}  // namespace quillo::addin
