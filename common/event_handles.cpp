#include "common/event_handles.h"

#include <event2/bufferevent_ssl.h>
#include <event2/thread.h>
#include <event2/util.h>

#include <cstring>
#include <mutex>

#include "config/base_config.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

void EnableEventThreading() {
  static std::once_flag once;
  std::call_once(once, [] { evthread_use_pthreads(); });
}

BufferEventPtr NewClientBufferEvent(event_base* base, SslPtr* ssl) {
  if (base == nullptr) return nullptr;
  BufferEventPtr bev;
  if (ssl != nullptr) {
    if (!*ssl) return nullptr;
    bev.reset(bufferevent_openssl_socket_new(base, -1, ssl->get(), BUFFEREVENT_SSL_CONNECTING,
                                             BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS));
    if (!bev) return nullptr;
    ssl->release();  // owned and freed by the bufferevent from here on
    bufferevent_openssl_set_allow_dirty_shutdown(bev.get(), 1);
  } else {
    bev.reset(bufferevent_socket_new(base, -1, BEV_OPT_CLOSE_ON_FREE));
    if (!bev) return nullptr;
  }
  const BaseConfig& config = BaseConfig::GetInstance();
  struct timeval read_timeout = {static_cast<time_t>(config.GetReadTimeout()), 0};
  struct timeval write_timeout = {static_cast<time_t>(config.GetSendTimeout()), 0};
  bufferevent_set_timeouts(bev.get(), &read_timeout, &write_timeout);
  return bev;
}

bool MakeIpv4Address(const std::string& ip, int port, sockaddr_in& addr) {
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return evutil_inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) == 1;
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
