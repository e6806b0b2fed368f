// Owning handles for libevent and OpenSSL objects, so that every event base,
// bufferevent, timer and TLS object is released exactly once on every path.
#ifndef QEL_COMMON_EVENT_HANDLES_H
#define QEL_COMMON_EVENT_HANDLES_H

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <openssl/ssl.h>

#include <netinet/in.h>

#include <memory>
#include <string>

// Every thread that runs one of these loops marks itself a library thread.
#include "common/library_threads.h"

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
struct EvbufferFree {
  void operator()(evbuffer* buffer) const { evbuffer_free(buffer); }
};
struct ListenerFree {
  void operator()(evconnlistener* listener) const { evconnlistener_free(listener); }
};
struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};

using EventBasePtr = std::unique_ptr<event_base, EventBaseFree>;
using BufferEventPtr = std::unique_ptr<bufferevent, BufferEventFree>;
using EventPtr = std::unique_ptr<event, EventFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;
using EvbufferPtr = std::unique_ptr<evbuffer, EvbufferFree>;
using ListenerPtr = std::unique_ptr<evconnlistener, ListenerFree>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;

// Switches libevent to pthread locking once per process, before any event base
// exists, so that bases can be woken and stopped from other threads. The one
// threading set-up of the process: the client library, the simulator and the
// tests all go through it.
void EnableEventThreading();

// A client bufferevent on base, not yet connected: TLS over *ssl when ssl is
// given (the bufferevent then owns the TLS object and *ssl is released; on
// failure *ssl keeps it), plain TCP otherwise. Both close the socket on free.
// Read and send timeouts are the configured ones. Null on failure.
BufferEventPtr NewClientBufferEvent(event_base* base, SslPtr* ssl);

// A client TLS context. With a CA file: trusts that file's CAs and verifies
// the server's certificate (chain depth up to 4). Without one: loads OpenSSL's
// default CA locations and leaves the server unverified, with one warning line
// that the server is not authenticated and how to configure a CA file. Null,
// with an error line, when the context cannot be made or the file not loaded.
SslCtxPtr NewClientSslContext(const std::string& ca_file);

// Called on every new TLS object before its handshake, with the host the
// connection is for. When the object verifies its peer (a CA file was
// configured), the handshake then also checks that the certificate was
// issued for host: its IP address for an IP literal, its DNS name otherwise.
// A certificate refused for any reason is logged with the host, and the
// handshake fails. Without peer verification nothing is checked. False
// (with an error line) when the check cannot be set up: fail the attempt.
bool ExpectPeerAddress(SSL* ssl, const std::string& host);

// ip (dotted IPv4 text) and port as a socket address; false for other text
// and for a port outside 1..65535.
bool MakeIpv4Address(const std::string& ip, int port, sockaddr_in& addr);

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_COMMON_EVENT_HANDLES_H
