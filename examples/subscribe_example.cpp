// A minimal market-data consumer: log in, subscribe to some data types, print
// the first records, shut down.
//
//   subscribe_example HOST PORT USER PASSWORD [--tls --ca FILE] [--count N]
//                     [--types T1,T2,...]
//
// Exit status: 0 once N records were printed, 1 on bad arguments, 2 when the
// login or the subscription fails, 3 when no records came within a minute.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "client_config.h"
#include "client_factory.h"
#include "message_handle.h"

using com::quor::kbr::client::ClientConfig;
using com::quor::kbr::client::ClientFactory;
using com::quor::kbr::client::ClientInterface;
using com::quor::kbr::client::MessageHandle;
using com::quor::qel::model::MarketData;
using com::quor::qel::model::SubscribeByDataType;
using com::quor::qel::model::SubscribeResponse;

// Receives every callback of the library. OnMarketData runs on the library's
// worker threads, several at once, so everything shared here is locked or
// atomic.
class PrintingHandle : public MessageHandle {
 public:
  explicit PrintingHandle(int wanted) : m_wanted(wanted) {}

  void OnLoginDataServiceSuccess() override { std::printf("logged in\n"); }
  void OnSubscribeResponse(const SubscribeResponse& response) override {
    std::printf("subscribed, %d data types permitted\n", response.permitteddatatypes_size());
  }
  void OnDisconnected(int site_type, const std::string& host) override {
    std::printf("disconnected from %s (site type %d), the library reconnects\n", host.c_str(), site_type);
  }

  // The record is only lent for the call: copy what you keep.
  void OnMarketData(const MarketData& record) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_printed >= m_wanted) return;
    ++m_printed;
    // ShortDebugString prints the whole record on one line; a real
    // application reads the fields it needs, e.g. record.qelstock().
    std::printf("record %d channel %lld: %s\n", m_printed, static_cast<long long>(record.qelmessagechannel()),
                record.ShortDebugString().c_str());
    std::fflush(stdout);
    if (m_printed == m_wanted) m_done.notify_all();
  }

  // Waits until enough records were printed, at most timeout.
  bool WaitForRecords(std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_done.wait_for(lock, timeout, [this] { return m_printed >= m_wanted; });
  }

 private:
  const int m_wanted;
  std::mutex m_mutex;  // guards m_printed and serialises printing
  std::condition_variable m_done;
  int m_printed = 0;
};

struct Options {
  std::string host;
  int port = 0;
  std::string user;
  std::string password;
  bool tls = false;
  std::string ca_file;
  int count = 10;
  std::vector<int> types{3};  // stock snapshots
};

bool ParseArgs(int argc, char** argv, Options* opt) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--tls") {
      opt->tls = true;
    } else if (arg == "--ca" && has_value) {
      opt->ca_file = argv[++i];
    } else if (arg == "--count" && has_value) {
      opt->count = std::atoi(argv[++i]);
    } else if (arg == "--types" && has_value) {
      opt->types.clear();
      std::stringstream list(argv[++i]);
      for (std::string item; std::getline(list, item, ',');) opt->types.push_back(std::atoi(item.c_str()));
    } else if (arg.compare(0, 2, "--") == 0) {
      return false;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 4) return false;
  opt->host = positional[0];
  opt->port = std::atoi(positional[1].c_str());
  opt->user = positional[2];
  opt->password = positional[3];
  return opt->port > 0 && opt->port < 65536 && opt->count > 0 && !opt->types.empty() &&
         (!opt->tls || !opt->ca_file.empty());
}

int main(int argc, char** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, &opt)) {
    std::fprintf(stderr,
                 "usage: %s HOST PORT USER PASSWORD [--tls --ca FILE] [--count N] [--types T1,T2,...]\n", argv[0]);
    return 1;
  }

  // 1. Configuration, before the client is created.
  ClientConfig::SetUseSSL(opt.tls);
  if (opt.tls) ClientConfig::SetSSLCertfolder(opt.ca_file.c_str());  // the CA that signed the servers
  ClientConfig::CloseFileLog();

  // 2. The handle must outlive the client, i.e. live until Uninstance returns.
  PrintingHandle handle(opt.count);
  ClientInterface* client = ClientFactory::Instance()->CreateClient(&handle);
  if (client == nullptr) {
    std::fprintf(stderr, "cannot create the client (TLS set-up failed?)\n");
    ClientFactory::Uninstance();
    return 2;
  }

  // 3. Log in through the discovery service; the library then connects to
  //    every datafeed node it names and keeps the connections alive.
  int ret = client->LoginByServiceDiscovery(opt.user, opt.password, opt.host, opt.port, {});
  if (ret != 0) {
    std::fprintf(stderr, "login failed: %d\n", ret);
    ClientFactory::Uninstance();
    return 2;
  }

  // 4. Subscribe by data type; COVERAGE replaces what was subscribed before.
  SubscribeByDataType by_type;
  for (int type : opt.types) by_type.add_qeldatatypes(type);
  ret = client->SubscribeByDatatype(com::quor::qel::model::COVERAGE, by_type);
  if (ret != 0) {
    std::fprintf(stderr, "subscription failed: %d\n", ret);
    ClientFactory::Uninstance();
    return 2;
  }

  // 5. Records arrive on the library's threads; this thread just waits.
  const bool enough = handle.WaitForRecords(std::chrono::seconds(60));

  // 6. Stops every library thread and releases the client.
  ClientFactory::Uninstance();
  if (!enough) {
    std::fprintf(stderr, "fewer than %d records within a minute\n", opt.count);
    return 3;
  }
  std::printf("done\n");
  return 0;
}
