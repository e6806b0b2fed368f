// qel-cli's call gate: lets a signal end a blocking login or subscription
// call promptly. The only way the public interface offers is releasing the
// client (ClientFactory::Uninstance), whose destruction interrupts every wait
// of a call that is inside the client. Main enters the gate before each such
// call and leaves it after; the signal thread closes it. A call is never
// started once the gate is closed.
//
// The client may be released only once main's call is inside it: between
// Enter and the library's own guard at the start of the call, a release would
// leave main calling into a destroyed client. The call shows that it is
// inside by the first library log line main's thread produces (every blocking
// call logs from its start, after its guard), reported through
// LibraryLineLogged. Until then the signal thread waits; a call that returns
// without logging ends the wait through Leave, and no release is needed.
//
// Called by main (Enter, Leave, Close), the log sink on any thread
// (LibraryLineLogged) and the signal thread (InterruptCall); owns only the
// gate's state.
#ifndef QEL_TOOLS_QEL_CLI_CALL_GATE_H
#define QEL_TOOLS_QEL_CLI_CALL_GATE_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace qel {
namespace cli {

class CallGate {
 public:
  // Main, before a blocking call: false once the gate is closed.
  bool Enter() {
    std::lock_guard<std::mutex> lock(m_gate_mutex);
    if (m_closed) return false;
    m_caller = std::this_thread::get_id();
    m_state = State::kEntering;
    m_entering.store(true);
    return true;
  }
  // Main, after the call returned.
  void Leave() {
    {
      std::lock_guard<std::mutex> lock(m_gate_mutex);
      m_state = State::kIdle;
      m_entering.store(false);
    }
    m_gate_cv.notify_all();
  }
  // Main, after its last call: no call starts from now on.
  void Close() {
    std::lock_guard<std::mutex> lock(m_gate_mutex);
    m_closed = true;
  }
  // The log sink, for every library line: a line from main's thread while it
  // is entering shows that the call is inside the client.
  void LibraryLineLogged() {
    if (!m_entering.load()) return;
    {
      std::lock_guard<std::mutex> lock(m_gate_mutex);
      if (m_state != State::kEntering || std::this_thread::get_id() != m_caller) return;
      m_state = State::kInCall;
      m_entering.store(false);
    }
    m_gate_cv.notify_all();
  }
  // Signal thread: closes the gate; when main is inside a call, runs release
  // (which ends the call's waits). Waits while main is between Enter and the
  // inside of its call; that ends when the call logs or returns.
  void InterruptCall(const std::function<void()>& release) {
    bool in_call;
    {
      std::unique_lock<std::mutex> lock(m_gate_mutex);
      m_closed = true;
      m_gate_cv.wait(lock, [this] { return m_state != State::kEntering; });
      in_call = m_state == State::kInCall;
    }
    // Outside the lock: the release waits for main's call to return, and the
    // call's log lines come through LibraryLineLogged. If main left
    // meanwhile, it starts no further call (the gate is closed), so releasing
    // an idle client is harmless.
    if (in_call) release();
  }

 private:
  enum class State { kIdle, kEntering, kInCall };

  std::mutex m_gate_mutex;  // guards m_closed, m_state and m_caller
  std::condition_variable m_gate_cv;  // m_state left kEntering
  bool m_closed = false;
  State m_state = State::kIdle;
  std::thread::id m_caller;
  std::atomic<bool> m_entering{false};  // m_state == kEntering, read without the lock by every log line
};

}  // namespace cli
}  // namespace qel

#endif  // QEL_TOOLS_QEL_CLI_CALL_GATE_H
