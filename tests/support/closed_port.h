// A TCP port on 127.0.0.1 that nothing listens on: bound to an ephemeral
// port, then closed, so a connect to it is refused at once.
#ifndef QEL_TESTS_SUPPORT_CLOSED_PORT_H
#define QEL_TESTS_SUPPORT_CLOSED_PORT_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qel_test {

// 0 if no socket could be had (the caller's connect then fails too).
inline int ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
                  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  close(fd);
  return ok ? ntohs(addr.sin_port) : 0;
}

}  // namespace qel_test

#endif  // QEL_TESTS_SUPPORT_CLOSED_PORT_H
