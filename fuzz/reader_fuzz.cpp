// Feeds arbitrary bytes to the datafeed stream reader's frame cutting and
// dispatch, in chunks chosen by the input itself, on a connection with no
// socket. Any crash, overrun or undefined behaviour is a finding.
#include <event2/buffer.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/common_def.h"
#include "config/base_config.h"
#include "datafeed_client/connect_thread.h"
#include "fuzz/fuzz_support.h"

namespace qc = com::quor::kbr::client;

namespace {

struct Fixture {
  Fixture()
      : queue(std::make_shared<qc::RawDataQueue>()), back(std::make_shared<qc::RawDataQueueBack>()) {
    qel_fuzz::QuietLibrary();
    nodes.emplace(2, qc::ServerHost("127.0.0.1", 1, false));
    nodes.emplace(1, qc::ServerHost("127.0.0.1", 2, false));
    conn = std::make_unique<qc::SocketConnectThread>(&handle, nodes, queue, back, user, token, 1, nullptr);
    // A refused or garbled login response pauses 3 ms before the next node;
    // inputs full of them would otherwise spend the run asleep.
    conn->SetReconnectPauseForTest(0);
  }
  qc::MessageHandle handle;
  qc::ServerHostListType nodes;
  std::string user = "fuzz";
  std::string token = "token";
  std::shared_ptr<qc::RawDataQueue> queue;
  std::shared_ptr<qc::RawDataQueueBack> back;
  std::unique_ptr<qc::SocketConnectThread> conn;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture* fixture = new Fixture();
  if (size == 0) return 0;
  const size_t chunk = 1 + data[0] % 64;  // first byte: how the stream is split
  ++data;
  --size;
  evbuffer* input = evbuffer_new();
  for (size_t pos = 0; pos < size; pos += chunk) {
    const size_t n = size - pos < chunk ? size - pos : chunk;
    evbuffer_add(input, data + pos, n);
    fixture->conn->ProcessInput(input);
  }
  fixture->conn->ProcessInput(input);
  evbuffer_free(input);
  // Hand every queued body back, as the decompress thread would, so that the
  // reader's next frame releases it and its in-flight budget never runs out.
  while (qc::RawData* item = fixture->queue->front()) {
    char** slot = fixture->back->alloc();
    if (slot == nullptr) break;
    *slot = item->m_body;
    fixture->back->push();
    item->m_body = nullptr;
    fixture->queue->pop();
  }
  fixture->conn->Reset();
  return 0;
}
