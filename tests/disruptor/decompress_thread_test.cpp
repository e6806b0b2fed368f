// Decode stage of one site type: frames from the raw-data queue, plain and
// LZ4, cut into records of every type and delivered per channel in order;
// bodies that cannot be decompressed dropped whole with an error line, frames
// cut short inside delivered up to the fault with a warning, while later
// frames still arrive; bodies back through the back queue; stopping with frames and
// records still queued.
#include "config/base_config.h"
#include "disruptor/decompress_thread.h"

#include <gtest/gtest.h>
#include <lz4.h>

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <future>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/recording_log.h"
#include "disruptor/pipeline_support.h"

namespace {

namespace qc = com::quor::kbr::client;
using qel_test::AppendLength;
using qel_test::FrameSource;
using qel_test::kLz4Flag;
using qel_test::MarketData;
using qel_test::MarketRecorder;
using qel_test::Payload;
using qel_test::SimRecord;
using qel_test::WaitUntil;

constexpr const char* kDecompressFailed = "ProcessRawData Decompressed market data failed!";

class DecompressThreadTest : public testing::Test {
 protected:
  DecompressThreadTest() { qel_test::QuietLogs(); }
  void SetUp() override {
    m_thread = std::make_unique<qc::DecompressThread>(m_queue, m_back, m_link);
  }
  void TearDown() override {
    m_thread.reset();
    // What the connection would do at shutdown: release every body still in
    // either queue.
    m_source.Reap();
    qc::DrainRawDataQueues(*m_queue, *m_back);
    EXPECT_EQ(m_log.UnexpectedErrors(), "");
  }

  qel_test::RecordingLog m_log;
  std::shared_ptr<qc::RawDataQueue> m_queue = std::make_shared<qc::RawDataQueue>();
  std::shared_ptr<qc::RawDataQueueBack> m_back = std::make_shared<qc::RawDataQueueBack>();
  // Shared with the thread as a connection shares it: every pushed frame
  // wakes the parked thread through it.
  std::shared_ptr<qc::DecodeLink> m_link = std::make_shared<qc::DecodeLink>();
  MarketRecorder m_handle;
  FrameSource m_source{*m_queue, *m_back, m_link.get()};
  std::unique_ptr<qc::DecompressThread> m_thread;
};

// ------------------------------------------------ every record type, in order

class EveryRecordType : public DecompressThreadTest, public testing::WithParamInterface<bool> {};

TEST_P(EveryRecordType, DeliveredPerChannelInOrderAndBodiesComeBack) {
  const bool lz4 = GetParam();
  // Channels that share workers (5 and -5), the most negative key, and one
  // more; with 3 workers each worker sees interleaved channels.
  const std::vector<int64_t> channels = {5, -5, std::numeric_limits<int64_t>::min(), 12};
  const auto& kinds = qel::sim::AllRecordKinds();
  constexpr int kFrames = 4;
  m_thread->Start(&m_handle, 3);

  std::map<int64_t, int64_t> next_seq;
  std::map<std::pair<int64_t, int64_t>, std::string> expected;  // (channel, seq) -> record bytes
  std::set<const char*> bodies;
  for (int f = 0; f < kFrames; ++f) {
    std::vector<std::string> records;
    for (int kind : kinds) {
      for (int64_t channel : channels) {
        const int64_t seq = ++next_seq[channel];
        records.push_back(SimRecord(kind, channel, seq));
        MarketData parsed;
        ASSERT_TRUE(parsed.ParseFromString(records.back()));
        expected[{channel, seq}] = parsed.SerializeAsString();
      }
    }
    bodies.insert(m_source.Push(lz4 ? kLz4Flag : 0, Payload(records, lz4)));
  }
  const int total = static_cast<int>(expected.size());
  ASSERT_TRUE(m_handle.WaitTotal(total)) << m_handle.Total() << " of " << total;
  ASSERT_TRUE(m_source.WaitReturned(kFrames));

  for (int64_t channel : channels) {
    const auto seen = m_handle.Channel(channel);
    ASSERT_EQ(seen.size(), kinds.size() * kFrames) << "channel " << channel;
    std::set<int> kinds_seen;
    for (size_t i = 0; i < seen.size(); ++i) {
      EXPECT_EQ(seen[i].seq, static_cast<int64_t>(i + 1)) << "channel " << channel << " out of order";
      EXPECT_EQ(seen[i].bytes, (expected[{channel, seen[i].seq}])) << "channel " << channel << " seq " << seen[i].seq;
      kinds_seen.insert(seen[i].kind);
    }
    EXPECT_EQ(kinds_seen, std::set<int>(kinds.begin(), kinds.end())) << "channel " << channel;
  }
  EXPECT_EQ(m_handle.Total(), total);
  EXPECT_EQ(m_source.Returned(), static_cast<size_t>(kFrames));
}

INSTANTIATE_TEST_SUITE_P(PlainAndLz4, EveryRecordType, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "lz4" : "plain"; });

// --------------------------------------------------------- malformed frames

struct BadFrame {
  const char* name;
  int16_t flags;
  // The bad payload; rec(seq) is a valid record on the test's channel.
  std::function<std::string(const std::function<std::string(int64_t)>& rec)> payload;
};

void PrintTo(const BadFrame& frame, std::ostream* os) { *os << frame.name; }

std::string Lz4Of(const std::vector<std::string>& records) { return Payload(records, true); }

std::string WithAnnouncedLength(std::string lz4_payload, int32_t announced) {
  std::string prefix;
  AppendLength(&prefix, announced);
  return lz4_payload.replace(0, 4, prefix);
}

// A plain body: the given records, then raw tail bytes.
std::string PlainWithTail(const std::vector<std::string>& records, const std::string& tail) {
  return Payload(records, false) + tail;
}

std::string LengthBytes(int32_t v) {
  std::string out;
  AppendLength(&out, v);
  return out;
}

// Compresses raw bytes as they stand into a compressed body.
std::string Lz4Raw(const std::string& raw) {
  std::string block(static_cast<size_t>(LZ4_compressBound(static_cast<int>(raw.size()))), '\0');
  const int n = LZ4_compress_default(raw.data(), &block[0], static_cast<int>(raw.size()),
                                     static_cast<int>(block.size()));
  EXPECT_GT(n, 0);
  block.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return LengthBytes(static_cast<int32_t>(raw.size())) + block;
}

const BadFrame kBadFrames[] = {
    {"corrupt_lz4_block", kLz4Flag,
     [](const auto&) { return LengthBytes(100) + std::string(40, '\xff'); }},
    {"lz4_block_cut_short", kLz4Flag,
     [](const auto& rec) {
       std::string p = Lz4Of({rec(2), rec(3)});
       return p.substr(0, p.size() - 6);
     }},
    {"lz4_block_shorter_than_announced", kLz4Flag,
     [](const auto& rec) {
       const std::string p = Lz4Of({rec(2)});
       const int32_t raw = static_cast<int32_t>(Payload({rec(2)}, false).size());
       return WithAnnouncedLength(p, raw + 16);
     }},
    {"lz4_block_longer_than_announced", kLz4Flag,
     [](const auto& rec) {
       const std::string p = Lz4Of({rec(2), rec(3)});
       return WithAnnouncedLength(p, 8);
     }},
    {"announced_length_zero", kLz4Flag, [](const auto& rec) { return WithAnnouncedLength(Lz4Of({rec(2)}), 0); }},
    {"announced_length_negative", kLz4Flag,
     [](const auto& rec) { return WithAnnouncedLength(Lz4Of({rec(2)}), -5); }},
    {"announced_length_above_64_mib", kLz4Flag,
     [](const auto& rec) { return WithAnnouncedLength(Lz4Of({rec(2)}), 64 * 1024 * 1024 + 1); }},
    {"announced_length_int32_max", kLz4Flag,
     [](const auto& rec) {
       return WithAnnouncedLength(Lz4Of({rec(2)}), std::numeric_limits<int32_t>::max());
     }},
    {"compressed_body_of_3_bytes", kLz4Flag, [](const auto&) { return std::string("\x10\x00\x00", 3); }},
    {"compressed_body_empty", kLz4Flag, [](const auto&) { return std::string(); }},
};

class MalformedFrame : public DecompressThreadTest, public testing::WithParamInterface<BadFrame> {};

// Good frame, bad frame, good frame on one channel: a body that cannot be
// decompressed yields no record, one error line, and the frame after it is
// delivered. Every body comes back.
TEST_P(MalformedFrame, IsDroppedWholeAndLaterFramesAreDelivered) {
  m_log.ExpectError(kDecompressFailed);
  constexpr int64_t kChannel = 9;
  const auto rec = [](int64_t seq) { return SimRecord(qel::sim::kQELStock, kChannel, seq); };
  m_thread->Start(&m_handle, 2);
  m_source.Push(0, Payload({rec(1)}, false));
  m_source.Push(GetParam().flags, GetParam().payload(rec));
  m_source.Push(kLz4Flag, Payload({rec(4)}, true));

  // Same channel, same worker: once record 4 is in, anything from the bad
  // frame would already be there too.
  ASSERT_TRUE(m_handle.WaitTotal(2));
  ASSERT_TRUE(m_source.WaitReturned(3));
  EXPECT_EQ(m_handle.Seqs(kChannel), (std::vector<int64_t>{1, 4}));
  EXPECT_EQ(m_log.Count(kDecompressFailed), 1) << m_log.Errors();
}

INSTANTIATE_TEST_SUITE_P(Cases, MalformedFrame, testing::ValuesIn(kBadFrames),
                         [](const testing::TestParamInfo<BadFrame>& info) { return std::string(info.param.name); });

// ------------------------------------------------ frames cut short inside

struct CutShortFrame {
  const char* name;
  int16_t flags;
  // The payload; rec(seq) is a valid record on the test's channel.
  std::function<std::string(const std::function<std::string(int64_t)>& rec)> payload;
  std::vector<int64_t> delivered;  // the records of that frame delivered
  const char* fault;               // what the warning says was wrong
};

void PrintTo(const CutShortFrame& frame, std::ostream* os) { *os << frame.name; }

const CutShortFrame kCutShortFrames[] = {
    {"record_longer_than_the_rest_plain", 0,
     [](const auto& rec) { return PlainWithTail({rec(2), rec(3)}, LengthBytes(500) + std::string(20, 'x')); },
     {2, 3}, "record length 500 beyond the 20 bytes left, at offset"},
    {"record_longer_than_the_rest_inside_lz4", kLz4Flag,
     [](const auto& rec) {
       // The decompressed data holds a record whose prefix claims more than is left.
       return Lz4Raw(PlainWithTail({rec(2)}, LengthBytes(900) + std::string(30, 'x')));
     },
     {2}, "record length 900 beyond the 30 bytes left, at offset"},
    {"first_record_cut_short", 0, [](const auto&) { return LengthBytes(64) + std::string(10, 'x'); }, {},
     "record length 64 beyond the 10 bytes left, at offset 0"},
    // A negative length is never taken as a size: the sound record right
    // behind it is not read either.
    {"negative_record_length", 0,
     [](const auto& rec) { return PlainWithTail({rec(2)}, LengthBytes(-1) + Payload({rec(3)}, false)); }, {2},
     "negative record length -1 at offset"},
    {"most_negative_record_length", 0,
     [](const auto& rec) {
       return PlainWithTail({rec(2)}, LengthBytes(std::numeric_limits<int32_t>::min()) + Payload({rec(3)}, false));
     },
     {2}, "negative record length -2147483648 at offset"},
    {"tail_too_short_for_a_length", 0, [](const auto& rec) { return PlainWithTail({rec(2)}, std::string("\x01\x00", 2)); }, {2},
     "2 bytes left after the last record, too few for a record length"},
};

class CutShort : public DecompressThreadTest, public testing::WithParamInterface<CutShortFrame> {};

// Good frame, frame whose records run into a framing fault, good frame, on
// one channel: the records before the fault are delivered, the rest of that
// frame is skipped with one warning naming the site type, the channel and
// the fault, and the next frame is delivered. No error line.
TEST_P(CutShort, RecordsBeforeTheFaultAreDeliveredAndTheRestSkipped) {
  const CutShortFrame& c = GetParam();
  constexpr int64_t kChannel = 9;
  constexpr int kSiteType = 6;
  const auto rec = [](int64_t seq) { return SimRecord(qel::sim::kQELStock, kChannel, seq); };
  m_thread->Start(&m_handle, 2, 0, kSiteType);
  m_source.Push(0, Payload({rec(1)}, false), 31);
  m_source.Push(c.flags, c.payload(rec), 32);
  m_source.Push(kLz4Flag, Payload({rec(4)}, true), 33);

  std::vector<int64_t> expected = {1};
  expected.insert(expected.end(), c.delivered.begin(), c.delivered.end());
  expected.push_back(4);
  ASSERT_TRUE(m_handle.WaitTotal(static_cast<int>(expected.size())));
  ASSERT_TRUE(m_source.WaitReturned(3));
  EXPECT_EQ(m_handle.Seqs(kChannel), expected);
  EXPECT_EQ(m_log.ErrorCount(), 0) << m_log.Errors();
  const std::vector<std::string> warnings = m_log.LinesWith("Market-data frame cut short");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("site type 6, channel 32"), std::string::npos) << warnings[0];
  EXPECT_NE(warnings[0].find(c.fault), std::string::npos) << warnings[0];
}

INSTANTIATE_TEST_SUITE_P(Cases, CutShort, testing::ValuesIn(kCutShortFrames),
                         [](const testing::TestParamInfo<CutShortFrame>& info) {
                           return std::string(info.param.name);
                         });

// A record that is not a MarketData, between two that are, framed right:
// only it is skipped; the records after it in the frame and the next frame
// are delivered.
TEST_F(DecompressThreadTest, UndecodableRecordIsSkippedAndTheRestOfItsFrameDelivered) {
  m_log.ExpectError("ParseFromArray failed!");
  m_log.ExpectError("ProcessRawData Decode market data failed!");
  constexpr int64_t kChannel = 3;
  const auto rec = [](int64_t seq) { return SimRecord(qel::sim::kMDTrade, kChannel, seq); };
  m_thread->Start(&m_handle, 2);
  m_source.Push(0, Payload({rec(1), std::string("\xff\xff\xff\xff", 4), rec(2)}, false));
  m_source.Push(0, Payload({rec(3)}, false));
  ASSERT_TRUE(m_handle.WaitTotal(3));
  ASSERT_TRUE(m_source.WaitReturned(2));
  EXPECT_EQ(m_handle.Seqs(kChannel), (std::vector<int64_t>{1, 2, 3}));
  EXPECT_EQ(m_log.Count("ProcessRawData Decode market data failed!"), 1);
}

// A zero-length record between two others: three records, the middle one an
// empty MarketData, in body order.
TEST_F(DecompressThreadTest, ZeroLengthRecordIsAnEmptyMarketData) {
  MarketData a;
  a.set_qelrecordtype(1);
  a.mutable_qelstock()->set_qelsecurityid("60000");
  MarketData c;
  c.set_qelrecordtype(3);
  c.mutable_qelbond()->set_qelsecurityid(std::string(19, 'b'));
  // Channel 0 for all three, so one worker delivers them in order.
  m_thread->Start(&m_handle, 4);
  m_source.Push(0, Payload({a.SerializeAsString(), std::string(), c.SerializeAsString()}, false));
  ASSERT_TRUE(m_handle.WaitTotal(3));
  const auto seen = m_handle.Channel(0);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].record_type, 1);
  EXPECT_EQ(seen[1].record_type, 0);
  EXPECT_EQ(seen[1].bytes, "");
  EXPECT_EQ(seen[2].record_type, 3);
  EXPECT_EQ(seen[2].bytes, c.SerializeAsString());
}

// A serialised MarketData of exactly len bytes.
std::string RecordOfSize(size_t len, int64_t channel) {
  MarketData m;
  m.set_qelmessagechannel(channel);
  for (size_t pad = 0; pad < len; ++pad) {
    m.mutable_qelstock()->set_qelsecurityid(std::string(pad, 'p'));
    if (m.ByteSizeLong() == len) return m.SerializeAsString();
  }
  ADD_FAILURE() << "no record of " << len << " bytes";
  return std::string();
}

// The buffer grows to twice the largest decompressed length and never
// shrinks; restarting keeps it.
TEST_F(DecompressThreadTest, DecompressionBufferGrowsToTwiceTheNeedAndStays) {
  EXPECT_EQ(m_thread->DecompressBufferSize(), 4096u);
  m_thread->Start(&m_handle, 1);
  m_source.Push(kLz4Flag, Payload({RecordOfSize(10000 - 4, 1)}, true));
  ASSERT_TRUE(m_handle.WaitTotal(1));
  ASSERT_TRUE(m_source.WaitReturned(1));
  m_thread->Stop();
  EXPECT_EQ(m_thread->DecompressBufferSize(), 20000u);

  m_thread->Start(&m_handle, 1);
  m_source.Push(kLz4Flag, Payload({RecordOfSize(5000 - 4, 1)}, true));
  ASSERT_TRUE(m_handle.WaitTotal(2));
  ASSERT_TRUE(m_source.WaitReturned(2));
  m_thread->Stop();
  EXPECT_EQ(m_thread->DecompressBufferSize(), 20000u);
}

// With the back queue full the thread releases the body itself and goes on;
// once the connection reaps again, bodies come back through the queue.
TEST_F(DecompressThreadTest, FullBackQueueBodyIsReleasedByTheThread) {
  m_log.ExpectError("RawDataQueueBack alloc failed");
  // Filled before the thread starts, so this thread is the producer only
  // while the decompress thread does not run.
  uint32_t filled = 0;
  while (char** slot = m_back->alloc()) {
    *slot = nullptr;
    m_back->push();
    ++filled;
  }
  ASSERT_EQ(filled, qc::RawDataQueueBack::kCapacity);
  m_thread->Start(&m_handle, 2);
  m_source.Push(0, Payload({SimRecord(qel::sim::kQELIndex, 1, 1)}, false));
  ASSERT_TRUE(m_handle.WaitTotal(1));
  ASSERT_TRUE(WaitUntil([&] { return m_log.Count("RawDataQueueBack alloc failed") == 1; }));

  EXPECT_EQ(m_source.Reap(), 0u);  // only the placeholders were there
  m_source.Push(0, Payload({SimRecord(qel::sim::kQELIndex, 1, 2)}, false));
  ASSERT_TRUE(m_source.WaitReturned(1));
  ASSERT_TRUE(m_handle.WaitTotal(2));
  EXPECT_EQ(m_handle.Seqs(1), (std::vector<int64_t>{1, 2}));
}

// A pool without workers: every record is released undelivered, bodies still
// come back, and the thread keeps consuming.
TEST_F(DecompressThreadTest, NoWorkersReleasesRecordsUndelivered) {
  m_thread->Start(&m_handle, 0);
  for (int i = 1; i <= 3; ++i) m_source.Push(0, Payload({SimRecord(qel::sim::kQELOrder, 1, i)}, false));
  ASSERT_TRUE(m_source.WaitReturned(3));
  EXPECT_EQ(m_handle.Total(), 0);
}

// Stop while a callback blocks, a worker's queue is at its bound and frames
// wait in the raw-data queue: Stop returns without the callback, the frames
// stay queued, and destroying the thread releases every queued record (the
// sanitizer run's leak check holds the test to that).
TEST_F(DecompressThreadTest, StopWithFramesAndRecordsQueuedReturnsAndLeaksNothing) {
  constexpr int kFrames = 40;
  constexpr int kPerFrame = 5;
  m_handle.CloseGate();
  m_thread->Start(&m_handle, 2, /*max_queued=*/4);
  for (int f = 0; f < kFrames; ++f) {
    std::vector<std::string> records;
    for (int r = 0; r < kPerFrame; ++r) records.push_back(SimRecord(qel::sim::kQELStock, 7, f * kPerFrame + r + 1));
    m_source.Push(kLz4Flag, Payload(records, true));
  }
  // One record in the callback, four queued: the thread now waits for room.
  ASSERT_TRUE(WaitUntil([&] { return m_handle.Entered() == 1; }));

  auto stopped = std::async(std::launch::async, [&] { m_thread->Stop(); });
  const bool returned = stopped.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  m_handle.OpenGate();
  ASSERT_TRUE(returned) << "Stop waited for the blocked callback";
  stopped.get();
  EXPECT_GT(m_source.Queued(), 0u) << "frames after the one in progress stay in the queue";

  m_thread.reset();  // workers stopped, queued records released
  const int delivered = m_handle.Total();
  EXPECT_LT(delivered, kFrames * kPerFrame);
  // Delivered records are a prefix of the channel's sequence: nothing skipped.
  const auto seqs = m_handle.Seqs(7);
  for (size_t i = 0; i < seqs.size(); ++i) EXPECT_EQ(seqs[i], static_cast<int64_t>(i + 1));
}

// Decoded records count against the site type's budget until released. The
// feed then goes quiet: the workers, handing the last records back, wake the
// parked thread, which releases them, so the charge falls to zero without
// another frame (a connection held back by that charge would otherwise wait
// for ever).
TEST_F(DecompressThreadTest, RecordsHeldChargeTheBudgetUntilReleasedEvenWhenTheFeedGoesQuiet) {
  constexpr int kPerFrame = 6;
  m_handle.CloseGate();
  m_thread->Start(&m_handle, 2);
  std::vector<std::string> records;
  int64_t wire = 0;
  for (int r = 0; r < kPerFrame; ++r) {
    records.push_back(SimRecord(qel::sim::kQELStock, 3 + r % 2, r / 2 + 1));
    wire += static_cast<int64_t>(records.back().size());
  }
  m_source.Push(0, Payload(records, false));
  ASSERT_TRUE(WaitUntil([&] { return m_handle.Entered() >= 1; }));
  const int64_t expected_charge = wire * qc::DecompressThread::kHeldBytesPerWireByte;
  ASSERT_TRUE(WaitUntil([&] { return m_link->heldRecordBytes.load() == expected_charge; }))
      << m_link->heldRecordBytes.load() << " held, " << expected_charge << " expected";
  m_handle.OpenGate();
  ASSERT_TRUE(m_handle.WaitTotal(kPerFrame));
  EXPECT_TRUE(WaitUntil([&] { return m_link->heldRecordBytes.load() == 0; }))
      << m_link->heldRecordBytes.load() << " bytes still held after every record was delivered";
}

// Decoding turns a payload into records several times its size. With the
// callbacks held, the records decoded stop at half the site type's budget
// (plus the frame that crossed it) while frames wait in the queue; once the
// callbacks go on, every record is delivered in order and the charge falls
// back to zero.
TEST_F(DecompressThreadTest, DecodingWaitsWhileTheRecordsHeldReachHalfTheBudget) {
  qc::BaseConfig& config = qc::BaseConfig::GetInstance();
  const uint32_t saved_budget = config.GetMaxInflightBytes();
  const std::string one = SimRecord(qel::sim::kQELStock, 9, 1);
  const int64_t record_charge = static_cast<int64_t>(one.size()) * qc::DecompressThread::kHeldBytesPerWireByte;
  constexpr int kPerFrame = 2;
  constexpr int kFrames = 12;
  // Room for about three records' charge in the records' half.
  config.SetMaxInflightBytes(static_cast<uint32_t>(record_charge * 6));
  m_handle.CloseGate();
  m_thread->Start(&m_handle, 2);
  config.SetMaxInflightBytes(saved_budget);  // read at Start
  int64_t seq = 0;
  for (int f = 0; f < kFrames; ++f) {
    std::vector<std::string> records;
    for (int r = 0; r < kPerFrame; ++r) records.push_back(SimRecord(qel::sim::kQELStock, 9, ++seq));
    m_source.Push(0, Payload(records, false));
  }
  ASSERT_TRUE(WaitUntil([&] { return m_log.Contains("the decompress thread waits for the callbacks"); }));
  const int64_t held = m_link->heldRecordBytes.load();
  EXPECT_GE(held, record_charge * 3);
  EXPECT_LE(held, record_charge * (3 + kPerFrame)) << "decoding went on past the records' share";
  EXPECT_GT(m_source.Queued(), 0u) << "frames wait undecoded";
  m_handle.OpenGate();
  ASSERT_TRUE(m_handle.WaitTotal(kFrames * kPerFrame));
  std::vector<int64_t> expected(static_cast<size_t>(kFrames * kPerFrame));
  for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int64_t>(i) + 1;
  EXPECT_EQ(m_handle.Seqs(9), expected);
  EXPECT_TRUE(WaitUntil([&] { return m_link->heldRecordBytes.load() == 0; }));
}

}  // namespace
