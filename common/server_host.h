// Server endpoints and the node map shared by the discovery and datafeed sides.
//
// Plain value types: no internal synchronisation; copy them between threads.
#ifndef QEL_COMMON_SERVER_HOST_H
#define QEL_COMMON_SERVER_HOST_H

#include <climits>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace com {
namespace quor {
namespace kbr {
namespace client {

// One server endpoint: IPv4 address text, TCP port, and the TLS flag that the
// discovery service announced for it. Shown in logs as "ip:port".
struct ServerHost {
  ServerHost() : m_port(0), m_isSsl(false) {}
  ServerHost(std::string ip, int port, bool isSsl) : m_ip(std::move(ip)), m_port(port), m_isSsl(isSsl) {}
  // "ip:port": the IP is the text before the first colon, the port the text
  // after it read as a decimal int (optional sign, digits only, in int range).
  // Without a colon the whole text is the IP. A port text that does not read
  // that way gives port 0, which callers reject as a port. TLS flag false.
  explicit ServerHost(std::string host) : m_port(0), m_isSsl(false) {
    const std::string::size_type colon = host.find(':');
    if (colon == std::string::npos) {
      m_ip = std::move(host);
      return;
    }
    m_port = ParsePort(host, colon + 1);
    host.resize(colon);
    m_ip = std::move(host);
  }
  ServerHost(const ServerHost&) = default;
  ServerHost(ServerHost&&) = default;
  ServerHost& operator=(const ServerHost&) = default;
  ServerHost& operator=(ServerHost&&) = default;

  const std::string& GetServerIp() const { return m_ip; }
  int GetServerPort() const { return m_port; }
  bool IsSsl() const { return m_isSsl; }
  // "ip:port", the form in which logs and callbacks show a host.
  std::string HostText() const { return m_ip + ":" + std::to_string(m_port); }

  std::string m_ip;
  int m_port;
  bool m_isSsl;

 private:
  static int ParsePort(const std::string& text, std::string::size_type pos) {
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
      negative = text[pos] == '-';
      ++pos;
    }
    if (pos >= text.size()) return 0;
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : static_cast<long long>(INT_MAX);
    long long value = 0;
    for (; pos < text.size(); ++pos) {
      const char c = text[pos];
      if (c < '0' || c > '9') return 0;
      value = value * 10 + (c - '0');
      if (value > limit) return 0;
    }
    return static_cast<int>(negative ? -value : value);
  }
};

// True for a TCP port a host may be reached on: 1..65535. Ports outside that
// range are refused where hosts are read, never cut to 16 bits.
inline bool IsValidPort(int port) { return port >= 1 && port <= 65535; }

// Discovery hosts in the order to try them; a connection's node list.
using ServerHostVectorType = std::vector<ServerHost>;
// One site type's nodes by priority, highest priority first.
using ServerHostListType = std::map<int, ServerHost, std::greater<int>>;
// The node map: site type (ascending) to its nodes.
using IdToServerHostMapType = std::map<int, ServerHostListType>;

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_COMMON_SERVER_HOST_H
