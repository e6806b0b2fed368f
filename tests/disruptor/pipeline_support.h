// Test helpers for the decode stage: market-data payloads built with the feed
// simulator's record generators and framer, a producer that plays the
// connection's side of the two queues, and a MessageHandle that records every
// market-data record it is given.
#ifndef QEL_TESTS_DISRUPTOR_PIPELINE_SUPPORT_H
#define QEL_TESTS_DISRUPTOR_PIPELINE_SUPPORT_H

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "MarketData.pb.h"
#include "common/common_def.h"
#include "config/base_config.h"
#include "feed_sim.h"
#include "message_handle.h"
#include "sim_frame.h"
#include "sim_records.h"

namespace qel_test {

namespace qc = com::quor::kbr::client;
using MarketData = com::quor::qel::model::MarketData;

constexpr int16_t kLz4Flag = 16384;
constexpr auto kPatience = std::chrono::seconds(20);

// Keeps the tests' log lines to the recording sink: no log file in the
// working directory, no console output.
inline void QuietLogs() {
  qc::BaseConfig::GetInstance().CloseFileLog();
  qc::BaseConfig::GetInstance().CloseCoutLog();
}

// Polls cond until it holds or the generous bound passes.
inline bool WaitUntil(const std::function<bool()>& cond) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return cond();
}

// One serialised MarketData of the given kind from the simulator's
// generators, carrying seq in the record's sequence field.
inline std::string SimRecord(int kind, int64_t channel, int64_t seq) {
  qel::sim::StreamSpec spec;
  spec.record_kind = kind;
  spec.data_type = 3;
  qel::sim::RecordTemplate tmpl;
  std::string error;
  if (!qel::sim::RecordTemplate::Build(spec, "600000.SH", channel, &tmpl, &error)) {
    ADD_FAILURE() << "kind " << kind << ": " << error;
    return std::string();
  }
  std::string wire(tmpl.EncodedSize(seq), '\0');
  tmpl.Encode(seq, &wire[0]);
  return wire;
}

// A payload of records: int32 length + bytes each, LZ4-compressed as a whole
// (int32 decompressed length + block) when lz4 is set.
inline std::string Payload(const std::vector<std::string>& records, bool lz4) {
  qel::sim::RecordPayloadBuilder builder;
  for (const auto& r : records) builder.Add(r.data(), r.size());
  const std::string out = builder.Finish(lz4);
  if (lz4) {
    EXPECT_FALSE(out.empty()) << "LZ4 compression failed";
  }
  return out;
}

inline void AppendLength(std::string* out, int32_t v) { qel::sim::AppendI32(out, v); }

// The connection's side of one site type's queues, on the test thread: the
// only producer of the raw-data queue and the only consumer of the back
// queue. Bodies are exact-size heap arrays, so a read past the end shows up
// under AddressSanitizer. With a decode link, each frame wakes the decode
// thread as the connection's does.
class FrameSource {
 public:
  FrameSource(qc::RawDataQueue& queue, qc::RawDataQueueBack& back, qc::DecodeLink* link = nullptr)
      : m_queue(queue), m_back(back), m_link(link) {}
  ~FrameSource() { Reap(); }

  // Queues one frame; returns its body pointer (the identity that must come back).
  const char* Push(int16_t flags, const std::string& payload, int32_t channelNo = 1) {
    qc::RawData* slot = nullptr;
    if (!WaitUntil([&] { return (slot = m_queue.alloc()) != nullptr; })) {
      ADD_FAILURE() << "raw-data queue stayed full";
      return nullptr;
    }
    *slot = qc::RawData();
    slot->m_flags = flags;
    slot->m_channelNo = channelNo;
    slot->m_channelIdx = ++m_index;
    slot->m_qelDataType = 3;
    slot->m_payloadLength = static_cast<int32_t>(payload.size());
    slot->m_body = new char[payload.size()];
    if (!payload.empty()) std::memcpy(slot->m_body, payload.data(), payload.size());
    const char* body = slot->m_body;
    m_pushed.insert(body);
    m_queue.push();
    if (m_link != nullptr) m_link->wake.Notify();
    return body;
  }

  // Takes every returned body off the back queue and releases it. Returns how
  // many bodies came back in total; a pointer never pushed (or returned
  // twice) is a test failure.
  size_t Reap() {
    while (char** slot = m_back.front()) {
      char* body = *slot;
      m_back.pop();
      if (body == nullptr) continue;
      EXPECT_EQ(m_pushed.count(body), 1u) << "a body came back that was not pushed or came back twice";
      m_pushed.erase(body);
      m_returned.push_back(body);
      delete[] body;
    }
    return m_returned.size();
  }
  bool WaitReturned(size_t n) {
    return WaitUntil([&] { return Reap() >= n; });
  }
  size_t Returned() const { return m_returned.size(); }
  uint32_t Queued() const { return m_queue.approxSize(); }

 private:
  qc::RawDataQueue& m_queue;
  qc::RawDataQueueBack& m_back;
  qc::DecodeLink* m_link;  // borrowed; may be null
  std::set<const char*> m_pushed;
  std::vector<const void*> m_returned;  // identities only, never dereferenced
  int64_t m_index = 0;
};

// Records every market-data record, per channel in delivery order. With the
// gate closed, every callback waits until it opens. Callable from any number
// of workers at once.
class MarketRecorder : public qc::MessageHandle {
 public:
  struct Seen {
    int kind;
    int64_t seq;          // the record's sequence field, -1 when it has none
    int32_t record_type;  // the envelope's QELRecordType
    std::string bytes;    // the record serialised again
    int site_type;        // CurrentMarketDataSiteType() inside the callback
  };

  void OnMarketData(const MarketData& data) override {
    std::unique_lock<std::mutex> lock(m_mutex);
    ++m_entered;
    m_cv.notify_all();
    m_cv.wait(lock, [&] { return m_open; });
    m_seen[data.qelmessagechannel()].push_back(
        Seen{qel::sim::RecordKindOf(data), qel::sim::RecordSequence(data), data.qelrecordtype(),
             data.SerializeAsString(), qc::CurrentMarketDataSiteType()});
    ++m_total;
  }

  void CloseGate() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = false;
  }
  void OpenGate() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = true;
    m_cv.notify_all();
  }
  int Total() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_total;
  }
  int Entered() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entered;
  }
  std::vector<Seen> Channel(int64_t channel) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_seen.find(channel);
    return it == m_seen.end() ? std::vector<Seen>() : it->second;
  }
  std::set<int> SiteTypes(int64_t channel) const {
    std::set<int> out;
    for (const auto& s : Channel(channel)) out.insert(s.site_type);
    return out;
  }
  std::vector<int64_t> Seqs(int64_t channel) const {
    std::vector<int64_t> out;
    for (const auto& s : Channel(channel)) out.push_back(s.seq);
    return out;
  }
  bool WaitTotal(int n) const {
    return WaitUntil([&] { return Total() >= n; });
  }

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_open = true;
  int m_entered = 0;
  int m_total = 0;
  std::map<int64_t, std::vector<Seen>> m_seen;
};

}  // namespace qel_test

#endif  // QEL_TESTS_DISRUPTOR_PIPELINE_SUPPORT_H
