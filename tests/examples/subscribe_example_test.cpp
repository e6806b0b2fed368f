// The example program, run as an application would run it: a child process
// that logs in to the feed simulator (plain and TLS), prints records and
// exits 0; and one that gets a wrong password and says so with a non-zero
// exit.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "feed_sim.h"
#include "support/test_pki.h"

namespace sim = qel::sim;

namespace {

struct RunResult {
  int exit_code = -1;  // -1: killed or did not end in time
  std::string out;     // standard output and standard error together
};

// Runs the program with args, collecting its output; kills it after timeout.
RunResult RunExample(const std::vector<std::string>& args, std::chrono::seconds timeout) {
  RunResult result;
  int pipe_fd[2];
  if (pipe2(pipe_fd, O_CLOEXEC) != 0) return result;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_fd[1], STDOUT_FILENO);
    dup2(pipe_fd[1], STDERR_FILENO);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(SUBSCRIBE_EXAMPLE_PATH));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(SUBSCRIBE_EXAMPLE_PATH, argv.data());
    _exit(127);
  }
  close(pipe_fd[1]);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buf[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{pipe_fd[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = read(pipe_fd[0], buf, sizeof(buf));
    if (n <= 0) break;  // the child closed its output: it has ended
    result.out.append(buf, static_cast<size_t>(n));
  }
  close(pipe_fd[0]);
  // Closing its output comes a little before the exit itself: wait for the
  // exit until the same deadline, then kill.
  int status = 0;
  pid_t ended = 0;
  while ((ended = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
    poll(nullptr, 0, 10);
  }
  if (ended != pid) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return result;
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
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
