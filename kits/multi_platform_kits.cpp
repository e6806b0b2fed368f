#include "kits/multi_platform_kits.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "log/base_log.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

MultiPlatformKits* MultiPlatformKits::s_kits = nullptr;

MultiPlatformKits* MultiPlatformKits::GetInstance() {
  if (s_kits == nullptr) s_kits = new MultiPlatformKits();
  return s_kits;
}

void MultiPlatformKits::UnInstance() {
  delete s_kits;
  s_kits = nullptr;
}

MultiPlatformKits::MultiPlatformKits()
    : m_hostName(new char[HOSTNAME_LENGTH]()),
      m_mac(new char[MAC_LENGTH]()),
      m_connection_id(new char[CONNECTION_ID_LENGTH]()) {}

int MultiPlatformKits::GetProcessId() { return static_cast<int>(getpid()); }

const char* MultiPlatformKits::GetHostName() {
  std::call_once(m_hostNameOnce, [this] {
    gethostname(m_hostName.get(), HOSTNAME_LENGTH - 1);  // last byte stays the terminator
  });
  return m_hostName.get();
}

const char* MultiPlatformKits::GetMac() {
  std::call_once(m_macOnce, [this] { SearchMac(); });
  return m_mac.get();
}

void MultiPlatformKits::SearchMac() {
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (struct ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
      if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) continue;
      char ip[INET_ADDRSTRLEN] = {0};
      const auto* sin = reinterpret_cast<const struct sockaddr_in*>(ifa->ifa_addr);
      if (inet_ntop(AF_INET, &sin->sin_addr, ip, sizeof(ip)) == nullptr) continue;
      if (strcmp(ip, "127.0.0.1") == 0) continue;
      if (GetMacFromIFA(ifa->ifa_name)) {
        freeifaddrs(list);
        return;
      }
    }
    freeifaddrs(list);
  }
  snprintf(m_mac.get(), MAC_LENGTH, "%s", DEFAULT_MAC);
}

bool MultiPlatformKits::GetMacFromIFA(const char* interface_name) {
  if (interface_name == nullptr) {
    WarnPrint("Get Mac failed, set to default");
    return false;
  }
  int sock = socket(AF_INET, SOCK_STREAM, 0);
  if (sock < 0) {
    WarnPrint("Get Mac from socket failed, set to default");
    return false;
  }
  struct ifreq req;
  memset(&req, 0, sizeof(req));
  strncpy(req.ifr_name, interface_name, IFNAMSIZ - 1);
  int rc = ioctl(sock, SIOCGIFHWADDR, &req);
  close(sock);
  if (rc < 0) {
    WarnPrint("Get Mac from ioctl failed, set to default");
    return false;
  }
  const auto* b = reinterpret_cast<const unsigned char*>(req.ifr_hwaddr.sa_data);
  snprintf(m_mac.get(), MAC_LENGTH, "%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2], b[3], b[4],
           b[5]);
  return true;
}

const char* MultiPlatformKits::GetConnectionId(const char* user_name) {
  snprintf(m_connection_id.get(), CONNECTION_ID_LENGTH, "%s-%s-%d", user_name ? user_name : "",
           GetMac(), GetProcessId());
  return m_connection_id.get();
}

bool MultiPlatformKits::FolderExist(const char* dir) {
  if (dir == nullptr) return false;
  struct stat st;
  return stat(dir, &st) == 0 && S_ISDIR(st.st_mode);
}

bool MultiPlatformKits::CreateFolder(const char* folder_path) {
  if (folder_path == nullptr) return false;
  return mkdir(folder_path, 0777) == 0;
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
