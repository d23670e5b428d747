// The xlsx archive through libzip: bounded reading of parts from a package
// held in memory, and the atomic write of an edited package.
//
// Writing works on a copy of the package in the temporary file the file
// system prepares beside the target (host/file_system.h), which then puts
// it in place atomically. libzip
// copies every entry the edit leaves alone without recompressing it (same
// bytes, same CRC), so parts quillo does not understand survive bit for bit.
// Parts the edit writes are deleted and added again rather than replaced in
// place, because only a fresh entry takes the compression level we set;
// readers do not mind that such parts move to the end of the archive.
#include <zip.h>

#include <fstream>
#include <vector>

#include "spreadsheet/xlsx_package.h"

namespace quillo::spreadsheet::xlsx {

namespace {

// Level 5 deflates large sheet parts about as small as zlib's default 6
// (0.1% larger on the benchmark's price table, 0.02% smaller on its number
// table) in less than half the time.
constexpr zip_uint32_t kDeflateLevel = 5;

Status failed(std::string message) {
  return Status::failed(std::move(message));
}

std::string zip_error_text(int code) {
  zip_error_t e;
  zip_error_init_with_code(&e, code);
  std::string s = zip_error_strerror(&e);
  zip_error_fini(&e);
  return s;
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

Result<std::unique_ptr<ZipReader>> ZipReader::open(std::shared_ptr<const std::string> bytes,
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

Result<std::string> ZipReader::read(std::string_view name) {
  std::string out;
  Status st = inflate(
      name,
      [&out](std::string_view chunk) {
        out.append(chunk);
        return Status();
      },
      m_impl->limits.max_part_bytes);
  if (!st.ok()) return st;
  return out;
}

Status ZipReader::read_chunks(std::string_view name,
                              const std::function<Status(std::string_view)>& sink) {
  return inflate(name, sink, m_impl->limits.max_sheet_part_bytes);
}

Status ZipReader::inflate(std::string_view name_view,
                          const std::function<Status(std::string_view)>& sink,
                          std::uint64_t max_bytes) {
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
  if ((st.valid & ZIP_STAT_SIZE) && st.size > max_bytes) {
    return failed("part " + name + " exceeds the size limit (" + std::to_string(st.size) +
                  " bytes)");
  }
  zip_file_t* zf = zip_fopen_index(za, static_cast<zip_uint64_t>(index), 0);
  if (!zf) return failed("cannot open part " + name + ": " + zip_strerror(za));
  std::uint64_t part_bytes = 0;
  std::vector<char> buf(std::size_t{1} << 16);
  Status status;
  while (true) {
    const zip_int64_t n = zip_fread(zf, buf.data(), buf.size());
    if (n < 0) {
      status = failed("part " + name + " is damaged: " + zip_file_strerror(zf));
      break;
    }
    if (n == 0) break;
    part_bytes += static_cast<std::uint64_t>(n);
    m_impl->total_read += static_cast<std::uint64_t>(n);
    if (part_bytes > max_bytes) {
      status = failed("part " + name + " inflates beyond the size limit");
      break;
    }
    if (m_impl->total_read > lim.max_total_bytes) {
      status = failed("the file inflates beyond the size limit");
      break;
    }
    status = sink(std::string_view(buf.data(), static_cast<std::size_t>(n)));
    if (!status.ok()) break;
  }
  zip_fclose(zf);
  return status;
}

namespace {

Status apply_edit(zip_t* za, const ZipEdit& edit) {
  auto remove = [za](const std::string& name) -> Status {
    const zip_int64_t i = zip_name_locate(za, name.c_str(), ZIP_FL_NOCASE);
    if (i >= 0 && zip_delete(za, static_cast<zip_uint64_t>(i)) != 0) {
      return failed("cannot remove part " + name + ": " + zip_strerror(za));
    }
    return {};
  };
  for (const std::string& name : edit.remove) {
    if (auto st = remove(name); !st.ok()) return st;
  }
  auto add = [&](const std::string& name, zip_source_t* src) -> Status {
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
    return {};
  };
  for (const auto& [name, data] : edit.put) {
    if (auto st = remove(name); !st.ok()) return st;
    if (auto st = add(name, zip_source_buffer(za, data.data(), data.size(), 0)); !st.ok()) {
      return st;
    }
  }
  for (const auto& [name, file] : edit.put_files) {
    if (auto st = remove(name); !st.ok()) return st;
    // Read (and deflated) piece by piece when the archive is closed.
    if (auto st = add(name, zip_source_file(za, file.c_str(), 0, -1)); !st.ok()) return st;
  }
  return {};
}

}  // namespace

Status write_zip(const std::string* base, const ZipEdit& edit, const std::string& tmp) {
  if (base) {
    // libzip edits a file: start from a copy of the package.
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(base->data(), static_cast<std::streamsize>(base->size()));
    out.close();
    if (!out) return failed("cannot write " + tmp);
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
    Status st = failed(std::string("cannot write the package: ") + zip_strerror(za));
    zip_discard(za);
    return st;
  }
  return {};
}

Status write_zip_atomic(host::FileSystem& files, const std::string* base, const ZipEdit& edit,
                        const std::string& path) {
  auto replacement = files.begin_replace(path);
  if (!replacement.ok()) return replacement.status();
  if (auto st = write_zip(base, edit, (*replacement)->temporary_path()); !st.ok()) return st;
  return replacement.value()->commit();
}

}  // namespace quillo::spreadsheet::xlsx
