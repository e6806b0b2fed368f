// JSON rendering of market-data records: pb2json (the library's renderer,
// field names as declared, enums as numbers) against protobuf's own
// util::MessageToJsonString with its default options, over the same records
// (one of every market-data type the feed simulator generates). After the
// runs it prints the time ratio pb2json / MessageToJsonString.
#include <benchmark/benchmark.h>
#include <google/protobuf/util/json_util.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "MarketData.pb.h"
#include "config/base_config.h"
#include "sim_records.h"
#include "swig/json2pb.h"

namespace {

using com::quor::qel::model::MarketData;

const std::vector<MarketData>& Records() {
  static const std::vector<MarketData> records = [] {
    std::vector<MarketData> out;
    for (int kind : qel::sim::AllRecordKinds()) {
      qel::sim::StreamSpec spec;
      spec.record_kind = kind;
      spec.data_type = 3;
      qel::sim::RecordTemplate tmpl;
      std::string error;
      if (!qel::sim::RecordTemplate::Build(spec, "600000.SH", 7, &tmpl, &error)) continue;
      std::string wire(tmpl.EncodedSize(123456), '\0');
      tmpl.Encode(123456, &wire[0]);
      MarketData record;
      if (record.ParseFromString(wire)) out.push_back(record);
    }
    return out;
  }();
  return records;
}

void BM_Pb2Json(benchmark::State& state) {
  const auto& records = Records();
  size_t bytes = 0;
  for (auto _ : state) {
    for (const auto& record : records) {
      std::string json = pb2json(record);
      bytes += json.size();
      benchmark::DoNotOptimize(json);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records.size()));
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_Pb2Json);

void BM_MessageToJsonString(benchmark::State& state) {
  const auto& records = Records();
  size_t bytes = 0;
  for (auto _ : state) {
    for (const auto& record : records) {
      std::string json;
      google::protobuf::util::MessageToJsonString(record, &json);
      bytes += json.size();
      benchmark::DoNotOptimize(json);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records.size()));
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_MessageToJsonString);

// Console output as usual, plus the CPU time per iteration of each run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}  // no colour codes in logs
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        m_cpu_ns[run.benchmark_name()] = run.cpu_accumulated_time / static_cast<double>(run.iterations) * 1e9;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double CpuNs(const std::string& name) const {
    auto it = m_cpu_ns.find(name);
    return it == m_cpu_ns.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> m_cpu_ns;
};

}  // namespace

int main(int argc, char** argv) {
  com::quor::kbr::client::BaseConfig::GetInstance().CloseFileLog();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double ours = reporter.CpuNs("BM_Pb2Json");
  const double theirs = reporter.CpuNs("BM_MessageToJsonString");
  if (ours > 0 && theirs > 0) {
    std::printf("records per iteration: %zu\n", Records().size());
    std::printf("pb2json / MessageToJsonString CPU time: %.3f (pb2json %.2fx as fast)\n", ours / theirs,
                theirs / ours);
    std::printf("@row|JSON|pb2json vs protobuf MessageToJsonString, same %zu records, CPU time|%.0f vs %.0f ns per "
                "pass|%.2fx|>= 1.5x|%s\n",
                Records().size(), ours, theirs, theirs / ours, theirs / ours >= 1.5 ? "yes" : "NO");
  }
  benchmark::Shutdown();
  return 0;
}
