#include "client_config.h"

#include "config/base_config.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

namespace {
BaseConfig& Cfg() { return BaseConfig::GetInstance(); }
}  // namespace

bool ClientConfig::IsUseSSL() { return Cfg().IsUseSSL(); }
void ClientConfig::SetUseSSL(bool use_ssl) { Cfg().SetUseSSL(use_ssl); }
void ClientConfig::SetSSLCertfolder(const char* folder) { Cfg().SetSSLCertfolder(folder ? folder : ""); }
const char* ClientConfig::GetSSLCertfolder() { return Cfg().GetSSLCertfolder().c_str(); }
void ClientConfig::SetHandleThreadNum(uint32_t num) { Cfg().SetHandleThreadNum(num); }
uint32_t ClientConfig::GetHandleThreadNum() { return Cfg().GetHandleThreadNum(); }
void ClientConfig::SetLogFileOutFolder(const char* folder) { Cfg().SetLogFileOutFolder(folder ? folder : ""); }
const char* ClientConfig::GetLogFileOutFolder() { return Cfg().GetLogFileOutFolder().c_str(); }
VentrixLogLevel ClientConfig::GetLogSeverity() { return static_cast<VentrixLogLevel>(Cfg().GetLogSeverity()); }
void ClientConfig::SetLogSeverity(VentrixLogLevel level) { Cfg().SetLogSeverity(static_cast<uint32_t>(level)); }
void ClientConfig::OpenFileLog() { Cfg().OpenFileLog(); }
void ClientConfig::CloseFileLog() { Cfg().CloseFileLog(); }
bool ClientConfig::IsFileLog() { return Cfg().IsFileLog(); }
void ClientConfig::OpenCoutLog() { Cfg().OpenCoutLog(); }
void ClientConfig::CloseCoutLog() { Cfg().CloseCoutLog(); }
bool ClientConfig::IsCoutLog() { return Cfg().IsCoutLog(); }
void ClientConfig::SetThreadIdleSleepTime(uint32_t micros) { Cfg().SetThreadIdleSleepTime(micros); }
uint32_t ClientConfig::GetThreadIdleSleepTime() {
  return static_cast<uint32_t>(Cfg().GetThreadIdleSleepTime().count());
}
void ClientConfig::SetReadTimeout(uint32_t seconds) { Cfg().SetReadTimeout(seconds); }
uint32_t ClientConfig::GetReadTimeout() { return Cfg().GetReadTimeout(); }
void ClientConfig::SetSendTimeout(uint32_t seconds) { Cfg().SetSendTimeout(seconds); }
uint32_t ClientConfig::GetSendTimeout() { return Cfg().GetSendTimeout(); }
uint32_t ClientConfig::GetHeartBeatInterval() { return Cfg().GetHeartBeatInterval(); }
const char* ClientConfig::GetAppVersion() { return Cfg().GetAppVersion().c_str(); }

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
