#include "wal.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <random>

#include "test_temp_dir.h"

namespace orvex {
namespace {

using testing::le;
using testing::slurp;
using testing::spit;
using testing::TempDir;

uint32_t crc(const std::string& s) {
  return static_cast<uint32_t>(::crc32(0, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}
std::string frame(const std::string& text) { return le(crc(text)) + le(static_cast<uint32_t>(text.size())) + text; }

std::unique_ptr<Wal> open_wal(const std::string& path, uint64_t sync_every = 0) {
  auto w = Wal::open(fs::posix(), path, sync_every);
  EXPECT_TRUE(w.ok()) << w.error().to_string();
  return std::move(w).value();
}

TEST(Wal, FramesAreExactBytesAndACheckpointEmptiesTheFile) {
  EXPECT_EQ(crc("123456789"), 0xCBF43926u);
  TempDir dir;
  const std::string path = dir.file("wal.log");
  auto wal = open_wal(path);
  Payload p;
  p.data["k"] = Json::parse(R"({"b":1,"a":"x\ny"})");
  ASSERT_TRUE(wal->append({WalEntryKind::Insert, 7, {0.5f, 2.0f}, {}}).ok());
  ASSERT_TRUE(wal->append({WalEntryKind::Update, 18446744073709551615u, {-0.0f, 0.1f, 1e-45f}, p}).ok());
  ASSERT_TRUE(wal->append({WalEntryKind::Delete, 3, {}, {}}).ok());
  ASSERT_TRUE(wal->sync().ok());
  EXPECT_EQ(slurp(path),
            frame(R"({"kind":"Insert","id":7,"vector":[0.5,2.0],"payload":{"data":{}}})") +
                frame(R"({"kind":"Update","id":18446744073709551615,"vector":[-0.0,0.1,1e-45],)"
                      R"("payload":{"data":{"k":{"a":"x\ny","b":1}}}})") +
                frame(R"({"kind":"Delete","id":3,"vector":[],"payload":{"data":{}}})"));

  // Emptied, and a new generation started in it, on the file at once.
  ASSERT_TRUE(wal->checkpoint().ok());
  const std::string started = slurp(path);
  auto generation = Wal::read_generation(fs::posix(), path).value();
  ASSERT_TRUE(generation.has_value());
  EXPECT_EQ(started, frame(R"({"kind":"Checkpoint","id":0,"vector":[],"payload":{"data":{"log_generation":)" +
                           std::to_string(*generation) + "}}}"));
  ASSERT_TRUE(wal->append({WalEntryKind::Checkpoint, 0, {}, {}}).ok());
  ASSERT_TRUE(wal->sync().ok());
  EXPECT_EQ(slurp(path), started + frame(R"({"kind":"Checkpoint","id":0,"vector":[],"payload":{"data":{}}})"));
  // Each log its own generation; a plain checkpoint entry starts none.
  ASSERT_TRUE(wal->checkpoint().ok());
  EXPECT_NE(Wal::read_generation(fs::posix(), path).value(), generation);
  EXPECT_FALSE(Wal::generation_of({WalEntryKind::Checkpoint, 0, {}, {}}));
}

TEST(Wal, EveryFloatReadsBackBitForBit) {
  TempDir dir;
  const std::string path = dir.file("wal.log");
  std::mt19937 rng(7);
  std::vector<WalEntry> written;
  {
    auto wal = open_wal(path);
    for (int i = 0; i < 200; ++i) {
      std::vector<float> v(17);
      for (float& x : v) {
        uint32_t bits = static_cast<uint32_t>(rng());
        std::memcpy(&x, &bits, 4);
        if (!std::isfinite(x)) x = 1.0f;  // the log has no text for the others
      }
      written.push_back({WalEntryKind::Insert, static_cast<uint64_t>(i), v, {}});
      ASSERT_TRUE(wal->append(written.back()).ok());
    }
  }
  auto read = Wal::read_all(fs::posix(), path);
  ASSERT_TRUE(read.ok()) << read.error().to_string();
  ASSERT_EQ(read->entries.size(), written.size());
  for (size_t i = 0; i < written.size(); ++i) {
    ASSERT_EQ(std::memcmp(read->entries[i].vector.data(), written[i].vector.data(), 17 * 4), 0) << i;
  }
}

TEST(Wal, NonFiniteComponentIsRefusedAndNothingWritten) {
  TempDir dir;
  auto wal = open_wal(dir.file("wal.log"));
  auto st = wal->append({WalEntryKind::Insert, 1, {1.0f, NAN}, {}});
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().to_string(), "WAL corrupted: serialization failed: vector component 1 is not finite");
  ASSERT_TRUE(wal->sync().ok());
  EXPECT_EQ(wal->length(), 0u);
  EXPECT_EQ(wal->unsynced_entries(), 0u);
}

TEST(Wal, SyncsOnceEveryNEntries) {
  TempDir dir;
  for (uint64_t every : {1u, 100u}) {
    auto wal = open_wal(dir.file("wal" + std::to_string(every)), every);
    for (uint64_t i = 1; i <= 2 * every; ++i) {
      ASSERT_TRUE(wal->append({WalEntryKind::Insert, i, {1.0f}, {}}).ok());
      EXPECT_EQ(wal->unsynced_entries(), i % every) << every << " " << i;
    }
  }
}

// What reading a log whose end is damaged gives: every entry before the
// damage and where the whole frames end, or an error for damage inside a
// whole frame.
TEST(Wal, ReadingDamagedEnds) {
  const std::string a = frame(R"({"kind":"Insert","id":1,"vector":[1.0],"payload":{"data":{}}})");
  const std::string b = frame(R"({"kind":"Delete","id":1,"vector":[],"payload":{"data":{}}})");
  const uint64_t whole = a.size() + b.size();
  std::string flipped = a + b;
  flipped[a.size() + 20] ^= 1;
  struct Case {
    std::string bytes;
    size_t entries;    // read quietly
    std::string error;  // or this error
  } cases[] = {
      {"", 0, ""},
      {a + b, 2, ""},
      {a + b + "\x01\x02\x03", 2, ""},                      // cut inside a checksum
      {a + b + le(uint32_t{5}) + "\x01\x00", 2, ""},        // cut inside a length
      {a + b + b.substr(0, b.size() - 1), 2, ""},           // cut inside the text
      {a + b + std::string(13, '\0'), 2, ""},               // a zero-filled tail
      {a + b + le(uint32_t{1}) + le(uint32_t{0xFFFFFFFF}) + "xyz", 2, ""},  // a huge stated length
      {flipped, 0, "WAL corrupted: checksum mismatch: expected " + std::to_string(crc(b.substr(8))) + ", got " +
                       std::to_string(crc(flipped.substr(a.size() + 8)))},
      {a + std::string(8, '\0') + "x", 0, "WAL corrupted: deserialization failed: expected `{` at offset 0"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes.size());
    spit(dir.file("wal.log"), c.bytes);
    auto read = Wal::read_all(fs::posix(), dir.file("wal.log"));
    if (!c.error.empty()) {
      ASSERT_FALSE(read.ok());
      EXPECT_EQ(read.error().to_string(), c.error);
      continue;
    }
    ASSERT_TRUE(read.ok()) << read.error().to_string();
    EXPECT_EQ(read->entries.size(), c.entries);
    EXPECT_EQ(read->end_offset, c.entries == 2 ? whole : 0);
  }
  auto missing = Wal::read_all(fs::posix(), dir.file("none"));
  ASSERT_TRUE(missing.ok());
  EXPECT_TRUE(missing->entries.empty());
}

TEST(Wal, EntryTextsThatDecodeAndThatDoNot) {
  const std::string ok[] = {
      R"({"kind":"Insert","id":7,"vector":[0.5,2],"payload":{"data":{}}})",
      R"( { "payload" : {"x":1,"data":{"a":null}} , "vector":[ 1e2 , -0 ],"other":[{}], "id":0,"kind":"Checkpoint"} )",
  };
  for (const std::string& text : ok) EXPECT_TRUE(Wal::from_bytes(text).ok()) << text;
  auto e = Wal::from_bytes(ok[1]);
  EXPECT_EQ(e->vector, (std::vector<float>{100.0f, -0.0f}));
  EXPECT_TRUE(e->payload.data.at("a").is_null());

  const std::pair<std::string, std::string> bad[] = {
      {R"({"kind":"insert","id":7,"vector":[],"payload":{"data":{}}})", "unknown variant `insert`"},
      {R"({})", "missing field `kind`"},
      {R"({"kind":"Insert","kind":"Insert","id":7,"vector":[],"payload":{"data":{}}})", "duplicate field `kind`"},
      {R"({"kind":"Insert","id":-7,"vector":[],"payload":{"data":{}}})", "field `id`"},
      {R"({"kind":"Insert","id":1.5,"vector":[],"payload":{"data":{}}})", "field `id`"},
      {R"({"kind":"Insert","id":7,"vector":[null],"payload":{"data":{}}})", "is not a number"},
      {R"({"kind":"Insert","id":7,"vector":[1e39],"payload":{"data":{}}})", "out of range"},
      {R"({"kind":"Insert","id":7,"vector":[],"payload":{}})", "missing field `data`"},
      {R"({"kind":"Insert","id":7,"vector":[],"payload":{"data":{}}} x)", "trailing characters"},
  };
  for (const auto& [text, cause] : bad) {
    auto r = Wal::from_bytes(text);
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_EQ(r.error().to_string().rfind("WAL corrupted: deserialization failed: ", 0), 0u) << text;
    EXPECT_NE(r.error().to_string().find(cause), std::string::npos) << r.error().to_string();
  }
}

}  // namespace
}  // namespace orvex
