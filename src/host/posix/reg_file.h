// The file-backed registry store. Each predefined root key lives in one text
// file in the .reg format regedit reads and writes, so a user can inspect and
// edit it by hand:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\SOFTWARE\Brenmoor\Tarnvale]
//   "proxy_server"="proxy.example:8080"
//   "trading_updatefrq"=dword:0000000a
//
// Strings that cannot be written between quotes (control characters, NUL)
// are written as hex(1): their UTF-8 bytes; other types as hex(N):.
//
// RegistryTree is the in-memory form (no I/O). RegistryFile reads a root's
// file and commits a changed tree: under an exclusive flock on a lock file
// beside it, to a temporary file in the same folder, fsync, rename, so that
// readers only ever see a whole file and concurrent quillo processes do not
// lose each other's values (callers re-read under the lock before changing).
// A file that exists but cannot be read is never written over. The
// RegistryStore of host/registry_store.h is built on these (reg_file.cpp).
// Not thread-safe by itself; one RegistryFile per thread or process.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "host/file_system.h"
#include "host/registry_store.h"

namespace quillo::host {

// Orders names as the registry compares them: ASCII letters folded.
struct FoldLess {
  bool operator()(std::string_view a, std::string_view b) const;
};

struct RegistryKey {
  std::map<std::string, RegistryData, FoldLess> values;
};

// All keys of one root, by full path below the root ("" is the root itself;
// segments joined by single backslashes). A key's parents exist implicitly.
struct RegistryTree {
  std::map<std::string, RegistryKey, FoldLess> keys;

  bool key_exists(std::string_view path) const;
  RegistryKey* find(std::string_view path);
  // Creates the key and its parents; returns the key.
  RegistryKey& create(std::string_view path);
};

// The .reg text of a tree; root_name heads every section.
std::string format_reg(const RegistryTree& tree, std::string_view root_name);
// Reads .reg text; an error message when the text is not a store of that root.
struct ParseResult {
  RegistryTree tree;
  std::optional<std::string> error;  // "line N: what is wrong"
};
ParseResult parse_reg(std::string_view text, std::string_view root_name);

class RegistryFile {
 public:
  // owner_only: the file and its folder are readable by their owner only.
  RegistryFile(std::filesystem::path file, std::string root_name, bool owner_only,
               WarningSink warn);
  RegistryFile(const RegistryFile&) = delete;
  RegistryFile& operator=(const RegistryFile&) = delete;
  ~RegistryFile();

  const std::filesystem::path& path() const { return m_file; }

  // Reads the file into tree: 0, or the errno that kept a file that exists
  // from being read (tree then empty; commit refuses until a load reads it).
  // A missing file is an empty tree; a damaged one gives an empty tree and
  // a warning on the sink, once until the file reads well again (the file
  // itself is kept as it is).
  int load(RegistryTree& tree);
  // Takes the exclusive lock (creating the folder when needed) and reads the
  // file; 0 or the errno that kept the lock from being taken or the file
  // from being read.
  int lock_and_load(RegistryTree& tree);
  // Writes the tree atomically; requires the lock. 0 or an errno. A damaged
  // file being replaced is first kept beside it as <name>.bad.
  int commit(const RegistryTree& tree);
  void unlock();

  // Test hook, called after the temporary file is written and before the
  // rename puts it in place.
  std::function<void()> before_rename;

 private:
  // Writes go through the platform's file system: one atomic write for
  // every file quillo replaces (it also removes dead writers' leftovers).
  std::unique_ptr<FileSystem> m_files = make_platform_file_system();
  std::filesystem::path m_file;
  std::string m_root_name;
  bool m_owner_only;
  WarningSink m_warn;
  int m_lock_fd = -1;
  bool m_damaged = false;  // the last load found a damaged file
  int m_unreadable = 0;    // the errno of the last load of a file that exists
  bool m_warned = false;   // the damage was reported
};

}  // namespace quillo::host
