// A MessageHandle for tests: records every callback, in order, as text, and
// counts market-data records. Safe to call from several library threads.
#ifndef QEL_TESTS_SUPPORT_RECORDING_HANDLE_H
#define QEL_TESTS_SUPPORT_RECORDING_HANDLE_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "message_handle.h"

namespace qel_test {

// Polls cond every few milliseconds until it holds or the timeout passes.
template <typename Cond>
bool Eventually(Cond cond, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return cond();
}

class RecordingHandle : public com::quor::kbr::client::MessageHandle {
 public:
  void OnLoginDiscoverySuccess(const std::string& host, std::vector<int> list) override {
    std::string text = "DiscoverySuccess " + host + " [";
    for (size_t i = 0; i < list.size(); ++i) text += (i ? "," : "") + std::to_string(list[i]);
    Add(text + "]");
  }
  void OnLoginDiscoveryFailed(const std::string& host) override { Add("DiscoveryFailed " + host); }
  void OnLoginDiscoveryResponse(const com::quor::qel::model::LoginResponse& r) override {
    Add("DiscoveryResponse " + std::to_string(r.servers_size()));
  }
  void OnNoDiscoveryServices() override { Add("NoDiscoveryServices"); }
  void OnLoginDatafeedNodeSuccess(int site, const std::string& host) override {
    Add("NodeSuccess " + std::to_string(site) + " " + host);
  }
  void OnLoginDatafeedNodeFailed(int site, const std::string& host) override {
    Add("NodeFailed " + std::to_string(site) + " " + host);
  }
  void OnLoginDataServiceResponse(const com::quor::qel::model::LoginResponse& r) override {
    Add(std::string("DataServiceResponse ") + (r.issuccess() ? "ok" : "refused"));
  }
  void OnDisconnected(int site, const std::string& host) override {
    Add("Disconnected " + std::to_string(site) + " " + host);
  }

  std::vector<std::string> Events() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }
  int Count(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (const auto& e : m_events) n += e.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    return n;
  }
  // Waits until an event starting with prefix has been seen n times.
  bool WaitFor(const std::string& prefix, int n, std::chrono::milliseconds timeout) const {
    return Eventually([&] { return Count(prefix) >= n; }, timeout);
  }

 private:
  void Add(const std::string& e) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(e);
  }
  mutable std::mutex m_mutex;
  std::vector<std::string> m_events;
};

}  // namespace qel_test

#endif  // QEL_TESTS_SUPPORT_RECORDING_HANDLE_H
