// The contract every FileSystem keeps, as typed test cases: whole files
// are replaced and read back, a replacement dropped before commit leaves
// the target and its folder as they were, nothing but regular files is
// written or read, failures name the file, and private files are made
// only where nothing is.
//
// A test binary instantiates the suite for each file system it has with a
// harness:
//
//   struct Harness {
//     std::unique_ptr<FileSystem> make();
//   };
//   INSTANTIATE_TYPED_TEST_SUITE_P(Posix, FileSystemContract, PosixHarness);
//
// Each test works in a private temporary folder of its own.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "host/file_system.h"
#include "host/process.h"

namespace quillo::host {

template <typename Harness>
class FileSystemContract : public testing::Test {
 protected:
  FileSystemContract() : dir(make_private_temp_folder("quillo-fs-")) { EXPECT_FALSE(dir.empty()); }
  ~FileSystemContract() override {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string path(const std::string& name) const {
    return (std::filesystem::path(dir) / name).string();
  }
  // Everything in the folder, temporary files included.
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir),
                                                  std::filesystem::directory_iterator{}));
  }
  static bool names(const Status& st, const std::string& p) {
    return st.message().rfind(p + ": ", 0) == 0;
  }

  Harness harness;
  std::string dir;
  std::unique_ptr<FileSystem> files = harness.make();
};

TYPED_TEST_SUITE_P(FileSystemContract);

TYPED_TEST_P(FileSystemContract, ReplacesWholeFilesAndLeavesNoTemporaries) {
  FileSystem& files = *this->files;
  const std::string p = this->path("book.xml");
  ASSERT_TRUE(files.write_file(p, "first").ok());
  ASSERT_TRUE(files.write_file(p, std::string(300000, 'b')).ok());
  auto read = files.read_file(p, 300000);
  ASSERT_TRUE(read.ok()) << read.status().message();
  EXPECT_EQ(*read, std::string(300000, 'b'));
  const Status over = files.read_file(p, 299999).status();
  EXPECT_FALSE(over.ok());
  EXPECT_TRUE(this->names(over, p)) << over.message();
  EXPECT_EQ(this->entries(), 1u);
  ASSERT_TRUE(files.write_file(p, "").ok());
  EXPECT_EQ(*files.read_file(p, 10), "");

  // A replacement dropped without commit leaves the target as it was; one
  // committed twice fails the second time.
  {
    auto r = files.begin_replace(p);
    ASSERT_TRUE(r.ok()) << r.status().message();
    std::ofstream((*r)->temporary_path()) << "never";
  }
  EXPECT_EQ(*files.read_file(p, 10), "");
  EXPECT_EQ(this->entries(), 1u);
  const std::string made = this->path("new.txt");
  auto r = files.begin_replace(made);
  ASSERT_TRUE(r.ok()) << r.status().message();
  EXPECT_EQ(std::filesystem::path((*r)->temporary_path()).parent_path(),
            std::filesystem::path(made).parent_path());
  std::ofstream((*r)->temporary_path(), std::ios::binary) << "made";
  EXPECT_TRUE((*r)->commit().ok());
  EXPECT_FALSE((*r)->commit().ok());
  EXPECT_EQ(*files.read_file(made, 100), "made");
  EXPECT_EQ(this->entries(), 2u);
}

TYPED_TEST_P(FileSystemContract, RefusesFoldersMissingAndOversizedFilesNamingThem) {
  FileSystem& files = *this->files;
  const std::string folder = this->path("folder");
  std::filesystem::create_directory(folder);
  const Status write = files.write_file(folder, "x");
  EXPECT_FALSE(write.ok());
  EXPECT_TRUE(this->names(write, folder)) << write.message();
  EXPECT_NE(write.message().find("not a regular file"), std::string::npos) << write.message();
  EXPECT_FALSE(files.begin_replace(folder).ok());
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_TRUE(std::filesystem::is_empty(folder));
  EXPECT_FALSE(files.read_file(folder, 100).ok());

  const std::string missing = this->path("missing.txt");
  const Status read = files.read_file(missing, 100).status();
  EXPECT_FALSE(read.ok());
  EXPECT_TRUE(this->names(read, missing)) << read.message();
  EXPECT_FALSE(std::filesystem::exists(missing));

  ASSERT_TRUE(files.write_file(this->path("big"), std::string(101, 'x')).ok());
  EXPECT_FALSE(files.read_file(this->path("big"), 100).ok());
  EXPECT_FALSE(files.write_file(this->path("no-such-folder/f"), "x").ok());
  EXPECT_FALSE(files.begin_replace(this->path("no-such-folder/f")).ok());
  EXPECT_EQ(this->entries(), 2u);
}

TYPED_TEST_P(FileSystemContract, PrivateFilesAreMadeOnlyWhereNothingIs) {
  const std::string p = this->path("part.bin");
  ASSERT_TRUE(create_private_file(p).ok());
  EXPECT_TRUE(std::filesystem::is_regular_file(p));
  EXPECT_EQ(std::filesystem::file_size(p), 0u);
  std::ofstream(p, std::ios::binary) << "kept";
  EXPECT_FALSE(create_private_file(p).ok());
  EXPECT_EQ(*this->files->read_file(p, 100), "kept");
  std::filesystem::create_directory(this->path("folder"));
  EXPECT_FALSE(create_private_file(this->path("folder")).ok());
  EXPECT_TRUE(std::filesystem::is_directory(this->path("folder")));
}

REGISTER_TYPED_TEST_SUITE_P(FileSystemContract, ReplacesWholeFilesAndLeavesNoTemporaries,
                            RefusesFoldersMissingAndOversizedFilesNamingThem,
                            PrivateFilesAreMadeOnlyWhereNothingIs);

}  // namespace quillo::host
