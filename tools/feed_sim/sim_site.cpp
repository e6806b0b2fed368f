// Sites: loop threads, listeners, accepting and reaping connections.
#include "sim_site.h"

#include <arpa/inet.h>
#include <event2/bufferevent_ssl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "sim_impl.h"

namespace qel {
namespace sim {

using com::quor::kbr::client::MutexLock;

namespace {

// A write to a peer that has gone raises SIGPIPE on the writing thread, and
// the default disposition ends the process. Every socket write of the
// simulator (plain and TLS) happens on its loop threads; with the signal
// blocked there the write fails with EPIPE and the connection is closed, and
// the embedding program's own disposition is left alone.
void BlockSigpipeOnThisThread() {
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, nullptr);
}

}  // namespace

bool Site::StartLoop() {
  if (!m_loop.Start()) return false;
  return m_loop.Call([this] {
    BlockSigpipeOnThisThread();
    m_reap.reset(event_new(m_loop.base(), -1, 0, &Site::OnReap, this));
    return m_reap != nullptr;
  });
}

void Site::StopLoop() {
  m_loop.Stop([this] {
    m_listeners.clear();
    m_conns.clear();
    m_reap.reset();
  });
}


uint16_t Site::Listen(int node_index, bool tls, const std::string& ip, uint16_t port,
                      std::string* error) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  if (inet_pton(AF_INET, ip.c_str(), &sin.sin_addr) != 1) {
    *error = "bad bind address " + ip;
    return 0;
  }
  auto ctx = std::make_unique<ListenerCtx>();
  ctx->site = this;
  ctx->node_index = node_index;
  ctx->tls = tls;
  ctx->listener.reset(evconnlistener_new_bind(
      m_loop.base(), &Site::OnAccept, ctx.get(), LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE, 128,
      reinterpret_cast<sockaddr*>(&sin), sizeof sin));
  if (!ctx->listener) {
    *error = "cannot listen on " + ip + ":" + std::to_string(port) + ": " + strerror(errno);
    return 0;
  }
  sockaddr_in bound{};
  socklen_t blen = sizeof bound;
  getsockname(evconnlistener_get_fd(ctx->listener.get()), reinterpret_cast<sockaddr*>(&bound),
              &blen);
  m_listeners[node_index] = std::move(ctx);
  return ntohs(bound.sin_port);
}

void Site::Unlisten(int node_index) {
  m_listeners.erase(node_index);
  ForEachOpen(node_index, [](Connection* c) {
    c->Close();
    return true;
  });
}

void Site::OnAccept(evconnlistener*, evutil_socket_t fd, sockaddr*, int, void* arg) {
  auto* ctx = static_cast<ListenerCtx*>(arg);
  Site* site = ctx->site;
  SimulatorImpl* sim = site->m_sim;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  evutil_make_socket_nonblocking(fd);
  bufferevent* bev = nullptr;
  const int trickle_ms = site->m_discovery ? sim->GetFaults().trickle_discovery_ms : 0;
  if (trickle_ms > 0) {
    bev = site->NewTrickledBufferEvent(fd, ctx->tls ? sim->ssl_ctx(ctx->node_index) : nullptr, trickle_ms);
    if (!bev) return;
  } else if (ctx->tls) {
    SSL* ssl = SSL_new(sim->ssl_ctx(ctx->node_index));
    if (!ssl) {
      evutil_closesocket(fd);
      return;
    }
    bev = bufferevent_openssl_socket_new(site->m_loop.base(), fd, ssl, BUFFEREVENT_SSL_ACCEPTING,
                                         BEV_OPT_CLOSE_ON_FREE);
    if (!bev) {
      SSL_free(ssl);
      evutil_closesocket(fd);
      return;
    }
    bufferevent_openssl_set_allow_dirty_shutdown(bev, 1);
  } else {
    bev = bufferevent_socket_new(site->m_loop.base(), fd, BEV_OPT_CLOSE_ON_FREE);
    if (!bev) {
      evutil_closesocket(fd);
      return;
    }
  }
  uint64_t id = 0;
  auto cell = sim->NewConnectionCell(&id);
  {
    MutexLock lk(cell->mu);
    cell->s.discovery = site->m_discovery;
    cell->s.site_type = site->m_discovery ? 0 : site->m_site_type;
    cell->s.node_index = ctx->node_index;
    cell->s.tls = ctx->tls;
  }
  auto conn = std::make_unique<Connection>(sim, site, id, ctx->node_index, bev, std::move(cell));
  Connection* c = conn.get();
  site->m_conns[id] = std::move(conn);
  c->Start();
}

bufferevent* Site::NewTrickledBufferEvent(evutil_socket_t fd, SSL_CTX* tls, int interval_ms) {
  // The socket's own bufferevent is rate-limited to one byte per interval;
  // TLS runs as a filter above it, so its handshake records leave the socket
  // at that pace too.
  auto& cfg = m_trickle_cfgs[interval_ms];
  if (!cfg) {
    const timeval tick{interval_ms / 1000, (interval_ms % 1000) * 1000};
    cfg.reset(ev_token_bucket_cfg_new(EV_RATE_LIMIT_MAX, EV_RATE_LIMIT_MAX, 1, 1, &tick));
  }
  bufferevent* socket_bev = cfg ? bufferevent_socket_new(m_loop.base(), fd, BEV_OPT_CLOSE_ON_FREE) : nullptr;
  if (!socket_bev) {
    evutil_closesocket(fd);
    return nullptr;
  }
  if (bufferevent_set_rate_limit(socket_bev, cfg.get()) != 0) {
    bufferevent_free(socket_bev);
    return nullptr;
  }
  if (tls == nullptr) return socket_bev;
  SSL* ssl = SSL_new(tls);
  bufferevent* bev = ssl != nullptr ? bufferevent_openssl_filter_new(m_loop.base(), socket_bev, ssl,
                                                                     BUFFEREVENT_SSL_ACCEPTING,
                                                                     BEV_OPT_CLOSE_ON_FREE)
                                    : nullptr;
  if (!bev) {
    if (ssl != nullptr) SSL_free(ssl);
    bufferevent_free(socket_bev);
    return nullptr;
  }
  bufferevent_openssl_set_allow_dirty_shutdown(bev, 1);
  return bev;
}

}  // namespace sim
}  // namespace qel
