// Keeps a write into a socket the peer has closed from raising SIGPIPE in the
// calling process, without touching the process's own disposition.
#ifndef QEL_COMMON_SIGPIPE_GUARD_H
#define QEL_COMMON_SIGPIPE_GUARD_H

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

namespace qel {

// Blocks SIGPIPE on this thread for the guard's life and
// consumes one raised meanwhile. Stack object of the writing thread.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&m_pipe);
    sigaddset(&m_pipe, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    m_wasPending = sigismember(&pending, SIGPIPE) == 1;
    m_blocked = pthread_sigmask(SIG_BLOCK, &m_pipe, &m_old) == 0;
  }
  ~SigpipeGuard() {
    if (!m_blocked) return;
    sigset_t pending;
    sigpending(&pending);
    if (!m_wasPending && sigismember(&pending, SIGPIPE) == 1) {
      const timespec zero{0, 0};
      while (sigtimedwait(&m_pipe, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t m_pipe{};
  sigset_t m_old{};
  bool m_wasPending = false;
  bool m_blocked = false;
};

}  // namespace qel

#endif  // QEL_COMMON_SIGPIPE_GUARD_H
