// EventLoop: one libevent event base run by one thread, and the hand-over of
// work to that thread from any other thread.
//
// Thread-safety: Start, Stop and the destructor are called by the owner;
// Post, Call, InLoopThread and base() from any thread.
//
// Hand-over rules, the same for every user of the class:
//  * While the loop runs, Post queues work and Call queues it and waits for
//    it; work runs on the loop thread in the order it was handed over. Call on
//    the loop thread itself runs the work at once.
//  * While no loop runs (before Start, after Stop, or when Start failed), Post
//    refuses the work and returns false, and Call runs the work on the calling
//    thread, serialised with every other such call and with Start and Stop,
//    so no two threads ever touch the loop's objects at once. Work handed over
//    while the loop is being stopped runs on the loop thread before Stop
//    returns; a Call that arrives during that drain waits for it to finish.
//  * Stop on the loop thread (from one of its own callbacks) cannot join that
//    thread: it is refused and returns false. Destroying the EventLoop on its
//    own thread ends the loop once the running callback returns; the thread
//    then frees the event base itself.
#ifndef QEL_COMMON_EVENT_LOOP_H
#define QEL_COMMON_EVENT_LOOP_H

#include <event2/event.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>

#include "common/event_handles.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

// Owns the event base, its wake-up event and the thread. Objects that others
// create on the base belong to them and must be freed before the base goes:
// by the work handed to Stop, which runs last on the loop thread.
class EventLoop {
 public:
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Creates the base and starts the thread; returns once the loop is ready to
  // take work. False when the base cannot be made (or the loop already runs).
  bool Start();
  // Runs last_work on the loop thread, ends the loop, joins the thread and
  // frees the base. True once no loop runs; false (nothing done) when called
  // on the loop thread.
  bool Stop(std::function<void()> last_work = nullptr);

  event_base* base() const { return m_shared->base.get(); }
  bool InLoopThread() const { return m_shared->loop_thread.load() == std::this_thread::get_id(); }
  // True on the thread of any EventLoop of the process, inside its callbacks.
  static bool OnAnyLoopThread();

  // Queues fn for the loop thread; false (fn dropped) while no loop runs.
  bool Post(std::function<void()> fn);

  // Runs fn on the loop thread and returns its result; see the rules above for
  // a loop that does not run.
  template <typename F>
  auto Call(F fn) -> decltype(fn()) {
    using R = decltype(fn());
    if (InLoopThread()) return fn();
    std::unique_lock<std::mutex> lock(m_shared->tasks_mutex);
    m_shared->drained.wait(lock, [this] { return m_shared->state != State::kDraining; });
    if (m_shared->state != State::kRunning) {
      lock.unlock();
      // No loop thread exists: run here, one caller at a time.
      std::lock_guard<std::recursive_mutex> alone(m_shared->idle_mutex);
      if (m_shared->state_snapshot() != State::kRunning) return fn();
      return Call(std::move(fn));  // a loop was started meanwhile
    }
    auto task = std::make_shared<std::packaged_task<R()>>(std::move(fn));
    std::future<R> result = task->get_future();
    m_shared->tasks.emplace_back([task] { (*task)(); });
    event_active(m_shared->wake.get(), EV_READ, 0);
    lock.unlock();
    return result.get();
  }

 private:
  enum class State { kIdle, kRunning, kDraining };
  // Most passes over callbacks still queued when the loop has stopped.
  static constexpr int kFinalPasses = 8;
  // What the loop thread needs; shared with it, so that an EventLoop destroyed
  // on its own thread leaves the thread a valid base to finish with.
  struct Shared {
    EventBasePtr base;
    EventPtr wake;  // after base: freed first
    std::mutex tasks_mutex;  // guards tasks and state
    std::condition_variable drained;
    std::deque<std::function<void()>> tasks;
    State state = State::kIdle;
    // Held while work runs on a calling thread because no loop runs, and by
    // Start and Stop; recursive so that such work may hand over more work.
    std::recursive_mutex idle_mutex;
    std::atomic<std::thread::id> loop_thread{};
    State state_snapshot() {
      std::lock_guard<std::mutex> lock(tasks_mutex);
      return state;
    }
  };
  static void OnWake(evutil_socket_t fd, short what, void* arg);
  static void RunTasks(Shared& shared);
  static void ThreadMain(std::shared_ptr<Shared> shared, std::promise<void> ready);

  std::shared_ptr<Shared> m_shared;
  std::thread m_thread;
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_COMMON_EVENT_LOOP_H
