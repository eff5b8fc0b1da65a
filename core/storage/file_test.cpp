#include "file.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "buffered_writer.h"
#include "fault_fs.h"
#include "test_temp_dir.h"

namespace orvex::fs {
namespace {

using orvex::testing::slurp;
using orvex::testing::spit;
using orvex::testing::TempDir;

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

// ---- FaultFs ----

struct InjectCase {
  const char* name;
  Op op;
  int error;
  bool persistent;
};

class FaultInjection : public ::testing::TestWithParam<InjectCase> {};

TEST_P(FaultInjection, FailsTheNthOperation) {
  const InjectCase& c = GetParam();
  TempDir dir;
  FaultFs fs;
  fs.add_fault({.op = c.op, .nth = 2, .error = c.error, .persistent = c.persistent});
  const std::string path = dir.file("f");
  auto attempt = [&]() -> Status {
    switch (c.op) {
      case Op::Open: return fs.open(path, OpenMode::ReadAppendCreate).ok() ? ok_status() : Error::io(os_error_text(c.error));
      case Op::Rename: {
        spit(path, "x");
        return fs.rename(path, path + ".2");
      }
      default: {
        auto f = fs.open(path, OpenMode::ReadAppendCreate);
        if (!f.ok()) return std::move(f).error();
        if (c.op == Op::Write) return f.value()->write("ab", 2);
        if (c.op == Op::Sync) return f.value()->sync();
        return f.value()->truncate(0);
      }
    }
  };
  EXPECT_TRUE(attempt().ok());
  Status second = attempt();
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().text(), os_error_text(c.error));
  EXPECT_EQ(attempt().ok(), !c.persistent);
}

INSTANTIATE_TEST_SUITE_P(
    Ops, FaultInjection,
    ::testing::Values(InjectCase{"write_eio_once", Op::Write, EIO, false},
                      InjectCase{"write_enospc_always", Op::Write, ENOSPC, true},
                      InjectCase{"sync_eio_once", Op::Sync, EIO, false},
                      InjectCase{"sync_eio_always", Op::Sync, EIO, true},
                      InjectCase{"truncate_enospc", Op::Truncate, ENOSPC, false},
                      InjectCase{"rename_eio", Op::Rename, EIO, true},
                      InjectCase{"open_eio", Op::Open, EIO, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FaultFs, ShortWriteLeavesAPrefixThenFails) {
  TempDir dir;
  FaultFs fs;
  fs.add_fault({.op = Op::Write, .nth = 1, .error = ENOSPC, .short_write = 3});
  auto f = open_ok(fs, dir.file("f"), OpenMode::ReadAppendCreate);
  Status st = f->write("abcdef", 6);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().text(), "No space left on device (os error 28)");
  EXPECT_EQ(slurp(dir.file("f")), "abc");
  EXPECT_TRUE(f->write("gh", 2).ok());  // once only
  EXPECT_EQ(slurp(dir.file("f")), "abcgh");
}

TEST(FaultFs, RecordsEveryOperationInOrder) {
  TempDir dir;
  FaultFs fs;
  fs.add_fault({.op = Op::Sync, .nth = 1, .error = EIO});
  {
    auto f = open_ok(fs, dir.file("f"), OpenMode::ReadAppendCreate);
    ASSERT_TRUE(f->write("xyz", 3).ok());
    EXPECT_FALSE(f->sync().ok());
  }
  ASSERT_TRUE(fs.rename(dir.file("f"), dir.file("g")).ok());
  std::vector<OpRecord> log = fs.log();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0].op, Op::Open);
  EXPECT_EQ(log[0].arg, static_cast<uint64_t>(OpenMode::ReadAppendCreate));
  EXPECT_EQ(log[1].op, Op::Write);
  EXPECT_EQ(log[1].bytes, "xyz");
  EXPECT_EQ(log[2].op, Op::Sync);
  EXPECT_EQ(log[2].error, EIO);
  EXPECT_EQ(log[3].op, Op::Close);
  EXPECT_EQ(log[4].op, Op::Rename);
  EXPECT_EQ(log[4].target, dir.file("g"));
  for (size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i].seq, i);
  EXPECT_EQ(fs.count(Op::Write), 1u);
}

TEST(FaultFs, HookSeesBeforeAndAfterAndMayFail) {
  TempDir dir;
  FaultFs fs;
  std::vector<std::string> seen;
  fs.set_hook([&](HookPoint at, const OpRecord& rec) {
    seen.push_back(std::string(at == HookPoint::Before ? "before " : "after ") + op_name(rec.op));
    return (at == HookPoint::Before && rec.op == Op::Truncate) ? ENOSPC : 0;
  });
  auto f = open_ok(fs, dir.file("f"), OpenMode::ReadAppendCreate);
  EXPECT_EQ(f->truncate(0).error().text(), os_error_text(ENOSPC));
  EXPECT_EQ(seen, (std::vector<std::string>{"before open", "after open", "before truncate", "after truncate"}));
}

// ---- BufferedWriter ----

TEST(BufferedWriter, SmallPiecesWaitUntilTheBufferFills) {
  TempDir dir;
  FaultFs fs;
  BufferedWriter w(open_ok(fs, dir.file("f"), OpenMode::ReadAppendCreate), 0);
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
  TempDir dir;
  FaultFs fs;
  {
    BufferedWriter w(open_ok(fs, dir.file("f"), OpenMode::ReadAppendCreate), 0);
    ASSERT_TRUE(w.append(std::string(8000, 'a')).ok());
    fs.add_fault({.op = Op::Write, .nth = 1, .error = EIO});
    EXPECT_FALSE(w.append(std::string(500, 'x')).ok());  // flush fails: x refused
    EXPECT_EQ(w.end_offset(), 8000u);
    ASSERT_TRUE(w.append(std::string(500, 'b')).ok());
  }
  EXPECT_EQ(slurp(dir.file("f")), std::string(8000, 'a') + std::string(500, 'b'));
}

TEST(BufferedWriter, PartialFlushKeepsTheRestInOrder) {
  TempDir dir;
  FaultFs fs;
  {
    BufferedWriter w(open_ok(fs, dir.file("f"), OpenMode::ReadAppendCreate), 0);
    ASSERT_TRUE(w.append("0123456789").ok());
    fs.add_fault({.op = Op::Write, .nth = 1, .error = ENOSPC, .short_write = 4});
    EXPECT_EQ(w.flush().error().text(), os_error_text(ENOSPC));
    EXPECT_EQ(w.file_length(), 4u);
    EXPECT_EQ(w.buffered(), 6u);
    ASSERT_TRUE(w.append("ab").ok());
  }
  EXPECT_EQ(slurp(dir.file("f")), "0123456789ab");
}

TEST(BufferedWriter, BigPieceCutShortKeepsItsRestAhead) {
  TempDir dir;
  FaultFs fs;
  const std::string big(10000, 'z');
  {
    BufferedWriter w(open_ok(fs, dir.file("f"), OpenMode::ReadAppendCreate), 0);
    fs.add_fault({.op = Op::Write, .nth = 1, .error = EIO, .short_write = 100});
    ASSERT_TRUE(w.append(big).ok());  // accepted: the rest waits in the buffer
    EXPECT_EQ(w.end_offset(), 10000u);
    ASSERT_TRUE(w.append("tail").ok());
  }
  EXPECT_EQ(slurp(dir.file("f")), big + "tail");
}

TEST(BufferedWriter, BigPieceRefusedOutrightLeavesNothing) {
  TempDir dir;
  FaultFs fs;
  {
    BufferedWriter w(open_ok(fs, dir.file("f"), OpenMode::ReadAppendCreate), 0);
    fs.add_fault({.op = Op::Write, .nth = 1, .error = EIO});
    EXPECT_FALSE(w.append(std::string(10000, 'z')).ok());
    EXPECT_EQ(w.end_offset(), 0u);
  }
  EXPECT_EQ(slurp(dir.file("f")), "");
}

}  // namespace
}  // namespace orvex::fs
