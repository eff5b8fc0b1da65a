// parallel_for: one call's work split over threads that live only for the
// call.
//
// [0, n) is cut into parallel_parts(n, threads) contiguous ranges, part p
// being [n p / parts, n (p + 1) / parts), and f(p, begin, end) runs once
// per part: part 0 on the calling thread, each other part on a thread of
// its own. With threads <= 1, or n == 1, f(0, 0, n) runs on the calling
// thread alone; with n == 0 nothing runs. Should a thread not start (no
// memory, or the system refuses one), its part runs on the calling thread
// after part 0: the work is always done, on fewer threads.
//
// Errors: none. f must not throw: an exception leaving f on another thread
// ends the process.
//
// Thread-safety: the parts run concurrently, so f may share only what it
// reads or what is partitioned by part; the call returns once every part is
// done.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace orvex {

// The threads a call may use: `threads`, or with 0 every core this
// process may run on.
size_t resolve_threads(size_t threads);

// How many parts parallel_for(n, threads, f) runs.
inline size_t parallel_parts(size_t n, size_t threads) { return std::min(std::max<size_t>(threads, 1), n); }

template <class F>
void parallel_for(size_t n, size_t threads, F&& f) {
  const size_t parts = parallel_parts(n, threads);
  auto part = [&](size_t p) { f(p, n * p / parts, n * (p + 1) / parts); };
  std::vector<std::thread> workers;
  std::vector<size_t> inline_parts;
  for (size_t p = 1; p < parts; ++p) {
    try {
      workers.emplace_back(part, p);
    } catch (const std::system_error&) {
      inline_parts.push_back(p);
    } catch (const std::bad_alloc&) {
      inline_parts.push_back(p);
    }
  }
  if (parts > 0) part(0);
  for (size_t p : inline_parts) part(p);
  for (std::thread& w : workers) w.join();
}

}  // namespace orvex
