// Process-wide configuration: a text property map of the known keys with
// their defaults, and a typed copy of every value for the getters.
//
// Thread-safety: creation is thread-safe. The application configures before it
// starts the client; library threads then only read. Scalar values are atomics
// so that a late setter never tears a read; text values must not be changed
// while a client runs.
#ifndef QEL_CONFIG_BASE_CONFIG_H
#define QEL_CONFIG_BASE_CONFIG_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "config/parameter_define.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

// Owned by the process (function-local static); called from any thread.
class BaseConfig {
 public:
  static BaseConfig& GetInstance();
  // Does nothing: the configuration outlives every client of the process.
  static void UnInstance();

  // Loads a key=value file; false for a null or empty path or an unreadable
  // file, in which case nothing changes. The path is not stored.
  bool SetConfigFilePath(const char* path);
  const std::string& GetConfigFilePath() const { return m_config_path; }

  // Map text of a known key converted like std::stoi; 0 for an unknown key or
  // a text without digits.
  int GetIntValue(const std::string& key) const;

  bool IsUseSSL() const { return m_use_ssl.load(std::memory_order_relaxed); }
  void SetUseSSL(bool use_ssl) { m_use_ssl.store(use_ssl, std::memory_order_relaxed); }
  void SetSSLCertfolder(const std::string& folder) { m_cert_folder = folder; }
  const std::string& GetSSLCertfolder() const { return m_cert_folder; }
  void SetHandleThreadNum(uint32_t num);
  uint32_t GetHandleThreadNum() const { return m_thread_num.load(std::memory_order_relaxed); }
  void SetLogFileOutFolder(const std::string& folder) { m_log_folder = folder; }
  const std::string& GetLogFileOutFolder() const { return m_log_folder; }
  uint32_t GetLogSeverity() const { return m_log_severity.load(std::memory_order_relaxed); }
  void SetLogSeverity(uint32_t severity) { m_log_severity.store(severity, std::memory_order_relaxed); }
  void OpenFileLog() { m_file_log.store(true, std::memory_order_relaxed); }
  void CloseFileLog() { m_file_log.store(false, std::memory_order_relaxed); }
  bool IsFileLog() const { return m_file_log.load(std::memory_order_relaxed); }
  void OpenCoutLog() { m_cout_log.store(true, std::memory_order_relaxed); }
  void CloseCoutLog() { m_cout_log.store(false, std::memory_order_relaxed); }
  bool IsCoutLog() const { return m_cout_log.load(std::memory_order_relaxed); }
  void SetThreadIdleSleepTime(uint32_t micros) { m_sleep_time.store(micros, std::memory_order_relaxed); }
  std::chrono::microseconds GetThreadIdleSleepTime() const {
    return std::chrono::microseconds(m_sleep_time.load(std::memory_order_relaxed));
  }
  std::chrono::seconds GetDaemonCheckInterval() const {
    return std::chrono::seconds(m_daemon_sleep_time.load(std::memory_order_relaxed));
  }
  void SetReadTimeout(uint32_t seconds) { m_read_timeout.store(seconds, std::memory_order_relaxed); }
  uint32_t GetReadTimeout() const { return m_read_timeout.load(std::memory_order_relaxed); }
  void SetSendTimeout(uint32_t seconds) { m_send_timeout.store(seconds, std::memory_order_relaxed); }
  uint32_t GetSendTimeout() const { return m_send_timeout.load(std::memory_order_relaxed); }
  uint32_t GetLoginTryCount() const { return m_login_try_count.load(std::memory_order_relaxed); }
  uint32_t GetSubscribeTryCount() const { return m_subscribe_try_count.load(std::memory_order_relaxed); }
  uint32_t GetLoginTryInterval() const { return m_login_try_interval.load(std::memory_order_relaxed); }
  uint32_t GetSubscirbeTryInterval() const { return m_subscribe_try_interval.load(std::memory_order_relaxed); }
  uint32_t GetHeartBeatInterval() const { return m_heartbeat_interval.load(std::memory_order_relaxed); }
  // Not part of the public facade: the period is fixed at 10 seconds for
  // applications; tests and tools shorten it to exercise heartbeat handling.
  void SetHeartBeatInterval(uint32_t seconds) { m_heartbeat_interval.store(seconds, std::memory_order_relaxed); }
  uint32_t GetHeartbeatMaxCount() const { return ALLOWABLE_INTERVAL_NOT_RECEIVE_HEARTBEAT / HEARTBEAT_INTERVAL; }
  // Payload bytes one site type may hold in flight (queued or being decoded);
  // at least one frame is always let through, whatever the value.
  void SetMaxInflightBytes(uint32_t bytes) { m_max_inflight_bytes.store(bytes, std::memory_order_relaxed); }
  uint32_t GetMaxInflightBytes() const { return m_max_inflight_bytes.load(std::memory_order_relaxed); }
  // The back-off of an idle data-path thread before it parks (spin rounds,
  // then yields); read when a site type's pipeline starts.
  void SetIdleBackoff(uint32_t spins, uint32_t yields) {
    m_idle_spin_count.store(spins, std::memory_order_relaxed);
    m_idle_yield_count.store(yields, std::memory_order_relaxed);
  }
  uint32_t GetIdleSpinCount() const { return m_idle_spin_count.load(std::memory_order_relaxed); }
  uint32_t GetIdleYieldCount() const { return m_idle_yield_count.load(std::memory_order_relaxed); }
  std::string GetHttpUri() const { return m_kbr_url; }
  const std::string& GetAppVersion() const { return m_app_version; }

  BaseConfig(const BaseConfig&) = delete;
  BaseConfig& operator=(const BaseConfig&) = delete;

 private:
  BaseConfig();
  ~BaseConfig() = default;

  static bool IsBlankLeter(char c);
  static std::string TrimString(const std::string& text);
  static bool IsValidLine(const std::string& line, std::string& key, std::string& value);
  bool SetPropertyValue(const std::string& key, const std::string& value);
  void InitConfig();
  bool ParseConfigFile(const char* path);
  void UpdateIntValue();
  void UpdateBoolValue();
  void UpdateStringValue();
  static bool ConvertString2Bool(const std::string& text);
  static uint32_t ConvertString2Int(const std::string& text, uint32_t fallback);
  static std::string PackageSdkVersion(const char* language);

  std::map<std::string, std::string> m_properties;
  std::atomic<bool> m_use_ssl{true};
  std::atomic<bool> m_file_log{true};
  std::atomic<bool> m_cout_log{false};
  std::string m_config_path;
  std::string m_log_folder;
  std::string m_cert_folder;
  std::atomic<uint32_t> m_log_severity{0};
  std::atomic<uint32_t> m_daemon_sleep_time{10};  // seconds
  std::atomic<uint32_t> m_sleep_time{10};         // microseconds
  std::atomic<uint32_t> m_read_timeout{30};
  std::atomic<uint32_t> m_send_timeout{30};
  std::atomic<uint32_t> m_thread_num{5};
  std::atomic<uint32_t> m_login_try_count{3};
  std::atomic<uint32_t> m_subscribe_try_count{3};
  std::atomic<uint32_t> m_login_try_interval{5};
  std::atomic<uint32_t> m_subscribe_try_interval{5};
  std::atomic<uint32_t> m_max_inflight_bytes{256u << 20};
  std::atomic<uint32_t> m_idle_spin_count{200};
  std::atomic<uint32_t> m_idle_yield_count{200};
  std::string m_app_version;
  std::string m_kbr_url;
  std::atomic<uint32_t> m_heartbeat_interval{HEARTBEAT_INTERVAL};
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_CONFIG_BASE_CONFIG_H
