// Configuration keys, their default texts and the fixed tunables.
#ifndef QEL_CONFIG_PARAMETER_DEFINE_H
#define QEL_CONFIG_PARAMETER_DEFINE_H

#include <cstdint>

namespace com {
namespace quor {
namespace kbr {
namespace client {

constexpr int VENTRIX_PROPERTY_LINE_MAX_LEN = 2048;  // line buffer of the file reader
constexpr uint32_t HEARTBEAT_INTERVAL = 10;          // seconds between heartbeats
constexpr uint32_t ALLOWABLE_INTERVAL_NOT_RECEIVE_HEARTBEAT = 60;
constexpr const char* SDK_LANGUAGE = "cpp";

// Keys. Matched exactly and case-sensitively.
constexpr const char* VENTRIX_CONFIG_THREAD_SLEEP_TIME = "ventrix_config_thread_sleep_time";
constexpr const char* VENTRIX_CONFIG_SEND_TIMEOUT = "ventrix_config_send_timeout";
constexpr const char* VENTRIX_CONFIG_READ_TIMEOUT = "ventrix_config_read_timeout";
constexpr const char* VENTRIX_CONFIG_DAEMON_CHECK_INTERVAL = "ventrix_config_daemon_check_interval";
constexpr const char* VENTRIX_CONFIG_USE_SSL = "ventrix_config_use_ssl";
constexpr const char* VENTRIX_CONFIG_FILE_LOG = "ventrix_config_file_log";
constexpr const char* VENTRIX_CONFIG_COUT_LOG = "ventrix_config_cout_log";
constexpr const char* VENTRIX_CONFIG_CONFIG_PATH = "ventrix_config_config_path";
constexpr const char* VENTRIX_CONFIG_LOG_FOLDER = "ventrix_config_log_folder";
constexpr const char* VENTRIX_CONFIG_CERT_FOLDER = "ventrix_config_cert_folder";
constexpr const char* VENTRIX_CONFIG_HANDLE_THREAD_NUM = "ventrix_config_handle_thread_num";
constexpr const char* VENTRIX_CONFIG_LOG_SERVERITY = "ventrix_config_log_serverity";
constexpr const char* VENTRIX_CONFIG_LOGIN_TRY_COUNT = "ventrix_config_login_try_count";
constexpr const char* VENTRIX_CONFIG_SUBSCRIBE_TRY_COUNT = "ventrix_config_subscribe_try_count";
constexpr const char* VENTRIX_CONFIG_LOGIN_TRY_INTERVAL = "ventrix_config_login_try_interval";
constexpr const char* VENTRIX_CONFIG_SUBSCRIBE_TRY_INTERVAL = "ventrix_config_subscribe_try_interval";
constexpr const char* VENTRIX_CONFIG_LOGIN_RESPONSE_WAIT_TIME = "ventrix_config_login_response_wait_time";
constexpr const char* VENTRIX_CONFIG_SUBSCRIBE_RESPONSE_WAIT_TIME = "ventrix_config_subscribe_response_wait_time";
constexpr const char* VENTRIX_CONFIG_URl = "ventrix_config_kbr_query_url";
// Bytes of market-data payload one site type may hold between its socket and
// its decode thread; past it the connection stops reading its socket.
constexpr const char* VENTRIX_CONFIG_MAX_INFLIGHT_BYTES = "ventrix_config_max_inflight_bytes";
// The back-off of an idle data-path thread (decompress thread, callback
// workers) before it parks until woken: rounds of spinning with the CPU's
// pause hint, then yields of the CPU.
constexpr const char* VENTRIX_CONFIG_IDLE_SPIN_COUNT = "ventrix_config_idle_spin_count";
constexpr const char* VENTRIX_CONFIG_IDLE_YIELD_COUNT = "ventrix_config_idle_yield_count";

// Default texts, stored in the property map at construction.
constexpr const char* THREAD_SLEEP_TIME = "10";
constexpr const char* SEND_TIMEOUT = "30";
constexpr const char* READ_TIMEOUT = "30";
constexpr const char* DAEMON_CHECK_INTERVAL = "10";
constexpr const char* USE_SSL = "1";
constexpr const char* FILE_LOG = "1";
constexpr const char* COUT_LOG = "0";
constexpr const char* CONFIG_PATH = "./quor-ventrix-cpp-config.conf";
constexpr const char* LOG_FOLDER = "./";
constexpr const char* CERT_FOLDER = "";
constexpr const char* HANDLE_THREAD_NUM = "5";
constexpr const char* LOG_SERVERITY = "0";
constexpr const char* LOGIN_TRY_COUNT = "3";
constexpr const char* SUBSCRIBE_TRY_COUNT = "3";
constexpr const char* LOGIN_TRY_INTERVAL = "5";
constexpr const char* SUBSCRIBE_TRY_INTERVAL = "5";
constexpr const char* LOGIN_RESPONSE_WAIT_TIME = "30";
constexpr const char* SUBSCRIBE_RESPONSE_WAIT_TIME = "30";
constexpr const char* KBR_URI = "127.0.0.1:8090";
constexpr const char* MAX_INFLIGHT_BYTES = "268435456";  // 256 MiB
constexpr const char* IDLE_SPIN_COUNT = "200";
constexpr const char* IDLE_YIELD_COUNT = "200";

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_CONFIG_PARAMETER_DEFINE_H
