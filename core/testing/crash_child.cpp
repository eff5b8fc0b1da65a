#include "crash_child.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORVEX_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define ORVEX_SANITIZED 1
#endif
#endif

namespace orvex::testing {

std::string ChildEnd::describe() const {
  if (exited) return "exited with code " + std::to_string(code) + (output.empty() ? "" : ": " + output);
  return "killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")" +
         (output.empty() ? "" : ": " + output);
}

void write_all(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

bool long_tests() {
  const char* v = std::getenv("ORVEX_LONG_TESTS");
  return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

ChildEnd run_in_child(const std::function<int(int report_fd)>& body, uint64_t memory_limit) {
  ChildEnd end;
  int fds[2];
  if (pipe(fds) != 0) {
    end.exited = true;
    end.code = -1;
    end.output = "pipe failed";
    return end;
  }
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    end.exited = true;
    end.code = -1;
    end.output = "fork failed";
    return end;
  }
  if (pid == 0) {
    close(fds[0]);
#ifndef ORVEX_SANITIZED
    if (memory_limit != 0) {
      struct rlimit lim;
      lim.rlim_cur = memory_limit;
      lim.rlim_max = memory_limit;
      setrlimit(RLIMIT_AS, &lim);
    }
#else
    (void)memory_limit;
#endif
    int code = body(fds[1]);
    _exit(code);
  }
  close(fds[1]);
  char buf[4096];
  for (;;) {
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    end.output.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    end.exited = true;
    end.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    end.signal = WTERMSIG(status);
  }
  return end;
}

}  // namespace orvex::testing
