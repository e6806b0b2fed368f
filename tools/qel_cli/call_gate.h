// qel-cli's call gate: lets a signal end a blocking login or subscription
// call promptly. The only way the public interface offers is releasing the
// client (ClientFactory::Uninstance), whose destruction interrupts every wait
// of a call in progress. Main enters the gate before each such call and
// leaves it after; the signal thread closes it. A call is never started once
// the gate is closed.
// Called by main (Enter, Leave) and the signal thread (Close, InCall,
// InterruptCall); owns only the gate's state.
#ifndef QEL_TOOLS_QEL_CLI_CALL_GATE_H
#define QEL_TOOLS_QEL_CLI_CALL_GATE_H

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

namespace qel {
namespace cli {

class CallGate {
 public:
  bool Enter() {
    std::lock_guard<std::mutex> lock(m_gate_mutex);
    if (m_closed) return false;
    m_in_call = true;
    return true;
  }
  void Leave() {
    std::lock_guard<std::mutex> lock(m_gate_mutex);
    m_in_call = false;
  }
  // Closes the gate; true when main is inside a call.
  bool Close() {
    std::lock_guard<std::mutex> lock(m_gate_mutex);
    m_closed = true;
    return m_in_call;
  }
  bool InCall() {
    std::lock_guard<std::mutex> lock(m_gate_mutex);
    return m_in_call;
  }
  // Signal thread: closes the gate and, when main is inside a call, runs
  // release (which ends the call's waits).
  void InterruptCall(const std::function<void()>& release) {
    if (Close()) {
      // Main entered the gate a moment ago at least; the pause lets it get
      // inside the library's call before the client goes (a call entered
      // after the release would find no client).
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (InCall()) release();
    }
  }

 private:
  std::mutex m_gate_mutex;  // guards m_closed and m_in_call
  bool m_closed = false;
  bool m_in_call = false;
};

}  // namespace cli
}  // namespace qel

#endif  // QEL_TOOLS_QEL_CLI_CALL_GATE_H
