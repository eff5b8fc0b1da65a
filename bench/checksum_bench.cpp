// What the data file's checksums cost: CRC-32C throughput (the crc32
// instruction and the table fallback), the scan of the data file with and
// without its block sums, opening a collection (whose scan computes and
// checks them), and verify. Prints figures; checks nothing timed.
//
//   checksum_bench [vectors=1000000] [dimension=128] [directory=/tmp]
//
// The files are read from the page cache (just written, then read once
// before timing). Times are CPU seconds of this process, best of three.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "collection.h"
#include "storage/checksum.h"
#include "storage/data_file.h"
#include "storage/file.h"

namespace {

double cpu_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Best CPU time of three runs of f.
double best_of_three(const std::function<void()>& f) {
  double best = 1e30;
  for (int i = 0; i < 3; ++i) {
    const double start = cpu_seconds();
    f();
    best = std::min(best, cpu_seconds() - start);
  }
  return best;
}

[[noreturn]] void die(const orvex::Error& e) {
  std::fprintf(stderr, "error: %s\n", e.to_string().c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  const size_t dim = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
  const std::string dir = std::string(argc > 3 ? argv[3] : "/tmp") + "/orvex-checksum-bench-" + std::to_string(::getpid());
  const orvex::CollectionConfig config{dim, orvex::DistanceMetric::Euclidean, orvex::SyncMode::Manual};

  std::vector<char> buf(64 << 20);
  std::mt19937 rng(7);
  for (char& c : buf) c = static_cast<char>(rng());
  uint32_t sink = 0;
  const double hw = best_of_three([&] { sink ^= orvex::crc32c(0, buf.data(), buf.size()); });
  const double sw = best_of_three([&] { sink ^= orvex::crc32c_portable(0, buf.data(), buf.size()); });
  std::printf("crc32c: %.1f GB/s (this CPU's best path), %.1f GB/s (tables)\n", buf.size() / hw / 1e9,
              buf.size() / sw / 1e9);

  // The collection: records written straight into data.ovx, then one open
  // (no sums yet) and a flush, which writes them.
  {
    if (!orvex::fs::posix().create_dirs(dir).ok()) return 1;
    auto data = orvex::DataFile::open(orvex::fs::posix(), dir + "/data.ovx");
    if (!data.ok()) die(data.error());
    std::vector<float> v(dim);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    for (uint64_t id = 1; id <= n; ++id) {
      for (float& x : v) x = uniform(rng);
      if (auto off = (*data)->append(id, v, {}); !off.ok()) die(off.error());
    }
    if (auto st = (*data)->sync(); !st.ok()) die(st.error());
    auto c = orvex::Collection::open_or_create(dir, config);
    if (!c.ok()) die(c.error());
    if (auto st = (*c)->flush(); !st.ok()) die(st.error());
  }
  const double bytes = static_cast<double>(std::filesystem::file_size(dir + "/data.ovx"));
  auto data = orvex::DataFile::open_to_read(orvex::fs::posix(), dir + "/data.ovx").value();
  uint64_t seen = 0;
  const double plain = best_of_three([&] { (void)data->scan_active([&](orvex::DataRecord&) { ++seen; }); });
  const double summed = best_of_three([&] {
    orvex::BlockSums sums;
    orvex::ScanExtras extras;
    extras.sums = &sums;
    (void)data->scan_active([&](orvex::DataRecord&) { ++seen; }, nullptr, false, &extras);
  });
  const double open = best_of_three([&] {
    auto c = orvex::Collection::open_or_create(dir, config);
    if (!c.ok()) die(c.error());
  });
  const double verify = best_of_three([&] {
    auto r = orvex::Collection::verify(dir);
    if (!r.ok() || !(*r)["ok"].get<bool>()) die(r.ok() ? orvex::Error::io("verify finds damage") : r.error());
  });
  const double extra = summed - plain;
  std::printf("data file: %.0f MB, %llu records of dimension %zu\n", bytes / 1e6, static_cast<unsigned long long>(n), dim);
  std::printf("scan without sums  %7.3f s  %6.2f GB/s\n", plain, bytes / plain / 1e9);
  std::printf("scan with sums     %7.3f s  %6.2f GB/s  (+%.3f s)\n", summed, bytes / summed / 1e9, extra);
  std::printf("open (checked)     %7.3f s  the sums cost %.1f%% over an open without them\n", open,
              100.0 * extra / (open - extra));
  std::printf("verify             %7.3f s  %6.2f GB/s of the data file (log empty)\n", verify, bytes / verify / 1e9);
  std::filesystem::remove_all(dir);
  return sink == 42 ? 1 : 0;
}
