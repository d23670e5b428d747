// FileSystem: the files the engine reads and writes whole (workbooks,
// settings), behind one interface so each platform supplies its own and
// tests can inject failures. Obtained from make_platform_file_system() (the
// build picks host/posix/ or another platform's folder) and passed to what
// needs it; never reached as a global.
//
// Writes are atomic: the new contents go to a temporary file in the
// target's folder, which is flushed and renamed over the target, and the
// folder is flushed so the rename survives a power cut. An interrupted
// write leaves the previous file as it was. Besides that:
// - a symbolic link is written through: the file it points to gets the new
//   contents and the link stays a link;
// - a file with several hard links is updated in place (after the complete
//   new contents are flushed beside it), since renaming would split the
//   links; this one case is not atomic against a power cut;
// - a target that exists but is not a regular file (a folder, device node,
//   FIFO, socket, /dev/null) is refused, and left untouched;
// - the new file keeps the permissions of the one it replaces.
// Temporary files carry a name of their own (".quillo-save-...") with the
// host and process that writes them; each write removes the ones left in
// its folder by processes of this host that no longer run, and never
// touches a file of another name, another user, or a live writer.
//
// Every platform's keeps the cases of file_system_contract.h.
// Thread-safe: the methods keep no state between calls. Failures are
// Status values whose message starts with the file's name ("PATH: reason").
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/status.h"

namespace quillo::host {

struct WriteOptions {
  // Permission bits of the written file (0600 for owner-only settings).
  // Unset: those of the file replaced, or 0666 less the umask for a new one.
  std::optional<std::uint32_t> permissions;
};

// A new version of one file, prepared in a temporary file beside it for a
// writer that needs a file of its own (an archive library). Destroying it
// without commit removes the temporary file and leaves the target alone.
class FileReplacement {
 public:
  virtual ~FileReplacement() = default;
  // The temporary file to fill: it exists, is empty, and lies in the
  // target's folder. The writer may replace it by renaming another file
  // onto this path.
  virtual const std::string& temporary_path() const = 0;
  // Flushes the temporary file and puts it in place of the target (see
  // above). Once only; afterwards the temporary file is gone either way.
  virtual Status commit() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The whole regular file at path; fails for a missing file, a file that
  // is not a regular file, or one larger than max_bytes.
  virtual Result<std::string> read_file(const std::string& path, std::uint64_t max_bytes) = 0;
  // Replaces the file at path (or creates it) with contents, atomically.
  virtual Status write_file(const std::string& path, std::string_view contents,
                            const WriteOptions& options = {}) = 0;
  // Starts replacing the file at path; checks the target first, so a target
  // that cannot be written fails here, before any work is done.
  virtual Result<std::unique_ptr<FileReplacement>> begin_replace(
      const std::string& path, const WriteOptions& options = {}) = 0;
};

// Creates an empty file at path that only its owner may read or write: on
// POSIX systems it has mode 0600 from the moment it exists, whatever the
// umask (on Windows the folder's inherited access applies). Fails when
// anything, a link included, is already there. For files a writer fills
// beside a target that may be private (the parts of a workbook's save).
Status create_private_file(const std::string& path);

// The file system of the platform quillo was built for.
std::unique_ptr<FileSystem> make_platform_file_system();

}  // namespace quillo::host
