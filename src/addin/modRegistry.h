// modRegistry: keys and named values below the predefined root keys, kept in
// the platform's registry store (host/registry_store.h). The configuration
// store (cls_accmanager) is its only user.
//
// Every public operation first clears the last-failure record and fills it
// when something fails; none raises. Operations that change the store work on
// a fresh read taken under the root's file lock and write the file once, at
// the end of the outermost operation, so a compound operation (replace a
// value) is seen by other processes whole or not at all.
//
// Event-loop thread only (one object per add-in state). Damaged store files
// read as empty and are reported on the warning sink; a store file that
// exists but cannot be read makes every change fail (reg_rootstatus tells).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "common/value.h"
#include "host/registry_store.h"

namespace quillo::addin {

inline constexpr std::int32_t HKEY_CLASSES_ROOT = static_cast<std::int32_t>(0x80000000u);
inline constexpr std::int32_t HKEY_CURRENT_USER = static_cast<std::int32_t>(0x80000001u);
inline constexpr std::int32_t HKEY_LOCAL_MACHINE = static_cast<std::int32_t>(0x80000002u);

// Module failure codes, as the last-failure record holds them.
enum class RegError : std::int32_t {
  None = 0,
  InvalidBaseKey = static_cast<std::int32_t>(0x80040001u),
  InvalidDataType = static_cast<std::int32_t>(0x80040002u),
  KeyNotFound = static_cast<std::int32_t>(0x80040003u),
  ValueNotFound = static_cast<std::int32_t>(0x80040004u),
  TypeMismatch = static_cast<std::int32_t>(0x80040005u),
  EntryLocked = static_cast<std::int32_t>(0x80040006u),
  InvalidKey = static_cast<std::int32_t>(0x80040007u),
  CannotOpenKey = static_cast<std::int32_t>(0x80040008u),
  CannotReadKey = static_cast<std::int32_t>(0x80040009u),
  CannotCreateKey = static_cast<std::int32_t>(0x8004000Au),
  CannotReadValue = static_cast<std::int32_t>(0x8004000Bu),
  CannotUpdateValue = static_cast<std::int32_t>(0x8004000Cu),
  CannotCreateValue = static_cast<std::int32_t>(0x8004000Du),
  CannotDeleteKey = static_cast<std::int32_t>(0x8004000Eu),
  CannotDeleteValue = static_cast<std::int32_t>(0x8004000Fu),
};

struct RegLastError {
  std::int32_t error_code = 0;
  std::string error_text;
  std::int32_t system_error_code = 0;  // Windows-numbered (see modGetSystemErrorMessageText.h)
  std::string system_error_text;
};

using host::kRegBinary;
using host::kRegDword;
using host::kRegSz;
using host::RegistryData;
using host::RegistryLocation;
using host::WarningSink;

class modRegistry {
 public:
  // The platform's store, keeping its roots at where.
  modRegistry(const RegistryLocation& where, WarningSink warn);
  modRegistry(std::unique_ptr<host::RegistryStore> store, WarningSink warn);
  ~modRegistry();
  modRegistry(const modRegistry&) = delete;
  modRegistry& operator=(const modRegistry&) = delete;

  bool reg_keyexists(std::int32_t root, std::string_view key, bool create);
  bool reg_valueexists(std::int32_t root, std::string_view key, std::string_view name, bool create,
                       std::int32_t default_type);
  // 1 (string), 4 (number) or -1.
  std::int32_t reg_valuetype(std::int32_t root, std::string_view key, std::string_view name);
  // A text, a 32-bit integer, or Null on failure.
  Value reg_getvalue(std::int32_t root, std::string_view key, std::string_view name);
  bool reg_setvalue(std::int32_t root, std::string_view key, std::string_view name,
                    const Value& value, bool create);
  bool reg_writevalue(std::int32_t root, std::string_view key, std::string_view name,
                      const Value& value, bool create);
  bool reg_deletevalue(std::int32_t root, std::string_view key, std::string_view name);
  bool reg_createkey(std::int32_t root, std::string_view key);

  static std::string reg_stripnull(std::string_view text, bool from_end);
  static bool reg_isvalidroot(std::int32_t root);
  static bool reg_isvalidkeyname(std::string_view key);
  static bool reg_isvalidtype(const Value& value);
  void reg_clearerror() { m_last = {}; }
  static std::string reg_errortext(std::int32_t code);

  const RegLastError& last_error() const { return m_last; }
  // 0 when the root can be read (a missing store reads as empty), else the
  // Windows error code that keeps it from being read; recorded as
  // "Unable To Read Key." with the system's text.
  std::int32_t reg_rootstatus(std::int32_t root);
  // Where warnings about the store go (may be empty).
  const WarningSink& warnings() const { return m_warn; }
  // Error injection for tests: the next write fails with this errno.
  void fail_next_write(int err) { m_store->fail_next_write(host::windows_error_from_errno(err)); }

 private:
  class Session;
  friend class Session;

  void record(RegError code, std::int32_t system_code = 0);
  // The store itself, in Windows terms: 0 or a Windows error code.
  std::int32_t store_open(std::int32_t root, std::string_view key, std::string* path);
  std::int32_t store_create(std::int32_t root, std::string_view key);
  std::int32_t store_query(std::int32_t root, std::string_view key, std::string_view name,
                           RegistryData* out);
  std::int32_t store_set(std::int32_t root, std::string_view key, std::string_view name,
                         RegistryData data);
  std::int32_t store_delete(std::int32_t root, std::string_view key, std::string_view name);

  std::unique_ptr<host::RegistryStore> m_store;
  WarningSink m_warn;
  RegLastError m_last;

  // The open session: the store's view of one root, opened once per
  // outermost call.
  int m_depth = 0;
  std::int32_t m_root = 0;
};

}  // namespace quillo::addin
