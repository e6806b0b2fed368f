// The example program, run as an application would run it: a child process
// that logs in to the feed simulator (plain and TLS), prints records and
// exits 0; and one that gets a wrong password and says so with a non-zero
// exit.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "feed_sim.h"
#include "support/child_process.h"
#include "support/test_pki.h"

namespace sim = qel::sim;

namespace {

// Runs the example with args; killed after timeout. Its records and its
// messages are read from both outputs together.
struct RunResult {
  int exit_code = -1;  // -1: killed or did not end in time
  std::string out;     // standard output and standard error together
};

RunResult RunExample(const std::vector<std::string>& args, std::chrono::seconds timeout) {
  const qel_test::ChildResult child = qel_test::RunChild(SUBSCRIBE_EXAMPLE_PATH, args, timeout);
  return RunResult{child.timed_out ? -1 : child.exit_code, child.out + child.err};
}

int CountLines(const std::string& text, const std::string& prefix) {
  int n = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    n += text.compare(pos, prefix.size(), prefix) == 0 ? 1 : 0;
    pos = end + 1;
  }
  return n;
}

class SubscribeExampleTest : public testing::TestWithParam<bool> {
 protected:
  void StartSim(bool tls) {
    sim::Scenario s;
    s.users = {{"demo", "demo123"}};
    s.nodes = {{1, 20, tls, 0}};
    sim::StreamSpec st;
    st.site_type = 1;
    st.data_type = 3;
    st.record_kind = sim::kQELStock;
    st.channels = {101};
    st.rate_per_sec = 200;
    st.batch = 5;
    s.streams = {st};
    s.discovery_tls = tls;
    if (tls) {
      m_pki = std::make_unique<qel_test::TestPki>();
      s.tls_cert_file = m_pki->ServerCert();
      s.tls_key_file = m_pki->ServerKey();
    }
    s.log = [](const std::string&) {};
    m_sim = std::make_unique<sim::FeedSimulator>(std::move(s));
    ASSERT_TRUE(m_sim->Start()) << m_sim->LastError();
  }
  std::vector<std::string> Args(const std::string& password) const {
    std::vector<std::string> args{"127.0.0.1", std::to_string(m_sim->DiscoveryPort()), "demo", password,
                                  "--count", "5"};
    if (m_pki) {
      args.insert(args.end(), {"--tls", "--ca", m_pki->CaFile()});
    }
    return args;
  }

  std::unique_ptr<qel_test::TestPki> m_pki;
  std::unique_ptr<sim::FeedSimulator> m_sim;
};

TEST_P(SubscribeExampleTest, PrintsTheRequestedRecordsAndExitsZero) {
  StartSim(GetParam());
  const RunResult r = RunExample(Args("demo123"), std::chrono::seconds(120));
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(CountLines(r.out, "record "), 5) << r.out;
  EXPECT_NE(r.out.find("QELStock"), std::string::npos) << r.out;
  EXPECT_GE(m_sim->Stats().datafeed_logins_ok, 1);
}

TEST_P(SubscribeExampleTest, WrongPasswordEndsWithAFailedLogin) {
  StartSim(GetParam());
  const RunResult r = RunExample(Args("wrong"), std::chrono::seconds(120));
  EXPECT_EQ(r.exit_code, 2) << r.out;
  EXPECT_NE(r.out.find("login failed"), std::string::npos) << r.out;
  EXPECT_EQ(CountLines(r.out, "record "), 0);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, SubscribeExampleTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Tls" : "Plain"; });

TEST(SubscribeExampleArgs, MissingArgumentsPrintUsage) {
  const RunResult r = RunExample({"127.0.0.1", "9100"}, std::chrono::seconds(30));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("usage:"), std::string::npos) << r.out;
}

}  // namespace
