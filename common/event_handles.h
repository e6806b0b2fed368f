// Owning handles for libevent and OpenSSL objects, so that every event base,
// bufferevent, timer and TLS object is released exactly once on every path.
#ifndef QEL_COMMON_EVENT_HANDLES_H
#define QEL_COMMON_EVENT_HANDLES_H

#include <event2/bufferevent.h>
#include <event2/event.h>
#include <openssl/ssl.h>

#include <memory>

namespace com {
namespace quor {
namespace kbr {
namespace client {

struct EventBaseFree {
  void operator()(event_base* base) const { event_base_free(base); }
};
struct BufferEventFree {
  void operator()(bufferevent* bev) const { bufferevent_free(bev); }
};
struct EventFree {
  void operator()(event* ev) const { event_free(ev); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

using EventBasePtr = std::unique_ptr<event_base, EventBaseFree>;
using BufferEventPtr = std::unique_ptr<bufferevent, BufferEventFree>;
using EventPtr = std::unique_ptr<event, EventFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;

// Switches libevent to pthread locking once per process, before any event base
// exists, so that bases can be woken and stopped from other threads.
void EnableEventThreading();

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_COMMON_EVENT_HANDLES_H
