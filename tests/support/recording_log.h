// A log sink for tests: records every message the library logs, so a test can
// assert that a failure was reported with its own line (or was not).
//
// A test declares the error lines it provokes with ExpectError(text) (any
// error line containing text is then expected) or AllowAnyErrors() for
// hostile-input tests whose error lines are not the point. Any other error
// line fails the test when the sink is destroyed (end of the test or of its
// fixture), so a fault that logs an error and recovers does not pass
// unnoticed. The test's thread creates and destroys it; the library's
// threads call LogPrint.
#ifndef QEL_TESTS_SUPPORT_RECORDING_LOG_H
#define QEL_TESTS_SUPPORT_RECORDING_LOG_H

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "log/base_log.h"

namespace qel_test {

class RecordingLog : public com::quor::kbr::client::LogInterface {
 public:
  RecordingLog() { com::quor::kbr::client::SetGlobalLog(this); }
  ~RecordingLog() override {
    com::quor::kbr::client::SetGlobalLog(nullptr);
    const std::string unexpected = UnexpectedErrors();
    if (!unexpected.empty()) {
      ADD_FAILURE() << "error lines the test did not declare with ExpectError:\n" << unexpected;
    }
  }
  RecordingLog(const RecordingLog&) = delete;
  RecordingLog& operator=(const RecordingLog&) = delete;

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
  // The messages that contain text, in the order they were logged.
  std::vector<std::string> LinesWith(const std::string& text) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> out;
    for (const auto& line : m_lines) {
      if (line.second.find(text) != std::string::npos) out.push_back(line.second);
    }
    return out;
  }
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
  // Declares that error lines containing text are part of the test's story.
  void ExpectError(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_expected.push_back(text);
  }
  // Declares that this test provokes error lines it does not enumerate.
  void AllowAnyErrors() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_any_error_allowed = true;
  }
  // Every error line that no ExpectError declared (all of them are declared
  // once AllowAnyErrors was called).
  std::string UnexpectedErrors() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string out;
    if (m_any_error_allowed) return out;
    for (const auto& line : m_lines) {
      if (line.first != com::quor::kbr::client::VENTRIX_ERROR) continue;
      bool declared = false;
      for (const auto& text : m_expected) declared = declared || line.second.find(text) != std::string::npos;
      if (!declared) out += line.second + "\n";
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
  std::vector<std::string> m_expected;
  bool m_any_error_allowed = false;
};

}  // namespace qel_test

#endif  // QEL_TESTS_SUPPORT_RECORDING_LOG_H
