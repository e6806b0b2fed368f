#include "metrics_server.h"

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/thread.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace qel {
namespace cli {

void MetricsServer::BaseDeleter::operator()(event_base* base) const { event_base_free(base); }
void MetricsServer::HttpDeleter::operator()(evhttp* http) const { evhttp_free(http); }
void MetricsServer::EventDeleter::operator()(event* ev) const { event_free(ev); }

bool MetricsServer::Start(uint16_t port, Render render, std::string* error) {
  Stop();
  // Stop breaks the loop from another thread: the base needs libevent's locks.
  if (evthread_use_pthreads() != 0) {
    *error = "libevent threading unavailable";
    return false;
  }
  m_render = std::move(render);
  m_base.reset(event_base_new());
  if (!m_base) {
    *error = "cannot create an event base";
    return false;
  }
  auto break_loop = [](evutil_socket_t, short, void* base) { event_base_loopbreak(static_cast<event_base*>(base)); };
  m_stop_ev.reset(event_new(m_base.get(), -1, 0, break_loop, m_base.get()));
  m_http.reset(evhttp_new(m_base.get()));
  if (!m_http || !m_stop_ev) {
    *error = "cannot create the HTTP server";
    m_http.reset();
    m_stop_ev.reset();
    m_base.reset();
    return false;
  }
  evhttp_set_allowed_methods(m_http.get(), EVHTTP_REQ_GET | EVHTTP_REQ_HEAD);
  evhttp_set_gencb(m_http.get(), &MetricsServer::OnRequest, this);
  // Only the loopback address: the figures are for this host's collector.
  evhttp_bound_socket* bound = evhttp_bind_socket_with_handle(m_http.get(), "127.0.0.1", port);
  if (bound == nullptr) {
    *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
    m_http.reset();
    m_stop_ev.reset();
    m_base.reset();
    return false;
  }
  sockaddr_in addr;
  socklen_t len = sizeof addr;
  std::memset(&addr, 0, sizeof addr);
  getsockname(evhttp_bound_socket_get_fd(bound), reinterpret_cast<sockaddr*>(&addr), &len);
  m_port = ntohs(addr.sin_port);
  event_base* base = m_base.get();
  m_thread = std::thread([base] { event_base_dispatch(base); });
  return true;
}

void MetricsServer::Stop() {
  if (m_thread.joinable()) {
    event_active(m_stop_ev.get(), 0, 0);
    m_thread.join();
  }
  m_http.reset();
  m_stop_ev.reset();
  m_base.reset();
  m_port = 0;
}

void MetricsServer::OnRequest(evhttp_request* request, void* arg) {
  auto* self = static_cast<MetricsServer*>(arg);
  const char* path = evhttp_uri_get_path(evhttp_request_get_evhttp_uri(request));
  if (path == nullptr || std::strcmp(path, "/metrics") != 0) {
    evhttp_send_error(request, HTTP_NOTFOUND, "only /metrics is served");
    return;
  }
  const std::string text = self->m_render();
  evkeyvalq* headers = evhttp_request_get_output_headers(request);
  evhttp_add_header(headers, "Content-Type", "text/plain; version=0.0.4; charset=utf-8");
  evbuffer* body = evbuffer_new();
  if (body == nullptr) {
    evhttp_send_error(request, HTTP_INTERNAL, nullptr);
    return;
  }
  evbuffer_add(body, text.data(), text.size());
  evhttp_send_reply(request, HTTP_OK, "OK", body);
  evbuffer_free(body);
}

}  // namespace cli
}  // namespace qel
