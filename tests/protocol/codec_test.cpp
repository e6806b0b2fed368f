// Frame codec: header bytes, frame layout of every builder, buffer ownership
// and the decoders' handling of null, truncated and negative input.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "config/error_define.h"
#include "kits/standard_lib_kits.h"
#include "protocol/message_log.h"
#include "protocol/ventrix_message.h"
#include "support/recording_log.h"

namespace qc = com::quor::kbr::client;
namespace qm = com::quor::qel::model;

namespace {

// The worked example: version 1, protocol 1, flags 0x1000, lengths 20 and 8.
const unsigned char kExampleHeader[12] = {0x01, 0x01, 0x00, 0x10, 0x14, 0x00,
                                          0x00, 0x00, 0x08, 0x00, 0x00, 0x00};

int32_t ReadI32(const char* p) {
  int32_t v;
  memcpy(&v, p, 4);
  return v;
}

// A built frame split into its parts, checked for internal consistency.
struct ParsedFrame {
  qc::MessageHeader header;
  qm::MetaData meta;
  int32_t prefix = 0;
  std::string body;
};

ParsedFrame Split(const char* buf, int len) {
  ParsedFrame f;
  EXPECT_EQ(qc::VentrixMessage::DecodeMsgHeader(buf, f.header), 0);
  EXPECT_EQ(len, qc::MESSAGE_HEADER_LEN + f.header.m_metaLength + f.header.m_payloadLength);
  EXPECT_EQ(qc::VentrixMessage::DecodeMsgMeatData(buf + 12, f.header.m_metaLength, f.meta), 0);
  const char* payload = buf + 12 + f.header.m_metaLength;
  f.prefix = ReadI32(payload);
  f.body.assign(payload + 4, static_cast<size_t>(f.header.m_payloadLength - 4));
  return f;
}

struct FrameBuffer {
  char* buf = nullptr;
  ~FrameBuffer() { delete[] buf; }
};

}  // namespace

TEST(MessageHeader, EncodeMatchesTheWorkedExampleByteForByte) {
  qc::MessageHeader h;
  EXPECT_EQ(h.m_version, 1);
  EXPECT_EQ(h.m_protocol, 1);
  EXPECT_EQ(h.m_flags, 4096);
  h.m_metaLength = 20;
  h.m_payloadLength = 8;
  char out[12];
  EXPECT_EQ(qc::VentrixMessage::PrepareMsgHeader(&h, out), 12);
  EXPECT_EQ(memcmp(out, kExampleHeader, 12), 0);
}

TEST(MessageHeader, DecodeOfTheWorkedExampleAndToString) {
  qc::MessageHeader h;
  ASSERT_EQ(qc::VentrixMessage::DecodeMsgHeader(reinterpret_cast<const char*>(kExampleHeader), h), 0);
  EXPECT_EQ(h.m_version, 1);
  EXPECT_EQ(h.m_protocol, 1);
  EXPECT_EQ(h.m_flags, 4096);
  EXPECT_EQ(h.m_metaLength, 20);
  EXPECT_EQ(h.m_payloadLength, 8);
  EXPECT_EQ(h.toString(),
            "MessageHeader: m_version: 1, m_protocol: 1, m_flags: 4096, m_metaLength: 20, m_payloadLength: 8");
}

TEST(MessageHeader, ToStringPrintsEveryFieldSigned) {
  const unsigned char bytes[12] = {0xFF, 0x80, 0x00, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80};
  qc::MessageHeader h;
  h.decode(reinterpret_cast<const char*>(bytes));
  EXPECT_EQ(h.toString(),
            "MessageHeader: m_version: -1, m_protocol: -128, m_flags: -16384, m_metaLength: -1, "
            "m_payloadLength: -2147483648");
}

TEST(MessageHeader, NullInputIsRefused) {
  qel_test::RecordingLog log;
  log.ExpectError("header ParseFromArray failed!");
  qc::MessageHeader h;
  EXPECT_EQ(qc::VentrixMessage::DecodeMsgHeader(nullptr, h), qc::PARSE_MESSAGE_HEADER_FROM_ARRAY_FAILED);
  EXPECT_TRUE(log.Contains("header ParseFromArray failed!"));
}

TEST(Encode, HeartbeatWithZeroCountersHasMetaAndAFourBytePayload) {
  FrameBuffer fb;
  const int64_t before = qc::StandardLibKits::GetInstance()->GetCurrentUnixTimestampNanos();
  int len = qc::VentrixMessage::PrepareHeartBeat(fb.buf, 0, 0);
  ASSERT_GT(len, 0);
  ParsedFrame f = Split(fb.buf, len);
  EXPECT_EQ(f.header.m_version, 1);
  EXPECT_EQ(f.header.m_protocol, 1);
  EXPECT_EQ(f.header.m_flags, 4096);
  EXPECT_GT(f.header.m_metaLength, 0);
  EXPECT_EQ(f.header.m_payloadLength, 4);
  EXPECT_EQ(f.prefix, 4);
  EXPECT_EQ(f.meta.sysmessagetype(), qm::HEARTBEAT_REQUEST);
  EXPECT_EQ(f.meta.qelsysmessagenum(), 1);
  EXPECT_EQ(f.meta.traceid(), "");
  EXPECT_GE(f.meta.sendtime(), before);
  EXPECT_EQ(f.meta.qeldatatype(), 0);
}

TEST(Encode, HeartbeatCountersTravelInTheBody) {
  FrameBuffer fb;
  int len = qc::VentrixMessage::PrepareHeartBeat(fb.buf, 1234, -7);
  ParsedFrame f = Split(fb.buf, len);
  EXPECT_EQ(f.prefix, f.header.m_payloadLength);
  qm::SysHeartbeat hb;
  ASSERT_TRUE(hb.ParseFromString(f.body));
  EXPECT_EQ(hb.trafficlog(), 1234);
  EXPECT_EQ(hb.tpslog(), -7);
  EXPECT_EQ(hb.datatypecount_size(), 0);
}

TEST(Encode, SubscribeRequestBodyIsTheGivenRequest) {
  qm::SubscribeRequest req;
  req.set_subscribeactiontype(qm::ADD);
  req.mutable_subscribebydatatype()->add_qeldatatypes(11);
  req.mutable_subscribebydatatype()->add_qeldatatypes(14);
  FrameBuffer fb;
  int len = qc::VentrixMessage::PrepareSubscribeRequest(fb.buf, &req, "trace-77");
  ParsedFrame f = Split(fb.buf, len);
  EXPECT_EQ(f.meta.sysmessagetype(), qm::SUBSCRIBE_REQUEST);
  EXPECT_EQ(f.meta.traceid(), "trace-77");
  EXPECT_EQ(f.prefix, static_cast<int32_t>(req.ByteSizeLong() + 4));
  EXPECT_EQ(f.body, req.SerializeAsString());
}

TEST(Encode, NullArgumentsReleaseTheOldBufferAndReturnInvalid) {
  qel_test::RecordingLog log;  // null arguments are refused without an error line
  qm::MetaData meta;
  qm::SysHeartbeat body;
  char* buf = new char[3];
  EXPECT_EQ(qc::VentrixMessage::Encode(&meta, nullptr, buf), qc::INVALID_VENTRIX_MESSAGE_BUF);
  EXPECT_EQ(buf, nullptr);
  EXPECT_EQ(qc::VentrixMessage::Encode(nullptr, &body, buf), qc::INVALID_VENTRIX_MESSAGE_BUF);
  EXPECT_EQ(buf, nullptr);
  EXPECT_EQ(qc::VentrixMessage::PrepareSubscribeRequest(buf, nullptr, "t"), qc::INVALID_VENTRIX_MESSAGE_BUF);
  EXPECT_EQ(buf, nullptr);
}

TEST(Encode, EncodingTwiceIntoOnePointerReplacesTheBuffer) {
  // Run under AddressSanitizer this also proves the first buffer is released.
  FrameBuffer fb;
  int first = qc::VentrixMessage::PrepareHeartBeat(fb.buf, 1, 1);
  ASSERT_GT(first, 0);
  qm::SubscribeRequest req;
  req.mutable_subscribebyid()->add_subscribebyiddetails()->add_quorsecurityid("600000.SH");
  int second = qc::VentrixMessage::PrepareSubscribeRequest(fb.buf, &req, "x");
  ASSERT_GT(second, 0);
  ParsedFrame f = Split(fb.buf, second);
  EXPECT_EQ(f.meta.sysmessagetype(), qm::SUBSCRIBE_REQUEST);
}

class LoginRequestTest : public testing::TestWithParam<bool> {};

TEST_P(LoginRequestTest, CarriesExactlyOneCredentialForm) {
  const bool is_token = GetParam();
  FrameBuffer fb;
  int len = qc::VentrixMessage::PrepareLoginRequest(fb.buf, qm::VENTRIX_LOGIN_FOR_DATAFEED, "127.0.0.1", 9100,
                                                    "alice", "s3cret", is_token, "trace-1");
  ASSERT_GT(len, 0);
  ParsedFrame f = Split(fb.buf, len);
  EXPECT_EQ(f.meta.sysmessagetype(), qm::LOGIN_REQUEST);
  EXPECT_EQ(f.meta.traceid(), "trace-1");
  qm::LoginRequest req;
  ASSERT_TRUE(req.ParseFromString(f.body));
  EXPECT_EQ(req.logintype(), qm::VENTRIX_LOGIN_FOR_DATAFEED);
  EXPECT_EQ(req.apptype(), 0);
  EXPECT_EQ(req.appversion(), "1.0.0");
  EXPECT_EQ(req.serverip(), "127.0.0.1");
  EXPECT_EQ(req.serverport(), 9100);
  EXPECT_EQ(req.linkinfo().processid(), std::to_string(getpid()));
  EXPECT_FALSE(req.linkinfo().deviceip().empty());
  EXPECT_FALSE(req.linkinfo().devicemac().empty());
  EXPECT_EQ(req.has_uwt(), is_token);
  EXPECT_EQ(req.has_uwp(), !is_token);
  if (is_token) {
    EXPECT_EQ(req.uwt().username(), "alice");
    EXPECT_EQ(req.uwt().token(), "s3cret");
  } else {
    EXPECT_EQ(req.uwp().username(), "alice");
    EXPECT_EQ(req.uwp().password().size(), 32u);
    EXPECT_EQ(req.uwp().password(),
              qc::StandardLibKits::GetInstance()->EncodeByAesEcbPkcs5padding("s3cret"));
    EXPECT_EQ(f.body.find("s3cret"), std::string::npos) << "clear password on the wire";
  }
}

INSTANTIATE_TEST_SUITE_P(TokenOrPassword, LoginRequestTest, testing::Bool());

// The encoded password must fit its 1023-character text: 495 clear bytes do
// (992 hexadecimal characters), 496 do not. A password that does not fit
// fails the request with an error line; it never goes out empty. A token is
// sent as it is, whatever its length.
struct CredentialLengthCase {
  const char* name;
  size_t length;
  bool is_token;
  bool builds;
};
void PrintTo(const CredentialLengthCase& c, std::ostream* os) { *os << c.name; }

class LoginCredentialLengthTest : public testing::TestWithParam<CredentialLengthCase> {};

TEST_P(LoginCredentialLengthTest, TooLongPasswordFailsTheRequestWithAnErrorLine) {
  const CredentialLengthCase& c = GetParam();
  qel_test::RecordingLog log;
  log.ExpectError("Password too long");
  FrameBuffer fb;
  const std::string secret(c.length, 'p');
  const int len = qc::VentrixMessage::PrepareLoginRequest(fb.buf, qm::VENTRIX_LOGIN_FOR_DISCOVERY, "127.0.0.1",
                                                          9100, "alice", secret, c.is_token, "trace-2");
  if (!c.builds) {
    EXPECT_LT(len, 0);
    EXPECT_EQ(log.Count("Password too long"), 1) << log.Errors();
    return;
  }
  ASSERT_GT(len, 0);
  EXPECT_EQ(log.ErrorCount(), 0) << log.Errors();
  ParsedFrame f = Split(fb.buf, len);
  qm::LoginRequest req;
  ASSERT_TRUE(req.ParseFromString(f.body));
  if (c.is_token) {
    EXPECT_EQ(req.uwt().token(), secret);
  } else {
    EXPECT_EQ(req.uwp().password().size(), 32 * (c.length / 16 + 1));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, LoginCredentialLengthTest,
    testing::Values(CredentialLengthCase{"LongestPassword", 495, false, true},
                    CredentialLengthCase{"PasswordOneByteTooLong", 496, false, false},
                    CredentialLengthCase{"HugePassword", 5000, false, false},
                    CredentialLengthCase{"LongToken", 5000, true, true}),
    [](const testing::TestParamInfo<CredentialLengthCase>& info) { return std::string(info.param.name); });

TEST(Decode, NullTruncatedAndNegativeInputsAreRefused) {
  qel_test::RecordingLog log;
  log.ExpectError("meta data ParseFromArray failed!");
  log.ExpectError("DecodeMsgBody failed, msg is nullptr!");
  log.ExpectError("ParseFromArray failed!");
  qm::MetaData meta;
  EXPECT_EQ(qc::VentrixMessage::DecodeMsgMeatData(nullptr, 10, meta), qc::INVALID_VENTRIX_MESSAGE_BUF);
  qm::MetaData full;
  full.set_traceid("abcdefghijklmnop");
  full.set_channelindex(123456789);
  const std::string bytes = full.SerializeAsString();
  EXPECT_EQ(qc::VentrixMessage::DecodeMsgMeatData(bytes.data(), static_cast<int>(bytes.size()) - 3, meta),
            qc::PARSE_MESSAGE_META_FROM_ARRAY_FAILED);
  EXPECT_EQ(qc::VentrixMessage::DecodeMsgMeatData(bytes.data(), -1, meta), qc::PARSE_MESSAGE_META_FROM_ARRAY_FAILED);
  EXPECT_EQ(qc::VentrixMessage::DecodeMsgMeatData(bytes.data(), static_cast<int>(bytes.size()), meta), 0);
  EXPECT_EQ(meta.channelindex(), 123456789);

  qm::LoginResponse resp;
  resp.set_token("stale");
  EXPECT_EQ(qc::VentrixMessage::DecodeMsgBody(static_cast<const char*>(nullptr), 4, resp),
            qc::INVALID_VENTRIX_MESSAGE_BUF);
  EXPECT_EQ(resp.token(), "") << "the body is cleared first";
  EXPECT_EQ(qc::VentrixMessage::DecodeMsgBody(bytes.data(), -5, resp), qc::PARSE_MESSAGE_BODY_FROM_ARRAY_FAILED);
  const char garbage[] = {'\xff', '\xff', '\xff'};
  qm::MarketData md;
  EXPECT_EQ(qc::VentrixMessage::DecodeMsgBody(garbage, 3, md), qc::PARSE_MESSAGE_BODY_FROM_ARRAY_FAILED);
  EXPECT_EQ(qc::VentrixMessage::DecodeMsgBody(garbage, 0, md), 0) << "an empty body is a valid message";
  EXPECT_EQ(log.Count("meta data ParseFromArray failed!"), 2);
  EXPECT_EQ(log.Count("DecodeMsgBody failed, msg is nullptr!"), 1);
}

TEST(Decode, BodiesRoundTripForEveryInstantiatedType) {
  qm::SubscribeResponse sr;
  sr.set_issuccess(true);
  sr.add_permitteddatatypes(14);
  std::string s = sr.SerializeAsString();
  qm::SubscribeResponse sr2;
  ASSERT_EQ(qc::VentrixMessage::DecodeMsgBody(s.data(), static_cast<int>(s.size()), sr2), 0);
  EXPECT_EQ(sr2.permitteddatatypes(0), 14);

  qm::MarketData md;
  md.set_qelmessagechannel(-42);
  md.mutable_qelstock()->set_lastpx(1234500);
  s = md.SerializeAsString();
  qm::MarketData md2;
  ASSERT_EQ(qc::VentrixMessage::DecodeMsgBody(s.data(), static_cast<int>(s.size()), md2), 0);
  EXPECT_EQ(md2.qelmessagechannel(), -42);
  EXPECT_EQ(md2.qelstock().lastpx(), 1234500);

  qm::MetaData meta;
  meta.set_sysmessagetype(static_cast<qm::ESysMessageType>(99));
  s = meta.SerializeAsString();
  qm::MetaData meta2;
  ASSERT_EQ(qc::VentrixMessage::DecodeMsgBody(s.data(), static_cast<int>(s.size()), meta2), 0);
  EXPECT_EQ(static_cast<int>(meta2.sysmessagetype()), 99);
}

TEST(LogJson, CredentialsAreMaskedAtAnyDepthAndTheMessageIsUntouched) {
  qm::LoginRequest req;
  req.mutable_uwp()->set_username("alice");
  req.mutable_uwp()->set_password("ABCDEF0123");
  qm::LoginResponse resp;
  resp.set_token("tok-123");
  resp.add_servers()->set_ip("127.0.0.1");
  const std::string req_json = qc::ToLogJson(req);
  const std::string resp_json = qc::ToLogJson(resp);
  EXPECT_EQ(req_json.find("ABCDEF0123"), std::string::npos) << req_json;
  EXPECT_NE(req_json.find("\"password\":\"******\""), std::string::npos) << req_json;
  EXPECT_NE(req_json.find("\"userName\":\"alice\""), std::string::npos) << req_json;
  EXPECT_EQ(resp_json.find("tok-123"), std::string::npos) << resp_json;
  EXPECT_NE(resp_json.find("\"ip\":\"127.0.0.1\""), std::string::npos) << resp_json;
  EXPECT_EQ(req.uwp().password(), "ABCDEF0123");
  EXPECT_EQ(resp.token(), "tok-123");
  qm::UserWithToken empty;
  EXPECT_EQ(qc::ToLogJson(empty), "{}") << "an empty secret is not invented";
}
