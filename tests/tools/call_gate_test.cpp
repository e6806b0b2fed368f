// qel-cli's call gate between the main thread, which makes blocking library
// calls, and the signal thread, which releases the client to interrupt them:
// the client is never released while main is between entering the gate and
// being inside the call, however long main is held up there, and once the
// call is inside (it logged from main's thread) a signal interrupts it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "call_gate.h"

namespace {

using Clock = std::chrono::steady_clock;
using qel::cli::CallGate;

// The client as the two threads see it: released by the signal thread; a
// "call" made on a released client is a use after free in the real program.
class FakeClient {
 public:
  void Release() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_released = true;
    }
    m_cv.notify_all();
  }
  bool Released() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_released;
  }
  // A blocking call: returns once released or at the deadline; true when released.
  bool WaitForRelease(Clock::duration deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, deadline, [this] { return m_released; });
  }

 private:
  std::mutex m_mutex;  // guards m_released
  std::condition_variable m_cv;
  bool m_released = false;
};

// Main is held up (a loaded machine) for a while between Enter and the call.
constexpr auto kHeldUp = std::chrono::milliseconds(300);

TEST(CallGateTest, SignalWhileMainIsEnteringNeverReleasesBeforeTheCall) {
  CallGate gate;
  FakeClient client;
  std::atomic<bool> entered{false};
  bool released_before_call = false;
  std::thread main_thread([&] {
    ASSERT_TRUE(gate.Enter());
    entered.store(true);
    std::this_thread::sleep_for(kHeldUp);
    released_before_call = client.Released();
    client.WaitForRelease(std::chrono::seconds(2));
    gate.Leave();
  });
  while (!entered.load()) std::this_thread::yield();
  gate.InterruptCall([&] { client.Release(); });
  main_thread.join();
  EXPECT_FALSE(released_before_call) << "the client was released before main's call had entered";
  EXPECT_FALSE(gate.Enter()) << "no call starts once the gate is closed";
}

TEST(CallGateTest, SignalDuringACallReleasesTheClientOnceTheCallIsInside) {
  CallGate gate;
  FakeClient client;
  std::atomic<bool> entered{false};
  bool released_before_call = false;
  bool interrupted = false;
  std::thread main_thread([&] {
    ASSERT_TRUE(gate.Enter());
    entered.store(true);
    std::this_thread::sleep_for(kHeldUp);
    released_before_call = client.Released();
    // Inside the call: its first log line on this thread; a line from
    // another thread says nothing about this call.
    std::thread([&] { gate.LibraryLineLogged(); }).join();
    gate.LibraryLineLogged();
    interrupted = client.WaitForRelease(std::chrono::seconds(60));
    gate.Leave();
  });
  while (!entered.load()) std::this_thread::yield();
  gate.InterruptCall([&] { client.Release(); });
  main_thread.join();
  EXPECT_FALSE(released_before_call);
  EXPECT_TRUE(interrupted) << "the call inside the client was not interrupted";
}

TEST(CallGateTest, SignalWithNoCallClosesTheGateWithoutRelease) {
  CallGate gate;
  bool released = false;
  ASSERT_TRUE(gate.Enter());
  gate.LibraryLineLogged();
  gate.Leave();
  gate.InterruptCall([&] { released = true; });
  EXPECT_FALSE(released);
  EXPECT_FALSE(gate.Enter());
}

}  // namespace
