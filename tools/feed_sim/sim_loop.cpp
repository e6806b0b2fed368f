#include "sim_loop.h"

#include <event2/thread.h>

namespace qel {
namespace sim {

void InitEventThreads() {
  static std::once_flag once;
  std::call_once(once, [] { evthread_use_pthreads(); });
}

LoopThread::~LoopThread() { Stop(nullptr); }

bool LoopThread::Start() {
  InitEventThreads();
  m_base.reset(event_base_new());
  if (!m_base) return false;
  m_wake.reset(event_new(m_base.get(), -1, 0, &LoopThread::OnWake, this));
  if (!m_wake) {
    m_base.reset();
    return false;
  }
  {
    std::lock_guard<std::mutex> lk(m_mu);
    m_accepting = true;
  }
  m_thread = std::thread([this] {
    event_base_loop(m_base.get(), EVLOOP_NO_EXIT_ON_EMPTY);
    RunTasks();  // work posted after the break still runs, so no caller waits forever
  });
  return true;
}

void LoopThread::Stop(std::function<void()> last_work) {
  if (!m_thread.joinable()) return;
  Post([this, work = std::move(last_work)] {
    if (work) work();
    {
      std::lock_guard<std::mutex> lk(m_mu);
      m_accepting = false;
    }
    event_base_loopbreak(m_base.get());
  });
  m_thread.join();
  m_wake.reset();
  m_base.reset();
}

bool LoopThread::Post(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lk(m_mu);
    if (!m_accepting) return false;
    m_tasks.push_back(std::move(fn));
    // Under m_mu, so that Stop cannot free the wake event in between.
    event_active(m_wake.get(), EV_READ, 0);
  }
  return true;
}

void LoopThread::OnWake(evutil_socket_t, short, void* arg) {
  static_cast<LoopThread*>(arg)->RunTasks();
}

void LoopThread::RunTasks() {
  std::deque<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> lk(m_mu);
    tasks.swap(m_tasks);
  }
  for (auto& t : tasks) t();
}

}  // namespace sim
}  // namespace qel
