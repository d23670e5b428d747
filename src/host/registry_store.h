// RegistryStore: the platform's registry as the add-in's registry module
// (modRegistry) uses it - keys below the predefined roots, named string and
// 32-bit values - in Windows terms: results are 0 or a Windows error code
// (2 not found, 5 access denied, ...).
//
// One root is seen at a time, through a view opened with begin and closed
// with end. A write view holds the root's lock against every other writer,
// in this process or another, from begin to end, and is read after the lock
// is taken, so a read-modify-write between them never loses another
// writer's value; end(true) makes the changes durable at once (a reader
// sees the root before or after them, never half of them). Key paths are
// given in canonical form: segments joined by single backslashes, "" for
// the root itself; names compare without regard to ASCII letter case.
//
// The POSIX implementation (host/posix/reg_file.h) keeps each root in a .reg
// text file; the Windows one (host/windows/registry_store.cpp) is the system
// registry, and ignores RegistryLocation. make_registry_store makes the one
// the build chose. Both keep the cases of registry_store_contract.h. Not
// thread-safe: one store per thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::host {

// Receives warnings about damaged store files; may be empty.
using WarningSink = std::function<void(std::string_view)>;

inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;

// Windows error codes the store answers.
inline constexpr std::int32_t kRegErrFileNotFound = 2;
inline constexpr std::int32_t kRegErrAccessDenied = 5;
inline constexpr std::int32_t kRegErrInvalidHandle = 6;
inline constexpr std::int32_t kRegErrInvalidParameter = 87;

struct RegistryData {
  std::uint32_t type = kRegSz;
  std::string bytes;  // REG_SZ: the text without terminator; REG_DWORD: 4 bytes little-endian
  bool operator==(const RegistryData&) const = default;
};

// Where the roots are kept. HKEY_CURRENT_USER and the roots other than
// HKEY_LOCAL_MACHINE are per user; HKEY_LOCAL_MACHINE is machine-wide.
struct RegistryLocation {
  std::filesystem::path
      user_dir;  // $QUILLO_HKCU_DIR, else $XDG_CONFIG_HOME/quillo, else ~/.config/quillo
  std::filesystem::path machine_dir;  // $QUILLO_HKLM_DIR, else /etc/quillo
  static RegistryLocation from_environment();
  // The files that hold the current user's and the machine's roots, where
  // the store keeps them in files (empty where the system's registry is
  // used): a program that runs for long watches them for settings changed
  // meanwhile.
  std::vector<std::filesystem::path> settings_files() const;
};

class RegistryStore {
 public:
  virtual ~RegistryStore() = default;

  // Opens a view of root (0x80000000 to 0x80000006). 0, or the code that
  // kept the root from being read (or, for a write view, locked); the view
  // is then empty, and a write view commits nothing. A root whose file
  // exists but cannot be read answers the code and is never written over.
  virtual std::int32_t begin(std::int32_t root, bool write) = 0;
  // Closes the view; with commit, writes its changes (if any) first. 0 or
  // the code of the failed write (the root is then as it was).
  virtual std::int32_t end(bool commit) = 0;

  virtual bool key_exists(std::string_view path) const = 0;
  // Creates the key and its parents; 0 when it exists afterwards.
  virtual std::int32_t create_key(std::string_view path) = 0;
  // 0 and the data, or kRegErrFileNotFound for a missing key or value.
  virtual std::int32_t query_value(std::string_view path, std::string_view name,
                                   RegistryData* out) const = 0;
  virtual std::int32_t set_value(std::string_view path, std::string_view name,
                                 RegistryData data) = 0;
  virtual std::int32_t delete_value(std::string_view path, std::string_view name) = 0;
  // The names of a key's direct subkeys and of its values, in name order.
  virtual std::vector<std::string> subkeys(std::string_view path) const = 0;
  virtual std::vector<std::string> value_names(std::string_view path) const = 0;

  // Error injection for tests: the next commit fails with this Windows code.
  virtual void fail_next_write(std::int32_t code) = 0;
};

// The store of this platform, keeping its roots at where.
std::unique_ptr<RegistryStore> make_registry_store(const RegistryLocation& where, WarningSink warn);

// The Windows-numbered code for a C library errno value.
std::int32_t windows_error_from_errno(int err);

}  // namespace quillo::host
