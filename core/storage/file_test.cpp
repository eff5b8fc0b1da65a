#include "file.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "buffered_writer.h"
#include "test_temp_dir.h"
#include "testing/mem_fs.h"

namespace orvex::fs {
namespace {

using orvex::testing::slurp;
using orvex::testing::spit;
using orvex::testing::TempDir;
using orvex::testing::MemFs;
using orvex::testing::Op;

std::unique_ptr<File> open_ok(FileSystem& fs, const std::string& path, OpenMode mode) {
  Result<std::unique_ptr<File>> f = fs.open(path, mode);
  EXPECT_TRUE(f.ok()) << f.error().to_string();
  return f.ok() ? std::move(f).value() : nullptr;
}

TEST(PosixFs, MissingFileGivesTheSystemMessage) {
  TempDir dir;
  Result<std::unique_ptr<File>> f = posix().open(dir.file("nope"), OpenMode::ReadOnly);
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.error().to_string(), "io error: No such file or directory (os error 2)");
  EXPECT_FALSE(posix().open(dir.file("nope"), OpenMode::WriteOnly).ok());
}

TEST(PosixFs, NulInPathIsRefusedEverywhere) {
  const std::string bad("a\0b", 3);
  const std::string cause = "file name contained an unexpected NUL byte";
  Result<std::unique_ptr<File>> f = posix().open(bad, OpenMode::ReadAppendCreate);
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.error().text(), cause);
  EXPECT_EQ(posix().create_dirs(bad).error().text(), cause);
  EXPECT_EQ(posix().rename(bad, "x").error().text(), cause);
  EXPECT_EQ(posix().sync_dir(bad).error().text(), cause);
  EXPECT_EQ(posix().remove(bad).error().text(), cause);
  EXPECT_FALSE(posix().exists(bad));
}

TEST(PosixFs, ModesWriteReadSeekTruncate) {
  TempDir dir;
  const std::string path = dir.file("f");
  {
    auto f = open_ok(posix(), path, OpenMode::ReadAppendCreate);
    ASSERT_TRUE(f->write("hello", 5).ok());
    ASSERT_TRUE(f->seek(0).ok());
    ASSERT_TRUE(f->write("!", 1).ok());  // append mode: lands at the end
    EXPECT_EQ(f->size().value(), 6u);
    ASSERT_TRUE(f->sync().ok());
  }
  EXPECT_EQ(slurp(path), "hello!");
  {
    auto f = open_ok(posix(), path, OpenMode::WriteOnly);
    ASSERT_TRUE(f->seek(1).ok());
    ASSERT_TRUE(f->write("E", 1).ok());
    ASSERT_TRUE(f->truncate(4).ok());
  }
  EXPECT_EQ(slurp(path), "hEll");
  {
    auto f = open_ok(posix(), path, OpenMode::ReadOnly);
    char buf[8];
    ASSERT_TRUE(f->seek(2).ok());
    ASSERT_TRUE(read_exact(*f, buf, 2).ok());
    EXPECT_EQ(std::string(buf, 2), "ll");
    Status eof = read_exact(*f, buf, 1);
    ASSERT_FALSE(eof.ok());
    EXPECT_EQ(eof.error().text(), "failed to fill whole buffer");
  }
  { auto f = open_ok(posix(), path, OpenMode::WriteCreateTruncate); }
  EXPECT_EQ(slurp(path), "");
  EXPECT_EQ(posix().read_file(path).value(), "");
}

TEST(PosixFs, DirectoriesRenameRemove) {
  TempDir dir;
  const std::string deep = dir.file("a/b/c");
  ASSERT_TRUE(posix().create_dirs(deep).ok());
  ASSERT_TRUE(posix().create_dirs(deep + "/").ok());  // existing: fine
  EXPECT_TRUE(posix().exists(deep));
  spit(dir.file("a/x"), "data");
  Status not_dir = posix().create_dirs(dir.file("a/x/y"));
  ASSERT_FALSE(not_dir.ok());
  EXPECT_NE(not_dir.error().text().find("(os error 20)"), std::string::npos) << not_dir.error().text();
  ASSERT_TRUE(posix().rename(dir.file("a/x"), dir.file("a/b/y")).ok());
  EXPECT_EQ(posix().read_file(dir.file("a/b/y")).value(), "data");
  ASSERT_TRUE(posix().sync_dir(dir.file("a/b")).ok());
  ASSERT_TRUE(posix().remove(dir.file("a/b/y")).ok());
  EXPECT_FALSE(posix().exists(dir.file("a/b/y")));
  EXPECT_EQ(posix().remove(dir.file("a/b/y")).error().text(), "No such file or directory (os error 2)");
}

TEST(Join, OneSlash) {
  EXPECT_EQ(join("d", "f"), "d/f");
  EXPECT_EQ(join("d/", "f"), "d/f");
  EXPECT_EQ(join("", "f"), "f");
}

// ---- BufferedWriter ----

TEST(BufferedWriter, SmallPiecesWaitUntilTheBufferFills) {
  MemFs fs;
  BufferedWriter w(open_ok(fs, "f", OpenMode::ReadAppendCreate), 0);
  const std::string piece(1000, 'a');
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(w.append(piece).ok());
  EXPECT_EQ(fs.count(Op::Write), 0u);
  EXPECT_EQ(w.end_offset(), 8000u);
  ASSERT_TRUE(w.append(piece).ok());  // 9000 > 8192: the first 8000 go out
  EXPECT_EQ(fs.count(Op::Write), 1u);
  EXPECT_EQ(w.file_length(), 8000u);
  ASSERT_TRUE(w.append(std::string(9000, 'b')).ok());  // big: straight through
  EXPECT_EQ(w.file_length(), 18000u);
  EXPECT_EQ(w.buffered(), 0u);
}

TEST(BufferedWriter, RefusedPieceIsWithdrawnWhole) {
  MemFs fs;
  {
    BufferedWriter w(open_ok(fs, "f", OpenMode::ReadAppendCreate), 0);
    ASSERT_TRUE(w.append(std::string(8000, 'a')).ok());
    fs.add_fault({.op = Op::Write, .nth = 1, .error = EIO});
    EXPECT_FALSE(w.append(std::string(500, 'x')).ok());  // flush fails: x refused
    EXPECT_EQ(w.end_offset(), 8000u);
    ASSERT_TRUE(w.append(std::string(500, 'b')).ok());
  }
  EXPECT_EQ(fs.contents("f"), std::string(8000, 'a') + std::string(500, 'b'));
}

TEST(BufferedWriter, PartialFlushKeepsTheRestInOrder) {
  MemFs fs;
  {
    BufferedWriter w(open_ok(fs, "f", OpenMode::ReadAppendCreate), 0);
    ASSERT_TRUE(w.append("0123456789").ok());
    fs.add_fault({.op = Op::Write, .nth = 1, .error = ENOSPC, .short_write = 4});
    EXPECT_EQ(w.flush().error().text(), os_error_text(ENOSPC));
    EXPECT_EQ(w.file_length(), 4u);
    EXPECT_EQ(w.buffered(), 6u);
    ASSERT_TRUE(w.append("ab").ok());
  }
  EXPECT_EQ(fs.contents("f"), "0123456789ab");
}

TEST(BufferedWriter, BigPieceCutShortKeepsItsRestAhead) {
  MemFs fs;
  const std::string big(10000, 'z');
  {
    BufferedWriter w(open_ok(fs, "f", OpenMode::ReadAppendCreate), 0);
    fs.add_fault({.op = Op::Write, .nth = 1, .error = EIO, .short_write = 100});
    ASSERT_TRUE(w.append(big).ok());  // accepted: the rest waits in the buffer
    EXPECT_EQ(w.end_offset(), 10000u);
    ASSERT_TRUE(w.append("tail").ok());
  }
  EXPECT_EQ(fs.contents("f"), big + "tail");
}

TEST(BufferedWriter, BigPieceRefusedOutrightLeavesNothing) {
  MemFs fs;
  {
    BufferedWriter w(open_ok(fs, "f", OpenMode::ReadAppendCreate), 0);
    fs.add_fault({.op = Op::Write, .nth = 1, .error = EIO});
    EXPECT_FALSE(w.append(std::string(10000, 'z')).ok());
    EXPECT_EQ(w.end_offset(), 0u);
  }
  EXPECT_EQ(fs.contents("f"), "");
}

}  // namespace
}  // namespace orvex::fs
