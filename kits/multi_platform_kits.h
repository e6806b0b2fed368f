// Host facts: process id, host name, hardware address, folders, connection id.
//
// Thread-safety: GetInstance takes no lock; the singleton is first used on the
// thread that creates the client, before other library threads exist. The host
// name and hardware address are looked up once (std::call_once), whoever asks
// first and however many threads ask at once, and then only read.
#ifndef QEL_KITS_MULTI_PLATFORM_KITS_H
#define QEL_KITS_MULTI_PLATFORM_KITS_H

#include <memory>
#include <mutex>

namespace com {
namespace quor {
namespace kbr {
namespace client {

// Called from any library thread; owns the cached host name, hardware address
// and connection-id buffers.
class MultiPlatformKits {
 public:
  static MultiPlatformKits* GetInstance();
  static void UnInstance();

  static int GetProcessId();
  const char* GetHostName();
  // "XX:XX:XX:XX:XX:XX" of the first non-loopback IPv4 interface, or
  // "default_mac" when none is found. Searched once per singleton; the outcome,
  // "none found" included, is kept (interfaces rarely come and go under a
  // running client, and a repeated search raced with concurrent callers).
  const char* GetMac();
  // Reads one interface's hardware address into the cache; false (and the
  // cache unchanged) on failure. GetMac's one search calls it; a direct call
  // overwrites the cached address and is not meant for concurrent callers.
  bool GetMacFromIFA(const char* interface_name);
  // "<user>-<mac>-<pid>"; valid until the next call.
  const char* GetConnectionId(const char* user_name);
  static bool FolderExist(const char* dir);
  static bool CreateFolder(const char* folder_path);
  void StartWindowsEnv() {}
  void FreeWindowsEnv() {}

  MultiPlatformKits(const MultiPlatformKits&) = delete;
  MultiPlatformKits& operator=(const MultiPlatformKits&) = delete;

 private:
  MultiPlatformKits();
  ~MultiPlatformKits() = default;

  void SearchMac();

  std::once_flag m_hostNameOnce;  // guards the one fill of m_hostName
  std::once_flag m_macOnce;       // guards the one search that fills m_mac
  std::unique_ptr<char[]> m_hostName;
  std::unique_ptr<char[]> m_mac;  // allocated up front; "default_mac" when none is found
  std::unique_ptr<char[]> m_connection_id;
  // Static: the constructor sizes buffers with them before any member is set.
  static constexpr int HOSTNAME_LENGTH = 128;
  static constexpr int MAC_LENGTH = 64;
  static constexpr int CONNECTION_ID_LENGTH = 128;
  static constexpr const char* DEFAULT_MAC = "default_mac";

  static MultiPlatformKits* s_kits;
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_KITS_MULTI_PLATFORM_KITS_H
