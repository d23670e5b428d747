// The parts of the registry seam every platform shares.
#include "host/registry_store.h"

#include <cerrno>
#include <cstdlib>

namespace quillo::host {

RegistryLocation RegistryLocation::from_environment() {
  auto env = [](const char* name) -> std::string {
    const char* v = std::getenv(name);
    return v ? v : "";
  };
  RegistryLocation where;
  if (!env("QUILLO_HKCU_DIR").empty()) {
    where.user_dir = env("QUILLO_HKCU_DIR");
  } else if (!env("XDG_CONFIG_HOME").empty()) {
    where.user_dir = std::filesystem::path(env("XDG_CONFIG_HOME")) / "quillo";
  } else {
    where.user_dir = std::filesystem::path(env("HOME")) / ".config" / "quillo";
  }
  where.machine_dir = env("QUILLO_HKLM_DIR").empty() ? "/etc/quillo" : env("QUILLO_HKLM_DIR");
  return where;
}

std::int32_t windows_error_from_errno(int err) {
  switch (err) {
    case 0:
      return 0;
    case ENOENT:
    case ENOTDIR:
      return 2;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return 5;
    case ENOMEM:
      return 8;
    case ENOLCK:
      return 33;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return 112;
    default:
      return 1013;
  }
}

}  // namespace quillo::host
