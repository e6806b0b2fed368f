// The simulator's financial-information query service: one listener on the
// bind address, one thread per connection, answering LOGIN_REQUEST and
// QUERY_REQUEST frames from a reference-data file (see README.md, "Query
// service"). Started and stopped by FeedSimulator; Start/Stop from one control
// thread, Port and the counters from any thread. Owns its listener, its
// connection threads and their sockets and TLS sessions.
#ifndef QEL_TOOLS_FEED_SIM_QUERY_SERVICE_H
#define QEL_TOOLS_FEED_SIM_QUERY_SERVICE_H

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qel {
namespace sim {

// One security of the reference data.
struct ReferenceSecurity {
  std::string security_id;
  int security_type = 0;    // ESecurityType number
  int id_source = 0;        // ESecurityIDSource number
  std::map<std::string, std::string> basic;   // every field of the file, as text
  std::map<std::string, std::string> status;  // the status query's fields
};

// Query types the service answers (DynamicPacket.dataType), the numbers a
// script writes as "DataType". The latest-information query answers like the
// basic one (the reference data has one version); the ETF query answers the
// funds only.
constexpr int kQueryBasicInfo = 1011;
constexpr int kQueryLatestBasicInfo = 1012;
constexpr int kQueryEtfBasicInfo = 1013;
constexpr int kQueryStatus = 1021;
constexpr int kFundSecurityType = 3;  // ESecurityType FundType
// Error codes of failure answers.
constexpr int kQueryErrUnknownType = 1001;
constexpr int kQueryErrLoginRefused = 1002;
constexpr int kQueryErrNotLoggedIn = 1003;

bool LoadReferenceData(const std::string& path, std::vector<ReferenceSecurity>* out,
                       std::string* error);

class QueryService {
 public:
  struct Hooks {
    std::function<bool(const std::string&, const std::string&)> check_password;
    std::function<bool()> refuse_login;  // fault: every login refused
    std::function<bool()> silent;        // fault: requests read, never answered
    std::function<int()> trickle_ms;     // fault: every byte sent alone, one per this many ms
    std::function<bool()> flood_other_frames;  // fault: requests answered by endless frames of another type
    std::function<void(const std::string&)> log;
  };

  QueryService(std::vector<ReferenceSecurity> data, Hooks hooks);
  ~QueryService();  // Stop()
  QueryService(const QueryService&) = delete;
  QueryService& operator=(const QueryService&) = delete;

  // Listens on ip:port (0 = ephemeral); ssl_ctx non-null = TLS (not owned,
  // must outlive the service). 0 on failure with a reason in *error.
  uint16_t Start(const std::string& ip, uint16_t port, SSL_CTX* ssl_ctx, std::string* error);
  void Stop();
  uint16_t Port() const { return m_port.load(); }
  int64_t LoginsOk() const { return m_logins_ok.load(); }
  int64_t Requests() const { return m_requests.load(); }

  // The answers to one query (pure; exposed for tests and documentation).
  void Answer(int data_type, bool has_sources, const std::vector<std::pair<int, int>>& sources,
              bool has_ids, const std::vector<std::string>& ids, bool* ok, int* code,
              std::string* message, std::vector<const ReferenceSecurity*>* rows) const;

 private:
  void AcceptLoop();
  void Serve(int fd);
  // Sends n bytes on fd, trickled when the fault says so; false when the
  // peer is gone or the service stops.
  bool SendRaw(int fd, const char* p, size_t n) const;

  const std::vector<ReferenceSecurity> m_data;
  const Hooks m_hooks;
  SSL_CTX* m_ssl_ctx = nullptr;
  int m_listen_fd = -1;
  std::atomic<bool> m_stopping{false};
  std::atomic<uint16_t> m_port{0};
  std::atomic<int64_t> m_logins_ok{0};
  std::atomic<int64_t> m_requests{0};
  std::thread m_acceptor;
  // One per accepted connection; `done` is set by the thread as it ends, so
  // the acceptor joins finished ones instead of letting them pile up.
  struct ConnThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::mutex m_conn_threads_mu;  // guards m_conn_threads
  std::vector<ConnThread> m_conn_threads;
};

}  // namespace sim
}  // namespace qel

#endif  // QEL_TOOLS_FEED_SIM_QUERY_SERVICE_H
