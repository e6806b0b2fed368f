// Peak memory of one datafeed connection whose node sends faster than the
// client decodes. A feed-simulator node on 127.0.0.1 pushes stock snapshots
// as fast as the socket takes them; a stand-in decode thread spends
// --decode-us microseconds on every frame. The connection holds at most
// --budget-mib of payload in flight and then stops reading its socket.
//
// Prints the process's peak resident set (VmHWM) after --seconds, with the
// frames decoded and the payload bytes in flight at the end. The two raw-data
// queues of a site type take 128 MiB of that on their own.
//
//   overload_bench [--seconds N] [--budget-mib N] [--decode-us N]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "common/common_def.h"
#include "config/base_config.h"
#include "datafeed_client/connect_thread.h"
#include "feed_sim.h"
#include "message_handle.h"

namespace {

namespace qc = com::quor::kbr::client;
namespace qm = com::quor::qel::model;
namespace sim = qel::sim;

long PeakResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmHWM:") == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 10;
  long budget_mib = 256;
  int decode_us = 100;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--budget-mib") == 0) budget_mib = std::atol(argv[i + 1]);
    if (std::strcmp(argv[i], "--decode-us") == 0) decode_us = std::atoi(argv[i + 1]);
  }
  qc::BaseConfig& config = qc::BaseConfig::GetInstance();
  config.CloseFileLog();
  config.CloseCoutLog();
  config.SetUseSSL(false);
  config.SetMaxInflightBytes(static_cast<uint32_t>(budget_mib << 20));

  sim::Scenario scenario;
  scenario.users = {{"bench", "pw"}};
  scenario.nodes = {{1, 100, false, 0}};
  sim::StreamSpec stream;
  stream.site_type = 1;
  stream.data_type = 3;
  stream.record_kind = sim::kQELStock;
  stream.channels = {1, 2, 3, 4};
  for (int i = 0; i < 64; ++i) stream.security_ids.push_back(std::to_string(600000 + i) + ".SH");
  stream.batch = 500;  // frames of up to 60,000 bytes
  scenario.streams = {stream};
  sim::FeedSimulator feed(scenario);
  if (!feed.Start()) {
    std::fprintf(stderr, "simulator: %s\n", feed.LastError().c_str());
    return 1;
  }

  auto queue = std::make_shared<qc::RawDataQueue>();
  auto back = std::make_shared<qc::RawDataQueueBack>();
  std::atomic<bool> stop{false};
  std::atomic<int64_t> frames{0};
  std::thread decoder([&] {
    while (!stop) {
      qc::RawData* item = queue->front();
      if (item == nullptr) {
        std::this_thread::sleep_for(std::chrono::microseconds(10));
        continue;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(decode_us));  // the slow decode
      char** slot = back->alloc();
      if (slot != nullptr) {
        *slot = item->m_body;
        back->push();
      } else {
        delete[] item->m_body;
      }
      item->m_body = nullptr;
      queue->pop();
      ++frames;
    }
  });

  qc::MessageHandle handle;
  qc::ServerHostListType nodes;
  nodes.emplace(1, qc::ServerHost("127.0.0.1", feed.NodePort(1, 0), false));
  const std::string user = "bench";
  const std::string token = feed.IssueToken(user);
  auto conn = std::make_shared<qc::SocketConnectThread>(&handle, nodes, queue, back, user, token, 1, nullptr);
  conn->Start();
  conn->TryConnect();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (conn->m_state.load() != qc::SocketConnectThread::LOGIN_SUCCESS && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (conn->m_state.load() != qc::SocketConnectThread::LOGIN_SUCCESS) {
    std::fprintf(stderr, "datafeed login failed\n");
    stop = true;
    decoder.join();
    return 1;
  }
  qm::SubscribeRequest request;
  request.set_subscribeactiontype(qm::COVERAGE);
  request.mutable_subscribebydatatype()->add_qeldatatypes(3);
  conn->SendSubscribeMsg(&request);

  int64_t peak_inflight = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const int64_t inflight = conn->GetInflightBytes();
    if (inflight > peak_inflight) peak_inflight = inflight;
  }
  const int64_t sent = feed.Stats().md_frames_sent;
  const long peak_kib = PeakResidentKiB();
  conn->Stop();
  stop = true;
  decoder.join();
  conn.reset();
  qc::DrainRawDataQueues(*queue, *back);
  std::printf("budget_mib=%ld decode_us=%d seconds=%d frames_sent=%lld frames_decoded=%lld "
              "peak_inflight_mib=%.1f peak_rss_mib=%.1f (VmHWM)\n",
              budget_mib, decode_us, seconds, static_cast<long long>(sent), static_cast<long long>(frames.load()),
              static_cast<double>(peak_inflight) / (1 << 20), static_cast<double>(peak_kib) / 1024);
  return 0;
}
