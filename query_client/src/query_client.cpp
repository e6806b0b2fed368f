// Query client over the system's frame format. See include/kbr_query/query_client.h
// and docs/wire-format.md ("Query connections").
#include "kbr_query/query_client.h"

#include "kbr_query/answer_reader.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "common/sigpipe_guard.h"
#include "protocol/ventrix_message_header.h"

namespace com {
namespace quor {
namespace kbr {
namespace query {
namespace {

using client::MessageHeader;
using ::qel::SigpipeGuard;
using ventrix::model::QueryFrameMeta;

// Bounds on waiting: a service that is down, silent or slow yields a failure.
// The connect has its own bound within the call's.
constexpr int kConnectTimeoutMs = 3000;
// Each call (a login: connect, TLS handshake and answer; a query: request and
// answer) ends within this, however the service dribbles its bytes.
constexpr int kCallTimeoutMs = 10000;
// Answer sections are read in pieces of at most this size, each buffer grown
// as its bytes arrive rather than to the length a header announces.
constexpr size_t kAnswerReadChunk = 64 * 1024;
constexpr int kLoginRequest = 11;
constexpr int kLoginResponse = 12;
constexpr int kQueryRequest = 15;
constexpr int kQueryResponse = 16;

struct SslCtxDeleter { void operator()(SSL_CTX* c) const { SSL_CTX_free(c); } };
struct SslDeleter { void operator()(SSL* s) const { SSL_free(s); } };
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxDeleter>;
using SslPtr = std::unique_ptr<SSL, SslDeleter>;

// A socket descriptor closed on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : m_fd(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }
  int Release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd = -1;
};


VentrixQueryResponse* Failure(int code, const std::string& message) {
  auto* r = new VentrixQueryResponse();
  r->set_issuccess(false);
  r->mutable_errorcontext()->set_errorcode(code);
  r->mutable_errorcontext()->set_message(message);
  return r;
}

bool SplitAddress(const std::string& address, std::string* host, std::string* port) {
  const auto colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= address.size()) return false;
  *host = address.substr(0, colon);
  *port = address.substr(colon + 1);
  return true;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline for poll: 0 once it has passed.
int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until fd is ready for events or deadline passes; false on the latter
// or on a socket error.
bool WaitReady(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const int left = RemainingMs(deadline);
    if (left == 0) return false;
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, left);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return false;
    // Readable on error or hang-up too: the following read reports it.
    return (p.revents & (events | POLLERR | POLLHUP)) != 0;
  }
}

// Connects within kConnectTimeoutMs and the call's deadline; returns a
// non-blocking socket, or -1.
int ConnectBounded(const std::string& host, const std::string& port, Clock::time_point call_deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0) return -1;
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(res, &::freeaddrinfo);
  const Clock::time_point deadline =
      std::min(call_deadline, Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs));
  for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
    Fd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol));
    if (fd.get() < 0) continue;
    int rc = ::connect(fd.get(), ai->ai_addr, ai->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      if (!WaitReady(fd.get(), POLLOUT, deadline)) continue;
      int err = 0;
      socklen_t len = sizeof(err);
      if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) continue;
    } else if (rc != 0) {
      continue;
    }
    int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd.Release();
  }
  return -1;
}

// The query client: called by one thread at a time; owns its socket, its TLS
// session and its TLS context.
class QueryClient final : public QueryClientInterface {
 public:
  QueryClient(bool use_tls, SslCtxPtr ctx) : m_useTls(use_tls), m_ctx(std::move(ctx)) {}
  ~QueryClient() override { Disconnect(); }

  bool LoginByPassword(std::string user, std::string password, std::string address) override {
    Disconnect();
    m_deadline = Clock::now() + std::chrono::milliseconds(kCallTimeoutMs);
    std::string host;
    std::string port;
    if (!SplitAddress(address, &host, &port)) return false;
    const int fd = ConnectBounded(host, port, m_deadline);
    if (fd < 0) return false;
    m_fd.Reset(fd);
    if (m_useTls && !Handshake(host)) {
      Disconnect();
      return false;
    }
    ventrix::model::QueryLoginRequest req;
    req.set_username(user);
    req.set_password(password);
    ventrix::model::QueryLoginResponse resp;
    if (!Exchange(kLoginRequest, req, kLoginResponse, &resp) || !resp.issuccess()) {
      Disconnect();
      return false;
    }
    m_loggedIn = true;
    return true;
  }

  bool RequestQuery(QueryResponseList*& responses, int data_type,
                    std::map<std::string, std::string>* params,
                    std::list<SecuritySourceType>* source_types,
                    std::list<std::string>* security_ids, std::string version) override {
    responses = new QueryResponseList();
    if (!m_loggedIn) {
      responses->push_back(Failure(kQueryNotLoggedIn, "query client is not logged in"));
      return false;
    }
    ventrix::model::QueryRequest req;
    req.set_datatype(data_type);
    if (params != nullptr) req.mutable_params()->insert(params->begin(), params->end());
    if (source_types != nullptr) {
      req.set_hassecuritysourcetypes(true);
      for (const auto& st : *source_types) *req.add_securitysourcetypes() = st;
    }
    if (security_ids != nullptr) {
      req.set_hassecurityids(true);
      for (const auto& id : *security_ids) req.add_securityids(id);
    }
    req.set_version(version);
    m_deadline = Clock::now() + std::chrono::milliseconds(kCallTimeoutMs);
    ventrix::model::QueryResponse resp;
    if (!Exchange(kQueryRequest, req, kQueryResponse, &resp)) {
      // The stream is out of step after a lost or garbled answer: start over.
      Disconnect();
      responses->push_back(Failure(m_lastError, m_lastError == kQueryBadAnswer
                                                    ? "query answer could not be parsed"
                                                    : "query service did not answer"));
      return false;
    }
    return TakeAnswers(resp, responses);
  }

  void ReleaseQueryResponses(QueryResponseList*& responses) override {
    if (responses == nullptr) return;
    for (auto* r : *responses) delete r;
    delete responses;
    responses = nullptr;
  }

 private:
  bool Handshake(const std::string& host) {
    m_ssl.reset(SSL_new(m_ctx.get()));
    if (!m_ssl) return false;
    // The certificate must name the host we dialled: an IP entry for an
    // address, a DNS name otherwise.
    X509_VERIFY_PARAM* param = SSL_get0_param(m_ssl.get());
    in6_addr a6{};
    in_addr a4{};
    if (::inet_pton(AF_INET, host.c_str(), &a4) == 1 || ::inet_pton(AF_INET6, host.c_str(), &a6) == 1) {
      if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1) return false;
    } else {
      if (X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0) != 1) return false;
      SSL_set_tlsext_host_name(m_ssl.get(), host.c_str());
    }
    SSL_set_fd(m_ssl.get(), m_fd.get());
    for (;;) {
      const int rc = SSL_connect(m_ssl.get());
      if (rc == 1) return true;
      const int err = SSL_get_error(m_ssl.get(), rc);
      ERR_clear_error();
      if (!WaitForTls(err)) return false;
    }
  }

  // After a TLS call that could not complete: waits for what it wants
  // within the call's deadline; false for any other outcome.
  bool WaitForTls(int ssl_error) {
    if (ssl_error == SSL_ERROR_WANT_READ) return WaitReady(m_fd.get(), POLLIN, m_deadline);
    if (ssl_error == SSL_ERROR_WANT_WRITE) return WaitReady(m_fd.get(), POLLOUT, m_deadline);
    return false;
  }

  void Disconnect() {
    if (m_ssl) {
      SigpipeGuard no_sigpipe;
      SSL_shutdown(m_ssl.get());
      m_ssl.reset();
      ERR_clear_error();
    }
    m_fd.Reset();
    m_loggedIn = false;
  }

  bool WriteAll(const char* p, size_t n) {
    SigpipeGuard no_sigpipe;
    while (n > 0) {
      ssize_t w;
      if (m_ssl) {
        w = SSL_write(m_ssl.get(), p, static_cast<int>(n));
        if (w <= 0) {
          const int err = SSL_get_error(m_ssl.get(), static_cast<int>(w));
          ERR_clear_error();
          if (WaitForTls(err)) continue;  // the same bytes again, as TLS requires
          return false;
        }
      } else {
        w = ::send(m_fd.get(), p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
          if (WaitReady(m_fd.get(), POLLOUT, m_deadline)) continue;
          return false;
        }
        if (w <= 0) return false;
      }
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }

  bool ReadAll(char* p, size_t n) {
    while (n > 0) {
      // Bytes that keep coming do not extend the call past its deadline.
      if (RemainingMs(m_deadline) == 0) return false;
      ssize_t r;
      if (m_ssl) {
        r = SSL_read(m_ssl.get(), p, static_cast<int>(n));
        if (r <= 0) {
          const int err = SSL_get_error(m_ssl.get(), static_cast<int>(r));
          ERR_clear_error();
          if (WaitForTls(err)) continue;
          return false;
        }
      } else {
        r = ::recv(m_fd.get(), p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
          if (WaitReady(m_fd.get(), POLLIN, m_deadline)) continue;
          return false;
        }
        if (r <= 0) return false;
      }
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }

  // Sends one request frame and reads frames until one of answer_type
  // arrives (others are skipped), all within the call's deadline.
  bool Exchange(int request_type, const google::protobuf::MessageLite& body, int answer_type,
                google::protobuf::MessageLite* answer) {
    m_lastError = kQueryConnectionLost;
    if (m_fd.get() < 0) return false;
    QueryFrameMeta meta;
    meta.set_sysmessagetype(request_type);
    meta.set_qelsysmessagenum(1);
    meta.set_traceid(std::to_string(++m_traceSeq));
    meta.set_sendtime(std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::system_clock::now().time_since_epoch()).count());
    const std::string meta_bytes = meta.SerializeAsString();
    const std::string body_bytes = body.SerializeAsString();
    MessageHeader header;
    header.m_metaLength = static_cast<int32_t>(meta_bytes.size());
    header.m_payloadLength = static_cast<int32_t>(body_bytes.size() + 4);
    std::string frame(12, '\0');
    header.encode(&frame[0]);
    frame += meta_bytes;
    const int32_t prefix = header.m_payloadLength;  // the request prefix counts itself
    char p4[4];
    std::memcpy(p4, &prefix, 4);
    frame.append(p4, 4);
    frame += body_bytes;
    if (!WriteAll(frame.data(), frame.size())) return false;
    const AnswerStatus status =
        ReadAnswer([this](char* p, size_t n) { return ReadAll(p, n); }, answer_type, answer);
    if (status == AnswerStatus::kBad) m_lastError = kQueryBadAnswer;
    return status == AnswerStatus::kOk;
  }

  const bool m_useTls;
  SslCtxPtr m_ctx;  // null without TLS
  Fd m_fd;
  SslPtr m_ssl;
  bool m_loggedIn = false;
  Clock::time_point m_deadline;  // of the call in progress
  int m_lastError = kQueryConnectionLost;
  int64_t m_traceSeq = 0;
};

}  // namespace

namespace {

// Reads n bytes into out, growing it as they arrive; peak follows the
// capacity of out plus other_capacity (the other buffer of the frame).
bool ReadGrowing(const ReadExactly& read, size_t n, std::string* out, size_t other_capacity, size_t* peak) {
  out->clear();
  while (out->size() < n) {
    const size_t have = out->size();
    const size_t piece = std::min(kAnswerReadChunk, n - have);
    out->resize(have + piece);
    if (peak != nullptr) *peak = std::max(*peak, out->capacity() + other_capacity);
    if (!read(&(*out)[have], piece)) return false;
  }
  return true;
}

}  // namespace

AnswerStatus ReadAnswer(const ReadExactly& read, int answer_type, google::protobuf::MessageLite* answer,
                        size_t* peak_buffer_bytes) {
  std::string m;
  std::string payload;
  for (;;) {
    char h[12];
    if (!read(h, sizeof(h))) return AnswerStatus::kLost;
    MessageHeader in;
    in.decode(h);
    if (in.m_metaLength < 0 || in.m_payloadLength < 4 || in.m_metaLength > kMaxAnswerSectionLen ||
        in.m_payloadLength > kMaxAnswerSectionLen) {
      return AnswerStatus::kBad;
    }
    // A header only announces lengths: memory is taken as the bytes come.
    if (!ReadGrowing(read, static_cast<size_t>(in.m_metaLength), &m, payload.capacity(), peak_buffer_bytes) ||
        !ReadGrowing(read, static_cast<size_t>(in.m_payloadLength), &payload, m.capacity(), peak_buffer_bytes)) {
      return AnswerStatus::kLost;
    }
    QueryFrameMeta got;
    if (!got.ParseFromString(m)) return AnswerStatus::kBad;
    if (got.sysmessagetype() != answer_type) continue;
    int32_t len = 0;
    std::memcpy(&len, payload.data(), 4);  // answers: bare body length
    if (len != in.m_payloadLength - 4 || !answer->ParseFromArray(payload.data() + 4, len)) {
      return AnswerStatus::kBad;
    }
    return AnswerStatus::kOk;
  }
}

bool TakeAnswers(ventrix::model::QueryResponse& resp, QueryResponseList* list) {
  for (auto& r : *resp.mutable_responses()) {
    auto* owned = new VentrixQueryResponse();
    owned->Swap(&r);
    list->push_back(owned);
  }
  if (!resp.issuccess() && list->empty()) {
    list->push_back(Failure(resp.errorcontext().errorcode(), resp.errorcontext().message()));
  }
  return resp.issuccess();
}

QueryClientFactory* QueryClientFactory::Instance() {
  static QueryClientFactory factory;
  return &factory;
}

QueryClientInterface* QueryClientFactory::CreateClient(bool use_tls, std::string ca_file) {
  SslCtxPtr ctx;
  if (use_tls) {
    ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!ctx) return nullptr;
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    const int ok = ca_file.empty() ? SSL_CTX_set_default_verify_paths(ctx.get())
                                   : SSL_CTX_load_verify_locations(ctx.get(), ca_file.c_str(), nullptr);
    ERR_clear_error();
    if (ok != 1) return nullptr;
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  }
  return new QueryClient(use_tls, std::move(ctx));
}

}  // namespace query
}  // namespace kbr
}  // namespace quor
}  // namespace com
