// A Notify for tests: records every callback in order as text, keeps each JSON
// text it is handed, and can be told to throw from chosen callbacks, as a
// script's callback that raises does. Called on the library's threads and the
// test thread at once.
#ifndef QEL_TESTS_SWIG_RECORDING_NOTIFY_H
#define QEL_TESTS_SWIG_RECORDING_NOTIFY_H

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/recording_handle.h"
#include "swig/Notify.h"

namespace qel_test {

class RecordingNotify : public Notify {
 public:
  // One JSON callback: which method, the text, and whether the length passed
  // matched the text up to its NUL.
  struct JsonCall {
    std::string method;
    std::string text;
    bool length_matches = false;
  };

  void OnMarketData(void* buf, int size) override { Json("OnMarketData", buf, size); }
  void OnSubscribeResponse(void* buf, int size) override { Json("OnSubscribeResponse", buf, size); }
  void OnLoginDiscoveryResponse(void* buf, int size) override { Json("OnLoginDiscoveryResponse", buf, size); }
  void OnLoginDataServiceResponse(void* buf, int size) override { Json("OnLoginDataServiceResponse", buf, size); }
  void OnFinInfoQueryResponse(void* buf, int size) override { Json("OnFinInfoQueryResponse", buf, size); }
  void OnLoginDiscoverySuccess(void* buf, const std::vector<int>& list) override {
    std::string text = "OnLoginDiscoverySuccess " + Text(buf) + " [";
    for (size_t i = 0; i < list.size(); ++i) text += (i ? "," : "") + std::to_string(list[i]);
    Event(text + "]", buf);
  }
  void OnLoginDiscoveryFailed(void* message) override { Event("OnLoginDiscoveryFailed " + Text(message), message); }
  void OnNoDiscoveryServices() override { Event("OnNoDiscoveryServices", nullptr); }
  void OnLoginDatafeedNodeSuccess(int site, void* message) override {
    Event("OnLoginDatafeedNodeSuccess " + std::to_string(site) + " " + Text(message), message);
  }
  void OnLoginDatafeedNodeFailed(int site, void* message) override {
    Event("OnLoginDatafeedNodeFailed " + std::to_string(site) + " " + Text(message), message);
  }
  void OnLoginDataServiceSuccess() override { Event("OnLoginDataServiceSuccess", nullptr); }
  void OnLoginDataServiceFailed() override { Event("OnLoginDataServiceFailed", nullptr); }
  void OnDisconnected(int site, void* message) override {
    Event("OnDisconnected " + std::to_string(site) + " " + Text(message), message);
  }

  // The next n calls of method throw std::runtime_error("boom <method>")
  // before recording anything.
  void ThrowFrom(const std::string& method, int n) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_throw_method = method;
    m_throws_left = n;
  }

  std::vector<std::string> Events() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }
  std::vector<JsonCall> JsonCalls(const std::string& method) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<JsonCall> out;
    for (const auto& c : m_json) {
      if (c.method == method) out.push_back(c);
    }
    return out;
  }
  int Count(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (const auto& e : m_events) n += e.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    return n;
  }
  bool WaitFor(const std::string& prefix, int n, std::chrono::milliseconds timeout) const {
    return Eventually([&] { return Count(prefix) >= n; }, timeout);
  }
  // The pointers passed with host texts, in call order.
  std::vector<const void*> HostPointers() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_host_pointers;
  }

 private:
  static std::string Text(void* p) { return p != nullptr ? static_cast<const char*>(p) : "<null>"; }
  void MaybeThrow(const std::string& method) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_throws_left > 0 && method == m_throw_method) {
      --m_throws_left;
      throw std::runtime_error("boom " + method);
    }
  }
  void Json(const char* method, void* buf, int size) {
    MaybeThrow(method);
    const char* text = static_cast<const char*>(buf);
    JsonCall call{method, text, static_cast<int>(std::strlen(text)) == size};
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(method);
    m_json.push_back(std::move(call));
  }
  void Event(const std::string& text, void* pointer) {
    MaybeThrow(text.substr(0, text.find(' ')));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(text);
    if (pointer != nullptr) m_host_pointers.push_back(pointer);
  }

  mutable std::mutex m_mutex;  // guards every member below
  std::vector<std::string> m_events;
  std::vector<JsonCall> m_json;
  std::vector<const void*> m_host_pointers;
  std::string m_throw_method;
  int m_throws_left = 0;
};

}  // namespace qel_test

#endif  // QEL_TESTS_SWIG_RECORDING_NOTIFY_H
