// Public configuration facade. Every call forwards to the process-wide
// configuration object.
//
// Thread-safety: configure the library before CreateClient and
// LoginByServiceDiscovery; after that the values are only read by library
// threads. Settings survive ClientFactory::Uninstance.
#ifndef QEL_API_CLIENT_CONFIG_H
#define QEL_API_CLIENT_CONFIG_H

#include <cstdint>

#include "base_define.h"
#include "log_interface.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

class QEL_API ClientConfig {
 public:
  static bool IsUseSSL();
  static void SetUseSSL(bool use_ssl);
  static void SetSSLCertfolder(const char* folder);
  static const char* GetSSLCertfolder();
  // Accepts 1 to 99 and stores 0 as 1 (the worker pool divides by the count);
  // a value above 99 leaves the setting unchanged.
  static void SetHandleThreadNum(uint32_t num);
  static uint32_t GetHandleThreadNum();
  // The folder is used as a plain prefix of the log file name: end it with '/'.
  static void SetLogFileOutFolder(const char* folder);
  static const char* GetLogFileOutFolder();
  static VentrixLogLevel GetLogSeverity();
  static void SetLogSeverity(VentrixLogLevel level);
  static void OpenFileLog();
  static void CloseFileLog();
  static bool IsFileLog();
  static void OpenCoutLog();
  static void CloseCoutLog();
  static bool IsCoutLog();
  static void SetThreadIdleSleepTime(uint32_t micros);
  static uint32_t GetThreadIdleSleepTime();
  static void SetReadTimeout(uint32_t seconds);
  static uint32_t GetReadTimeout();
  static void SetSendTimeout(uint32_t seconds);
  static uint32_t GetSendTimeout();
  static uint32_t GetHeartBeatInterval();
  static const char* GetAppVersion();

 private:
  ClientConfig() = default;
  ~ClientConfig() = default;
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_API_CLIENT_CONFIG_H
