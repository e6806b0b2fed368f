// Runs a program built by this project as a child process, as a user would,
// and collects its standard output and standard error separately. Every run
// is bounded: a child still running at the bound is killed.
//
// Thread-safety: each call owns its child and pipes; calls may run at once.
#ifndef QEL_TESTS_SUPPORT_CHILD_PROCESS_H
#define QEL_TESTS_SUPPORT_CHILD_PROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qel_test {

struct ChildResult {
  bool timed_out = false;
  int exit_code = -1;  // -1: ended by a signal
  std::string out;
  std::string err;
};

// Called at least every 100 ms while the child runs, with its pid, the stdout
// received so far and the time since the start; may send the child a signal.
using ChildWatcher = std::function<void(pid_t, const std::string&, std::chrono::milliseconds)>;

inline ChildResult RunChild(const char* path, const std::vector<std::string>& args, std::chrono::seconds bound,
                            const ChildWatcher& watch = nullptr) {
  using Clock = std::chrono::steady_clock;
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    throw std::runtime_error("pipe");
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(path, argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  ChildResult result;
  const Clock::time_point started = Clock::now();
  const Clock::time_point deadline = started + bound;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_fds = 2;
  while (open_fds > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    const int ready = poll(fds, 2, static_cast<int>(std::min<long long>(left, 100)));
    if (watch) {
      watch(pid, result.out, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started));
    }
    if (ready < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buf[65536];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
        continue;
      }
      (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
    }
  }
  for (const pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  // Closing its outputs comes a little before the exit itself: wait for the
  // exit until the same bound, then kill.
  int status = 0;
  pid_t ended = 0;
  while ((ended = waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() < deadline) poll(nullptr, 0, 10);
  if (ended != pid) {
    result.timed_out = true;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return result;
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

}  // namespace qel_test

#endif  // QEL_TESTS_SUPPORT_CHILD_PROCESS_H
