// Push rate of the feed simulator over loopback: one site type, stock
// snapshots, 50 records per frame, LZ4 on, read by a client that only drains
// its socket. items_per_second is the number of records the simulator sent.
// A second benchmark prices building one frame (records + LZ4) on its own.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "MetaData.pb.h"
#include "SysLogin.pb.h"
#include "SysSubscribe.pb.h"
#include "feed_sim.h"
#include "sim_frame.h"
#include "sim_records.h"

namespace {

using namespace qel::sim;
namespace model = com::quor::qel::model;

std::string Request(model::ESysMessageType type, const google::protobuf::Message& body) {
  model::MetaData meta;
  meta.set_sysmessagetype(type);
  meta.set_qelsysmessagenum(1);
  meta.set_traceid("bench");
  std::string out;
  AppendRequestFrame(&out, meta, body);
  return out;
}

Scenario PushScenario(int channels, int securities) {
  Scenario sc;
  sc.nodes = {{1, 100, false, 0}};
  StreamSpec s;
  s.site_type = 1;
  s.data_type = 3;
  s.record_kind = kQELStock;
  s.channels.clear();
  for (int c = 1; c <= channels; ++c) s.channels.push_back(c);
  s.security_ids.clear();
  for (int i = 0; i < securities; ++i) s.security_ids.push_back(std::to_string(600000 + i) + ".SH");
  s.rate_per_sec = 0;
  s.batch = 50;
  s.lz4 = true;
  sc.streams = {s};
  return sc;
}

// Logs in, subscribes to everything and drains the socket until told to stop.
void DrainingReader(uint16_t port, const std::string& token, std::atomic<bool>* stop) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &sin.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
    close(fd);
    return;
  }
  timeval tv{0, 200000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  model::LoginRequest login;
  login.set_logintype(model::VENTRIX_LOGIN_FOR_DATAFEED);
  login.mutable_uwt()->set_username("demo");
  login.mutable_uwt()->set_token(token);
  model::SubscribeRequest sub;
  sub.mutable_subscribebydatatype()->add_qeldatatypes(3);
  const std::string hello =
      Request(model::LOGIN_REQUEST, login) + Request(model::SUBSCRIBE_REQUEST, sub);
  if (send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hello.size())) {
    close(fd);
    return;
  }
  std::vector<char> buf(1 << 18);
  while (!stop->load(std::memory_order_relaxed)) {
    if (recv(fd, buf.data(), buf.size(), 0) == 0) break;
  }
  close(fd);
}

void BM_PushStockLz4Batch50(benchmark::State& state) {
  FeedSimulator sim(PushScenario(4, static_cast<int>(state.range(0))));
  if (!sim.Start()) {
    state.SkipWithError(sim.LastError().c_str());
    return;
  }
  std::atomic<bool> stop{false};
  std::thread reader(DrainingReader, sim.NodePortByIndex(0), sim.IssueToken("demo"), &stop);
  if (!sim.WaitForRecords(1, std::chrono::seconds(5))) {
    stop = true;
    reader.join();
    state.SkipWithError("no data flowed");
    return;
  }
  constexpr int64_t kPerIteration = 200000;
  int64_t sent = sim.Stats().records_sent;
  const int64_t first = sent;
  bool stalled = false;
  for (auto _ : state) {
    if (stalled) continue;
    const int64_t target = sent + kPerIteration;
    // A connection that drops would stop the count for good: give up then.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((sent = sim.Stats().records_sent) < target) {
      if (std::chrono::steady_clock::now() > deadline) {
        stalled = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  }
  if (stalled) state.SkipWithError("the stream stalled");
  state.SetItemsProcessed(sent - first);
  const auto st = sim.Stats();
  state.counters["bytes_per_record"] =
      st.records_sent ? static_cast<double>(st.connections.back().bytes_sent) /
                            static_cast<double>(st.records_sent)
                      : 0;
  stop = true;
  reader.join();
}
BENCHMARK(BM_PushStockLz4Batch50)->Arg(100)->Arg(2000)->UseRealTime()->Unit(benchmark::kMillisecond);

// Building one 50-record frame: records from templates, then LZ4.
void BM_BuildStockFrame(benchmark::State& state) {
  const bool lz4 = state.range(0) != 0;
  StreamSpec s;
  s.record_kind = kQELStock;
  std::vector<RecordTemplate> ts(100);
  std::string err;
  for (size_t i = 0; i < ts.size(); ++i) {
    RecordTemplate::Build(s, std::to_string(600000 + i) + ".SH", 1, &ts[i], &err);
  }
  RecordPayloadBuilder b;
  int64_t seq = 0;
  size_t at = 0;
  for (auto _ : state) {
    b.Reset();
    for (int r = 0; r < 50; ++r) {
      const RecordTemplate& t = ts[at];
      at = (at + 1) % ts.size();
      ++seq;
      t.Encode(seq, b.AddUninitialised(t.EncodedSize(seq)));
    }
    benchmark::DoNotOptimize(b.Finish(lz4).data());
  }
  state.SetItemsProcessed(state.iterations() * 50);
}
BENCHMARK(BM_BuildStockFrame)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
