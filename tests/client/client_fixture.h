// Pieces shared by the client tests that run the whole TCP client against the
// feed simulator: short configured waits, TLS on both sides, and a client from
// the factory with its test pauses at zero. Called on the test thread only.
#ifndef QEL_TESTS_CLIENT_CLIENT_FIXTURE_H
#define QEL_TESTS_CLIENT_CLIENT_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>

#include "client/ventrix_tcp_client.h"
#include "client_factory.h"
#include "config/base_config.h"
#include "feed_sim.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace qel_test {

// The retry counts and pauses (seconds) of the login, the subscription and
// the daemon; short, so that faults are recovered from within a test.
struct ClientWaits {
  int login_try_count = 2;
  int login_try_interval = 1;
  int subscribe_try_count = 2;
  int subscribe_try_interval = 1;
  int daemon_check_interval = 1;
};

// Loads the waits through a configuration file in dir. A file sets every key
// it does not name to its default, so the TLS switch and the read timeout the
// test set are kept; the file log stays off.
inline void LoadClientWaits(TempDir& dir, const ClientWaits& w) {
  const std::string path = dir.Write(
      "waits.conf", "ventrix_config_login_try_count=" + std::to_string(w.login_try_count) +
                        "\nventrix_config_login_try_interval=" + std::to_string(w.login_try_interval) +
                        "\nventrix_config_subscribe_try_count=" + std::to_string(w.subscribe_try_count) +
                        "\nventrix_config_subscribe_try_interval=" + std::to_string(w.subscribe_try_interval) +
                        "\nventrix_config_daemon_check_interval=" + std::to_string(w.daemon_check_interval) +
                        "\nventrix_config_file_log=false\n");
  com::quor::kbr::client::BaseConfig& config = com::quor::kbr::client::BaseConfig::GetInstance();
  const bool tls = config.IsUseSSL();
  const uint32_t read_timeout = config.GetReadTimeout();
  testing::internal::CaptureStdout();  // the file reader reports on standard output
  ASSERT_TRUE(config.SetConfigFilePath(path.c_str()));
  testing::internal::GetCapturedStdout();
  config.SetUseSSL(tls);
  config.SetReadTimeout(read_timeout);
  config.CloseFileLog();
}

// Plain transport, a 10-second read timeout, no file log, the waits above.
inline void ResetClientConfig(TempDir& dir) {
  com::quor::kbr::client::BaseConfig& config = com::quor::kbr::client::BaseConfig::GetInstance();
  config.CloseFileLog();
  config.SetUseSSL(false);
  config.SetReadTimeout(10);
  LoadClientWaits(dir, ClientWaits{});
}

// TLS on every server of the scenario and in the client: a fresh test PKI
// (kept in pki for the test's life) signs the servers' certificate.
inline void UseTls(qel::sim::Scenario& s, std::unique_ptr<TestPki>& pki) {
  pki = std::make_unique<TestPki>();
  s.discovery_tls = true;
  for (auto& node : s.nodes) node.tls = true;
  s.tls_cert_file = pki->ServerCert();
  s.tls_key_file = pki->ServerKey();
  com::quor::kbr::client::BaseConfig::GetInstance().SetUseSSL(true);
  com::quor::kbr::client::BaseConfig::GetInstance().SetSSLCertfolder(pki->CaFile());
}

// A started simulator for s; nullptr (and a test failure naming the reason)
// when it cannot start.
inline std::unique_ptr<qel::sim::FeedSimulator> StartSimulator(qel::sim::Scenario s) {
  auto sim = std::make_unique<qel::sim::FeedSimulator>(std::move(s));
  if (sim->Start()) return sim;
  ADD_FAILURE() << "the simulator did not start: " << sim->LastError();
  return nullptr;
}

// The factory's client for handle, with no pause between login stages and
// none between discovery hosts; nullptr (and a test failure) if none.
inline com::quor::kbr::client::VentrixTcpClient* CreateTestClient(com::quor::kbr::client::MessageHandle* handle) {
  com::quor::kbr::client::ClientInterface* created =
      com::quor::kbr::client::ClientFactory::Instance()->CreateClient(handle);
  auto* client = dynamic_cast<com::quor::kbr::client::VentrixTcpClient*>(created);
  EXPECT_NE(client, nullptr);
  if (client == nullptr) return nullptr;
  client->SetLoginPauseForTest(std::chrono::milliseconds(0));
  client->GetDiscoveryClient()->SetHostRetryPauseForTest(0);
  return client;
}

}  // namespace qel_test

#endif  // QEL_TESTS_CLIENT_CLIENT_FIXTURE_H
