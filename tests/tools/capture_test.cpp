// Capture files: frames handed to the recorder come back from the reader byte
// for byte with their site type and receive time; a stream cut inside its last
// entry yields the entries before it and reports the cut; a newer format
// version is refused with a message naming both versions; a recorded frame
// decodes to the records it carried, compressed or not; a writer stuck on its
// file drops and counts frames instead of holding the caller; and the capture kept
// in tests/data (made by qel-cli --record against the simulator) still reads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "capture.h"
#include "client_config.h"
#include "client_factory.h"
#include "common/frame_tap.h"
#include "support/recording_handle.h"
#include "support/recording_log.h"
#include "support/temp_dir.h"
#include "support/wire_frames.h"

namespace qc = com::quor::kbr::client;
namespace model = com::quor::qel::model;

namespace {

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

model::MarketData Stock(const std::string& id, int time) {
  model::MarketData data;
  data.set_qelmessagechannel(101);
  data.mutable_qelstock()->set_qelsecurityid(id);
  data.mutable_qelstock()->set_mdtime(time);
  return data;
}

// A market-data frame of records, LZ4-compressed when lz4.
std::string MarketFrame(const std::vector<model::MarketData>& records, bool lz4, int64_t index) {
  qel::sim::RecordPayloadBuilder builder;
  for (const auto& r : records) {
    const std::string b = r.SerializeAsString();
    builder.Add(b.data(), b.size());
  }
  const std::string payload = builder.Finish(lz4);
  const int16_t flags = static_cast<int16_t>(qel::sim::kFlagManage | (lz4 ? qel::sim::kFlagLz4 : 0));
  return qel_test::Frame(qel_test::Meta(model::PUSH_MARKET_DATA, "", 101, index), payload, flags);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

struct Tapped {
  int site_type;
  std::string frame;
};

class CaptureFileTest : public testing::Test {
 protected:
  CaptureFileTest() {
    qc::ClientConfig::CloseFileLog();  // the client made below writes no log file of its own
    qc::ClientConfig::CloseCoutLog();
  }

  // Records frames through the tap the connections call, as they would.
  void Record(const std::vector<Tapped>& frames) {
    qc::ClientConfig::SetUseSSL(false);
    qc::ClientInterface* client = qc::ClientFactory::Instance()->CreateClient(&m_handle);
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(qc::StartCapture(client, m_path.c_str()), 0);
    EXPECT_EQ(qc::StartCapture(client, m_path.c_str()), -1);  // one capture at a time
    m_before = NowNs();
    for (const Tapped& t : frames) qc::TapFrameSlow(t.site_type, t.frame.data(), t.frame.size());
    m_after = NowNs();
    EXPECT_EQ(qc::StopCapture(client), 0);
    EXPECT_EQ(qc::StopCapture(client), -1);  // nothing left to stop
    qc::ClientFactory::Uninstance();
  }

  std::vector<Tapped> SomeFrames() const {
    return {{1, MarketFrame({Stock("600000.SH", 93000000), Stock("000001.SZ", 93000001)}, true, 1)},
            {2, MarketFrame({Stock("600519.SH", 93000002)}, false, 7)},
            {1, MarketFrame({Stock("600000.SH", 93000003)}, false, 2)}};
  }

  qel_test::TempDir m_dir;
  const std::string m_path = m_dir.path() + "/run.qelcap";
  qel_test::RecordingHandle m_handle;
  int64_t m_before = 0;
  int64_t m_after = 0;
};

TEST_F(CaptureFileTest, RoundTripKeepsEveryFrameWithSiteTypeAndTime) {
  const std::vector<Tapped> frames = SomeFrames();
  Record(frames);
  qc::CaptureReader reader(m_path);
  ASSERT_TRUE(reader.ok()) << reader.error();
  EXPECT_EQ(reader.version(), qc::CaptureFormatVersion());
  qc::CaptureEntry entry;
  int64_t last_time = 0;
  for (const Tapped& t : frames) {
    ASSERT_EQ(reader.Next(&entry), qc::CaptureReader::Result::kEntry) << reader.error();
    EXPECT_EQ(entry.site_type, t.site_type);
    EXPECT_EQ(entry.frame, t.frame);
    EXPECT_GE(entry.receive_time_ns, m_before);
    EXPECT_LE(entry.receive_time_ns, m_after);
    EXPECT_GE(entry.receive_time_ns, last_time);
    last_time = entry.receive_time_ns;
  }
  EXPECT_EQ(reader.Next(&entry), qc::CaptureReader::Result::kEnd);
}

TEST_F(CaptureFileTest, DecodedFramesGiveTheirRecordsCompressedOrNot) {
  const std::vector<model::MarketData> records = {Stock("600000.SH", 1), Stock("000001.SZ", 2)};
  for (bool lz4 : {true, false}) {
    std::vector<model::MarketData> out;
    std::string error;
    ASSERT_EQ(qc::DecodeCaptureFrame(MarketFrame(records, lz4, 1), &out, &error), 0) << error;
    ASSERT_EQ(out.size(), records.size());
    for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i].SerializeAsString(), records[i].SerializeAsString());
  }
  // A frame whose lengths do not add up, and one whose record runs past the
  // payload, are reported, not decoded.
  std::vector<model::MarketData> out;
  std::string error;
  std::string frame = MarketFrame(records, false, 1);
  EXPECT_LT(qc::DecodeCaptureFrame(frame.substr(0, frame.size() - 1), &out, &error), 0);
  EXPECT_NE(error.find("do not add up"), std::string::npos) << error;
  std::string payload;
  qel_test::PutI32(payload, 100);
  payload += "short";
  EXPECT_LT(qc::DecodeCaptureFrame(qel_test::Frame(qel_test::Meta(model::PUSH_MARKET_DATA), payload), &out, &error),
            0);
  EXPECT_NE(error.find("runs past the payload"), std::string::npos) << error;
  EXPECT_TRUE(out.empty());
}

// Cut points from the end of the file: inside the last frame's bytes, and
// inside its 4-byte length.
struct CutCase {
  const char* name;
  size_t keep_of_last_entry;  // bytes of the last entry left in the file
  const char* message;
};

class CaptureCutTest : public CaptureFileTest, public testing::WithParamInterface<CutCase> {};

TEST_P(CaptureCutTest, TruncatedLastEntryIsReportedAndIgnored) {
  const std::vector<Tapped> frames = SomeFrames();
  Record(frames);
  const std::string whole = ReadAll(m_path);
  const size_t last_entry = 4 + 12 + frames.back().frame.size();
  ASSERT_GT(whole.size(), last_entry);
  WriteAll(m_path, whole.substr(0, whole.size() - last_entry + GetParam().keep_of_last_entry));

  qc::CaptureReader reader(m_path);
  ASSERT_TRUE(reader.ok()) << reader.error();
  qc::CaptureEntry entry;
  for (size_t i = 0; i + 1 < frames.size(); ++i) {
    ASSERT_EQ(reader.Next(&entry), qc::CaptureReader::Result::kEntry) << reader.error();
    EXPECT_EQ(entry.frame, frames[i].frame);
  }
  EXPECT_EQ(reader.Next(&entry), qc::CaptureReader::Result::kTruncated);
  EXPECT_NE(reader.error().find(GetParam().message), std::string::npos) << reader.error();
  EXPECT_EQ(reader.error().find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cuts, CaptureCutTest,
                         testing::Values(CutCase{"inside_frame", 20, "capture cut short: entry 3 has 16 of its"},
                                         CutCase{"inside_length", 2, "entry 3 has 2 of its 4 length bytes"}),
                         [](const testing::TestParamInfo<CutCase>& info) { return std::string(info.param.name); });

TEST_F(CaptureFileTest, NewerVersionAndForeignFilesAreRefused) {
  Record(SomeFrames());
  std::string bytes = ReadAll(m_path);
  bytes[8] = 2;  // the version field, little-endian u16 after the 8 magic bytes
  WriteAll(m_path, bytes);
  qc::CaptureReader newer(m_path);
  EXPECT_FALSE(newer.ok());
  EXPECT_EQ(newer.error(), "capture format version 2 is newer than this reader's 1");
  qc::CaptureEntry entry;
  EXPECT_EQ(newer.Next(&entry), qc::CaptureReader::Result::kError);

  bytes[8] = 1;
  bytes[10] = 1;  // the flag reserved for LZ4-compressed blocks, which version 1 does not write
  WriteAll(m_path, bytes);
  qc::CaptureReader flagged(m_path);
  EXPECT_FALSE(flagged.ok());
  EXPECT_NE(flagged.error().find("flags 1 are not known"), std::string::npos) << flagged.error();

  WriteAll(m_path, "{\"type\": \"QELStock\"}\n");
  qc::CaptureReader foreign(m_path);
  EXPECT_FALSE(foreign.ok());
  EXPECT_NE(foreign.error().find("not a capture file"), std::string::npos) << foreign.error();
}

// A writer stuck on its output (a pipe nobody reads yet) never holds the
// connections back: frames beyond the buffer are dropped, counted and
// reported at stop, and the ones kept reach the file whole.
TEST_F(CaptureFileTest, FullBufferDropsAndCountsInsteadOfWaiting) {
  qel_test::RecordingLog log;
  const std::string fifo = m_dir.path() + "/slow.pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader_fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // lets the writer's open return
  ASSERT_GE(reader_fd, 0);
  qc::ClientConfig::SetUseSSL(false);
  qc::ClientInterface* client = qc::ClientFactory::Instance()->CreateClient(&m_handle);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(qc::StartCapture(client, fifo.c_str()), 0);
  const std::string frame(60000, 'f');
  constexpr int kFrames = 1200;  // 72 MB: more than the 64 MiB buffer
  for (int i = 0; i < kFrames; ++i) qc::TapFrameSlow(1, frame.data(), frame.size());
  // Only now is the pipe read, to its end.
  int64_t bytes_read = 0;
  std::thread drain([&] {
    fcntl(reader_fd, F_SETFL, 0);
    char buf[65536];
    ssize_t n;
    while ((n = read(reader_fd, buf, sizeof buf)) > 0) bytes_read += n;
  });
  EXPECT_EQ(qc::StopCapture(client), 0);
  drain.join();
  close(reader_fd);
  qc::ClientFactory::Uninstance();

  const std::vector<std::string> lines = log.LinesWith("Capture stopped: ");
  ASSERT_EQ(lines.size(), 1u);
  long long written = -1, dropped = -1;
  ASSERT_EQ(std::sscanf(lines[0].c_str(), "Capture stopped: %lld frames written, %lld dropped", &written, &dropped), 2)
      << lines[0];
  EXPECT_GT(dropped, 0);
  EXPECT_EQ(written + dropped, kFrames);
  EXPECT_EQ(bytes_read, 16 + written * static_cast<int64_t>(16 + frame.size()));
}

// tests/data/sim_two_sites.qelcap: qel-cli --record --types 3,9 --count 24 against
// the simulator running tests/data/sim_two_sites.json: 12 stock records on site
// type 1 (LZ4 frames) and 12 trade
// records on site type 2 (plain frames), 4 records a frame.
TEST(CaptureDataFile, KeptCaptureStillReadsAndDecodes) {
  qc::CaptureReader reader(QEL_TEST_DATA_DIR "/sim_two_sites.qelcap");
  ASSERT_TRUE(reader.ok()) << reader.error();
  qc::CaptureEntry entry;
  std::map<int, int> records_by_site;
  std::map<int, int> lz4_frames_by_site;
  int frames = 0;
  qc::CaptureReader::Result result;
  while ((result = reader.Next(&entry)) == qc::CaptureReader::Result::kEntry) {
    ++frames;
    std::vector<model::MarketData> records;
    std::string error;
    ASSERT_EQ(qc::DecodeCaptureFrame(entry.frame, &records, &error), 0) << error;
    for (const auto& r : records) {
      EXPECT_TRUE(entry.site_type == 1 ? r.has_qelstock() : r.has_qeltrade()) << r.ShortDebugString();
    }
    records_by_site[entry.site_type] += static_cast<int>(records.size());
    if ((static_cast<unsigned char>(entry.frame[3]) & 0x40) != 0) ++lz4_frames_by_site[entry.site_type];
  }
  EXPECT_EQ(result, qc::CaptureReader::Result::kEnd) << reader.error();
  EXPECT_EQ(frames, 6);
  EXPECT_EQ(records_by_site, (std::map<int, int>{{1, 12}, {2, 12}}));
  EXPECT_EQ(lz4_frames_by_site, (std::map<int, int>{{1, 3}}));
}

}  // namespace
