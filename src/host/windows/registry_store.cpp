// The registry store of Windows: the system registry itself, through the
// ANSI API (the add-in's texts are the system's code page there, as the
// host's own settings are).
//
// A view keeps its changes in memory, read through by the view's own
// queries, and writes them on end(true); a write view holds a named mutex
// per root from begin to end, so quillo's writers in every process take
// turns. Should a write fail half way, the values and keys written before
// it are put back as they were.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/registry_store.h"

namespace quillo::host {
namespace {

constexpr std::int32_t kFirstRoot = static_cast<std::int32_t>(0x80000000u);
constexpr std::int32_t kLastRoot = static_cast<std::int32_t>(0x80000006u);
constexpr std::int32_t kErrLockViolation = 33;
// How long a writer waits for another to finish before giving up.
constexpr DWORD kLockWaitMs = 10000;

char fold(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return fold(x) == fold(y); });
}

bool fold_less(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(fold(x)) < static_cast<unsigned char>(fold(y));
  });
}

// The predefined key: the Windows headers sign-extend the 32-bit constant.
HKEY root_key(std::int32_t root) {
  return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG_PTR>(root)));
}

// Closes a key on every path out of a scope.
struct Key {
  HKEY h = nullptr;
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (h) RegCloseKey(h);
  }
};

std::int32_t open_key(std::int32_t root, std::string_view path, REGSAM access, Key* key) {
  return RegOpenKeyExA(root_key(root), std::string(path).c_str(), 0, access, &key->h);
}

// The value as stored, or the code that kept it from being read.
std::int32_t read_value(HKEY key, std::string_view name, RegistryData* out) {
  const std::string n(name);
  std::string buf(256, '\0');
  DWORD type = 0;
  while (true) {
    DWORD size = static_cast<DWORD>(buf.size());
    const LONG rc = RegQueryValueExA(key, n.c_str(), nullptr, &type,
                                     reinterpret_cast<BYTE*>(buf.data()), &size);
    if (rc == ERROR_MORE_DATA) {
      buf.resize(std::max<std::size_t>(size, buf.size() * 2));
      continue;
    }
    if (rc != ERROR_SUCCESS) return rc;
    buf.resize(size);
    break;
  }
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    // Stored with its terminator (or several, or none when another program
    // wrote it carelessly): the text ends at the first one.
    const std::size_t nul = buf.find('\0');
    if (nul != std::string::npos) buf.resize(nul);
  }
  if (out) *out = RegistryData{type, std::move(buf)};
  return 0;
}

std::int32_t write_value(HKEY key, std::string_view name, const RegistryData& data) {
  std::string bytes = data.bytes;
  if (data.type == REG_SZ || data.type == REG_EXPAND_SZ) bytes.push_back('\0');
  return RegSetValueExA(key, std::string(name).c_str(), 0, data.type,
                        reinterpret_cast<const BYTE*>(bytes.data()),
                        static_cast<DWORD>(bytes.size()));
}

class WindowsRegistryStore final : public RegistryStore {
 public:
  ~WindowsRegistryStore() override {
    end(false);
    for (HANDLE m : m_mutexes) {
      if (m) CloseHandle(m);
    }
  }

  std::int32_t begin(std::int32_t root, bool write) override {
    end(false);
    if (root < kFirstRoot || root > kLastRoot) return kRegErrInvalidHandle;
    m_root = root;
    m_open = true;
    m_write = write;
    if (!write) return 0;
    HANDLE& mutex = m_mutexes[root - kFirstRoot];
    if (!mutex) {
      char name[64];
      std::snprintf(name, sizeof name, "quillo.registry.%08X", static_cast<unsigned>(root));
      mutex = CreateMutexA(nullptr, FALSE, name);
    }
    // An abandoned mutex (a writer that died) is ours now; the registry
    // itself has no half-written state to clean up.
    const DWORD wait = mutex ? WaitForSingleObject(mutex, kLockWaitMs) : WAIT_FAILED;
    m_locked = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    if (!m_locked) {
      m_open = false;  // an empty view: nothing is read or written
      return kErrLockViolation;
    }
    return 0;
  }

  std::int32_t end(bool commit) override {
    if (!m_open) return 0;
    std::int32_t result = 0;
    if (commit && !m_changes.empty()) {
      if (!m_write) {
        result = kRegErrAccessDenied;
      } else if (m_error != 0) {
        result = m_error;
      } else if (m_injected != 0) {
        result = std::exchange(m_injected, 0);
      } else {
        result = apply();
      }
    }
    if (m_locked) ReleaseMutex(m_mutexes[m_root - kFirstRoot]);
    m_locked = false;
    m_open = false;
    m_error = 0;
    m_changes.clear();
    return result;
  }

  bool key_exists(std::string_view path) const override {
    if (!m_open) return false;
    if (path.empty()) return true;
    for (const Change& c : m_changes) {
      if (c.kind == Change::CreateKey && is_within(c.path, path)) return true;
    }
    Key key;
    return open_key(m_root, path, KEY_READ, &key) == 0;
  }

  std::int32_t create_key(std::string_view path) override {
    if (!m_open) return kRegErrInvalidHandle;
    if (!key_exists(path)) m_changes.push_back({Change::CreateKey, std::string(path), {}, {}});
    return 0;
  }

  std::int32_t query_value(std::string_view path, std::string_view name,
                           RegistryData* out) const override {
    if (!m_open) return kRegErrFileNotFound;
    for (auto it = m_changes.rbegin(); it != m_changes.rend(); ++it) {
      if (it->kind == Change::CreateKey || !same_name(it->path, path) ||
          !same_name(it->name, name)) {
        continue;
      }
      if (it->kind == Change::DeleteValue) return kRegErrFileNotFound;
      if (out) *out = *it->data;
      return 0;
    }
    Key key;
    const std::int32_t rc = open_key(m_root, path, KEY_QUERY_VALUE, &key);
    if (rc != 0) return rc;
    return read_value(key.h, name, out);
  }

  std::int32_t set_value(std::string_view path, std::string_view name, RegistryData data) override {
    if (!key_exists(path)) return kRegErrFileNotFound;
    m_changes.push_back({Change::SetValue, std::string(path), std::string(name), std::move(data)});
    return 0;
  }

  std::int32_t delete_value(std::string_view path, std::string_view name) override {
    if (query_value(path, name, nullptr) != 0) return kRegErrFileNotFound;
    m_changes.push_back({Change::DeleteValue, std::string(path), std::string(name), {}});
    return 0;
  }

  std::vector<std::string> subkeys(std::string_view path) const override {
    std::vector<std::string> out;
    if (!m_open) return out;
    Key key;
    if (open_key(m_root, path, KEY_READ, &key) == 0) {
      char name[256];
      for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key.h, i, name, &size, nullptr, nullptr, nullptr, nullptr) != 0) break;
        out.emplace_back(name, size);
      }
    }
    const std::string prefix = path.empty() ? std::string() : std::string(path) + '\\';
    for (const Change& c : m_changes) {
      if (c.kind != Change::CreateKey || c.path.size() <= prefix.size() ||
          !same_name(std::string_view(c.path).substr(0, prefix.size()), prefix)) {
        continue;
      }
      const std::string rest = c.path.substr(prefix.size());
      out.push_back(rest.substr(0, rest.find('\\')));
    }
    return sorted_unique(std::move(out));
  }

  std::vector<std::string> value_names(std::string_view path) const override {
    std::vector<std::string> out;
    if (!m_open) return out;
    Key key;
    if (open_key(m_root, path, KEY_QUERY_VALUE, &key) == 0) {
      std::string name(16384, '\0');  // the longest value name the registry allows
      for (DWORD i = 0;; ++i) {
        DWORD size = static_cast<DWORD>(name.size());
        if (RegEnumValueA(key.h, i, name.data(), &size, nullptr, nullptr, nullptr, nullptr) != 0) {
          break;
        }
        out.emplace_back(name.data(), size);
      }
    }
    for (const Change& c : m_changes) {
      if (c.kind == Change::SetValue && same_name(c.path, path)) out.push_back(c.name);
    }
    out = sorted_unique(std::move(out));
    std::erase_if(out, [&](const std::string& n) { return query_value(path, n, nullptr) != 0; });
    return out;
  }

  void fail_next_write(std::int32_t code) override { m_injected = code; }

 private:
  struct Change {
    enum Kind { CreateKey, SetValue, DeleteValue } kind;
    std::string path;
    std::string name;
    std::optional<RegistryData> data;
  };
  // How to take one applied change back.
  struct Undo {
    std::string path;
    std::string name;
    bool key_created = false;               // delete the key
    std::optional<RegistryData> old_value;  // else: restore it, or delete the value when unset
  };

  // True when key is path itself or lies below it.
  static bool is_within(std::string_view key, std::string_view path) {
    return same_name(key.substr(0, path.size()), path) &&
           (key.size() == path.size() || key[path.size()] == '\\');
  }

  static std::vector<std::string> sorted_unique(std::vector<std::string> names) {
    std::sort(names.begin(), names.end(), fold_less);
    names.erase(
        std::unique(names.begin(), names.end(),
                    [](const std::string& a, const std::string& b) { return same_name(a, b); }),
        names.end());
    return names;
  }

  std::int32_t apply() {
    std::vector<Undo> undo;
    std::int32_t rc = 0;
    for (const Change& c : m_changes) {
      rc = apply_one(c, &undo);
      if (rc != 0) break;
    }
    if (rc != 0) {
      for (auto it = undo.rbegin(); it != undo.rend(); ++it) take_back(*it);
    }
    return rc;
  }

  std::int32_t apply_one(const Change& c, std::vector<Undo>* undo) {
    if (c.kind == Change::CreateKey) {
      // Each missing segment is made on its own, so that taking a failed
      // commit back removes exactly the keys it made.
      std::size_t end = 0;
      while (end != std::string::npos) {
        end = c.path.find('\\', end + 1);
        const std::string part = c.path.substr(0, end);
        Key key;
        DWORD disposition = 0;
        const LONG rc = RegCreateKeyExA(root_key(m_root), part.c_str(), 0, nullptr, 0, KEY_WRITE,
                                        nullptr, &key.h, &disposition);
        if (rc != 0) return rc;
        if (disposition == REG_CREATED_NEW_KEY) undo->push_back({part, {}, true, {}});
      }
      return 0;
    }
    Key key;
    std::int32_t rc = open_key(m_root, c.path, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (rc != 0) return rc;
    Undo u{c.path, c.name, false, RegistryData{}};
    if (read_value(key.h, c.name, &*u.old_value) != 0) u.old_value.reset();
    if (c.kind == Change::SetValue) {
      rc = write_value(key.h, c.name, *c.data);
    } else {
      rc = RegDeleteValueA(key.h, c.name.c_str());
      if (rc == ERROR_FILE_NOT_FOUND) rc = 0;  // gone already: what was asked for
    }
    if (rc == 0) undo->push_back(std::move(u));
    return rc;
  }

  void take_back(const Undo& u) {
    if (u.key_created) {
      RegDeleteKeyA(root_key(m_root), u.path.c_str());
      return;
    }
    Key key;
    if (open_key(m_root, u.path, KEY_SET_VALUE, &key) != 0) return;
    if (u.old_value) {
      write_value(key.h, u.name, *u.old_value);
    } else {
      RegDeleteValueA(key.h, u.name.c_str());
    }
  }

  HANDLE m_mutexes[kLastRoot - kFirstRoot + 1] = {};
  std::int32_t m_root = 0;
  bool m_open = false;
  bool m_write = false;
  bool m_locked = false;
  std::int32_t m_error = 0;
  std::int32_t m_injected = 0;
  std::vector<Change> m_changes;
};

}  // namespace

std::vector<std::filesystem::path> RegistryLocation::settings_files() const {
  return {};  // the system's registry: no files to watch
}

std::unique_ptr<RegistryStore> make_registry_store(const RegistryLocation&, WarningSink) {
  return std::make_unique<WindowsRegistryStore>();
}

}  // namespace quillo::host
