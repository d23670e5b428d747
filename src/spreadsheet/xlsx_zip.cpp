// The xlsx archive through libzip: bounded reading of parts from a package
// held in memory, and the atomic write of an edited package.
//
// Writing works on a copy of the package in the target's folder. libzip
// copies every entry the edit leaves alone without recompressing it (same
// bytes, same CRC), so parts quillo does not understand survive bit for bit.
// Parts the edit writes are deleted and added again rather than replaced in
// place, because only a fresh entry takes the compression level we set;
// readers do not mind that such parts move to the end of the archive.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "spreadsheet/xlsx_package.h"

namespace quillo::spreadsheet::xlsx {

namespace {

// Level 6 saves about as well as 9 at a tenth of the time on large sheets.
constexpr zip_uint32_t kDeflateLevel = 6;

host::Status failed(std::string message) {
  return host::Status::failed(std::move(message));
}

std::string errno_text() {
  return std::strerror(errno);
}

std::string zip_error_text(int code) {
  zip_error_t e;
  zip_error_init_with_code(&e, code);
  std::string s = zip_error_strerror(&e);
  zip_error_fini(&e);
  return s;
}

// Closes a file descriptor on every path out of a scope.
struct Fd {
  int fd = -1;
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

bool fsync_path(const std::string& path, int flags) {
  Fd f{::open(path.c_str(), flags | O_CLOEXEC)};
  return f.fd >= 0 && ::fsync(f.fd) == 0;
}

}  // namespace

// ---- reading ----

struct ZipReader::Impl {
  std::shared_ptr<const std::string> bytes;  // the archive reads from it: keep it alive
  zip_t* archive = nullptr;
  XlsxLimits limits;
  std::uint64_t total_read = 0;

  ~Impl() {
    if (archive) zip_discard(archive);
  }
};

ZipReader::ZipReader(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
ZipReader::~ZipReader() = default;

host::Result<std::unique_ptr<ZipReader>> ZipReader::open(std::shared_ptr<const std::string> bytes,
                                                         const XlsxLimits& limits) {
  auto impl = std::make_unique<Impl>();
  impl->bytes = std::move(bytes);
  impl->limits = limits;
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* src = zip_source_buffer_create(impl->bytes->data(), impl->bytes->size(), 0, &error);
  if (src) {
    impl->archive = zip_open_from_source(src, ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (!impl->archive) zip_source_free(src);
  }
  if (!impl->archive) {
    std::string why = zip_error_strerror(&error);
    zip_error_fini(&error);
    return failed("not an xlsx file (not a readable zip archive: " + why + ")");
  }
  zip_error_fini(&error);
  const zip_int64_t entries = zip_get_num_entries(impl->archive, 0);
  if (entries < 0 || static_cast<std::uint64_t>(entries) > limits.max_entries) {
    return failed("the archive has too many entries (" + std::to_string(entries) + ")");
  }
  return std::unique_ptr<ZipReader>(new ZipReader(std::move(impl)));
}

bool ZipReader::has(std::string_view name) const {
  return zip_name_locate(m_impl->archive, std::string(name).c_str(), ZIP_FL_NOCASE) >= 0;
}

host::Result<std::string> ZipReader::read(std::string_view name_view) {
  const std::string name(name_view);
  zip_t* za = m_impl->archive;
  const zip_int64_t index = zip_name_locate(za, name.c_str(), ZIP_FL_NOCASE);
  if (index < 0) return failed("the file has no part " + name);
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(za, static_cast<zip_uint64_t>(index), 0, &st) != 0) {
    return failed("cannot read part " + name + ": " + zip_strerror(za));
  }
  const XlsxLimits& lim = m_impl->limits;
  // The declared size may lie; the loop below enforces the caps on the data
  // actually inflated, this check only fails early on honest headers.
  if ((st.valid & ZIP_STAT_SIZE) && st.size > lim.max_part_bytes) {
    return failed("part " + name + " exceeds the size limit (" + std::to_string(st.size) +
                  " bytes)");
  }
  zip_file_t* zf = zip_fopen_index(za, static_cast<zip_uint64_t>(index), 0);
  if (!zf) return failed("cannot open part " + name + ": " + zip_strerror(za));
  std::string out;
  if (st.valid & ZIP_STAT_SIZE) out.reserve(static_cast<std::size_t>(st.size));
  char buf[65536];
  host::Status status;
  while (true) {
    const zip_int64_t n = zip_fread(zf, buf, sizeof buf);
    if (n < 0) {
      status = failed("part " + name + " is damaged: " + zip_file_strerror(zf));
      break;
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
    m_impl->total_read += static_cast<std::uint64_t>(n);
    if (out.size() > lim.max_part_bytes) {
      status = failed("part " + name + " inflates beyond the size limit");
      break;
    }
    if (m_impl->total_read > lim.max_total_bytes) {
      status = failed("the file inflates beyond the size limit");
      break;
    }
  }
  zip_fclose(zf);
  if (!status.ok()) return status;
  return out;
}

// ---- files ----

host::Result<std::string> read_whole_file(const std::string& path, std::uint64_t max_bytes) {
  Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (f.fd < 0) return failed("cannot open " + path + ": " + errno_text());
  struct stat st;
  if (::fstat(f.fd, &st) != 0) return failed("cannot read " + path + ": " + errno_text());
  if (!S_ISREG(st.st_mode)) return failed(path + " is not a regular file");
  if (static_cast<std::uint64_t>(st.st_size) > max_bytes) {
    return failed(path + " is too large (" + std::to_string(st.st_size) + " bytes)");
  }
  std::string out(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::read(f.fd, out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed("cannot read " + path + ": " + errno_text());
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return out;
}

namespace {

host::Status apply_edit(zip_t* za, const ZipEdit& edit) {
  auto remove = [za](const std::string& name) -> host::Status {
    const zip_int64_t i = zip_name_locate(za, name.c_str(), ZIP_FL_NOCASE);
    if (i >= 0 && zip_delete(za, static_cast<zip_uint64_t>(i)) != 0) {
      return failed("cannot remove part " + name + ": " + zip_strerror(za));
    }
    return {};
  };
  for (const std::string& name : edit.remove) {
    if (auto st = remove(name); !st.ok()) return st;
  }
  for (const auto& [name, data] : edit.put) {
    if (auto st = remove(name); !st.ok()) return st;
    zip_source_t* src = zip_source_buffer(za, data.data(), data.size(), 0);
    if (!src) return failed(std::string("cannot add part ") + name + ": " + zip_strerror(za));
    const zip_int64_t i = zip_file_add(za, name.c_str(), src, ZIP_FL_ENC_UTF_8);
    if (i < 0) {
      zip_source_free(src);
      return failed("cannot add part " + name + ": " + zip_strerror(za));
    }
    if (zip_set_file_compression(za, static_cast<zip_uint64_t>(i), ZIP_CM_DEFLATE, kDeflateLevel) !=
        0) {
      return failed("cannot compress part " + name + ": " + zip_strerror(za));
    }
  }
  return {};
}

// Builds the new package in the temporary file tmp.
host::Status build_archive(const std::string* base, const ZipEdit& edit, const std::string& tmp) {
  if (base) {
    Fd f{::open(tmp.c_str(), O_WRONLY | O_CLOEXEC)};
    if (f.fd < 0 || !write_all(f.fd, base->data(), base->size())) {
      return failed("cannot write " + tmp + ": " + errno_text());
    }
  }
  int code = 0;
  zip_t* za = zip_open(tmp.c_str(), base ? 0 : ZIP_TRUNCATE, &code);
  if (!za) return failed("cannot write the package: " + zip_error_text(code));
  if (auto st = apply_edit(za, edit); !st.ok()) {
    zip_discard(za);
    return st;
  }
  // zip_close writes the archive beside tmp and renames it onto tmp; the
  // sources above point into edit, which outlives this call.
  if (zip_close(za) != 0) {
    host::Status st = failed(std::string("cannot write the package: ") + zip_strerror(za));
    zip_discard(za);
    return st;
  }
  return {};
}

}  // namespace

host::Status write_zip_atomic(const std::string* base, const ZipEdit& edit,
                              const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  fs::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  std::string tmp = (dir / ("." + target.filename().string() + ".quillo-XXXXXX")).string();
  Fd created{::mkstemp(tmp.data())};
  if (created.fd < 0)
    return failed("cannot create a file in " + dir.string() + ": " + errno_text());
  ::close(created.fd);
  created.fd = -1;

  host::Status st = build_archive(base, edit, tmp);
  if (st.ok()) {
    // The new file takes the permissions of the one it replaces, or the
    // usual ones for a new file.
    mode_t mode = 0666;
    struct stat old;
    if (::stat(path.c_str(), &old) == 0) {
      mode = old.st_mode & 07777;
    } else {
      const mode_t mask = ::umask(0);
      ::umask(mask);
      mode &= ~mask;
    }
    if (::chmod(tmp.c_str(), mode) != 0 || !fsync_path(tmp, O_RDONLY)) {
      st = failed("cannot flush " + tmp + ": " + errno_text());
    } else if (::rename(tmp.c_str(), path.c_str()) != 0) {
      st = failed("cannot replace " + path + ": " + errno_text());
    } else {
      // The rename is only durable once the folder is.
      fsync_path(dir.string(), O_RDONLY | O_DIRECTORY);
      return {};
    }
  }
  ::unlink(tmp.c_str());
  return st;
}

}  // namespace quillo::spreadsheet::xlsx
