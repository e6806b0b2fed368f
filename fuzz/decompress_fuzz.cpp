// Feeds one market-data payload per input through the decode stage as it
// runs in the client: the decompress thread takes the frame from its queue,
// LZ4-decompresses it when flagged, cuts and checks the records, decodes each
// and hands it to a callback worker, which renders it as JSON (as the Python
// binding's handle does). The input's first byte sets the frame flags (bit 0:
// LZ4) and the channel; the rest is the payload.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>

#include "common/common_def.h"
#include "disruptor/decompress_thread.h"
#include "fuzz/fuzz_support.h"
#include "swig/json2pb.h"

namespace qc = com::quor::kbr::client;

namespace {

constexpr int16_t kLz4Flag = 16384;

// Runs on the worker thread: renders every record, so a decoded record with
// fields no JSON can hold is caught too.
class RenderingHandle : public qc::MessageHandle {
 public:
  void OnMarketData(const com::quor::qel::model::MarketData& data) override {
    try {
      pb2json(data);
    } catch (const std::exception&) {
      // Text that is not UTF-8: reported as an error, not a fault.
    }
  }
};

struct Fixture {
  Fixture()
      : queue(std::make_shared<qc::RawDataQueue>()),
        back(std::make_shared<qc::RawDataQueueBack>()),
        thread(queue, back) {
    qel_fuzz::QuietLibrary();
    qc::BaseConfig::GetInstance().SetThreadIdleSleepTime(1);
    thread.Start(&handle, 1);
  }
  RenderingHandle handle;
  std::shared_ptr<qc::RawDataQueue> queue;
  std::shared_ptr<qc::RawDataQueueBack> back;
  qc::DecompressThread thread;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture* fixture = new Fixture();
  if (size == 0) return 0;
  const uint8_t control = data[0];
  ++data;
  --size;
  qc::RawData* item = fixture->queue->alloc();
  if (item == nullptr) return 0;  // cannot happen: every frame is taken back below
  item->m_flags = (control & 1) != 0 ? kLz4Flag : 0;
  item->m_channelNo = control >> 1;
  item->m_channelIdx = 1;
  item->m_payloadLength = static_cast<int32_t>(size);
  item->m_body = new char[size == 0 ? 1 : size];
  if (size != 0) std::memcpy(item->m_body, data, size);
  fixture->queue->push();
  // The frame is done when its body comes back; each input is one frame, so
  // a crash is attributed to the input that caused it.
  for (;;) {
    if (char** body = fixture->back->front()) {
      delete[] *body;
      fixture->back->pop();
      break;
    }
    std::this_thread::yield();
  }
  return 0;
}
