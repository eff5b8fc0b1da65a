// Running part of a test in a forked child process: the child is ended with
// _exit (never returns into the test), the parent gets how it ended. Used to
// stop a workload at a crash point, and to open damaged files under a memory
// limit so that a crash or an unbounded allocation shows as a failed test,
// not as a dead test binary.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace orvex::testing {

struct ChildEnd {
  bool exited = false;  // ended through exit/_exit
  int code = 0;         // exit code, when exited
  int signal = 0;       // the signal that killed it, otherwise
  std::string output;   // what the child wrote to its report pipe

  std::string describe() const;
};

// Forks; the child calls body(report_fd) and _exits with its result. The
// parent collects everything written to report_fd and waits for the child.
// memory_limit: when non-zero, RLIMIT_AS in the child (skipped in sanitizer
// builds, whose shadow memory needs a huge address space).
ChildEnd run_in_child(const std::function<int(int report_fd)>& body, uint64_t memory_limit = 0);

// Writes all of `text` to fd with write(2).
void write_all(int fd, const std::string& text);

// ORVEX_LONG_TESTS=1 in the environment: run the long variants.
bool long_tests();

}  // namespace orvex::testing
