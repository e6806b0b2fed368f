// A log sink for tests: records every message the library logs, so a test can
// assert that a failure was reported with its own line (or was not).
#ifndef QEL_TESTS_SUPPORT_RECORDING_LOG_H
#define QEL_TESTS_SUPPORT_RECORDING_LOG_H

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "log/base_log.h"

namespace qel_test {

class RecordingLog : public com::quor::kbr::client::LogInterface {
 public:
  RecordingLog() { com::quor::kbr::client::SetGlobalLog(this); }
  ~RecordingLog() override { com::quor::kbr::client::SetGlobalLog(nullptr); }

  void LogPrint(com::quor::kbr::client::VentrixLogLevel level, const char* message) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.emplace_back(level, message);
  }
  // Number of messages that contain text.
  int Count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (const auto& line : m_lines) n += line.second.find(text) != std::string::npos ? 1 : 0;
    return n;
  }
  bool Contains(const std::string& text) const { return Count(text) > 0; }
  int ErrorCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (const auto& line : m_lines) n += line.first == com::quor::kbr::client::VENTRIX_ERROR ? 1 : 0;
    return n;
  }
  // Every error line, one per line, for failure messages.
  std::string Errors() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string out;
    for (const auto& line : m_lines) {
      if (line.first == com::quor::kbr::client::VENTRIX_ERROR) out += line.second + "\n";
    }
    return out;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::pair<com::quor::kbr::client::VentrixLogLevel, std::string>> m_lines;
};

}  // namespace qel_test

#endif  // QEL_TESTS_SUPPORT_RECORDING_LOG_H
