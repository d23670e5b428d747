// The registry store of POSIX systems: each root in its own .reg file
// (reg_file.h), HKEY_LOCAL_MACHINE in the machine folder and readable by
// all, every other root in the user's folder and readable by its owner
// only (the settings may hold a proxy password).
#include <map>
#include <memory>
#include <utility>

#include "host/posix/reg_file.h"
#include "host/registry_store.h"

namespace quillo::host {
namespace {

constexpr std::int32_t kFirstRoot = static_cast<std::int32_t>(0x80000000u);
constexpr std::int32_t kLocalMachine = static_cast<std::int32_t>(0x80000002u);

const char* const kRootNames[] = {
    "HKEY_CLASSES_ROOT",     "HKEY_CURRENT_USER",   "HKEY_LOCAL_MACHINE", "HKEY_USERS",
    "HKEY_PERFORMANCE_DATA", "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA",
};

bool valid_root(std::int32_t root) {
  return root >= kFirstRoot && root < static_cast<std::int32_t>(0x80000007u);
}

class RegFileStore final : public RegistryStore {
 public:
  RegFileStore(RegistryLocation where, WarningSink warn)
      : m_where(std::move(where)), m_warn(std::move(warn)) {}

  std::int32_t begin(std::int32_t root, bool write) override {
    m_tree = {};
    m_dirty = false;
    m_file = file_for(root);
    m_write = write;
    m_error = 0;
    if (m_file == nullptr) return m_error = kRegErrInvalidHandle;
    const int err = write ? m_file->lock_and_load(m_tree) : m_file->load(m_tree);
    m_error = windows_error_from_errno(err);
    return m_error;
  }

  std::int32_t end(bool commit) override {
    if (m_file == nullptr) return 0;
    std::int32_t result = 0;
    if (commit && m_dirty) {
      if (!m_write) {
        result = kRegErrAccessDenied;
      } else if (m_error != 0) {
        result = m_error;
      } else if (m_injected != 0) {
        result = std::exchange(m_injected, 0);
      } else {
        result = windows_error_from_errno(m_file->commit(m_tree));
      }
    }
    if (m_write) m_file->unlock();
    m_file = nullptr;
    m_dirty = false;
    return result;
  }

  bool key_exists(std::string_view path) const override {
    return m_file != nullptr && m_tree.key_exists(path);
  }

  std::int32_t create_key(std::string_view path) override {
    if (m_file == nullptr) return kRegErrInvalidHandle;
    if (!m_tree.key_exists(path)) {
      m_tree.create(path);
      m_dirty = true;
    }
    return 0;
  }

  std::int32_t query_value(std::string_view path, std::string_view name,
                           RegistryData* out) const override {
    const RegistryKey* key = find(path);
    if (key == nullptr) return kRegErrFileNotFound;
    const auto it = key->values.find(std::string(name));
    if (it == key->values.end()) return kRegErrFileNotFound;
    if (out) *out = it->second;
    return 0;
  }

  std::int32_t set_value(std::string_view path, std::string_view name, RegistryData data) override {
    RegistryKey* key = m_file ? m_tree.find(path) : nullptr;
    if (key == nullptr) return kRegErrFileNotFound;
    key->values[std::string(name)] = std::move(data);
    m_dirty = true;
    return 0;
  }

  std::int32_t delete_value(std::string_view path, std::string_view name) override {
    RegistryKey* key = m_file ? m_tree.find(path) : nullptr;
    if (key == nullptr || key->values.erase(std::string(name)) == 0) return kRegErrFileNotFound;
    m_dirty = true;
    return 0;
  }

  std::vector<std::string> subkeys(std::string_view path) const override {
    std::vector<std::string> out;
    if (m_file == nullptr) return out;
    const std::string prefix = path.empty() ? std::string() : std::string(path) + '\\';
    for (const auto& [full, key] : m_tree.keys) {
      if (full.size() <= prefix.size() || FoldLess{}(full.substr(0, prefix.size()), prefix) ||
          FoldLess{}(prefix, full.substr(0, prefix.size()))) {
        continue;
      }
      // Keys deeper down stand for their first segment (parents exist implicitly).
      std::string name = full.substr(prefix.size());
      name = name.substr(0, name.find('\\'));
      if (out.empty() || FoldLess{}(out.back(), name) || FoldLess{}(name, out.back())) {
        out.push_back(std::move(name));
      }
    }
    return out;
  }

  std::vector<std::string> value_names(std::string_view path) const override {
    std::vector<std::string> out;
    if (const RegistryKey* key = find(path)) {
      for (const auto& [name, data] : key->values) out.push_back(name);
    }
    return out;
  }

  void fail_next_write(std::int32_t code) override { m_injected = code; }

 private:
  const RegistryKey* find(std::string_view path) const {
    if (m_file == nullptr) return nullptr;
    const auto it = m_tree.keys.find(std::string(path));
    if (it != m_tree.keys.end()) return &it->second;
    static const RegistryKey kEmpty;
    return m_tree.key_exists(path) ? &kEmpty : nullptr;
  }

  RegistryFile* file_for(std::int32_t root) {
    if (!valid_root(root)) return nullptr;
    auto& slot = m_files[root];
    if (!slot) {
      const char* name = kRootNames[root - kFirstRoot];
      const bool machine = root == kLocalMachine;
      const auto& dir = machine ? m_where.machine_dir : m_where.user_dir;
      slot = std::make_unique<RegistryFile>(dir / (std::string(name) + ".reg"), name, !machine,
                                            m_warn);
    }
    return slot.get();
  }

  RegistryLocation m_where;
  WarningSink m_warn;
  std::map<std::int32_t, std::unique_ptr<RegistryFile>> m_files;
  // The open view.
  RegistryFile* m_file = nullptr;
  RegistryTree m_tree;
  bool m_write = false;
  bool m_dirty = false;
  std::int32_t m_error = 0;
  std::int32_t m_injected = 0;
};

}  // namespace

std::vector<std::filesystem::path> RegistryLocation::settings_files() const {
  constexpr std::int32_t kCurrentUser = static_cast<std::int32_t>(0x80000001u);
  return {user_dir / (std::string(kRootNames[kCurrentUser - kFirstRoot]) + ".reg"),
          machine_dir / (std::string(kRootNames[kLocalMachine - kFirstRoot]) + ".reg")};
}

std::unique_ptr<RegistryStore> make_registry_store(const RegistryLocation& where,
                                                   WarningSink warn) {
  return std::make_unique<RegFileStore>(where, std::move(warn));
}

}  // namespace quillo::host
