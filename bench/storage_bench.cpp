// Storage throughput: appends to the log and the data file, reading the log
// back, and scanning the data file. Prints figures; checks nothing timed.
//
//   storage_bench [entries=1000000] [dimension=128] [directory=/tmp]
//
// Reads run from the page cache (the files were just written), so they
// measure the parsing cost, not the disk.
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "storage/data_file.h"
#include "storage/file.h"
#include "storage/wal.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of this process: steadier than wall time on a shared machine.
double cpu_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

double g_cpu_start = 0;
void start_cpu() { g_cpu_start = cpu_seconds(); }

uint64_t file_size(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Throughput by wall time, and by the CPU time used since start_cpu().
void report(const char* what, uint64_t bytes, uint64_t items, double secs) {
  const double cpu = cpu_seconds() - g_cpu_start;
  std::printf("%-34s %8.1f MB/s %10.0f entries/s %7.3f s | cpu %7.3f s %8.1f MB/s  (%.1f MB)\n", what,
              bytes / secs / 1e6, items / secs, secs, cpu, bytes / cpu / 1e6, bytes / 1e6);
}

[[noreturn]] void die(const orvex::Error& e) {
  std::fprintf(stderr, "error: %s\n", e.to_string().c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  const size_t dim = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
  std::string dir = argc > 3 ? argv[3] : "/tmp";
  dir += "/orvex-storage-bench-" + std::to_string(::getpid());
  if (!orvex::fs::posix().create_dirs(dir).ok()) return 1;
  const std::string wal_path = orvex::fs::join(dir, "wal.log");
  const std::string data_path = orvex::fs::join(dir, "data.ovx");

  // A pool of random vectors, cycled, so generating them is not timed.
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<std::vector<float>> pool(4096, std::vector<float>(dim));
  for (auto& v : pool)
    for (float& x : v) x = uniform(rng);
  const orvex::Payload empty;

  std::printf("orvex storage: %llu entries of dimension %zu, files in %s\n", static_cast<unsigned long long>(n), dim,
              dir.c_str());

  {
    auto wal = orvex::Wal::open(orvex::fs::posix(), wal_path, 0);
    if (!wal.ok()) die(wal.error());
    start_cpu();
    auto start = Clock::now();
    for (uint64_t id = 0; id < n; ++id) {
      auto st = wal.value()->append(orvex::WalEntryKind::Insert, id, pool[id % pool.size()], empty);
      if (!st.ok()) die(st.error());
    }
    const double append_secs = seconds_since(start);
    if (auto st = wal.value()->sync(); !st.ok()) die(st.error());
    const double total_secs = seconds_since(start);
    report("log append (Manual)", file_size(wal_path), n, append_secs);
    report("log append (Manual) + final sync", file_size(wal_path), n, total_secs);
  }
  {
    start_cpu();
    auto start = Clock::now();
    auto read = orvex::Wal::read_all(orvex::fs::posix(), wal_path);
    if (!read.ok()) die(read.error());
    double secs = seconds_since(start);
    if (read->entries.size() != n) {
      std::fprintf(stderr, "read_all returned %zu entries\n", read->entries.size());
      return 1;
    }
    report("log read_all", file_size(wal_path), n, secs);
  }
  {
    auto df = orvex::DataFile::open(orvex::fs::posix(), data_path);
    if (!df.ok()) die(df.error());
    start_cpu();
    auto start = Clock::now();
    for (uint64_t id = 0; id < n; ++id) {
      auto off = df.value()->append(id, pool[id % pool.size()], empty);
      if (!off.ok()) die(off.error());
    }
    const double append_secs = seconds_since(start);
    if (auto st = df.value()->sync(); !st.ok()) die(st.error());
    report("data file append", file_size(data_path), n, append_secs);
    report("data file append + sync", file_size(data_path), n, seconds_since(start));

    start_cpu();
    start = Clock::now();
    auto scan = df.value()->iter_active();
    if (!scan.ok()) die(scan.error());
    double secs = seconds_since(start);
    if (scan->records.size() != n) return 1;
    report("data file iter_active", file_size(data_path), n, secs);

    uint64_t seen = 0;
    double checksum = 0;
    start_cpu();
    start = Clock::now();
    auto end = df.value()->scan_active([&](orvex::DataRecord& rec) {
      ++seen;
      checksum += rec.vector[0];
    });
    if (!end.ok()) die(end.error());
    secs = seconds_since(start);
    if (seen != n) return 1;
    report("data file scan_active", file_size(data_path), n, secs);
    std::printf("(checksum %.3f)\n", checksum);
  }
  (void)orvex::fs::posix().remove(wal_path);
  (void)orvex::fs::posix().remove(data_path);
  ::rmdir(dir.c_str());
  return 0;
}
