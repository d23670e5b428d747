// The FileSystem of Windows (see host/file_system.h): the new contents go
// to a temporary file beside the target, FlushFileBuffers, then
// MoveFileExA with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH puts
// it in place in one step. What differs from POSIX: permission bits do not
// exist (WriteOptions::permissions is ignored; the new file gets the
// folder's inherited access rights), a target with several hard links is
// replaced rather than updated in place, and a temporary file left by a
// writer that died is not cleaned up (its name says where it came from).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "host/file_system.h"
#include "host/system_error_text.h"

namespace quillo::host {

namespace {

constexpr std::string_view kTempPrefix = ".quillo-save-";

Status failed_windows(const std::string& what, DWORD err = GetLastError()) {
  return Status::failed(what + ": " + windows_error_text(static_cast<std::int32_t>(err)))
      .with_system_error(static_cast<std::int32_t>(err));
}

// Closes a handle on every path out of a scope.
struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  explicit Handle(HANDLE handle) : h(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  bool ok() const { return h != INVALID_HANDLE_VALUE; }
};

std::string folder_of(const std::string& path) {
  const std::size_t sep = path.find_last_of("\\/");
  if (sep == std::string::npos) return ".";
  return path.substr(0, sep == 0 || (sep == 2 && path[1] == ':') ? sep + 1 : sep);
}

// Refuses a target that exists but is not a plain file: a folder, or a
// device (NUL, CON, COM1, ...), whose "contents" a rename would destroy or
// which cannot be renamed over at all.
Status check_target(const std::string& path) {
  if (path.empty()) return Status::failed("no file name given");
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND) return {};  // a new file
    return failed_windows(path + ": cannot write", err);
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    return Status::failed(path + ": not written, it is a folder, not a regular file");
  }
  if (attributes & FILE_ATTRIBUTE_DEVICE) {
    return Status::failed(path + ": not written, it is a device, not a regular file");
  }
  return {};
}

bool write_all(HANDLE h, std::string_view data) {
  while (!data.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(h, data.data(), chunk, &written, nullptr) || written == 0) return false;
    data.remove_prefix(written);
  }
  return true;
}

class WindowsReplacement final : public FileReplacement {
 public:
  WindowsReplacement(std::string target, std::string tmp)
      : m_target(std::move(target)), m_tmp(std::move(tmp)) {}
  ~WindowsReplacement() override {
    if (!m_done) DeleteFileA(m_tmp.c_str());
  }

  const std::string& temporary_path() const override { return m_tmp; }

  Status commit() override {
    if (m_done) return Status::failed(m_target + ": the new file was already put in place");
    m_done = true;
    Status st = finish();
    if (!st.ok()) DeleteFileA(m_tmp.c_str());
    return st;
  }

 private:
  Status finish() {
    {
      Handle f(CreateFileA(m_tmp.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!f.ok()) return failed_windows(m_target + ": cannot write");
      if (!FlushFileBuffers(f.h)) return failed_windows(m_target + ": cannot flush the new file");
    }
    // The target may have changed since the write began: check it again.
    Status st = check_target(m_target);
    if (!st.ok()) return st;
    if (!MoveFileExA(m_tmp.c_str(), m_target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return failed_windows(m_target + ": cannot replace");
    }
    return {};
  }

  std::string m_target;
  std::string m_tmp;
  bool m_done = false;
};

class WindowsFileSystem final : public FileSystem {
 public:
  Result<std::string> read_file(const std::string& path, std::uint64_t max_bytes) override {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))) {
      return Status::failed(path + ": not a regular file");
    }
    Handle f(CreateFileA(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f.ok()) return failed_windows(path + ": cannot open");
    if (GetFileType(f.h) != FILE_TYPE_DISK) return Status::failed(path + ": not a regular file");
    LARGE_INTEGER size;
    if (!GetFileSizeEx(f.h, &size)) return failed_windows(path + ": cannot read");
    if (static_cast<std::uint64_t>(size.QuadPart) > max_bytes) {
      return Status::failed(path + ": too large (" + std::to_string(size.QuadPart) + " bytes)");
    }
    std::string out(static_cast<std::size_t>(size.QuadPart), '\0');
    std::size_t got = 0;
    while (got < out.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(out.size() - got, 1u << 30));
      DWORD n = 0;
      if (!ReadFile(f.h, out.data() + got, chunk, &n, nullptr)) {
        return failed_windows(path + ": cannot read");
      }
      if (n == 0) break;
      got += n;
    }
    out.resize(got);
    return out;
  }

  Status write_file(const std::string& path, std::string_view contents,
                    const WriteOptions& options) override {
    auto replacement = begin_replace(path, options);
    if (!replacement.ok()) return replacement.status();
    const std::string& tmp = (*replacement)->temporary_path();
    {
      Handle f(CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!f.ok() || !write_all(f.h, contents)) return failed_windows(tmp + ": cannot write");
    }
    return replacement.value()->commit();
  }

  Result<std::unique_ptr<FileReplacement>> begin_replace(const std::string& path,
                                                         const WriteOptions&) override {
    Status st = check_target(path);
    if (!st.ok()) return st;
    static std::atomic<unsigned> counter{0};
    const std::string folder = folder_of(path);
    const std::string sep = folder.back() == '\\' || folder.back() == '/' ? "" : "\\";
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::string tmp = folder + sep + std::string(kTempPrefix) +
                              std::to_string(GetCurrentProcessId()) + "-" +
                              std::to_string(counter++) + "-" + std::to_string(GetTickCount64());
      Handle f(CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
      if (f.ok()) {
        return std::unique_ptr<FileReplacement>(new WindowsReplacement(path, tmp));
      }
      if (GetLastError() != ERROR_FILE_EXISTS) {
        return failed_windows(folder + ": cannot create a file there");
      }
    }
    return Status::failed(folder + ": cannot create a file there");
  }
};

}  // namespace

Status create_private_file(const std::string& path) {
  Handle f(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr));
  if (!f.ok()) return failed_windows(path + ": cannot create");
  return {};
}

std::unique_ptr<FileSystem> make_platform_file_system() {
  return std::make_unique<WindowsFileSystem>();
}

}  // namespace quillo::host
