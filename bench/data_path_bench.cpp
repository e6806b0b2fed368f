// The client's receive path below the decompress threads, measured without a
// socket:
//   BM_ReaderCutsMarketFrames  the stream reader cutting buffered market-data
//                              frames and handing each payload to the raw-data
//                              queue (one copy per frame), for several payload
//                              sizes; bytes_per_second counts wire bytes.
//   BM_RawDataQueueTwoThreads  the lock-free queue between a producer and a
//                              consumer thread, body buffers travelling back
//                              through the return queue as in the client.
#include <benchmark/benchmark.h>
#include <event2/buffer.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "common/common_def.h"
#include "config/base_config.h"
#include "datafeed_client/connect_thread.h"
#include "support/wire_frames.h"

namespace {

namespace qc = com::quor::kbr::client;
namespace qm = com::quor::qel::model;

// One PUSH_MARKET_DATA frame with an opaque payload of payload_bytes.
std::string MarketFrame(int64_t index, size_t payload_bytes) {
  qm::MetaData meta = qel_test::Meta(qm::PUSH_MARKET_DATA, "", 1, index);
  meta.set_qelsysmessagenum(50);
  meta.set_qeldatatype(3);
  return qel_test::Frame(meta, std::string(payload_bytes, 'r'));
}

void BM_ReaderCutsMarketFrames(benchmark::State& state) {
  qc::BaseConfig::GetInstance().CloseFileLog();
  qc::BaseConfig::GetInstance().CloseCoutLog();
  const size_t payload_bytes = static_cast<size_t>(state.range(0));
  constexpr int kFramesPerRound = 256;
  // Each round continues the channel's index where the last one ended, as a
  // live feed does (a repeated index would be reported as such by the reader).
  int64_t next_index = 1;
  std::string round;
  auto next_round = [&] {
    round.clear();
    for (int i = 0; i < kFramesPerRound; ++i) round += MarketFrame(next_index++, payload_bytes);
  };
  next_round();
  size_t wire_bytes = 0;

  qc::MessageHandle handle;
  qc::ServerHostListType nodes;
  nodes.emplace(1, qc::ServerHost("127.0.0.1", 1, false));
  std::string user = "bench";
  std::string token = "token";
  auto queue = std::make_shared<qc::RawDataQueue>();
  auto back = std::make_shared<qc::RawDataQueueBack>();
  qc::SocketConnectThread conn(&handle, nodes, queue, back, user, token, 1, nullptr);
  std::unique_ptr<evbuffer, qel_test::EvbufferFree> input(evbuffer_new());

  for (auto _ : state) {
    evbuffer_add(input.get(), round.data(), round.size());
    conn.ProcessInput(input.get());
    state.PauseTiming();
    wire_bytes += round.size();
    next_round();
    // The decompress thread's share, not measured: bodies go back through the
    // back queue, and the reader releases them (measured) on its next frame.
    while (qc::RawData* item = queue->front()) {
      char** slot = back->alloc();
      *slot = item->m_body;
      back->push();
      item->m_body = nullptr;
      queue->pop();
    }
    state.ResumeTiming();
  }
  if (evbuffer_get_length(input.get()) != 0) state.SkipWithError("reader left bytes unread");
  qc::DrainRawDataQueues(*queue, *back);
  state.SetItemsProcessed(state.iterations() * kFramesPerRound);
  state.SetBytesProcessed(static_cast<int64_t>(wire_bytes));
}
BENCHMARK(BM_ReaderCutsMarketFrames)->Arg(64)->Arg(1024)->Arg(8192)->Arg(60000);

void BM_RawDataQueueTwoThreads(benchmark::State& state) {
  constexpr int64_t kItems = 2000000;
  for (auto _ : state) {
    auto queue = std::make_unique<qc::RawDataQueue>();
    auto back = std::make_unique<qc::RawDataQueueBack>();
    int64_t consumed = 0;
    std::thread consumer([&] {
      while (consumed < kItems) {
        qc::RawData* item = queue->front();
        if (item == nullptr) continue;
        char** slot = back->alloc();
        if (slot == nullptr) continue;  // the producer frees returned buffers as it goes
        *slot = item->m_body;
        back->push();
        queue->pop();
        ++consumed;
      }
    });
    char* spare = nullptr;
    for (int64_t i = 0; i < kItems; ++i) {
      qc::RawData* slot;
      while ((slot = queue->alloc()) == nullptr) {
      }
      slot->m_channelIdx = i;
      if (char** returned = back->front()) {
        spare = *returned;  // reuse a returned buffer instead of allocating
        back->pop();
      }
      slot->m_body = spare != nullptr ? spare : new char[64];
      spare = nullptr;
      queue->push();
    }
    consumer.join();
    qc::DrainRawDataQueues(*queue, *back);
    benchmark::DoNotOptimize(consumed);
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_RawDataQueueTwoThreads)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
