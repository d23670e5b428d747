// The POSIX file system under the file system contract
// (file_system_contract.h), and what only it has: permissions kept,
// writing through symbolic links, keeping hard links, refusing FIFOs and
// devices, and cleaning up the temporary files of writers that died.
#include "host/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/file_system_contract.h"
#include "support/scratch_folder.h"

namespace quillo::host {
namespace {

namespace fs = std::filesystem;

struct PosixFilesHarness {
  std::unique_ptr<FileSystem> make() { return make_platform_file_system(); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Posix, FileSystemContract, PosixFilesHarness);

class FileSystemTest : public testing_support::ScratchFolderTest {
 protected:
  static std::string read(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // The names in the folder that are quillo's temporary files.
  std::vector<std::string> temporaries() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) {
      const std::string name = e.path().filename().string();
      if (name.rfind(".quillo-save-", 0) == 0) out.push_back(name);
    }
    return out;
  }

  std::unique_ptr<FileSystem> files = make_platform_file_system();
};

TEST_F(FileSystemTest, KeepsPermissions) {
  const std::string p = path("book.xlsx");
  ASSERT_TRUE(files->write_file(p, "one").ok());
  ::chmod(p.c_str(), 0640);
  ASSERT_TRUE(files->write_file(p, "two").ok());
  EXPECT_EQ(read(p), "two");
  EXPECT_EQ(fs::status(p).permissions(), static_cast<fs::perms>(0640));
  ASSERT_TRUE(files->write_file(p, "three", WriteOptions{0600}).ok());
  EXPECT_EQ(fs::status(p).permissions(), static_cast<fs::perms>(0600));
  EXPECT_EQ(*files->read_file(p, 100), "three");
  EXPECT_TRUE(temporaries().empty());
}

TEST_F(FileSystemTest, WritesThroughLinks) {
  const std::string real = path("real.xlsx");
  ASSERT_TRUE(files->write_file(real, "old").ok());
  fs::create_directories(dir / "sub");
  fs::create_symlink("../real.xlsx", dir / "sub" / "link.xlsx");
  fs::create_symlink(dir / "sub" / "link.xlsx", dir / "link2.xlsx");  // a chain
  ASSERT_TRUE(files->write_file(path("link2.xlsx"), "new").ok());
  EXPECT_TRUE(fs::is_symlink(dir / "link2.xlsx"));
  EXPECT_TRUE(fs::is_symlink(dir / "sub" / "link.xlsx"));
  EXPECT_EQ(read(real), "new");

  fs::create_hard_link(real, dir / "sub" / "hard.xlsx");
  ASSERT_TRUE(files->write_file(real, "both").ok());
  EXPECT_EQ(read(path("sub/hard.xlsx")), "both");
  EXPECT_EQ(fs::hard_link_count(real), 2u);
  EXPECT_TRUE(temporaries().empty());
}

TEST_F(FileSystemTest, RefusesWhatIsNotARegularFile) {
  const std::string fifo = path("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& p : {fifo, std::string("/dev/null"), dir.string()}) {
    const Status st = files->write_file(p, "data");
    EXPECT_FALSE(st.ok()) << p;
    EXPECT_NE(st.message().find("not a regular file"), std::string::npos) << st.message();
  }
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  EXPECT_FALSE(files->read_file(fifo, 100).ok());  // does not wait for a writer
  fs::create_symlink("pipe", dir / "to-pipe");
  EXPECT_FALSE(files->write_file(path("to-pipe"), "data").ok());
  EXPECT_TRUE(temporaries().empty());
}

TEST_F(FileSystemTest, RemovesOnlyTheTemporariesOfDeadWriters) {
  const std::string p = path("book.xlsx");
  // A writer that dies between starting and committing leaves its file.
  const pid_t dead = ::fork();
  if (dead == 0) {
    auto r = make_platform_file_system()->begin_replace(p);
    ::_exit(r.ok() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(dead, &status, 0);
  ASSERT_EQ(status, 0);
  // A writer still at work keeps its own.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t live = ::fork();
  if (live == 0) {
    auto r = make_platform_file_system()->begin_replace(p);
    const char c = 'x';
    [[maybe_unused]] const auto n = ::write(ready[1], &c, 1);
    ::pause();
    ::_exit(0);
  }
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  std::ofstream(path(".quillo-save-not-ours")) << "x";
  std::ofstream(path(".quillo-save-00000000-1-abcdef")) << "x";  // another machine's
  ASSERT_EQ(temporaries().size(), 4u);

  ASSERT_TRUE(files->write_file(p, "saved").ok());
  const auto left = temporaries();
  ::kill(live, SIGKILL);
  ::waitpid(live, &status, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ(left.size(), 3u);
  for (const std::string& name : left) {
    EXPECT_EQ(name.find("-" + std::to_string(dead) + "-"), std::string::npos) << name;
  }
}

}  // namespace
}  // namespace quillo::host
