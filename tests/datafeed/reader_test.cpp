// The datafeed stream reader, fed bytes directly (no socket, no loop): frame
// cutting over partial input, length limits, trace checks, dispatch, and the
// hand-over of market data to the raw-data queue.
#include <event2/buffer.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SysHeartbeat.pb.h"
#include "common/common_def.h"
#include "common/frame_tap.h"
#include "config/base_config.h"
#include "config/error_define.h"
#include "datafeed_client/connect_thread.h"
#include "support/recording_handle.h"
#include "support/recording_log.h"
#include "support/wire_frames.h"

namespace qc = com::quor::kbr::client;
namespace qm = com::quor::qel::model;
using qel_test::Frame;
using qel_test::Meta;

namespace {

class ReaderTest : public testing::Test {
 protected:
  ReaderTest()
      : m_queue(std::make_shared<qc::RawDataQueue>()), m_back(std::make_shared<qc::RawDataQueueBack>()),
        m_input(evbuffer_new()) {
    qc::BaseConfig::GetInstance().SetMaxInflightBytes(256u << 20);
    // The reader runs here without an event loop: a move to the next node and
    // a heartbeat start report the missing base. Nothing else is expected.
    m_log.ExpectError("event base is nullptr, pls check");
    m_log.ExpectError("Create heartbeat event failed");
    for (int i = 0; i < 3; ++i) m_nodes.emplace(100 - i, qc::ServerHost("127.0.0.1", 9001 + i, false));
    m_conn = std::make_unique<qc::SocketConnectThread>(&m_handle, m_nodes, m_queue, m_back, m_user, m_token, 7,
                                                        nullptr, m_link);
  }
  ~ReaderTest() override {
    EXPECT_EQ(m_log.UnexpectedErrors(), "") << "error lines the test did not declare";
    m_conn.reset();
    qc::DrainRawDataQueues(*m_queue, *m_back);
  }

  // Appends bytes to the input and lets the reader run; returns bytes left.
  size_t Feed(const std::string& bytes) {
    evbuffer_add(m_input.get(), bytes.data(), bytes.size());
    m_conn->ProcessInput(m_input.get());
    return evbuffer_get_length(m_input.get());
  }

  // Pops every queued frame's body as text.
  std::vector<std::string> Drained() {
    std::vector<std::string> out;
    while (qc::RawData* item = m_queue->front()) {
      out.emplace_back(item->m_body, static_cast<size_t>(item->m_payloadLength));
      delete[] item->m_body;
      item->m_body = nullptr;
      m_queue->pop();
    }
    return out;
  }

  static std::string MarketFrame(const std::string& payload, int64_t index, int16_t flags = 4096) {
    qm::MetaData meta = Meta(qm::PUSH_MARKET_DATA, "", 5, index);
    meta.set_qeldatatype(14);
    meta.set_qelsysmessagenum(3);
    return Frame(meta, payload, flags);
  }

  qel_test::RecordingLog m_log;
  qel_test::RecordingHandle m_handle;
  // The decode side's share: its records' charge is set by hand here.
  std::shared_ptr<qc::DecodeLink> m_link = std::make_shared<qc::DecodeLink>();
  qc::ServerHostListType m_nodes;
  std::string m_user = "alice";
  std::string m_token = "tok";
  std::shared_ptr<qc::RawDataQueue> m_queue;
  std::shared_ptr<qc::RawDataQueueBack> m_back;
  std::unique_ptr<evbuffer, qel_test::EvbufferFree> m_input;
  std::unique_ptr<qc::SocketConnectThread> m_conn;
};

}  // namespace

TEST_F(ReaderTest, TwelveBytesAreNotExaminedThirteenAre) {
  m_log.ExpectError("msg parse fail,Message length is abnormal");
  // A header announcing an absurd length: only examined once 13 bytes are in.
  const std::string bad = qel_test::Header(4096, 70000, 0);
  EXPECT_EQ(Feed(bad), 12u);
  EXPECT_EQ(m_conn->m_state.load(), qc::SocketConnectThread::NOT_CONNECTED);
  Feed("x");
  EXPECT_EQ(m_conn->m_state.load(), qc::SocketConnectThread::CONNECT_OR_LOGIN_FAILED);
  EXPECT_TRUE(m_log.Contains("msg parse fail,Message length is abnormal"));
}

TEST_F(ReaderTest, PartialFrameWaitsUntilWhole) {
  qm::MetaData meta = Meta(qm::PUSH_MARKET_DATA, "", 5, 1);
  const std::string m = meta.SerializeAsString();
  const std::string payload(8, 'p');
  const std::string frame = qel_test::Header(4096, static_cast<int32_t>(m.size()), 8) + m + payload;
  const size_t cut = frame.size() - 10;
  EXPECT_EQ(Feed(frame.substr(0, cut)), cut) << "nothing consumed";
  EXPECT_EQ(m_queue->front(), nullptr);
  EXPECT_EQ(Feed(frame.substr(cut)), 0u);
  EXPECT_EQ(Drained(), std::vector<std::string>{payload});
}

TEST_F(ReaderTest, TwoAndAHalfFramesHandleTwoAndKeepTheHalf) {
  const std::string a = MarketFrame("first", 1);
  const std::string b = MarketFrame("second", 2);
  const std::string c = MarketFrame("third", 3);
  const size_t half = c.size() / 2;
  EXPECT_EQ(Feed(a + b + c.substr(0, half)), half);
  EXPECT_EQ(Drained(), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(Feed(c.substr(half)), 0u);
  EXPECT_EQ(Drained(), std::vector<std::string>{"third"});
}

// Every split of a stream of frames gives the same frames in the same order.
class ReaderSplitTest : public ReaderTest, public testing::WithParamInterface<size_t> {};

TEST_P(ReaderSplitTest, ChunkedInputCutsEveryFrameRight) {
  std::string stream;
  std::vector<std::string> payloads;
  qm::SysHeartbeat hb;
  for (int i = 0; i < 40; ++i) {
    payloads.push_back(std::string(static_cast<size_t>(i * 37 % 300), static_cast<char>('a' + i % 26)));
    stream += MarketFrame(payloads.back(), i + 1);
    if (i % 7 == 0) stream += Frame(Meta(qm::HEARTBEAT_RESPONSE), qel_test::ResponsePayload(hb));
  }
  const size_t chunk = GetParam() == 0 ? stream.size() : GetParam();
  for (size_t pos = 0; pos < stream.size(); pos += chunk) Feed(stream.substr(pos, chunk));
  EXPECT_EQ(evbuffer_get_length(m_input.get()), 0u);
  EXPECT_EQ(Drained(), payloads);
  EXPECT_EQ(m_log.ErrorCount(), 0) << m_log.Errors();
}

INSTANTIATE_TEST_SUITE_P(Chunks, ReaderSplitTest, testing::Values(1, 5, 7, 12, 13, 100, 0));

struct LengthCase {
  const char* name;
  int32_t meta_len;     // -1: the real metadata size (after padding)
  int32_t payload_len;  // bytes announced in the header; -1000: total frame of exactly 65,536 bytes
  int32_t meta_pad_to;  // > 0 (at least 16,400): metadata padded with an unknown field to this many bytes
  bool fatal;
  const char* log_text;
};

// Metadata serialised to exactly size bytes: the real fields and one unknown
// length-delimited field (number 1000) that a decoder skips.
std::string PaddedMeta(const std::string& meta, int32_t size) {
  std::string out = meta;
  out += "\xc2\x3e";  // key of field 1000, wire type 2
  const size_t room = static_cast<size_t>(size) - out.size() - 3;  // a 3-byte length varint
  out.push_back(static_cast<char>(0x80 | (room & 0x7f)));
  out.push_back(static_cast<char>(0x80 | ((room >> 7) & 0x7f)));
  out.push_back(static_cast<char>((room >> 14) & 0x7f));
  out.append(room, 'm');
  return out;
}

class ReaderLengthTest : public ReaderTest, public testing::WithParamInterface<LengthCase> {};

TEST_P(ReaderLengthTest, LengthLimits) {
  const LengthCase& c = GetParam();
  if (c.fatal) m_log.ExpectError(c.log_text);
  std::string m = Meta(qm::PUSH_MARKET_DATA, "", 5, 1).SerializeAsString();
  if (c.meta_pad_to > 0) m = PaddedMeta(m, c.meta_pad_to);
  const int32_t meta_len = c.meta_len == -1 ? static_cast<int32_t>(m.size()) : c.meta_len;
  const int32_t payload_len = c.payload_len == -1000 ? 65536 - 12 - static_cast<int32_t>(m.size()) : c.payload_len;
  std::string frame = qel_test::Header(4096, meta_len, payload_len) + m;
  if (payload_len > 0) frame += std::string(static_cast<size_t>(payload_len), 'z');
  if (c.fatal) frame += std::string(64, 'z');  // enough bytes for the header to be examined
  Feed(frame);
  if (c.fatal) {
    EXPECT_EQ(m_conn->m_state.load(), qc::SocketConnectThread::CONNECT_OR_LOGIN_FAILED);
    EXPECT_EQ(m_handle.Count("NodeFailed 7"), 1);
    EXPECT_EQ(m_queue->front(), nullptr);
    EXPECT_TRUE(m_log.Contains(c.log_text)) << c.log_text;
  } else {
    EXPECT_NE(m_conn->m_state.load(), qc::SocketConnectThread::CONNECT_OR_LOGIN_FAILED) << m_log.Errors();
    const std::vector<std::string> got = Drained();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], std::string(static_cast<size_t>(payload_len), 'z'));
    EXPECT_EQ(evbuffer_get_length(m_input.get()), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ReaderLengthTest,
    testing::Values(
        LengthCase{"Exactly65536", -1, -1000, 0, false, nullptr},
        // Each length within its bound: the frame is handled whatever its total.
        LengthCase{"Payload65535", -1, 65535, 0, false, nullptr},
        LengthCase{"SmallMetaAndPayload65530", -1, 65530, 0, false, nullptr},
        LengthCase{"BothLengthsAtTheBound", -1, 65535, 65535, false, nullptr},
        LengthCase{"Payload65536", -1, 65536, 0, true, "msg parse fail,Message length is abnormal"},
        LengthCase{"Meta65536", 65536, 0, 0, true, "msg parse fail,Message length is abnormal"},
        LengthCase{"NegativePayload", -1, -8, 0, true, "msg parse fail,Message length is abnormal"},
        LengthCase{"NegativeMeta", -2, 10, 0, true, "msg parse fail,Message length is abnormal"}),
    [](const testing::TestParamInfo<LengthCase>& info) { return std::string(info.param.name); });

void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.name; }

TEST_F(ReaderTest, GarbageMetadataIsFatal) {
  m_log.ExpectError("ParseFromArray failed!");
  m_log.ExpectError("Read datafeed response meta data failed!");
  const std::string garbage = "\xff\xff\xff\xff\xff";
  Feed(qel_test::Header(4096, 5, 0) + garbage + std::string(20, '\0'));
  EXPECT_EQ(m_conn->m_state.load(), qc::SocketConnectThread::CONNECT_OR_LOGIN_FAILED);
  EXPECT_TRUE(m_log.Contains("Read datafeed response meta data failed!"));
}

TEST_F(ReaderTest, ForeignTraceIdIsFatalEmptyTraceIdIsAccepted) {
  m_log.ExpectError("Read datafeed response meta data failed!");
  qm::SysHeartbeat hb;
  Feed(Frame(Meta(qm::HEARTBEAT_RESPONSE, ""), qel_test::ResponsePayload(hb)) + MarketFrame("ok", 1));
  EXPECT_EQ(Drained(), std::vector<std::string>{"ok"});
  EXPECT_NE(m_conn->m_state.load(), qc::SocketConnectThread::CONNECT_OR_LOGIN_FAILED);
  Feed(Frame(Meta(qm::SUBSCRIBE_RESPONSE, "sdk_subscribe_somebody_else"), "") + MarketFrame("late", 2));
  EXPECT_EQ(m_conn->m_state.load(), qc::SocketConnectThread::CONNECT_OR_LOGIN_FAILED);
  EXPECT_TRUE(m_log.Contains("Read datafeed response meta data failed!"));
  EXPECT_TRUE(Drained().empty()) << "nothing after the broken frame is handled";
}

TEST_F(ReaderTest, UnknownTypesAreLoggedAndDropped) {
  Feed(Frame(Meta(qm::GENERAL_ERROR_MESSAGE, "", 3, 9), "whatever") +
       Frame(Meta(static_cast<qm::ESysMessageType>(77)), "x") + MarketFrame("kept", 1));
  EXPECT_EQ(m_log.Count("Receive not known qelsysmessagetype: 10, channelNo: 3, channelIdx: 9, "), 1);
  EXPECT_EQ(m_log.Count("Receive not known qelsysmessagetype: 77"), 1);
  EXPECT_EQ(Drained(), std::vector<std::string>{"kept"});
}

TEST_F(ReaderTest, MarketDataFillsTheSlotAndReleasesEveryReturnedBuffer) {
  // A burst of used buffers waiting in the back queue (and one empty slot):
  // the next frame releases all of them, not one per frame.
  for (int i = 0; i < 5; ++i) {
    char** slot = m_back->alloc();
    *slot = i == 2 ? nullptr : new char[16];
    m_back->push();
  }
  Feed(MarketFrame("payload-bytes", 42, static_cast<int16_t>(4096 | 0x4000)));
  qc::RawData* item = m_queue->front();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->m_flags, static_cast<int16_t>(4096 | 0x4000));
  EXPECT_EQ(item->m_channelNo, 5);
  EXPECT_EQ(item->m_channelIdx, 42);
  EXPECT_EQ(item->m_qelDataType, 14);
  EXPECT_EQ(item->m_messageNum, 3);
  EXPECT_EQ(item->m_payloadLength, 13);
  EXPECT_EQ(std::string(item->m_body, 13), "payload-bytes");
  EXPECT_EQ(m_back->front(), nullptr) << "every waiting buffer was released";
}

TEST_F(ReaderTest, LoginSuccessSetsStateAndCallsBack) {
  // The fixture runs no event base, so no heartbeat timer can be made.
  m_log.ExpectError("Create heartbeat event failed");
  qm::LoginResponse ok;
  ok.set_issuccess(true);
  ok.set_token("t");
  Feed(Frame(Meta(qm::LOGIN_RESPONSE), qel_test::ResponsePayload(ok)) + MarketFrame("after-login", 1));
  EXPECT_EQ(m_conn->m_state.load(), qc::SocketConnectThread::LOGIN_SUCCESS);
  EXPECT_EQ(m_handle.Events(), (std::vector<std::string>{"NodeSuccess 7 127.0.0.1:9001", "DataServiceResponse ok"}));
  EXPECT_EQ(Drained(), std::vector<std::string>{"after-login"}) << "later frames of the same read are handled";
}

TEST_F(ReaderTest, RefusedLoginMovesToTheNextNode) {
  m_log.ExpectError("Login datafeed node failed, site type: 7");
  qm::LoginResponse refused;
  refused.set_issuccess(false);
  refused.mutable_errorcontext()->set_message("bad token");
  Feed(Frame(Meta(qm::LOGIN_RESPONSE), qel_test::ResponsePayload(refused)));
  EXPECT_EQ(m_handle.Events(), std::vector<std::string>{"NodeFailed 7 127.0.0.1:9001"});
  EXPECT_EQ(m_conn->GetServerIndex(), 1);
  EXPECT_EQ(m_conn->m_subscribeState.load(), qc::SocketConnectThread::NOT_SUBSCRIBE);
}

TEST_F(ReaderTest, UndecodableLoginBodyMovesToTheNextNode) {
  m_log.ExpectError("ParseFromArray failed!");
  m_log.ExpectError("Decode datafeed login response body failed! Try to relogin");
  std::string payload;
  qel_test::PutI32(payload, 3);
  payload += "\xff\xff\xff";
  Feed(Frame(Meta(qm::LOGIN_RESPONSE), payload));
  EXPECT_TRUE(m_log.Contains("Decode datafeed login response body failed! Try to relogin"));
  EXPECT_EQ(m_conn->GetServerIndex(), 1);
  // A body length pointing past the payload is refused the same way, without an overread.
  std::string lying;
  qel_test::PutI32(lying, 5000);
  Feed(Frame(Meta(qm::LOGIN_RESPONSE), lying));
  EXPECT_EQ(m_conn->GetServerIndex(), 2);
}

TEST_F(ReaderTest, SubscribeSuccessKeepsTheLoginAndStoresTheResponse) {
  qm::LoginResponse login;
  login.set_issuccess(true);
  qm::SubscribeResponse ok;
  ok.set_issuccess(true);
  ok.add_permitteddatatypes(14);
  Feed(Frame(Meta(qm::LOGIN_RESPONSE), qel_test::ResponsePayload(login)) +
       Frame(Meta(qm::SUBSCRIBE_RESPONSE), qel_test::ResponsePayload(ok)));
  EXPECT_EQ(m_conn->m_subscribeState.load(), qc::SocketConnectThread::SUBSCRIBE_SUCCESS);
  EXPECT_EQ(m_conn->m_state.load(), qc::SocketConnectThread::LOGIN_SUCCESS);
  const qm::SubscribeResponse copy = m_conn->getSubscribeRsp();
  ASSERT_EQ(copy.permitteddatatypes_size(), 1);
  EXPECT_EQ(copy.permitteddatatypes(0), 14);
}

// A subscribe response that closes the socket leaves a connection that is no
// longer logged in, so the owner's check reconnects it.
struct ClosingSubscribeCase {
  const char* name;
  bool garbled;
  const char* log_text;
};
void PrintTo(const ClosingSubscribeCase& c, std::ostream* os) { *os << c.name; }

class ReaderClosingSubscribeTest : public ReaderTest, public testing::WithParamInterface<ClosingSubscribeCase> {};

TEST_P(ReaderClosingSubscribeTest, ClosedSocketIsNotReportedAsLoggedIn) {
  const ClosingSubscribeCase& c = GetParam();
  m_log.ExpectError(c.log_text);
  if (c.garbled) m_log.ExpectError("ParseFromArray failed!");
  qm::LoginResponse login;
  login.set_issuccess(true);
  Feed(Frame(Meta(qm::LOGIN_RESPONSE), qel_test::ResponsePayload(login)));
  ASSERT_EQ(m_conn->m_state.load(), qc::SocketConnectThread::LOGIN_SUCCESS);
  std::string payload;
  if (c.garbled) {
    qel_test::PutI32(payload, 3);
    payload += "\xff\xff\xff";
  } else {
    qm::SubscribeResponse refused;
    refused.set_issuccess(false);
    payload = qel_test::ResponsePayload(refused);
  }
  Feed(Frame(Meta(qm::SUBSCRIBE_RESPONSE), payload));
  EXPECT_EQ(m_conn->m_subscribeState.load(), qc::SocketConnectThread::SUBSCRIBE_FAILED);
  EXPECT_EQ(m_conn->m_state.load(), qc::SocketConnectThread::CONNECT_OR_LOGIN_FAILED);
  EXPECT_TRUE(m_log.Contains(c.log_text));
}

INSTANTIATE_TEST_SUITE_P(
    Responses, ReaderClosingSubscribeTest,
    testing::Values(ClosingSubscribeCase{"Refused", false, "Receive subscribe response, subscribe failed"},
                    ClosingSubscribeCase{"Garbled", true,
                                         "Decode datafeed subscribe response body failed! Try to resubscribe"}),
    [](const testing::TestParamInfo<ClosingSubscribeCase>& info) { return std::string(info.param.name); });

TEST_F(ReaderTest, UpdateNodeListTakesTheNewNodesFromTheFirst) {
  m_log.ExpectError("Login datafeed node failed");
  qm::LoginResponse refused;
  refused.set_issuccess(false);
  for (int i = 0; i < 2; ++i) Feed(Frame(Meta(qm::LOGIN_RESPONSE), qel_test::ResponsePayload(refused)));
  ASSERT_EQ(m_conn->GetServerIndex(), 2);
  qc::ServerHostListType fresh;
  fresh.emplace(5, qc::ServerHost("127.0.0.1", 9200, false));
  fresh.emplace(50, qc::ServerHost("127.0.0.1", 9100, false));
  m_conn->UpdateNodeList(fresh);
  EXPECT_EQ(m_conn->GetServerIndex(), 0);
  EXPECT_EQ(m_conn->getCurrentHostStr(), "127.0.0.1:9100");
  Feed(Frame(Meta(qm::LOGIN_RESPONSE), qel_test::ResponsePayload(refused)));
  EXPECT_EQ(m_conn->getCurrentHostStr(), "127.0.0.1:9200") << "the rotation walks the new list";
}

TEST_F(ReaderTest, HeartbeatRatesTruncate) {
  const struct {
    int64_t bytes, frames, interval;
    int32_t traffic, tps;
  } cases[] = {{10240, 25, 10, 1, 2}, {10239, 9, 10, 0, 0}, {0, 0, 1, 0, 0}, {5LL << 30, 30000000, 10, 524288, 3000000}};
  for (const auto& c : cases) {
    int32_t traffic = -1;
    int32_t tps = -1;
    qc::SocketConnectThread::HeartbeatRates(c.bytes, c.frames, c.interval, traffic, tps);
    EXPECT_EQ(traffic, c.traffic) << c.bytes;
    EXPECT_EQ(tps, c.tps) << c.frames;
  }
}

TEST_F(ReaderTest, SubscribeWithoutSocketFailsAndResetClearsState) {
  qm::SubscribeRequest req;
  EXPECT_EQ(m_conn->SendSubscribeMsg(&req), qc::INVALID_DATAFEED_SOCKET);
  EXPECT_EQ(m_conn->m_subscribeState.load(), qc::SocketConnectThread::SUBSCRIBE_FAILED);
  m_log.Clear();
  EXPECT_EQ(m_conn->Reset(), 0);
  EXPECT_EQ(m_conn->m_subscribeState.load(), qc::SocketConnectThread::NOT_SUBSCRIBE);
  EXPECT_EQ(m_conn->m_state.load(), qc::SocketConnectThread::NOT_CONNECTED);
  EXPECT_EQ(m_conn->GetServerIndex(), 0);
  EXPECT_TRUE(m_log.Contains("Reset connect thread"));
  EXPECT_FALSE(m_log.Contains("Close datafeed socket"));
}

TEST_F(ReaderTest, NodesWithPortsOutOfRangeAreRefused) {
  m_log.ExpectError("port out of range");
  qc::ServerHostListType nodes;
  nodes.emplace(100, qc::ServerHost("127.0.0.1", 9001 + 65536 + 45000, false));
  nodes.emplace(90, qc::ServerHost("127.0.0.1", -1, false));
  nodes.emplace(80, qc::ServerHost("127.0.0.1", 0, false));
  nodes.emplace(70, qc::ServerHost("127.0.0.1", 65536, false));
  nodes.emplace(60, qc::ServerHost("127.0.0.1", 65535, false));
  nodes.emplace(50, qc::ServerHost("127.0.0.1", 1, false));
  qc::SocketConnectThread conn(&m_handle, nodes, m_queue, m_back, m_user, m_token, 7, nullptr);
  EXPECT_EQ(conn.getCurrentHostStr(), "127.0.0.1:65535");
  EXPECT_EQ(m_log.Count("port out of range"), 4);
  EXPECT_TRUE(m_log.Contains("Datafeed node num: 2"));
  m_log.Clear();
  qc::ServerHostListType update;
  update.emplace(1, qc::ServerHost("127.0.0.1", 70000, false));
  conn.UpdateNodeList(update);
  EXPECT_EQ(m_log.Count("port out of range"), 1);
  EXPECT_EQ(conn.getCurrentHostStr(), "") << "no usable node left";
}

// Hands every queued body back through the back queue, as the decode thread
// does, and returns the payloads in queue order.
std::vector<std::string> HandBack(qc::RawDataQueue& queue, qc::RawDataQueueBack& back) {
  std::vector<std::string> out;
  while (qc::RawData* item = queue.front()) {
    out.emplace_back(item->m_body, static_cast<size_t>(item->m_payloadLength));
    char** slot = back.alloc();
    *slot = item->m_body;
    back.push();
    item->m_body = nullptr;
    queue.pop();
  }
  return out;
}

TEST_F(ReaderTest, PayloadBudgetHoldsFramesInTheInputUntilBuffersComeBack) {
  qc::BaseConfig::GetInstance().SetMaxInflightBytes(1500);
  const std::string a(1000, 'a'), b(1000, 'b'), c(400, 'c'), d(1000, 'd');
  const std::string frame_d = MarketFrame(d, 4);
  const std::string rest = MarketFrame(b, 2) + MarketFrame(c, 3) + frame_d;
  EXPECT_EQ(Feed(MarketFrame(a, 1) + rest), rest.size()) << "b would pass the budget: it and what follows wait";
  EXPECT_TRUE(m_conn->IsReadPaused());
  EXPECT_EQ(m_conn->GetInflightBytes(), 1000);
  EXPECT_EQ(Feed(""), rest.size()) << "nothing came back: still held";
  EXPECT_EQ(m_log.Count("Datafeed reading paused for site type: 7"), 1) << "one line per stall";

  EXPECT_EQ(HandBack(*m_queue, *m_back), std::vector<std::string>{a});
  EXPECT_EQ(Feed(""), frame_d.size()) << "b and c fit once a is back; d does not";
  EXPECT_EQ(m_conn->GetInflightBytes(), 1400);
  EXPECT_EQ(m_back->front(), nullptr) << "a's buffer was released";

  EXPECT_EQ(HandBack(*m_queue, *m_back), (std::vector<std::string>{b, c}));
  EXPECT_EQ(Feed(""), 0u);
  EXPECT_FALSE(m_conn->IsReadPaused());
  EXPECT_TRUE(m_log.Contains("Datafeed reading resumed for site type: 7"));
  EXPECT_EQ(HandBack(*m_queue, *m_back), std::vector<std::string>{d});
}

// Decoded records waiting for (or still held after) their callbacks count
// against the same budget as the payloads: a slow callback holds the socket
// back instead of growing the heap.
TEST_F(ReaderTest, DecodedRecordsHeldCountAgainstTheBudget) {
  qc::BaseConfig::GetInstance().SetMaxInflightBytes(1500);
  const std::string a(1000, 'a');
  const std::string frame_a = MarketFrame(a, 1);
  m_link->heldRecordBytes.store(1200);
  EXPECT_EQ(Feed(frame_a), frame_a.size()) << "1200 held + 1000 would pass 1500: the frame waits";
  EXPECT_TRUE(m_conn->IsReadPaused());
  EXPECT_EQ(m_conn->GetInflightBytes(), 0);
  EXPECT_TRUE(m_log.Contains("decoded records held: 1200 bytes"));
  m_link->heldRecordBytes.store(400);
  EXPECT_EQ(Feed(""), 0u) << "the records were released: the frame fits";
  EXPECT_FALSE(m_conn->IsReadPaused());
  EXPECT_EQ(HandBack(*m_queue, *m_back), std::vector<std::string>{a});
  m_link->heldRecordBytes.store(5000);
  EXPECT_EQ(Feed(frame_a), frame_a.size()) << "held records alone past the budget: nothing more goes";
  m_link->heldRecordBytes.store(0);
  EXPECT_EQ(Feed(""), 0u);
  EXPECT_EQ(HandBack(*m_queue, *m_back), std::vector<std::string>{a});
}

TEST_F(ReaderTest, PayloadBudgetBelowOneFrameStillLetsFramesThrough) {
  qc::BaseConfig::GetInstance().SetMaxInflightBytes(10);
  EXPECT_EQ(Feed(MarketFrame(std::string(500, 'x'), 1)), 0u) << "nothing in flight: the frame goes";
  EXPECT_EQ(m_conn->GetInflightBytes(), 500);
}

TEST_F(ReaderTest, FullQueueHoldsTheFrameWithoutSpinning) {
  m_log.ExpectError("RawDataQueue alloc failed");
  std::string burst;
  for (uint32_t i = 0; i < qc::RawDataQueue::kCapacity; ++i) burst += MarketFrame("q", i);
  const std::string last = MarketFrame("last", 1);
  EXPECT_EQ(Feed(burst + last), last.size()) << "the queue is full: the reader returns, the frame waits";
  EXPECT_EQ(m_log.Count("RawDataQueue alloc failed"), 1);
  EXPECT_TRUE(m_conn->IsReadPaused());
  qc::RawData* first = m_queue->front();
  ASSERT_NE(first, nullptr);
  char** slot = m_back->alloc();
  *slot = first->m_body;
  m_back->push();
  first->m_body = nullptr;
  m_queue->pop();
  EXPECT_EQ(Feed(""), 0u);
  EXPECT_EQ(m_conn->GetInflightBytes(), static_cast<int64_t>(qc::RawDataQueue::kCapacity) - 1 + 4);
}

// ---- sequence of ChannelIndex per channel -----------------------------------

struct SequenceFrame {
  int32_t channel;
  int64_t index;
};

struct SequenceCase {
  const char* name;
  std::vector<SequenceFrame> frames;
  int64_t gaps;
  int64_t missing;
  int64_t repeats;
  std::vector<std::string> warnings;  // every sequence line, in order
};
void PrintTo(const SequenceCase& c, std::ostream* os) { *os << c.name; }

class ReaderSequenceTest : public ReaderTest, public testing::WithParamInterface<SequenceCase> {
 protected:
  static std::string SequenceFrames(const std::vector<SequenceFrame>& frames) {
    std::string out;
    for (const SequenceFrame& f : frames) {
      qm::MetaData meta = Meta(qm::PUSH_MARKET_DATA, "", f.channel, f.index);
      meta.set_qeldatatype(14);
      out += Frame(meta, "r");
    }
    return out;
  }
  std::vector<std::string> SequenceLines() const { return m_log.LinesWith("Datafeed sequence"); }
  void ExpectStats(int64_t gaps, int64_t missing, int64_t repeats) {
    const qc::SocketConnectThread::GapStats stats = m_conn->GetGapStats();
    EXPECT_EQ(stats.gaps, gaps);
    EXPECT_EQ(stats.frames_missing, missing);
    EXPECT_EQ(stats.duplicates_or_backwards, repeats);
  }
};

TEST_P(ReaderSequenceTest, BreaksAreLoggedAndCountedOnce) {
  const SequenceCase& c = GetParam();
  // Fed one byte at a time too: a frame is checked once, when it is whole.
  const std::string stream = SequenceFrames(c.frames);
  for (const char byte : stream) Feed(std::string(1, byte));
  EXPECT_EQ(Drained().size(), c.frames.size());
  ExpectStats(c.gaps, c.missing, c.repeats);
  EXPECT_EQ(SequenceLines(), c.warnings);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReaderSequenceTest,
    testing::Values(
        SequenceCase{"CleanRunFromAnyFirstIndex", {{5, 7}, {5, 8}, {5, 9}, {5, 10}}, 0, 0, 0, {}},
        SequenceCase{"OneJump",
                     {{5, 1}, {5, 2}, {5, 6}, {5, 7}},
                     1,
                     3,
                     0,
                     {"Datafeed sequence gap, site type: 7, channel: 5, expected index: 3, received index: 6, "
                      "frames missing: 3"}},
        SequenceCase{"ChannelsInterleavedAreIndependent",
                     {{5, 1}, {6, 40}, {5, 2}, {6, 41}, {6, 43}, {5, 3}, {9, 1}, {5, 5}, {9, 2}},
                     2,
                     2,
                     0,
                     {"Datafeed sequence gap, site type: 7, channel: 6, expected index: 42, received index: 43, "
                      "frames missing: 1",
                      "Datafeed sequence gap, site type: 7, channel: 5, expected index: 4, received index: 5, "
                      "frames missing: 1"}},
        // A repeated or earlier index is counted apart and moves no expectation:
        // the frames after it, in order, are not reported.
        SequenceCase{"DuplicateAndStepBackCountedApart",
                     {{5, 1}, {5, 2}, {5, 2}, {5, 3}, {5, 1}, {5, 4}, {5, 6}},
                     1,
                     1,
                     2,
                     {"Datafeed sequence index repeated or behind, site type: 7, channel: 5, expected index: 3, "
                      "received index: 2",
                      "Datafeed sequence index repeated or behind, site type: 7, channel: 5, expected index: 4, "
                      "received index: 1",
                      "Datafeed sequence gap, site type: 7, channel: 5, expected index: 5, received index: 6, "
                      "frames missing: 1"}},
        // Indexes come from the node: the widest jump is measured without
        // overflow, and the total saturates.
        SequenceCase{"WidestJumpDoesNotOverflow",
                     {{5, -5}, {5, INT64_MAX}},
                     1,
                     INT64_MAX,
                     0,
                     {"Datafeed sequence gap, site type: 7, channel: 5, expected index: -4, received index: "
                      "9223372036854775807, frames missing: 9223372036854775811"}}),
    [](const testing::TestParamInfo<SequenceCase>& info) { return std::string(info.param.name); });

// A frame held back by the budget stays in the input and is read again once
// buffers come back: it is checked then, once.
TEST_F(ReaderSequenceTest, HeldBackFrameIsCheckedOnceWhenTaken) {
  qc::BaseConfig::GetInstance().SetMaxInflightBytes(1500);
  const std::string big(1000, 'b');
  std::string stream;
  for (int64_t i = 1; i <= 3; ++i) {
    qm::MetaData meta = Meta(qm::PUSH_MARKET_DATA, "", 5, i);
    stream += Frame(meta, big);
  }
  Feed(stream);
  ASSERT_TRUE(m_conn->IsReadPaused());
  for (int round = 0; round < 2; ++round) {
    HandBack(*m_queue, *m_back);
    Feed("");
  }
  EXPECT_EQ(evbuffer_get_length(m_input.get()), 0u);
  EXPECT_EQ(HandBack(*m_queue, *m_back).size(), 1u) << "the last frame went through";
  ExpectStats(0, 0, 0);
  EXPECT_EQ(SequenceLines(), std::vector<std::string>{});
}

TEST_F(ReaderSequenceTest, LoginAgainStartsEveryChannelOver) {
  m_log.ExpectError("Create heartbeat event failed");
  qm::LoginResponse ok;
  ok.set_issuccess(true);
  const std::string login = Frame(Meta(qm::LOGIN_RESPONSE), qel_test::ResponsePayload(ok));
  Feed(login + SequenceFrames({{5, 1}, {5, 2}, {5, 3}, {6, 20}}));
  // A reconnect: the new node numbers from 1 again, and from anywhere on a
  // channel; a break after it is measured from the new start.
  Feed(login + SequenceFrames({{5, 1}, {5, 2}, {6, 90}, {5, 4}}));
  Drained();
  ExpectStats(1, 1, 0);
  EXPECT_EQ(SequenceLines(), std::vector<std::string>{"Datafeed sequence gap, site type: 7, channel: 5, expected "
                                                      "index: 3, received index: 4, frames missing: 1"});
}

namespace {

// The frame tap sees each market-data frame once, whole and as received, when
// it is queued: a frame held back by the payload budget is tapped only when it
// is finally taken, and responses and heartbeats are not tapped at all.
class CollectingTap : public qc::FrameTap {
 public:
  void OnFrame(int site_type, const char* frame, size_t length, int64_t receive_time_ns) override {
    sites.push_back(site_type);
    frames.emplace_back(frame, length);
    times.push_back(receive_time_ns);
  }
  std::vector<int> sites;
  std::vector<std::string> frames;
  std::vector<int64_t> times;
};

TEST_F(ReaderTest, TapSeesEachQueuedMarketFrameOnceAndNothingElse) {
  CollectingTap tap;
  ASSERT_EQ(qc::SetFrameTap(&tap), nullptr);
  qc::BaseConfig::GetInstance().SetMaxInflightBytes(1500);
  qm::SysHeartbeat hb;
  const std::string heartbeat = Frame(Meta(qm::HEARTBEAT_RESPONSE, ""), qel_test::ResponsePayload(hb));
  const std::string a = MarketFrame(std::string(1000, 'a'), 1, static_cast<int16_t>(4096 | 0x4000));
  const std::string b = MarketFrame(std::string(1000, 'b'), 2);
  EXPECT_EQ(Feed(heartbeat + a + b), b.size()) << "b waits for the budget";
  EXPECT_EQ(tap.frames, std::vector<std::string>{a});
  EXPECT_EQ(Feed(""), b.size()) << "still held: not tapped again";
  EXPECT_EQ(tap.frames.size(), 1u);
  EXPECT_EQ(HandBack(*m_queue, *m_back), std::vector<std::string>{std::string(1000, 'a')});
  EXPECT_EQ(Feed(""), 0u);
  EXPECT_EQ(tap.frames, (std::vector<std::string>{a, b}));
  EXPECT_EQ(tap.sites, (std::vector<int>{7, 7}));
  EXPECT_GT(tap.times[0], 0);
  EXPECT_LE(tap.times[0], tap.times[1]);

  EXPECT_EQ(qc::SetFrameTap(nullptr), &tap);
  EXPECT_EQ(HandBack(*m_queue, *m_back), std::vector<std::string>{std::string(1000, 'b')});
  Feed(MarketFrame("untapped", 3));
  EXPECT_EQ(tap.frames.size(), 2u) << "no tap installed: nothing handed over";
  Drained();
}

}  // namespace
