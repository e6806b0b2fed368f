// The query client library against the feed simulator's query service on
// 127.0.0.1: login, filters by ids and by (source, type) pairs, failure
// answers, a service that is down, silent or stalling, TLS with a test CA,
// and the reading of answers from a byte source.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "feed_sim.h"
#include "kbr_query/answer_reader.h"
#include "kbr_query/query_client.h"
#include "query_service.h"
#include "support/test_pki.h"

namespace {

namespace kq = com::quor::kbr::query;
namespace km = com::quor::kbr::model;
namespace sim = qel::sim;

std::unique_ptr<sim::FeedSimulator> StartSim(bool tls = false, const qel_test::TestPki* pki = nullptr) {
  sim::Scenario sc;
  sc.users = {{"demo", "demo123"}};
  sc.query_enabled = true;
  sc.query_port = 0;
  sc.query_tls = tls;
  if (pki != nullptr) {
    sc.tls_cert_file = pki->ServerCert();
    sc.tls_key_file = pki->ServerKey();
  }
  sc.log = [](const std::string&) {};
  auto s = std::make_unique<sim::FeedSimulator>(sc);
  if (!s->Start()) ADD_FAILURE() << s->LastError();
  return s;
}

std::string Address(const sim::FeedSimulator& s) {
  return "127.0.0.1:" + std::to_string(s.QueryPort());
}

kq::SecuritySourceType Pair(km::ESecurityIDSource src, km::ESecurityType type) {
  kq::SecuritySourceType st;
  st.set_securityidsource(src);
  st.set_securitytype(type);
  return st;
}

// Runs one query and releases its answers; the answers are copied out first.
struct QueryResult {
  bool ok = false;
  std::vector<com::quor::kbr::ventrix::model::VentrixQueryResponse> answers;
  bool released_to_null = false;
};

QueryResult Query(kq::QueryClientInterface* client, int data_type,
                  std::list<kq::SecuritySourceType>* sources, std::list<std::string>* ids) {
  QueryResult out;
  std::map<std::string, std::string> params{{"Lang", "en"}};
  kq::QueryResponseList* responses = nullptr;
  out.ok = client->RequestQuery(responses, data_type, &params, sources, ids, "101");
  EXPECT_NE(responses, nullptr);
  if (responses == nullptr) return out;
  for (const auto* r : *responses) out.answers.push_back(*r);
  client->ReleaseQueryResponses(responses);
  out.released_to_null = responses == nullptr;
  return out;
}

std::set<std::string> Ids(const QueryResult& r) {
  std::set<std::string> ids;
  for (const auto& a : r.answers) ids.insert(a.resultdata().securityid());
  return ids;
}

class QueryClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_sim = StartSim();
    m_client.reset(kq::QueryClientFactory::Instance()->CreateClient(false, ""));
    ASSERT_NE(m_client, nullptr);
  }
  std::unique_ptr<sim::FeedSimulator> m_sim;
  std::unique_ptr<kq::QueryClientInterface> m_client;
};

TEST_F(QueryClientTest, FactoryIsOneSingleton) {
  EXPECT_NE(kq::QueryClientFactory::Instance(), nullptr);
  EXPECT_EQ(kq::QueryClientFactory::Instance(), kq::QueryClientFactory::Instance());
}

struct LoginCase {
  const char* name;
  std::string user;
  std::string password;
  bool refuse_fault;
  bool expect_ok;
};

class QueryLoginTest : public QueryClientTest, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(QueryLoginTest, LoginResultAndQueryAfterIt) {
  const LoginCase& c = GetParam();
  sim::Faults f;
  f.refuse_query_login = c.refuse_fault;
  m_sim->SetFaults(f);
  EXPECT_EQ(m_client->LoginByPassword(c.user, c.password, Address(*m_sim)), c.expect_ok);
  std::list<std::string> ids{"600000.SH"};
  const QueryResult r = Query(m_client.get(), sim::kQueryBasicInfo, nullptr, &ids);
  EXPECT_EQ(r.ok, c.expect_ok);
  ASSERT_EQ(r.answers.size(), 1u);
  EXPECT_EQ(r.answers[0].issuccess(), c.expect_ok);
  if (!c.expect_ok) {
    EXPECT_EQ(r.answers[0].errorcontext().errorcode(), kq::kQueryNotLoggedIn);
    EXPECT_FALSE(r.answers[0].errorcontext().message().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QueryLoginTest,
    ::testing::Values(LoginCase{"RightPassword", "demo", "demo123", false, true},
                      LoginCase{"WrongPassword", "demo", "nope", false, false},
                      LoginCase{"UnknownUser", "ghost", "demo123", false, false},
                      LoginCase{"EmptyCredentials", "", "", false, false},
                      LoginCase{"RefusedByService", "demo", "demo123", true, false}),
    [](const ::testing::TestParamInfo<LoginCase>& i) { return i.param.name; });

TEST_F(QueryClientTest, BadAddressFailsLogin) {
  EXPECT_FALSE(m_client->LoginByPassword("demo", "demo123", "127.0.0.1"));
  EXPECT_FALSE(m_client->LoginByPassword("demo", "demo123", ":9552"));
}

// Filters: null lists do not filter, empty lists match nothing, both filters
// intersect, DefaultSecurityType in a pair matches every type of the source.
struct FilterCase {
  const char* name;
  bool with_sources;
  std::vector<kq::SecuritySourceType> sources;
  bool with_ids;
  std::vector<std::string> ids;
  std::set<std::string> expect;  // empty with expect_all = every security
  bool expect_all;
};

class QueryFilterTest : public QueryClientTest, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(QueryFilterTest, ReturnsExactlyTheMatchingSecurities) {
  const FilterCase& c = GetParam();
  ASSERT_TRUE(m_client->LoginByPassword("demo", "demo123", Address(*m_sim)));
  std::list<kq::SecuritySourceType> sources(c.sources.begin(), c.sources.end());
  std::list<std::string> ids(c.ids.begin(), c.ids.end());
  const QueryResult r = Query(m_client.get(), sim::kQueryBasicInfo, c.with_sources ? &sources : nullptr,
                              c.with_ids ? &ids : nullptr);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.released_to_null);
  for (const auto& a : r.answers) {
    EXPECT_TRUE(a.issuccess());
    EXPECT_EQ(a.resultdata().datatype(), sim::kQueryBasicInfo);
    EXPECT_EQ(a.resultdata().fields().at("SecurityID"), a.resultdata().securityid());
  }
  if (c.expect_all) {
    std::vector<sim::ReferenceSecurity> all;
    std::string err;
    ASSERT_TRUE(sim::LoadReferenceData(QEL_SIM_REFERENCE_DATA, &all, &err)) << err;
    EXPECT_EQ(r.answers.size(), all.size());
    EXPECT_GE(all.size(), 24u);
  } else {
    EXPECT_EQ(Ids(r), c.expect);
    EXPECT_EQ(r.answers.size(), c.expect.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QueryFilterTest,
    ::testing::Values(
        FilterCase{"ByIds", false, {}, true, {"600000.SH", "000001.SZ", "NOPE.XX"},
                   {"600000.SH", "000001.SZ"}, false},
        FilterCase{"BySourceAndType", true, {Pair(km::CCFX, km::FuturesType)}, false, {},
                   {"IF2506.CF", "IC2506.CF", "T2509.CF"}, false},
        FilterCase{"BySourceAnyType", true, {Pair(km::CCFX, km::DefaultSecurityType)}, false, {},
                   {"IF2506.CF", "IC2506.CF", "T2509.CF", "IO2506-C-3600.CF", "IO2506-P-3600.CF"},
                   false},
        FilterCase{"ByTwoPairs", true,
                   {Pair(km::XSHE, km::IndexType), Pair(km::XSHG, km::FundType)}, false, {},
                   {"399001.SZ", "399006.SZ", "510050.SH", "510300.SH"}, false},
        FilterCase{"ByBoth", true, {Pair(km::XSHG, km::StockType)}, true,
                   {"600000.SH", "000001.SZ", "510050.SH", "600519.SH"},
                   {"600000.SH", "600519.SH"}, false},
        FilterCase{"NullListsGiveEverything", false, {}, false, {}, {}, true},
        FilterCase{"EmptyIdListGivesNothing", false, {}, true, {}, {}, false},
        FilterCase{"EmptySourceListGivesNothing", true, {}, false, {}, {}, false}),
    [](const ::testing::TestParamInfo<FilterCase>& i) { return i.param.name; });

TEST_F(QueryClientTest, StatusQueryCarriesOnlyStatusFields) {
  ASSERT_TRUE(m_client->LoginByPassword("demo", "demo123", Address(*m_sim)));
  std::list<std::string> ids{"600030.SH"};
  const QueryResult r = Query(m_client.get(), sim::kQueryStatus, nullptr, &ids);
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.answers.size(), 1u);
  const auto& f = r.answers[0].resultdata().fields();
  EXPECT_EQ(f.at("TradingStatus"), "Suspended");
  EXPECT_EQ(f.count("PreClosePx"), 1u);
  EXPECT_EQ(f.count("ListDate"), 0u);
  EXPECT_EQ(f.count("Name"), 0u);
}

// The ETF query answers the funds of the reference data and nothing else,
// also when the identifiers asked for include a stock.
TEST_F(QueryClientTest, EtfQueryAnswersFundsOnly) {
  ASSERT_TRUE(m_client->LoginByPassword("demo", "demo123", Address(*m_sim)));
  std::list<std::string> ids{"510050.SH", "600000.SH", "159915.SZ"};
  const QueryResult r = Query(m_client.get(), sim::kQueryEtfBasicInfo, nullptr, &ids);
  ASSERT_TRUE(r.ok);
  std::vector<std::string> got;
  for (const auto& a : r.answers) got.push_back(a.resultdata().fields().at("SecurityID"));
  EXPECT_EQ(got, (std::vector<std::string>{"510050.SH", "159915.SZ"}));
}

TEST_F(QueryClientTest, UnknownTypeGivesOneFailureAnswer) {
  ASSERT_TRUE(m_client->LoginByPassword("demo", "demo123", Address(*m_sim)));
  for (int type : {-999, 0, 1, 2, 3, 1031, 12345}) {
    SCOPED_TRACE(type);
    const QueryResult r = Query(m_client.get(), type, nullptr, nullptr);
    EXPECT_FALSE(r.ok);
    ASSERT_EQ(r.answers.size(), 1u);
    EXPECT_FALSE(r.answers[0].issuccess());
    EXPECT_EQ(r.answers[0].errorcontext().errorcode(), sim::kQueryErrUnknownType);
    EXPECT_EQ(r.answers[0].errorcontext().message(),
              "unknown query data type " + std::to_string(type));
  }
  // The connection stays usable after a failure answer.
  std::list<std::string> ids{"000002.SZ"};
  EXPECT_EQ(Query(m_client.get(), sim::kQueryBasicInfo, nullptr, &ids).answers.size(), 1u);
}

TEST_F(QueryClientTest, ReleaseAcceptsNullAndManyAnswers) {
  kq::QueryResponseList* none = nullptr;
  m_client->ReleaseQueryResponses(none);
  EXPECT_EQ(none, nullptr);
  ASSERT_TRUE(m_client->LoginByPassword("demo", "demo123", Address(*m_sim)));
  // Many rounds of full answers: the ASan build reports anything not freed.
  for (int i = 0; i < 20; ++i) {
    kq::QueryResponseList* responses = nullptr;
    ASSERT_TRUE(m_client->RequestQuery(responses, sim::kQueryBasicInfo, nullptr, nullptr, nullptr, "101"));
    ASSERT_NE(responses, nullptr);
    EXPECT_FALSE(responses->empty());
    m_client->ReleaseQueryResponses(responses);
    EXPECT_EQ(responses, nullptr);
  }
}

// A port on which nothing listens: bound, never listened to, then closed.
uint16_t ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  socklen_t len = sizeof(a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

TEST(QueryClientDown, ClosedPortFailsLoginAndQuery) {
  std::unique_ptr<kq::QueryClientInterface> client(kq::QueryClientFactory::Instance()->CreateClient(false, ""));
  EXPECT_FALSE(client->LoginByPassword("demo", "demo123", "127.0.0.1:" + std::to_string(ClosedPort())));
  const QueryResult r = Query(client.get(), sim::kQueryBasicInfo, nullptr, nullptr);
  EXPECT_FALSE(r.ok);
  ASSERT_EQ(r.answers.size(), 1u);
  EXPECT_EQ(r.answers[0].errorcontext().errorcode(), kq::kQueryNotLoggedIn);
}

TEST_F(QueryClientTest, SilentServiceFailsLoginWithinBound) {
  sim::Faults f;
  f.no_query_response = true;
  m_sim->SetFaults(f);
  EXPECT_FALSE(m_client->LoginByPassword("demo", "demo123", Address(*m_sim)));
}

TEST_F(QueryClientTest, ServiceFallingSilentAfterLoginGivesFailureAnswer) {
  ASSERT_TRUE(m_client->LoginByPassword("demo", "demo123", Address(*m_sim)));
  sim::Faults f;
  f.no_query_response = true;
  m_sim->SetFaults(f);
  const QueryResult r = Query(m_client.get(), sim::kQueryBasicInfo, nullptr, nullptr);
  EXPECT_FALSE(r.ok);
  ASSERT_EQ(r.answers.size(), 1u);
  EXPECT_EQ(r.answers[0].errorcontext().errorcode(), kq::kQueryConnectionLost);
  // The client dropped the connection; a new login on a healthy service works.
  m_sim->SetFaults(sim::Faults{});
  EXPECT_TRUE(m_client->LoginByPassword("demo", "demo123", Address(*m_sim)));
  std::list<std::string> ids{"600036.SH"};
  EXPECT_EQ(Ids(Query(m_client.get(), sim::kQueryBasicInfo, nullptr, &ids)),
            std::set<std::string>{"600036.SH"});
}

// Every call ends by its deadline, however the service stalls it: a TLS
// handshake or an answer that arrives one byte a second (each byte within any
// per-receive bound), or an endless run of frames of a type no request asked
// for. A call that overran the bound stops the simulator, which ends it.
struct StallCase {
  const char* name;
  bool tls;
  bool during_login;  // the fault is on before the login; else after it, for a query
  int trickle_ms;
  bool flood;
};
void PrintTo(const StallCase& c, std::ostream* os) { *os << c.name; }

class QueryStallTest : public ::testing::TestWithParam<StallCase> {};

TEST_P(QueryStallTest, CallEndsByItsDeadline) {
  const StallCase& c = GetParam();
  qel_test::TestPki pki;
  auto s = StartSim(c.tls, &pki);
  std::unique_ptr<kq::QueryClientInterface> client(
      kq::QueryClientFactory::Instance()->CreateClient(c.tls, c.tls ? pki.CaFile() : ""));
  ASSERT_NE(client, nullptr);
  sim::Faults f;
  f.trickle_query_ms = c.trickle_ms;
  f.flood_query_other_frames = c.flood;
  if (!c.during_login) {
    ASSERT_TRUE(client->LoginByPassword("demo", "demo123", Address(*s)));
  }
  s->SetFaults(f);
  const auto start = std::chrono::steady_clock::now();
  auto call = std::async(std::launch::async, [&] {
    if (c.during_login) return client->LoginByPassword("demo", "demo123", Address(*s)) ? 0 : -1;
    const QueryResult r = Query(client.get(), sim::kQueryBasicInfo, nullptr, nullptr);
    EXPECT_EQ(r.answers.size(), 1u);
    return r.ok || r.answers.empty() ? 0 : r.answers[0].errorcontext().errorcode();
  });
  constexpr std::chrono::seconds kBound(30);  // the deadline is 10 s
  if (call.wait_for(kBound) != std::future_status::ready) {
    ADD_FAILURE() << "the call was still running after " << kBound.count() << " s";
    s->Stop();
  }
  EXPECT_EQ(call.get(), c.during_login ? -1 : kq::kQueryConnectionLost);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kBound);
}

INSTANTIATE_TEST_SUITE_P(
    Stalls, QueryStallTest,
    ::testing::Values(StallCase{"TlsHandshakeTrickled", true, true, 1000, false},
                      StallCase{"QueryAnswerTrickled", false, false, 1000, false},
                      StallCase{"OtherFramesInsteadOfTheLoginAnswer", false, true, 0, true},
                      StallCase{"OtherFramesInsteadOfTheQueryAnswer", true, false, 0, true}),
    [](const ::testing::TestParamInfo<StallCase>& i) { return i.param.name; });

// Reading an answer from a byte source: the buffers grow with the bytes that
// arrive, not with the lengths a header announces.
class AnswerSource {
 public:
  explicit AnswerSource(std::string bytes) : m_bytes(std::move(bytes)) {}
  kq::ReadExactly Reader() {
    return [this](char* p, size_t n) {
      if (m_bytes.size() - m_pos < n) return false;
      std::memcpy(p, m_bytes.data() + m_pos, n);
      m_pos += n;
      return true;
    };
  }

 private:
  std::string m_bytes;
  size_t m_pos = 0;
};

// A frame header: version 1, protocol 1, no flags, then the two lengths.
std::string FrameHeader(int32_t meta_len, int32_t payload_len) {
  std::string h{1, 1, 0, 0};
  h.append(reinterpret_cast<const char*>(&meta_len), 4);
  h.append(reinterpret_cast<const char*>(&payload_len), 4);
  return h;
}

std::string AnswerFrame(const google::protobuf::MessageLite& body) {
  com::quor::kbr::ventrix::model::QueryFrameMeta meta;
  meta.set_sysmessagetype(16);
  meta.set_qelsysmessagenum(1);
  const std::string meta_bytes = meta.SerializeAsString();
  const std::string body_bytes = body.SerializeAsString();
  const int32_t body_len = static_cast<int32_t>(body_bytes.size());
  std::string frame = FrameHeader(static_cast<int32_t>(meta_bytes.size()), body_len + 4) + meta_bytes;
  frame.append(reinterpret_cast<const char*>(&body_len), 4);
  return frame + body_bytes;
}

TEST(QueryAnswerReader, HeaderAnnouncingTheLargestSectionsHoldsOnlyWhatArrived) {
  // Both sections at their bound (16 MiB each), 100 bytes of them sent.
  AnswerSource source(FrameHeader(kq::kMaxAnswerSectionLen, kq::kMaxAnswerSectionLen) + std::string(100, 'x'));
  com::quor::kbr::ventrix::model::QueryResponse answer;
  size_t peak = 0;
  EXPECT_EQ(kq::ReadAnswer(source.Reader(), 16, &answer, &peak), kq::AnswerStatus::kLost);
  EXPECT_LT(peak, size_t{1} << 20) << "buffers of " << peak << " bytes for 100 bytes received";
}

TEST(QueryAnswerReader, AnswerOfManyChunksParsesWithBuffersNearItsSize) {
  com::quor::kbr::ventrix::model::QueryResponse sent;
  sent.set_issuccess(true);
  for (int i = 0; i < 3000; ++i) {
    auto* r = sent.add_responses();
    r->set_issuccess(true);
    r->mutable_resultdata()->set_securityid("SEC" + std::to_string(i));
    (*r->mutable_resultdata()->mutable_fields())["Symbol"] = std::string(100, static_cast<char>('a' + i % 26));
  }
  const std::string frame = AnswerFrame(sent);
  ASSERT_GT(frame.size(), size_t{300000}) << "spans many reads";
  AnswerSource source(frame);
  com::quor::kbr::ventrix::model::QueryResponse got;
  size_t peak = 0;
  ASSERT_EQ(kq::ReadAnswer(source.Reader(), 16, &got, &peak), kq::AnswerStatus::kOk);
  EXPECT_EQ(got.SerializeAsString(), sent.SerializeAsString());
  EXPECT_GE(peak, frame.size() - 12);
  EXPECT_LE(peak, 3 * frame.size());
}

// TLS: the service's certificate must chain to the given CA and name the
// address dialled.
struct TlsCase {
  const char* name;
  std::string (qel_test::TestPki::*cert)() const;
  std::string (qel_test::TestPki::*key)() const;
  bool expect_ok;
};

class QueryTlsTest : public ::testing::TestWithParam<TlsCase> {};

TEST_P(QueryTlsTest, LoginSucceedsOnlyWithAVerifiedService) {
  const TlsCase& c = GetParam();
  qel_test::TestPki pki;
  sim::Scenario sc;
  sc.query_enabled = true;
  sc.query_tls = true;
  sc.tls_cert_file = (pki.*c.cert)();
  sc.tls_key_file = (pki.*c.key)();
  sc.log = [](const std::string&) {};
  sim::FeedSimulator s(sc);
  ASSERT_TRUE(s.Start()) << s.LastError();
  std::unique_ptr<kq::QueryClientInterface> client(
      kq::QueryClientFactory::Instance()->CreateClient(true, pki.CaFile()));
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->LoginByPassword("demo", "demo123", Address(s)), c.expect_ok);
  std::list<std::string> ids{"IF2506.CF"};
  const QueryResult r = Query(client.get(), sim::kQueryBasicInfo, nullptr, &ids);
  EXPECT_EQ(r.ok, c.expect_ok);
  if (c.expect_ok) {
    EXPECT_EQ(Ids(r), std::set<std::string>{"IF2506.CF"});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QueryTlsTest,
    ::testing::Values(
        TlsCase{"FromTheCaForThisAddress", &qel_test::TestPki::ServerCert, &qel_test::TestPki::ServerKey, true},
        TlsCase{"FromTheCaForAnotherAddress", &qel_test::TestPki::OtherIpCert, &qel_test::TestPki::OtherIpKey, false},
        TlsCase{"SelfSignedRogue", &qel_test::TestPki::RogueCert, &qel_test::TestPki::RogueKey, false}),
    [](const ::testing::TestParamInfo<TlsCase>& i) { return i.param.name; });

TEST(QueryTlsFactory, UnreadableCaFileGivesNoClient) {
  EXPECT_EQ(kq::QueryClientFactory::Instance()->CreateClient(true, "/nonexistent/ca.pem"), nullptr);
}

TEST(QueryTlsPlainMismatch, PlainClientAgainstTlsServiceFails) {
  qel_test::TestPki pki;
  auto s = StartSim(true, &pki);
  std::unique_ptr<kq::QueryClientInterface> client(kq::QueryClientFactory::Instance()->CreateClient(false, ""));
  EXPECT_FALSE(client->LoginByPassword("demo", "demo123", Address(*s)));
}

}  // namespace
