#include "config/base_config.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <vector>

namespace com {
namespace quor {
namespace kbr {
namespace client {

namespace {
constexpr int kSdkMajor = 1;
constexpr int kSdkMinor = 0;
constexpr int kSdkPatch = 0;
constexpr const char* kSdkBuildDate = "2025/09/30";
constexpr size_t kVersionBufferLen = 16384;
}  // namespace

BaseConfig& BaseConfig::GetInstance() {
  // Never destroyed: library threads may still read it during process exit.
  static BaseConfig* instance = new BaseConfig();
  return *instance;
}

void BaseConfig::UnInstance() {}

BaseConfig::BaseConfig() {
  m_app_version = PackageSdkVersion(SDK_LANGUAGE);
  m_heartbeat_interval = HEARTBEAT_INTERVAL;
  InitConfig();
}

std::string BaseConfig::PackageSdkVersion(const char* language) {
  std::vector<char> buf(kVersionBufferLen, '\0');
  snprintf(buf.data(), buf.size(), "%s_%d.%d.%d_%s", language, kSdkMajor, kSdkMinor, kSdkPatch,
           kSdkBuildDate);
  return std::string(buf.data());
}

void BaseConfig::InitConfig() {
  const std::pair<const char*, const char*> defaults[] = {
      {VENTRIX_CONFIG_THREAD_SLEEP_TIME, THREAD_SLEEP_TIME},
      {VENTRIX_CONFIG_SEND_TIMEOUT, SEND_TIMEOUT},
      {VENTRIX_CONFIG_READ_TIMEOUT, READ_TIMEOUT},
      {VENTRIX_CONFIG_DAEMON_CHECK_INTERVAL, DAEMON_CHECK_INTERVAL},
      {VENTRIX_CONFIG_USE_SSL, USE_SSL},
      {VENTRIX_CONFIG_FILE_LOG, FILE_LOG},
      {VENTRIX_CONFIG_COUT_LOG, COUT_LOG},
      {VENTRIX_CONFIG_CONFIG_PATH, CONFIG_PATH},
      {VENTRIX_CONFIG_LOG_FOLDER, LOG_FOLDER},
      {VENTRIX_CONFIG_CERT_FOLDER, CERT_FOLDER},
      {VENTRIX_CONFIG_HANDLE_THREAD_NUM, HANDLE_THREAD_NUM},
      {VENTRIX_CONFIG_LOG_SERVERITY, LOG_SERVERITY},
      {VENTRIX_CONFIG_LOGIN_TRY_COUNT, LOGIN_TRY_COUNT},
      {VENTRIX_CONFIG_SUBSCRIBE_TRY_COUNT, SUBSCRIBE_TRY_COUNT},
      {VENTRIX_CONFIG_LOGIN_TRY_INTERVAL, LOGIN_TRY_INTERVAL},
      {VENTRIX_CONFIG_SUBSCRIBE_TRY_INTERVAL, SUBSCRIBE_TRY_INTERVAL},
      {VENTRIX_CONFIG_LOGIN_RESPONSE_WAIT_TIME, LOGIN_RESPONSE_WAIT_TIME},
      {VENTRIX_CONFIG_SUBSCRIBE_RESPONSE_WAIT_TIME, SUBSCRIBE_RESPONSE_WAIT_TIME},
      {VENTRIX_CONFIG_URl, KBR_URI},
      {VENTRIX_CONFIG_MAX_INFLIGHT_BYTES, MAX_INFLIGHT_BYTES},
      {VENTRIX_CONFIG_IDLE_SPIN_COUNT, IDLE_SPIN_COUNT},
      {VENTRIX_CONFIG_IDLE_YIELD_COUNT, IDLE_YIELD_COUNT},
  };
  for (const auto& kv : defaults) m_properties.emplace(kv.first, kv.second);
  UpdateIntValue();
  UpdateBoolValue();
  UpdateStringValue();
}

bool BaseConfig::SetConfigFilePath(const char* path) { return ParseConfigFile(path); }

int BaseConfig::GetIntValue(const std::string& key) const {
  auto it = m_properties.find(key);
  if (it == m_properties.end()) return 0;  // outside the key table: 0, never an exception
  const char* text = it->second.c_str();
  errno = 0;
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (end == text || errno == ERANGE || v > INT_MAX || v < INT_MIN) return 0;
  return static_cast<int>(v);
}

void BaseConfig::SetHandleThreadNum(uint32_t num) {
  // The worker pool divides by the count: 0 means the smallest pool, 1.
  if (num <= 99) m_thread_num.store(num == 0 ? 1 : num, std::memory_order_relaxed);
}

bool BaseConfig::IsBlankLeter(char c) { return c == ' ' || c == '\t'; }

std::string BaseConfig::TrimString(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlankLeter(text[begin])) ++begin;
  while (end > begin && IsBlankLeter(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool BaseConfig::IsValidLine(const std::string& line, std::string& key, std::string& value) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  key = TrimString(line.substr(0, eq));
  value = TrimString(line.substr(eq + 1));
  if (key.empty() || key[0] == '#' || value.empty()) return false;
  return true;
}

bool BaseConfig::SetPropertyValue(const std::string& key, const std::string& value) {
  auto it = m_properties.find(key);
  if (it == m_properties.end()) return false;
  m_properties.erase(it);
  m_properties.emplace(key, value);
  return true;
}

bool BaseConfig::ParseConfigFile(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    printf("config file is null");
    return false;
  }
  std::ifstream in(path);
  if (!in.good()) {
    printf("read config file:%s failed\n", path);
    return false;
  }
  char line[VENTRIX_PROPERTY_LINE_MAX_LEN];
  for (;;) {
    memset(line, 0, sizeof(line));
    in.getline(line, sizeof(line));
    if (in.bad()) break;  // read error: stop, keeping what was read so far
    if (in.fail() && !in.eof()) {
      // A line longer than the buffer: skip the whole line (a truncated value
      // would be silently wrong) and carry on with the next one.
      in.clear();
      in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
      if (in.eof()) break;
      continue;
    }
    // A carriage return before the line feed is part of the line end (files
    // written with CR-LF ends); one inside the line stays part of the value.
    std::string text(line);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    std::string key;
    std::string value;
    if (IsValidLine(text, key, value)) {
      if (SetPropertyValue(key, value)) {
        printf("=== property [%s] set to [%s] by file ===\n", key.c_str(), value.c_str());
      } else {
        printf("=== unknown property[%s] value[%s] ===\n", key.c_str(), value.c_str());
      }
    }
    if (in.eof()) break;
  }
  in.close();
  UpdateIntValue();
  UpdateBoolValue();
  UpdateStringValue();
  return true;
}

uint32_t BaseConfig::ConvertString2Int(const std::string& text, uint32_t fallback) {
  const char* p = text.c_str();
  errno = 0;
  char* end = nullptr;
  long long v = strtoll(p, &end, 10);
  if (end == p || errno == ERANGE) return fallback;
  if (v < 0 || v > INT_MAX) return fallback;
  return static_cast<uint32_t>(v);
}

bool BaseConfig::ConvertString2Bool(const std::string& text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  static const char* const kFalse[] = {"FALSE", "F", "NO", "N", "0", "NONE"};
  for (const char* f : kFalse) {
    if (upper == f) return false;
  }
  return true;
}

void BaseConfig::UpdateIntValue() {
  auto get = [this](const char* key, uint32_t fallback) {
    return ConvertString2Int(m_properties[key], fallback);
  };
  m_log_severity = get(VENTRIX_CONFIG_LOG_SERVERITY, 0);
  m_sleep_time = get(VENTRIX_CONFIG_THREAD_SLEEP_TIME, 10);
  m_daemon_sleep_time = get(VENTRIX_CONFIG_DAEMON_CHECK_INTERVAL, 10);
  m_read_timeout = get(VENTRIX_CONFIG_READ_TIMEOUT, 30);
  m_send_timeout = get(VENTRIX_CONFIG_SEND_TIMEOUT, 30);
  const uint32_t thread_num = get(VENTRIX_CONFIG_HANDLE_THREAD_NUM, 5);
  m_thread_num = thread_num == 0 ? 1 : thread_num;  // the worker pool divides by it
  m_login_try_count = get(VENTRIX_CONFIG_LOGIN_TRY_COUNT, 3);
  m_subscribe_try_count = get(VENTRIX_CONFIG_SUBSCRIBE_TRY_COUNT, 3);
  m_login_try_interval = get(VENTRIX_CONFIG_LOGIN_TRY_INTERVAL, 5);
  m_subscribe_try_interval = get(VENTRIX_CONFIG_SUBSCRIBE_TRY_INTERVAL, 5);
  m_max_inflight_bytes = get(VENTRIX_CONFIG_MAX_INFLIGHT_BYTES, 256u << 20);
  m_idle_spin_count = get(VENTRIX_CONFIG_IDLE_SPIN_COUNT, 200);
  m_idle_yield_count = get(VENTRIX_CONFIG_IDLE_YIELD_COUNT, 200);
}

void BaseConfig::UpdateBoolValue() {
  m_use_ssl = ConvertString2Bool(m_properties[VENTRIX_CONFIG_USE_SSL]);
  m_file_log = ConvertString2Bool(m_properties[VENTRIX_CONFIG_FILE_LOG]);
  m_cout_log = ConvertString2Bool(m_properties[VENTRIX_CONFIG_COUT_LOG]);
}

void BaseConfig::UpdateStringValue() {
  m_cert_folder = m_properties[VENTRIX_CONFIG_CERT_FOLDER];
  m_log_folder = m_properties[VENTRIX_CONFIG_LOG_FOLDER];
  m_kbr_url = m_properties[VENTRIX_CONFIG_URl];
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
