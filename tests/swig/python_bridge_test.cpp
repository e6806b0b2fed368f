// The callback bridge and the entry functions that need no server: every
// MessageHandle callback reaches the registered Notify as JSON text that
// parses back to the same message (or as the lent host text), a Notify that
// throws or a record that cannot be rendered loses one callback only, and the
// login document is read by its table (types, defaults, incomplete logins).
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "client_factory.h"
#include "config/base_config.h"
#include "support/recording_log.h"
#include "swig/json2pb.h"
#include "swig/python_wrapper.h"
#include "swig/recording_notify.h"

namespace qc = com::quor::kbr::client;
namespace qm = com::quor::qel::model;
using qel_test::RecordingNotify;

namespace {

class PythonBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qc::BaseConfig::GetInstance().CloseFileLog();  // no log file, and no banner on standard output
    m_handle = globalhandle(true);
  }
  void TearDown() override {
    Notify_Regist(nullptr);
    globalhandle(false);
  }
  qel_test::RecordingLog m_log;
  PythonHandle* m_handle = nullptr;
};

qm::MarketData Record(int64_t channel, const std::string& id) {
  qm::MarketData md;
  md.set_qelmessagechannel(channel);
  md.mutable_qelstock()->set_qelsecurityid(id);
  md.mutable_qelstock()->set_qelsecurityidsource(101);
  return md;
}

// Parses a text the bridge delivered back into a message of msg's type.
template <typename M>
M ParseBack(const std::string& text) {
  M out;
  json2pb(out, text.data(), text.size());
  return out;
}

TEST_F(PythonBridgeTest, GlobalHandleIsCreatedOnceAndDestroyed) {
  ASSERT_NE(m_handle, nullptr);
  EXPECT_EQ(globalhandle(true), m_handle);
  EXPECT_EQ(globalhandle(false), nullptr);
  PythonHandle* again = globalhandle(true);
  ASSERT_NE(again, nullptr);
  m_handle = again;
  EXPECT_STREQ(python_get_version(), "python_4.0.7_2022/7/7");
}

TEST_F(PythonBridgeTest, MessageCallbacksArriveAsJsonThatParsesBack) {
  RecordingNotify notify;
  Notify_Regist(&notify);

  const qm::MarketData md = Record(7, "600000.SH");
  qm::SubscribeResponse sub;
  sub.set_issuccess(true);
  sub.add_permitteddatatypes(3);
  sub.add_permitteddatatypes(14);
  qm::LoginResponse discovery;
  discovery.set_issuccess(true);
  discovery.set_token("tok-1");
  discovery.add_servers()->set_ip("127.0.0.1");
  qm::LoginResponse datafeed;
  datafeed.mutable_errorcontext()->set_message("refused \"x\"");

  m_handle->OnMarketData(md);
  m_handle->OnSubscribeResponse(sub);
  m_handle->OnLoginDiscoveryResponse(discovery);
  m_handle->OnLoginDataServiceResponse(datafeed);

  EXPECT_EQ(notify.Events(), (std::vector<std::string>{"OnMarketData", "OnSubscribeResponse",
                                                       "OnLoginDiscoveryResponse", "OnLoginDataServiceResponse"}));
  const auto md_calls = notify.JsonCalls("OnMarketData");
  ASSERT_EQ(md_calls.size(), 1u);
  EXPECT_TRUE(md_calls[0].length_matches);
  EXPECT_EQ(ParseBack<qm::MarketData>(md_calls[0].text).SerializeAsString(), md.SerializeAsString());
  const auto sub_calls = notify.JsonCalls("OnSubscribeResponse");
  ASSERT_EQ(sub_calls.size(), 1u);
  EXPECT_EQ(sub_calls[0].text, "{\"isSuccess\": true, \"permittedDataTypes\": [3, 14]}");
  const auto disc_calls = notify.JsonCalls("OnLoginDiscoveryResponse");
  ASSERT_EQ(disc_calls.size(), 1u);
  EXPECT_EQ(ParseBack<qm::LoginResponse>(disc_calls[0].text).SerializeAsString(), discovery.SerializeAsString());
  const auto df_calls = notify.JsonCalls("OnLoginDataServiceResponse");
  ASSERT_EQ(df_calls.size(), 1u);
  EXPECT_TRUE(df_calls[0].length_matches);
  EXPECT_EQ(ParseBack<qm::LoginResponse>(df_calls[0].text).errorcontext().message(), "refused \"x\"");
}

TEST_F(PythonBridgeTest, HostCallbacksLendTheHostTextItself) {
  RecordingNotify notify;
  Notify_Regist(&notify);
  const std::string host = "127.0.0.1:9000";
  m_handle->OnLoginDiscoverySuccess(host, {1, 2});
  m_handle->OnLoginDiscoveryFailed(host);
  m_handle->OnNoDiscoveryServices();
  m_handle->OnLoginDatafeedNodeSuccess(2, host);
  m_handle->OnLoginDatafeedNodeFailed(1, host);
  m_handle->OnLoginDataServiceSuccess();
  m_handle->OnLoginDataServiceFailed();
  m_handle->OnDisconnected(2, host);
  EXPECT_EQ(notify.Events(), (std::vector<std::string>{
                                 "OnLoginDiscoverySuccess 127.0.0.1:9000 [1,2]", "OnLoginDiscoveryFailed 127.0.0.1:9000",
                                 "OnNoDiscoveryServices", "OnLoginDatafeedNodeSuccess 2 127.0.0.1:9000",
                                 "OnLoginDatafeedNodeFailed 1 127.0.0.1:9000", "OnLoginDataServiceSuccess",
                                 "OnLoginDataServiceFailed", "OnDisconnected 2 127.0.0.1:9000"}));
  for (const void* p : notify.HostPointers()) EXPECT_EQ(p, static_cast<const void*>(host.c_str()));
}

TEST_F(PythonBridgeTest, NothingIsDeliveredWithoutNotifyAndOnlyToTheLatestOne) {
  m_handle->OnMarketData(Record(1, "600000.SH"));
  m_handle->OnLoginDataServiceSuccess();
  RecordingNotify first;
  RecordingNotify second;
  Notify_Regist(&first);
  Notify_Regist(&second);
  m_handle->OnMarketData(Record(1, "600000.SH"));
  m_handle->OnDisconnected(1, "h");
  EXPECT_TRUE(first.Events().empty());
  EXPECT_EQ(second.Events(), (std::vector<std::string>{"OnMarketData", "OnDisconnected 1 h"}));
  Notify_Regist(nullptr);
  m_handle->OnMarketData(Record(1, "600000.SH"));
  EXPECT_EQ(second.Events().size(), 2u);
  EXPECT_EQ(m_log.ErrorCount(), 0);
}

// A Notify that throws (as a script's raising callback does through the
// director) loses that one callback; the error names the callback and the
// later callbacks arrive. The same holds for a record pb2json cannot render.
struct ThrowCase {
  const char* name;
  const char* method;
  void (*fire)(PythonHandle*);
  friend void PrintTo(const ThrowCase& c, std::ostream* os) { *os << c.name; }
};

class BridgeThrowTest : public PythonBridgeTest, public ::testing::WithParamInterface<ThrowCase> {};

TEST_P(BridgeThrowTest, OneCallbackIsDroppedAndDeliveryGoesOn) {
  const ThrowCase& c = GetParam();
  m_log.ExpectError(std::string("Notify::") + c.method + " raised an error, callback dropped: boom " + c.method);
  RecordingNotify notify;
  notify.ThrowFrom(c.method, 1);
  Notify_Regist(&notify);
  c.fire(m_handle);
  EXPECT_EQ(notify.Count(c.method), 0);
  c.fire(m_handle);
  c.fire(m_handle);
  EXPECT_EQ(notify.Count(c.method), 2);
  EXPECT_EQ(m_log.Count("raised an error, callback dropped"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Callbacks, BridgeThrowTest,
    ::testing::Values(
        ThrowCase{"MarketData", "OnMarketData", [](PythonHandle* h) { h->OnMarketData(Record(3, "000001.SZ")); }},
        ThrowCase{"SubscribeResponse", "OnSubscribeResponse",
                  [](PythonHandle* h) { h->OnSubscribeResponse(qm::SubscribeResponse()); }},
        ThrowCase{"DatafeedNode", "OnLoginDatafeedNodeSuccess",
                  [](PythonHandle* h) { h->OnLoginDatafeedNodeSuccess(1, "127.0.0.1:1"); }},
        ThrowCase{"ServiceSuccess", "OnLoginDataServiceSuccess",
                  [](PythonHandle* h) { h->OnLoginDataServiceSuccess(); }},
        ThrowCase{"Disconnected", "OnDisconnected", [](PythonHandle* h) { h->OnDisconnected(2, "127.0.0.1:2"); }}),
    [](const ::testing::TestParamInfo<ThrowCase>& i) { return i.param.name; });

TEST_F(PythonBridgeTest, RecordThatCannotBeRenderedIsDroppedWithItsError) {
  m_log.ExpectError("Notify::OnMarketData raised an error, callback dropped: QELSecurityID: Fail to convert to json");
  RecordingNotify notify;
  Notify_Regist(&notify);
  m_handle->OnMarketData(Record(1, std::string("bad\xff\xfe", 5)));
  m_handle->OnMarketData(Record(1, "600000.SH"));
  const auto calls = notify.JsonCalls("OnMarketData");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_NE(calls[0].text.find("600000.SH"), std::string::npos);
}

// --- Login documents that never reach a server -------------------------------

struct LoginDocCase {
  const char* name;
  const char* json;
  std::vector<std::string> lines;     // each logged (debug or error)
  std::vector<std::string> no_lines;  // none of these logged
  friend void PrintTo(const LoginDocCase& c, std::ostream* os) { *os << c.name; }
};

class LoginDocumentTest : public PythonBridgeTest, public ::testing::WithParamInterface<LoginDocCase> {};

// Each case lacks at least one of the four keys a login needs, or has it with
// another JSON type, so the login ends at "login parameter non conformance"
// with result 1 and the factory torn down.
TEST_P(LoginDocumentTest, IncompleteLoginReturnsOneAndReadsKeysByType) {
  const LoginDocCase& c = GetParam();
  m_log.ExpectError("login parameter non conformance");
  m_log.ExpectError("load login json failed: ");
  testing::internal::CaptureStdout();
  const int result = python_login(c.json, 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out, "try to login ...\n");
  EXPECT_EQ(m_log.Count("login parameter non conformance"), 1);
  EXPECT_TRUE(m_log.Contains("login json:"));
  EXPECT_FALSE(m_log.Contains("\"p\"")) << "a password in clear";
  for (const auto& line : c.lines) EXPECT_TRUE(m_log.Contains(line)) << line;
  for (const auto& line : c.no_lines) EXPECT_FALSE(m_log.Contains(line)) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Documents, LoginDocumentTest,
    ::testing::Values(
        LoginDocCase{"Empty", "{}", {"THREAD_COUNT: 4 \r\n"}, {"UserName:", "MainServerPort:", "ssl:", "QuerySSL:"}},
        LoginDocCase{"Malformed", "{\"UserName\": ",
                     {"load login json failed: ", "login json:(not JSON, 13 bytes, not shown)\r\n",
                      "THREAD_COUNT: 4 \r\n"},
                     {"UserName:"}},
        LoginDocCase{"MalformedAfterPassword", "{\"Password\": pass-1",
                     {"load login json failed: ", "login json:(not JSON, 19 bytes, not shown)\r\n"},
                     {"pass-1", "Password:"}},
        LoginDocCase{"TopLevelArray", "[1, 2]", {"THREAD_COUNT: 4 \r\n"}, {"load login json failed"}},
        LoginDocCase{"PortAsString",
                     R"({"UserName":"u","Password":"p","MainServerIP":"127.0.0.1","MainServerPort":"8262"})",
                     {"UserName: u \r\n", "Password: ****** \r\n", "MainServerIP: 127.0.0.1 \r\n",
                      R"(login json:{"UserName": "u", "Password": "******", "MainServerIP": "127.0.0.1", )"
                      R"("MainServerPort": "8262"})"},
                     {"MainServerPort:"}},
        LoginDocCase{"NoUserName", R"({"Password":"p","MainServerIP":"127.0.0.1","MainServerPort":1})",
                     {"MainServerPort: 1 \r\n"}, {"UserName:"}},
        LoginDocCase{"EmptyPassword",
                     R"({"UserName":"u","Password":"","MainServerIP":"127.0.0.1","MainServerPort":1})",
                     {"Password:  \r\n", R"("Password": "")"}, {}},
        LoginDocCase{"EmptyServerIp", R"({"UserName":"u","Password":"p","MainServerIP":"","MainServerPort":1})",
                     {"MainServerIP:  \r\n"}, {}},
        LoginDocCase{"SwitchesAsStrings", R"({"Is_Ssl":"true","QuerySSL":"false","UserName":5})", {},
                     {"ssl:", "QuerySSL:", "UserName:"}},
        LoginDocCase{"SwitchesAsBooleans", R"({"Is_Ssl":false,"QuerySSL":false,"Thread_Count":7})",
                     {"ssl: 0 \r\n", "QuerySSL: 0 \r\n", "THREAD_COUNT: 7 \r\n"}, {}},
        LoginDocCase{"QuerySettings",
                     R"({"QueryAddress":"127.0.0.1:1","QueryCert":"","CertFolder":"/tmp/ca.pem","Thread_Count":"9"})",
                     {"query_use_ssl: 127.0.0.1:1 \r\n", "QueryCert:  \r\n", "cert_folder: /tmp/ca.pem \r\n",
                      "THREAD_COUNT: 4 \r\n"},
                     {}},
        LoginDocCase{"EmptyQueryAddressIgnored", R"({"QueryAddress":""})", {}, {"query_use_ssl:"}}),
    [](const ::testing::TestParamInfo<LoginDocCase>& i) { return i.param.name; });

// The result buffer size only grows: a smaller value leaves it, a larger one
// raises it, and the raised one is kept against a later smaller one.
TEST_F(PythonBridgeTest, QueryMaxQuerySizeOnlyGrows) {
  m_log.ExpectError("login parameter non conformance");
  testing::internal::CaptureStdout();
  EXPECT_EQ(python_login(R"({"QueryMaxQuerySize":1000})", 0), 1);
  EXPECT_FALSE(m_log.Contains("QueryMaxQuerySize:"));
  EXPECT_EQ(python_login(R"({"QueryMaxQuerySize":209715200})", 0), 1);
  EXPECT_EQ(m_log.Count("QueryMaxQuerySize: 209715200 \r\n"), 1);
  EXPECT_EQ(python_login(R"({"QueryMaxQuerySize":104857601})", 0), 1);
  EXPECT_EQ(python_login(R"({"QueryMaxQuerySize":4294967296})", 0), 1);
  EXPECT_EQ(python_login(R"({"QueryMaxQuerySize":"999999999"})", 0), 1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(m_log.Count("QueryMaxQuerySize:"), 1);
}

TEST_F(PythonBridgeTest, EnvironmentLinesAndHandleLifetime) {
  testing::internal::CaptureStdout();
  python_init_env();
  PythonHandle* h = globalhandle(true);
  python_fini_env();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "init env ...\nfini env ...\n");
  EXPECT_EQ(h, m_handle);
  // Notify_Regist creates the handle again when there is none.
  RecordingNotify notify;
  Notify_Regist(&notify);
  m_handle = globalhandle(true);
  ASSERT_NE(m_handle, nullptr);
  m_handle->OnLoginDataServiceSuccess();
  EXPECT_EQ(notify.Count("OnLoginDataServiceSuccess"), 1);
}

}  // namespace
