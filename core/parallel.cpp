#include "parallel.h"

#include <sched.h>

namespace orvex {

size_t resolve_threads(size_t threads) {
  if (threads > 0) return threads;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace orvex
