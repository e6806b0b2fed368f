#include "common/event_loop.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

namespace {
thread_local bool t_on_loop_thread = false;  // set for the life of a loop thread
}  // namespace

EventLoop::EventLoop() : m_shared(std::make_shared<Shared>()) {}

EventLoop::~EventLoop() {
  if (InLoopThread()) {
    // Destroyed by one of its own callbacks: the thread cannot be joined from
    // here. Take no more work, end the loop once the callback returns, and
    // leave the thread (which shares the base) to drain and free it.
    {
      std::lock_guard<std::mutex> lock(m_shared->tasks_mutex);
      m_shared->state = State::kDraining;
    }
    event_base_loopbreak(m_shared->base.get());
    m_thread.detach();
    return;
  }
  Stop();
}

bool EventLoop::OnAnyLoopThread() { return t_on_loop_thread; }

bool EventLoop::Start() {
  std::lock_guard<std::recursive_mutex> owner(m_shared->idle_mutex);
  if (m_thread.joinable()) return false;
  EnableEventThreading();
  m_shared->base.reset(event_base_new());
  if (!m_shared->base) return false;
  m_shared->wake.reset(event_new(m_shared->base.get(), -1, 0, &EventLoop::OnWake, m_shared.get()));
  if (!m_shared->wake) {
    m_shared->base.reset();
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(m_shared->tasks_mutex);
    m_shared->state = State::kRunning;
  }
  std::promise<void> ready;
  std::future<void> loop_ready = ready.get_future();
  m_thread = std::thread(&EventLoop::ThreadMain, m_shared, std::move(ready));
  loop_ready.wait();
  return true;
}

void EventLoop::ThreadMain(std::shared_ptr<Shared> shared, std::promise<void> ready) {
  t_on_loop_thread = true;
  shared->loop_thread = std::this_thread::get_id();
  ready.set_value();
  event_base_loop(shared->base.get(), EVLOOP_NO_EXIT_ON_EMPTY);
  // Work handed over before the loop stopped taking it still runs here, so
  // that no caller waits forever; then the loop is idle.
  for (;;) {
    std::deque<std::function<void()>> tasks;
    {
      std::lock_guard<std::mutex> lock(shared->tasks_mutex);
      tasks.swap(shared->tasks);
      if (tasks.empty()) {
        shared->state = State::kIdle;
        shared->drained.notify_all();
        break;
      }
    }
    for (auto& task : tasks) task();
  }
  // A bufferevent with deferred callbacks that was freed while one of its
  // callbacks was queued keeps a reference until that callback runs; the base
  // would drop the callback unrun and the bufferevent, its socket and its TLS
  // object would never be released. Runs what is still queued (and the
  // finalizers it queues in turn), without waiting for any socket; bounded,
  // since a callback may queue another.
  for (int pass = 0; pass < kFinalPasses; ++pass) {
    if (event_base_get_num_events(shared->base.get(), EVENT_BASE_COUNT_ACTIVE) == 0) break;
    event_base_loop(shared->base.get(), EVLOOP_NONBLOCK);
  }
  shared->loop_thread = std::thread::id();
  t_on_loop_thread = false;
}

bool EventLoop::Stop(std::function<void()> last_work) {
  if (InLoopThread()) return false;
  std::lock_guard<std::recursive_mutex> owner(m_shared->idle_mutex);
  if (!m_thread.joinable()) return true;
  {
    std::lock_guard<std::mutex> lock(m_shared->tasks_mutex);
    if (m_shared->state == State::kRunning) {
      Shared* shared = m_shared.get();
      m_shared->tasks.emplace_back([shared, work = std::move(last_work)] {
        if (work) work();
        {
          std::lock_guard<std::mutex> stopping(shared->tasks_mutex);
          shared->state = State::kDraining;
        }
        event_base_loopbreak(shared->base.get());
      });
      event_active(m_shared->wake.get(), EV_READ, 0);
    }
  }
  m_thread.join();
  m_shared->wake.reset();
  m_shared->base.reset();
  return true;
}

bool EventLoop::Post(std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(m_shared->tasks_mutex);
  if (m_shared->state != State::kRunning) return false;
  m_shared->tasks.push_back(std::move(fn));
  // Under the lock, so that Stop cannot free the wake event in between.
  event_active(m_shared->wake.get(), EV_READ, 0);
  return true;
}

void EventLoop::OnWake(evutil_socket_t, short, void* arg) { RunTasks(*static_cast<Shared*>(arg)); }

void EventLoop::RunTasks(Shared& shared) {
  std::deque<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> lock(shared.tasks_mutex);
    tasks.swap(shared.tasks);
  }
  for (auto& task : tasks) task();
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
