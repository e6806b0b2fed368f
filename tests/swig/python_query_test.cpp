// Financial-information queries through the entry functions, against the
// simulator's query service on 127.0.0.1: the answers of the asynchronous
// form reach Notify::OnFinInfoQueryResponse, the synchronous form fills the
// result buffer in its layouts, and a service that is down, or a TLS set-up
// that cannot be made, gives the "no client" result instead of a hang. The
// buffer layouts themselves are checked on small buffers as well.
#include <gtest/gtest.h>
#include <jansson.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "config/base_config.h"
#include "config/error_define.h"
#include "feed_sim.h"
#include "kbr_query/query_client.h"
#include "query_service.h"
#include "support/closed_port.h"
#include "support/recording_log.h"
#include "support/test_pki.h"
#include "swig/json2pb.h"
#include "swig/python_wrapper.h"
#include "swig/query_result_buffer.h"
#include "swig/recording_notify.h"

namespace qc = com::quor::kbr::client;
namespace sim = qel::sim;
using com::quor::kbr::ventrix::model::VentrixQueryResponse;

namespace {

VentrixQueryResponse ParseAnswer(const std::string& text) {
  VentrixQueryResponse answer;
  json2pb(answer, text.data(), text.size());
  return answer;
}

class PythonQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qc::BaseConfig::GetInstance().CloseFileLog();
    m_log.ExpectError("login parameter non conformance");  // the settings-only logins below
  }
  void TearDown() override {
    Notify_Regist(nullptr);
    globalhandle(false);
    if (m_sim) m_sim->Stop();
  }
  void StartSim(bool tls = false) {
    sim::Scenario sc;
    sc.users = {{"demo", "demo123"}};
    sc.query_enabled = true;
    sc.query_tls = tls;
    if (tls) {
      m_pki = std::make_unique<qel_test::TestPki>();
      sc.tls_cert_file = m_pki->ServerCert();
      sc.tls_key_file = m_pki->ServerKey();
    }
    sc.log = [](const std::string&) {};
    m_sim = std::make_unique<sim::FeedSimulator>(sc);
    ASSERT_TRUE(m_sim->Start()) << m_sim->LastError();
  }
  // Stores credentials and query settings through a login document that
  // names no market-data server (so the login itself ends with result 1).
  void StoreQuerySettings(const std::string& fields) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(python_login(("{" + fields + "}").c_str(), 0), 1);
    testing::internal::GetCapturedStdout();
  }
  std::string SimQuerySettings(const std::string& password = "demo123") const {
    return R"("UserName":"demo","Password":")" + password + R"(","QuerySSL":false,"QueryAddress":"127.0.0.1:)" +
           std::to_string(m_sim->QueryPort()) + "\"";
  }
  int Async(const std::string& json, std::string* out = nullptr) {
    testing::internal::CaptureStdout();
    const int result = python_request_fin_info_query_async(json.c_str(), 0);
    const std::string printed = testing::internal::GetCapturedStdout();
    if (out != nullptr) *out = printed;
    return result;
  }
  // The buffer's header and the text behind it.
  static std::string Header(const void* data) { return std::string(static_cast<const char*>(data), 10); }
  static std::string Body(const void* data) { return std::string(static_cast<const char*>(data) + 10); }

  qel_test::RecordingLog m_log;
  qel_test::RecordingNotify m_notify;
  std::unique_ptr<qel_test::TestPki> m_pki;
  std::unique_ptr<sim::FeedSimulator> m_sim;
};

TEST_F(PythonQueryTest, AsyncAnswersReachTheNotifyAsJson) {
  StartSim();
  StoreQuerySettings(SimQuerySettings());
  Notify_Regist(&m_notify);
  m_log.ExpectError(" request async query parameter QUORSecurityIDs  non conformance");
  std::string printed;
  const std::string json = R"({"DataType":)" + std::to_string(sim::kQueryBasicInfo) +
                           R"(,"QUORSecurityIDs":["600000.SH","",5,"000001.SZ"],"Params":{"Lang":"en","n":1}})";
  EXPECT_EQ(Async(json, &printed), 1);
  EXPECT_EQ(printed, "QUORSecurityID: 600000.SH \r\nQUORSecurityID: 000001.SZ \r\n");
  EXPECT_EQ(m_log.Count("QUORSecurityIDs  non conformance"), 2);
  const auto calls = m_notify.JsonCalls("OnFinInfoQueryResponse");
  ASSERT_EQ(calls.size(), 2u);
  std::vector<std::string> ids;
  for (const auto& call : calls) {
    EXPECT_TRUE(call.length_matches);
    const VentrixQueryResponse answer = ParseAnswer(call.text);
    EXPECT_TRUE(answer.issuccess());
    EXPECT_EQ(answer.resultdata().datatype(), sim::kQueryBasicInfo);
    ids.push_back(answer.resultdata().securityid());
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"600000.SH", "000001.SZ"}));
}

// A failure reported by the service gives 0, and its failure answer is still
// delivered; without a Notify the query is sent and nothing delivered.
TEST_F(PythonQueryTest, AsyncFailureIsDeliveredAndWithoutNotifyNothingIs) {
  StartSim();
  StoreQuerySettings(SimQuerySettings());
  m_log.ExpectError("request async query failed");
  EXPECT_EQ(Async(R"({"DataType":999})"), 0);
  Notify_Regist(&m_notify);
  EXPECT_EQ(Async(R"({"DataType":999})"), 0);
  const auto calls = m_notify.JsonCalls("OnFinInfoQueryResponse");
  ASSERT_EQ(calls.size(), 1u);
  const VentrixQueryResponse answer = ParseAnswer(calls[0].text);
  EXPECT_FALSE(answer.issuccess());
  EXPECT_EQ(answer.errorcontext().errorcode(), sim::kQueryErrUnknownType);
  EXPECT_EQ(m_log.Count("request async query failed"), 2);
}

// (source, type) pairs: an element without "ESecurityIDSource" is left out,
// the rest restrict the answers; a login without "UserName" keeps the stored
// credentials for the queries.
TEST_F(PythonQueryTest, MarketdataTypesFilterAndStoredCredentialsStay) {
  StartSim();
  StoreQuerySettings(SimQuerySettings());
  StoreQuerySettings(R"("Password":"ignored-without-user")");
  Notify_Regist(&m_notify);
  const std::string json = R"({"DataType":1,"MarketdataTypes":[{"ESecurityType":4},)"
                           R"({"ESecurityIDSource":101,"ESecurityType":2},{"ESecurityIDSource":"102","ESecurityType":2},)"
                           R"({"ESecurityIDSource":102,"ESecurityType":-999}]})";
  // The stored password was replaced by the second login; the user name stayed.
  m_log.ExpectError("request async query login failed");
  EXPECT_EQ(Async(json), qc::INVALID_CLIENT);
  StoreQuerySettings(R"("Password":"demo123")");
  EXPECT_EQ(Async(json), 1);
  const auto calls = m_notify.JsonCalls("OnFinInfoQueryResponse");
  ASSERT_GE(calls.size(), 2u);
  for (const auto& call : calls) {
    const VentrixQueryResponse answer = ParseAnswer(call.text);
    const auto& fields = answer.resultdata().fields();
    ASSERT_EQ(fields.count("SecurityIDSource"), 1u) << call.text;
    EXPECT_EQ(fields.at("SecurityIDSource"), "101") << call.text;
    EXPECT_EQ(fields.at("SecurityType"), "2") << call.text;
  }
}

TEST_F(PythonQueryTest, SyncResultHoldsLengthHeaderAndArrayOfAnswerTexts) {
  StartSim();
  StoreQuerySettings(SimQuerySettings());
  m_log.ExpectError(" request sync query parameter QUORSecurityIDs  non conformance");
  const void* data = python_request_fin_info_query_sync(
      R"({"DataType":1,"QUORSecurityIDs":["600000.SH",7,"399001.SZ"],"Params":{"Lang":"en","n":1}})", 0);
  ASSERT_NE(data, nullptr);
  const std::string body = Body(data);
  char expect_header[16];
  std::snprintf(expect_header, sizeof expect_header, "%10d", static_cast<int>(body.size() + 10));
  EXPECT_EQ(Header(data), expect_header);
  json_error_t error;
  json_t* array = json_loads(body.c_str(), 0, &error);
  ASSERT_NE(array, nullptr) << error.text;
  ASSERT_TRUE(json_is_array(array));
  ASSERT_EQ(json_array_size(array), 2u);
  EXPECT_EQ(ParseAnswer(json_string_value(json_array_get(array, 0))).resultdata().securityid(), "600000.SH");
  EXPECT_EQ(ParseAnswer(json_string_value(json_array_get(array, 1))).resultdata().securityid(), "399001.SZ");
  json_decref(array);
  EXPECT_NE(body.find("\", \""), std::string::npos) << "elements separated by \", \"";
  EXPECT_TRUE(m_log.Contains("params: key=Lang value=en \r\n"));
  EXPECT_TRUE(m_log.Contains("params: key=n \r\n"));
  EXPECT_FALSE(m_log.Contains("params: key=n value"));
  EXPECT_TRUE(m_log.Contains("QUORSecurityID: 600000.SH \r\n"));
  EXPECT_EQ(m_log.Count("create query data, data size is 104857600"), 1);
  EXPECT_TRUE(m_log.Contains("sync response size 2"));

  // The next result replaces this one in the same buffer; what the longer one
  // left behind is cleared.
  const void* again = python_request_fin_info_query_sync(R"({"DataType":1,"QUORSecurityIDs":["600000.SH"]})", 0);
  EXPECT_EQ(again, data);
  const std::string shorter = Body(again);
  std::snprintf(expect_header, sizeof expect_header, "%10d", static_cast<int>(shorter.size() + 10));
  EXPECT_EQ(Header(again), expect_header);
  EXPECT_LT(shorter.size(), body.size());
  const char* bytes = static_cast<const char*>(again);
  for (size_t i = 10 + shorter.size(); i < 10 + body.size() + 1; ++i) ASSERT_EQ(bytes[i], '\0') << i;
  EXPECT_EQ(m_log.Count("create query data"), 1);
}

TEST_F(PythonQueryTest, SyncFailureWritesCodeLengthAndMessage) {
  StartSim();
  StoreQuerySettings(SimQuerySettings());
  m_log.ExpectError("request sync query failed");
  const void* data = python_request_fin_info_query_sync(R"({"DataType":999})", 0);
  ASSERT_NE(data, nullptr);
  const char* bytes = static_cast<const char*>(data);
  const std::string message = "unknown query data type 999";
  char expect[64];
  std::snprintf(expect, sizeof expect, "9999999998%8d%8d", sim::kQueryErrUnknownType, static_cast<int>(message.size()));
  EXPECT_EQ(std::string(bytes, 26), expect);
  EXPECT_EQ(std::string(bytes + 26), message);
}

// A larger configured size re-allocates the buffer before it is written.
TEST_F(PythonQueryTest, RaisedMaximumReallocatesTheBuffer) {
  StartSim();
  StoreQuerySettings(SimQuerySettings());
  ASSERT_NE(python_request_fin_info_query_sync(R"({"DataType":1,"QUORSecurityIDs":["600000.SH"]})", 0), nullptr);
  StoreQuerySettings(R"("QueryMaxQuerySize":104857700)");
  const void* data = python_request_fin_info_query_sync(R"({"DataType":1,"QUORSecurityIDs":["600000.SH"]})", 0);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(m_log.Count("create query data, data size is 104857700"), 1);
  EXPECT_EQ(ParseAnswer(json_string_value(json_array_get(
                            std::unique_ptr<json_t, void (*)(json_t*)>(json_loads(Body(data).c_str(), 0, nullptr),
                                                                       [](json_t* j) { json_decref(j); })
                                .get(),
                            0)))
                .resultdata()
                .securityid(),
            "600000.SH");
}

TEST_F(PythonQueryTest, QueriesOverTlsWithTheConfiguredCa) {
  StartSim(true);
  StoreQuerySettings(R"("UserName":"demo","Password":"demo123","QuerySSL":true,"QueryCert":")" + m_pki->CaFile() +
                     R"(","QueryAddress":"127.0.0.1:)" + std::to_string(m_sim->QueryPort()) + "\"");
  Notify_Regist(&m_notify);
  EXPECT_EQ(Async(R"({"DataType":2,"QUORSecurityIDs":["600000.SH"]})"), 1);
  ASSERT_EQ(m_notify.JsonCalls("OnFinInfoQueryResponse").size(), 1u);
  EXPECT_EQ(ParseAnswer(m_notify.JsonCalls("OnFinInfoQueryResponse")[0].text).resultdata().datatype(), 2);
}

// No usable query client: the service is down, reads and never answers, or
// the CA file cannot be read. Each ends in bounded time.
enum class NoClientCause { kServiceDown, kServiceSilent, kUnreadableCa };

struct NoClientCase {
  const char* name;
  NoClientCause cause;
  const char* async_error;
  const char* sync_error;
  friend void PrintTo(const NoClientCase& c, std::ostream* os) { *os << c.name; }
};

class QueryNoClientTest : public PythonQueryTest, public ::testing::WithParamInterface<NoClientCase> {};

TEST_P(QueryNoClientTest, AsyncGivesInvalidClientAndSyncNull) {
  const NoClientCase& c = GetParam();
  m_log.ExpectError(c.async_error);
  m_log.ExpectError(c.sync_error);
  if (c.cause == NoClientCause::kServiceDown) {
    StoreQuerySettings(R"("UserName":"demo","Password":"demo123","QuerySSL":false,"QueryAddress":"127.0.0.1:)" +
                       std::to_string(qel_test::ClosedPort()) + "\"");
  } else if (c.cause == NoClientCause::kServiceSilent) {
    StartSim();
    sim::Faults f;
    f.no_query_response = true;
    m_sim->SetFaults(f);
    StoreQuerySettings(SimQuerySettings());
  } else {
    StoreQuerySettings(R"("UserName":"demo","Password":"demo123","QuerySSL":true,"QueryCert":"/nonexistent/ca.pem")"
                       R"(,"QueryAddress":"127.0.0.1:1")");
  }
  Notify_Regist(&m_notify);
  EXPECT_EQ(Async(R"({"DataType":1})"), qc::INVALID_CLIENT);
  EXPECT_EQ(python_request_fin_info_query_sync(R"({"DataType":1})", 0), nullptr);
  EXPECT_EQ(m_log.Count(c.async_error), 1);
  EXPECT_EQ(m_log.Count(c.sync_error), 1);
  EXPECT_TRUE(m_notify.Events().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Causes, QueryNoClientTest,
    ::testing::Values(NoClientCase{"ServiceDown", NoClientCause::kServiceDown, "request async query login failed",
                                   "request sync query login failed"},
                      NoClientCase{"ServiceSilent", NoClientCause::kServiceSilent,
                                   "request async query login failed", "request sync query login failed"},
                      NoClientCase{"UnreadableCa", NoClientCause::kUnreadableCa,
                                   "request async query client creation  failed",
                                   "request sync query client creation  failed"}),
    [](const ::testing::TestParamInfo<NoClientCase>& i) { return i.param.name; });

// --- The buffer layouts on small buffers -----------------------------------------

struct LayoutCase {
  const char* name;
  size_t capacity;
  size_t max_size;
  qc::SyncQueryOutcome outcome;
  std::string expect;  // the bytes written; every later byte stays zero
  friend void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }
};

class QueryLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(QueryLayoutTest, WritesTheLayoutWithinTheBuffer) {
  const LayoutCase& c = GetParam();
  std::vector<char> buf(c.capacity + 8, '\0');  // 8 guard bytes behind the buffer
  const size_t written = qc::WriteSyncQueryResult(buf.data(), c.capacity, c.max_size, c.outcome);
  EXPECT_EQ(written, c.expect.size());
  EXPECT_EQ(std::string(buf.data(), c.expect.size()), c.expect);
  for (size_t i = c.expect.size(); i < buf.size(); ++i) ASSERT_EQ(buf[i], '\0') << i;
}

qc::SyncQueryOutcome Ok(const std::string& text) {
  qc::SyncQueryOutcome o;
  o.ok = true;
  o.text = text;
  return o;
}
qc::SyncQueryOutcome Failed(int code, const std::string& message) {
  qc::SyncQueryOutcome o;
  o.has_failure = true;
  o.code = code;
  o.message = message;
  return o;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, QueryLayoutTest,
    ::testing::Values(
        LayoutCase{"Fits", 64, 64, Ok("[\"{}\"]"), "        16[\"{}\"]"},
        LayoutCase{"OneBelowMaximum", 64, 17, Ok("[\"{}\"]"), "        16[\"{}\"]"},
        LayoutCase{"ReachesMaximum", 64, 16, Ok("[\"{}\"]"), "9999999999"},
        LayoutCase{"TooLarge", 64, 64, Ok(std::string(60, 'x')), "9999999999"},
        LayoutCase{"FailedWithoutAnswer", 64, 64, qc::SyncQueryOutcome(), "9999999998"},
        LayoutCase{"FailedWithAnswer", 64, 64, Failed(1001, "bad type"), "9999999998    1001       8bad type"},
        LayoutCase{"LongCodeKeepsEightCharacters", 64, 64, Failed(-1234567890, "m"),
                   "9999999998-1234567       1m"},
        LayoutCase{"OverLongMessageIsCut", 40, 40, Failed(7, std::string(100, 'e')),
                   "9999999998       7      13" + std::string(13, 'e')}),
    [](const ::testing::TestParamInfo<LayoutCase>& i) { return i.param.name; });

}  // namespace
