// RAII handles for libevent and OpenSSL objects, and LoopThread: one event
// base run by one thread, with work handed to it from other threads.
#ifndef QEL_TOOLS_FEED_SIM_SIM_LOOP_H
#define QEL_TOOLS_FEED_SIM_SIM_LOOP_H

#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <openssl/ssl.h>

#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>

namespace qel {
namespace sim {

struct EventBaseDeleter {
  void operator()(event_base* b) const { event_base_free(b); }
};
struct BufferEventDeleter {
  void operator()(bufferevent* b) const { bufferevent_free(b); }
};
struct ListenerDeleter {
  void operator()(evconnlistener* l) const { evconnlistener_free(l); }
};
struct EventDeleter {
  void operator()(event* e) const { event_free(e); }
};
struct SslCtxDeleter {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using EventBasePtr = std::unique_ptr<event_base, EventBaseDeleter>;
using BufferEventPtr = std::unique_ptr<bufferevent, BufferEventDeleter>;
using ListenerPtr = std::unique_ptr<evconnlistener, ListenerDeleter>;
using EventPtr = std::unique_ptr<event, EventDeleter>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxDeleter>;

// Enables libevent's pthread locking once per process; must precede the
// creation of any event base that other threads touch.
void InitEventThreads();

// One event base and the thread that runs it. Start/Stop are called by the
// owner's thread; Post/Call from any thread. Owns the base and the thread;
// objects created on the base belong to whoever created them, and must be
// released by the function handed to Stop (it runs on the loop thread, last).
class LoopThread {
 public:
  LoopThread() = default;
  ~LoopThread();
  LoopThread(const LoopThread&) = delete;
  LoopThread& operator=(const LoopThread&) = delete;

  bool Start();
  // Runs last_work on the loop thread, then ends the loop and joins it.
  void Stop(std::function<void()> last_work);
  event_base* base() const { return m_base.get(); }
  bool InLoopThread() const { return std::this_thread::get_id() == m_thread.get_id(); }

  // Queues fn to run on the loop thread; false once the loop has stopped.
  bool Post(std::function<void()> fn);
  // Runs fn on the loop thread and returns its result (directly when called
  // on the loop thread). If the loop has stopped, returns a default value.
  template <typename F>
  auto Call(F fn) -> decltype(fn()) {
    using R = decltype(fn());
    if (InLoopThread()) return fn();
    auto task = std::make_shared<std::packaged_task<R()>>(std::move(fn));
    std::future<R> fut = task->get_future();
    if (!Post([task] { (*task)(); })) {
      if constexpr (std::is_void_v<R>) {
        return;
      } else {
        return R{};
      }
    }
    return fut.get();
  }

 private:
  static void OnWake(evutil_socket_t, short, void* arg);
  void RunTasks();

  EventBasePtr m_base;
  EventPtr m_wake;
  std::thread m_thread;
  std::mutex m_mu;
  std::deque<std::function<void()>> m_tasks;  // guarded by m_mu
  bool m_accepting = false;                   // guarded by m_mu
};

}  // namespace sim
}  // namespace qel

#endif  // QEL_TOOLS_FEED_SIM_SIM_LOOP_H
