// An HTTP endpoint on 127.0.0.1 that serves GET /metrics with the text a
// callback renders (the Prometheus text exposition format). Runs libevent's
// evhttp on its own thread with its own event base.
//
// Threads: Start and Stop (and the destructor) on the owner's thread; the
// render callback runs on the server's thread, once per request. Owns the
// thread, the event base and the HTTP server.
#ifndef QEL_TOOLS_QEL_CLI_METRICS_SERVER_H
#define QEL_TOOLS_QEL_CLI_METRICS_SERVER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

struct event;
struct event_base;
struct evhttp;
struct evhttp_request;

namespace qel {
namespace cli {

class MetricsServer {
 public:
  using Render = std::function<std::string()>;

  MetricsServer() = default;
  ~MetricsServer() { Stop(); }
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Binds 127.0.0.1:port (0: a free port) and starts serving. False with
  // error set when the base, the server or the bind fails.
  bool Start(uint16_t port, Render render, std::string* error);
  // The bound port; 0 before Start succeeded.
  uint16_t Port() const { return m_port; }
  // Ends the loop (a request in progress is answered first), joins the
  // thread and closes the socket. Idempotent.
  void Stop();

 private:
  static void OnRequest(evhttp_request* request, void* self);

  Render m_render;
  struct BaseDeleter {
    void operator()(event_base* base) const;
  };
  struct HttpDeleter {
    void operator()(evhttp* http) const;
  };
  struct EventDeleter {
    void operator()(event* ev) const;
  };
  std::unique_ptr<event_base, BaseDeleter> m_base;
  std::unique_ptr<evhttp, HttpDeleter> m_http;   // freed before the base
  // Made active by Stop: its callback breaks the loop. An activation is kept
  // until the loop runs it, so a Stop right after Start is never lost.
  std::unique_ptr<event, EventDeleter> m_stop_ev;  // freed before the base
  std::thread m_thread;
  uint16_t m_port = 0;
};

}  // namespace cli
}  // namespace qel

#endif  // QEL_TOOLS_QEL_CLI_METRICS_SERVER_H
