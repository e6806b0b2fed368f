// Feeds arbitrary bytes to the discovery client's reading of the login
// response, in chunks chosen by the input itself, as they would arrive on
// the discovery connection. No socket: the bytes go into the input buffer of
// a bufferevent without a descriptor, and the client's read callback runs as libevent
// would run it. The client has sent no request, so its trace id is empty and
// a response answering it carries an empty one.
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "discovery_client/discovery_client.h"
#include "fuzz/fuzz_support.h"

namespace qc = com::quor::kbr::client;

namespace {

struct Fixture {
  // A socket bufferevent without a descriptor: it opens nothing, and its
  // input buffer is filled here instead of from a socket (libevent keeps
  // that buffer's end frozen for everyone but itself; thawed here).
  Fixture() : base(event_base_new()), bev(bufferevent_socket_new(base.get(), -1, 0)) {
    qel_fuzz::QuietLibrary();
    evbuffer_unfreeze(bufferevent_get_input(bev.get()), 0);
  }
  qc::EventBasePtr base;
  qc::BufferEventPtr bev;
  qc::MessageHandle handle;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture* fixture = new Fixture();
  if (size == 0) return 0;
  const size_t chunk = 1 + data[0] % 64;  // first byte: how the stream is split
  ++data;
  --size;
  bufferevent* bev = fixture->bev.get();
  evbuffer* input = bufferevent_get_input(bev);
  qc::DiscoveryClient client(&fixture->handle);
  for (size_t pos = 0; pos < size; pos += chunk) {
    const size_t n = size - pos < chunk ? size - pos : chunk;
    if (evbuffer_add(input, data + pos, n) != 0) abort();
    qc::DiscoveryReadCb(bev, &client);
  }
  evbuffer_drain(input, evbuffer_get_length(input));
  return 0;
}
