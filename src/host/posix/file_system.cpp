// The FileSystem of POSIX systems (see host/file_system.h): open, fsync,
// rename and the folder's fsync; lstat and readlink to find the file a
// symbolic link stands for; kill(pid, 0) to tell a live writer's temporary
// file from one left by a process that died.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/file_system.h"

namespace quillo::host {

namespace {

constexpr std::string_view kTempPrefix = ".quillo-save-";
constexpr int kMaxLinks = 40;  // as the kernel's own limit on symbolic link chains

Status failed(std::string message) {
  return Status::failed(std::move(message));
}

// A failure of a system call: what failed, the system's text for err, and
// err itself for callers that report system error numbers.
Status failed_errno(const std::string& what, int err = errno) {
  return Status::failed(what + ": " + std::strerror(err)).with_system_error(err);
}

// Closes a file descriptor on every path out of a scope.
struct Fd {
  int fd = -1;
  explicit Fd(int f = -1) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

bool write_all(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A short tag of this machine's name, so the temporary files of another
// machine sharing the folder are never taken for stale ones.
std::string host_tag() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  std::uint32_t h = 2166136261u;  // FNV-1a
  for (const char* p = name; *p; ++p) {
    h = (h ^ static_cast<unsigned char>(*p)) * 16777619u;
  }
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", h);
  return buf;
}

// The file a write to path lands in: path itself, or the end of the chain
// of symbolic links it starts. st describes that file when it exists.
struct Target {
  std::string path;
  bool exists = false;
  struct stat st {};
};

Result<Target> resolve(const std::string& path) {
  if (path.empty()) return failed("no file name given");
  Target t;
  t.path = path;
  for (int hops = 0;; ++hops) {
    if (::lstat(t.path.c_str(), &t.st) != 0) {
      if (errno == ENOENT) return t;  // a new file (or a link to one that does not exist yet)
      return failed_errno(path + ": cannot write");
    }
    if (!S_ISLNK(t.st.st_mode)) break;
    if (hops == kMaxLinks) return failed(path + ": too many symbolic links");
    std::vector<char> buf(static_cast<std::size_t>(t.st.st_size > 0 ? t.st.st_size : 255) + 2);
    const ssize_t n = ::readlink(t.path.c_str(), buf.data(), buf.size() - 1);
    if (n < 0) return failed_errno(t.path + ": cannot follow the link");
    const std::string to(buf.data(), static_cast<std::size_t>(n));
    t.path = !to.empty() && to[0] == '/' ? to : folder_of(t.path) + "/" + to;
  }
  t.exists = true;
  if (!S_ISREG(t.st.st_mode)) {
    const char* what = S_ISDIR(t.st.st_mode)    ? "a folder"
                       : S_ISCHR(t.st.st_mode)  ? "a character device"
                       : S_ISBLK(t.st.st_mode)  ? "a block device"
                       : S_ISFIFO(t.st.st_mode) ? "a FIFO"
                       : S_ISSOCK(t.st.st_mode) ? "a socket"
                                                : "not a regular file";
    return failed(path + ": not written, it is " + what + ", not a regular file");
  }
  return t;
}

bool fsync_path(const std::string& path, int flags) {
  Fd f(::open(path.c_str(), flags | O_CLOEXEC));
  return f.fd >= 0 && ::fsync(f.fd) == 0;
}

// True when pid names a process of this machine that still runs (or one
// whose state cannot be told: it is then left alone).
bool process_alive(long pid) {
  if (pid <= 0 || pid > 0x3fffffff) return true;  // not a pid this system hands out
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

// Removes the temporary files in folder that writers of this machine left
// behind when they died: named by kTempPrefix and our host tag, of a
// process that no longer runs, regular files of our own user.
void remove_stale_temporaries(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  const std::string mine = std::string(kTempPrefix) + host_tag() + "-";
  std::vector<std::string> stale;
  while (const dirent* e = ::readdir(dir)) {
    const std::string_view name = e->d_name;
    if (name.substr(0, mine.size()) != mine) continue;
    const std::string rest(name.substr(mine.size()));
    char* end = nullptr;
    const long pid = std::strtol(rest.c_str(), &end, 10);
    if (end == rest.c_str() || *end != '-' || pid == ::getpid() || process_alive(pid)) continue;
    stale.emplace_back(name);
  }
  ::closedir(dir);
  for (const std::string& name : stale) {
    const std::string p = folder + "/" + name;
    struct stat st;
    if (::lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()) {
      ::unlink(p.c_str());
    }
  }
}

mode_t default_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// Copies the flushed temporary file into target in place, for a file with
// several hard links: every link sees the new contents.
Status overwrite_in_place(const std::string& tmp, const std::string& target) {
  Fd in(::open(tmp.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.fd < 0) return failed_errno(tmp + ": cannot read");
  Fd out(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
  if (out.fd < 0) return failed_errno(target + ": cannot write");
#if defined(__linux__)
  // The room for the new contents is taken before a byte is written, so a
  // full disk fails here and leaves the file whole (a file system that
  // cannot reserve is written as before).
  struct stat st {};
  if (::fstat(in.fd, &st) == 0 && st.st_size > 0 &&
      ::fallocate(out.fd, FALLOC_FL_KEEP_SIZE, 0, st.st_size) != 0 &&
      (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)) {
    return failed_errno(target + ": cannot write; the file is unchanged");
  }
#endif
  char buf[65536];
  off_t size = 0;
  while (true) {
    const ssize_t n = ::read(in.fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed_errno(tmp + ": cannot read");
    if (n == 0) break;
    if (!write_all(out.fd, buf, static_cast<std::size_t>(n))) {
      return failed_errno(target + ": cannot write");
    }
    size += n;
  }
  if (::ftruncate(out.fd, size) != 0 || ::fsync(out.fd) != 0) {
    return failed_errno(target + ": cannot write");
  }
  return {};
}

class PosixReplacement final : public FileReplacement {
 public:
  PosixReplacement(std::string requested, Target target, std::string tmp, WriteOptions options)
      : m_requested(std::move(requested)),
        m_target(std::move(target)),
        m_tmp(std::move(tmp)),
        m_options(options) {}
  ~PosixReplacement() override {
    if (!m_done) ::unlink(m_tmp.c_str());
  }

  const std::string& temporary_path() const override { return m_tmp; }

  Status commit() override {
    if (m_done) return failed(m_requested + ": the new file was already put in place");
    m_done = true;
    Status st = finish();
    if (!st.ok() && !m_keep_tmp) ::unlink(m_tmp.c_str());
    if (st.ok()) remove_stale_temporaries(folder_of(m_target.path));
    return st;
  }

 private:
  Status finish() {
    // The target may have changed since the write began: check it again.
    auto now = resolve(m_requested);
    if (!now.ok()) return now.status();
    m_target = std::move(now).value();
    const std::string& path = m_target.path;
    mode_t mode = m_options.permissions ? static_cast<mode_t>(*m_options.permissions)
                  : m_target.exists     ? m_target.st.st_mode & 07777
                                        : default_mode();
    {
      Fd f(::open(m_tmp.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
      if (f.fd < 0) return failed_errno(path + ": cannot write");
      if (m_target.exists &&
          (m_target.st.st_uid != ::geteuid() || m_target.st.st_gid != ::getegid())) {
        // Keep the owner where we may (root, or a group of ours); a file we
        // cannot give back simply belongs to us from now on.
        if (::fchown(f.fd, m_target.st.st_uid, m_target.st.st_gid) != 0) {
          [[maybe_unused]] const int ignored = ::fchown(f.fd, -1, m_target.st.st_gid);
        }
      }
      if (::fchmod(f.fd, mode) != 0 || ::fsync(f.fd) != 0) {
        return failed_errno(path + ": cannot flush the new file");
      }
    }
    const std::string folder = folder_of(path);
    if (m_target.exists && m_target.st.st_nlink > 1) {
      Status st = overwrite_in_place(m_tmp, path);
      if (!st.ok()) {
        // The target may be half written now: keep the complete new
        // contents under a name no cleanup removes.
        const std::string keep = path + ".quillo-unsaved";
        if (::rename(m_tmp.c_str(), keep.c_str()) == 0) {
          m_keep_tmp = true;
          return failed(st.message() + "; the new contents are kept in " + keep);
        }
        return st;
      }
      ::unlink(m_tmp.c_str());
    } else if (::rename(m_tmp.c_str(), path.c_str()) != 0) {
      return failed_errno(path + ": cannot replace");
    }
    // The rename is only durable once the folder is.
    fsync_path(folder, O_RDONLY | O_DIRECTORY);
    return {};
  }

  std::string m_requested;
  Target m_target;
  std::string m_tmp;
  WriteOptions m_options;
  bool m_done = false;
  bool m_keep_tmp = false;
};

class PosixFileSystem final : public FileSystem {
 public:
  Result<std::string> read_file(const std::string& path, std::uint64_t max_bytes) override {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; the check below
    // refuses it anyway.
    Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (f.fd < 0) return failed_errno(path + ": cannot open");
    struct stat st;
    if (::fstat(f.fd, &st) != 0) return failed_errno(path + ": cannot read");
    if (!S_ISREG(st.st_mode)) return failed(path + ": not a regular file");
    if (static_cast<std::uint64_t>(st.st_size) > max_bytes) {
      return failed(path + ": too large (" + std::to_string(st.st_size) + " bytes)");
    }
    std::string out(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    while (got < out.size()) {
      const ssize_t n = ::read(f.fd, out.data() + got, out.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return failed_errno(path + ": cannot read");
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
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
      Fd f(::open(tmp.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
      if (f.fd < 0 || !write_all(f.fd, contents.data(), contents.size())) {
        return failed_errno(tmp + ": cannot write");
      }
    }
    return replacement.value()->commit();
  }

  Result<std::unique_ptr<FileReplacement>> begin_replace(const std::string& path,
                                                         const WriteOptions& options) override {
    auto target = resolve(path);
    if (!target.ok()) return target.status();
    const std::string folder = folder_of(target->path);
    std::string tmp = folder + "/" + std::string(kTempPrefix) + host_tag() + "-" +
                      std::to_string(::getpid()) + "-XXXXXX";
    Fd created(::mkostemp(tmp.data(), O_CLOEXEC));
    if (created.fd < 0) return failed_errno(folder + ": cannot create a file there");
    return std::unique_ptr<FileReplacement>(
        new PosixReplacement(path, std::move(target).value(), std::move(tmp), options));
  }
};

}  // namespace

Status create_private_file(const std::string& path) {
  Fd f(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (f.fd < 0) return failed_errno(path + ": cannot create");
  return {};
}

std::unique_ptr<FileSystem> make_platform_file_system() {
  return std::make_unique<PosixFileSystem>();
}

}  // namespace quillo::host
