#include "query_service.h"

#include <arpa/inet.h>
#include <jansson.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "MetaData.pb.h"
#include "common/sigpipe_guard.h"
#include "VentrixQuery.pb.h"
#include "sim_frame.h"

namespace qel {
namespace sim {
namespace {

namespace qm = com::quor::qel::model;
namespace vm = com::quor::kbr::ventrix::model;

constexpr int kLoginRequest = 11;
constexpr int kLoginResponse = 12;
constexpr int kQueryRequest = 15;
constexpr int kQueryResponse = 16;
// How often blocked threads look at the stop flag.
constexpr int kStopPollMs = 100;
// A frame type no request of a query client asks for, and the pause between
// two of them when the service floods a connection with them.
constexpr int kFloodFrameType = 99;
constexpr int kFloodPauseMs = 5;

struct JsonDeleter { void operator()(json_t* j) const { json_decref(j); } };
struct SslDeleter { void operator()(SSL* s) const { SSL_free(s); } };

std::string JsonText(json_t* v) {
  if (json_is_string(v)) return json_string_value(v);
  if (json_is_integer(v)) return std::to_string(json_integer_value(v));
  if (json_is_real(v)) {
    char b[64];
    std::snprintf(b, sizeof(b), "%.10g", json_real_value(v));
    return b;
  }
  if (json_is_boolean(v)) return json_is_true(v) ? "true" : "false";
  return "";
}

// Fields of the status query.
const char* const kStatusFields[] = {"SecurityID", "Symbol", "TradingStatus", "PreClosePx",
                                     "UpLimitPx", "DownLimitPx"};



}  // namespace

bool LoadReferenceData(const std::string& path, std::vector<ReferenceSecurity>* out,
                       std::string* error) {
  json_error_t jerr;
  std::unique_ptr<json_t, JsonDeleter> root(json_load_file(path.c_str(), 0, &jerr));
  if (!root) {
    *error = "reference data " + path + ": " + jerr.text;
    return false;
  }
  json_t* list = json_object_get(root.get(), "securities");
  if (!json_is_array(list)) {
    *error = "reference data " + path + ": \"securities\" must be an array";
    return false;
  }
  out->clear();
  size_t i;
  json_t* s;
  json_array_foreach(list, i, s) {
    ReferenceSecurity r;
    const char* key;
    json_t* v;
    json_object_foreach(s, key, v) r.basic[key] = JsonText(v);
    json_t* type = json_object_get(s, "SecurityType");
    json_t* src = json_object_get(s, "SecurityIDSource");
    if (r.basic["SecurityID"].empty() || !json_is_integer(type) || !json_is_integer(src)) {
      *error = "reference data " + path + ": entry " + std::to_string(i) +
               " needs SecurityID, SecurityType and SecurityIDSource";
      return false;
    }
    r.security_id = r.basic["SecurityID"];
    r.security_type = static_cast<int>(json_integer_value(type));
    r.id_source = static_cast<int>(json_integer_value(src));
    for (const char* f : kStatusFields) {
      auto it = r.basic.find(f);
      if (it != r.basic.end()) r.status[f] = it->second;
    }
    out->push_back(std::move(r));
  }
  return true;
}

QueryService::QueryService(std::vector<ReferenceSecurity> data, Hooks hooks)
    : m_data(std::move(data)), m_hooks(std::move(hooks)) {}

QueryService::~QueryService() { Stop(); }

uint16_t QueryService::Start(const std::string& ip, uint16_t port, SSL_CTX* ssl_ctx,
                             std::string* error) {
  m_ssl_ctx = ssl_ctx;
  m_stopping = false;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = "query service: socket: " + std::string(std::strerror(errno));
    return 0;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (::inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(fd, 64) != 0) {
    *error = "query service: cannot listen on " + ip + ":" + std::to_string(port) + ": " +
             std::strerror(errno);
    ::close(fd);
    return 0;
  }
  socklen_t len = sizeof(a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  m_listen_fd = fd;
  m_port = ntohs(a.sin_port);
  m_acceptor = std::thread([this] { AcceptLoop(); });
  return m_port;
}

void QueryService::Stop() {
  m_stopping = true;
  if (m_acceptor.joinable()) m_acceptor.join();
  std::vector<ConnThread> threads;
  {
    std::lock_guard<std::mutex> lk(m_conn_threads_mu);
    threads.swap(m_conn_threads);
  }
  for (auto& t : threads) t.thread.join();
  if (m_listen_fd >= 0) ::close(m_listen_fd);
  m_listen_fd = -1;
}

void QueryService::AcceptLoop() {
  while (!m_stopping) {
    pollfd p{m_listen_fd, POLLIN, 0};
    if (::poll(&p, 1, kStopPollMs) != 1) continue;
    const int fd = ::accept4(m_listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lk(m_conn_threads_mu);
    for (auto it = m_conn_threads.begin(); it != m_conn_threads.end();) {
      if (it->done->load()) {
        it->thread.join();
        it = m_conn_threads.erase(it);
      } else {
        ++it;
      }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread t([this, fd, done] {
      Serve(fd);
      done->store(true);
    });
    m_conn_threads.push_back(ConnThread{std::move(t), std::move(done)});
  }
}

void QueryService::Answer(int data_type, bool has_sources,
                          const std::vector<std::pair<int, int>>& sources, bool has_ids,
                          const std::vector<std::string>& ids, bool* ok, int* code,
                          std::string* message,
                          std::vector<const ReferenceSecurity*>* rows) const {
  rows->clear();
  const bool basic =
      data_type == kQueryBasicInfo || data_type == kQueryLatestBasicInfo || data_type == kQueryEtfBasicInfo;
  if (!basic && data_type != kQueryStatus) {
    *ok = false;
    *code = kQueryErrUnknownType;
    *message = "unknown query data type " + std::to_string(data_type);
    return;
  }
  *ok = true;
  *code = 0;
  message->clear();
  for (const auto& s : m_data) {
    if (data_type == kQueryEtfBasicInfo && s.security_type != kFundSecurityType) continue;
    if (has_ids && std::find(ids.begin(), ids.end(), s.security_id) == ids.end()) continue;
    if (has_sources) {
      // A pair matches its source; type DefaultSecurityType (0) matches every type.
      const bool hit = std::any_of(sources.begin(), sources.end(), [&](const std::pair<int, int>& p) {
        return p.first == s.id_source && (p.second == 0 || p.second == s.security_type);
      });
      if (!hit) continue;
    }
    rows->push_back(&s);
  }
}

void QueryService::Serve(int raw_fd) {
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{raw_fd};
  timeval tv{0, kStopPollMs * 1000};
  ::setsockopt(raw_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  timeval stv{5, 0};
  ::setsockopt(raw_fd, SOL_SOCKET, SO_SNDTIMEO, &stv, sizeof(stv));
  std::unique_ptr<SSL, SslDeleter> ssl;
  // With TLS, the session reads the socket directly but writes into memory;
  // flush_tls then sends what it wrote (handshake records included) through
  // SendRaw, which may trickle it.
  auto flush_tls = [&] {
    char chunk[4096];
    int n;
    while ((n = BIO_read(SSL_get_wbio(ssl.get()), chunk, sizeof(chunk))) > 0) {
      if (!SendRaw(raw_fd, chunk, static_cast<size_t>(n))) return false;
    }
    return true;
  };
  if (m_ssl_ctx != nullptr) {
    ssl.reset(SSL_new(m_ssl_ctx));
    BIO* in = BIO_new_socket(raw_fd, BIO_NOCLOSE);
    BIO* out = BIO_new(BIO_s_mem());
    if (!ssl || in == nullptr || out == nullptr) {
      BIO_free(in);
      BIO_free(out);
      return;
    }
    SSL_set_bio(ssl.get(), in, out);  // the session owns both from here on
    int rc;
    while ((rc = SSL_accept(ssl.get())) != 1) {
      const int e = SSL_get_error(ssl.get(), rc);
      ERR_clear_error();
      if (!flush_tls() || m_stopping || (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)) {
        if (m_hooks.log) m_hooks.log("query service: TLS handshake failed");
        return;
      }
    }
    if (!flush_tls()) return;
  }
  auto write_all = [&](const std::string& out) {
    if (!ssl) return SendRaw(raw_fd, out.data(), out.size());
    // A memory sink takes every byte at once.
    if (SSL_write(ssl.get(), out.data(), static_cast<int>(out.size())) != static_cast<int>(out.size())) {
      ERR_clear_error();
      return false;
    }
    return flush_tls();
  };
  FrameCutter cutter;
  bool logged_in = false;
  char buf[16384];
  while (!m_stopping) {
    int n;
    if (ssl) {
      n = SSL_read(ssl.get(), buf, sizeof(buf));
      if (!flush_tls()) return;  // whatever the session wrote while reading (tickets, alerts)
      if (n <= 0) {
        const int e = SSL_get_error(ssl.get(), n);
        ERR_clear_error();
        if (e == SSL_ERROR_WANT_READ || (e == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EINTR))) continue;
        return;
      }
    } else {
      n = static_cast<int>(::recv(raw_fd, buf, sizeof(buf), 0));
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
      if (n <= 0) return;
    }
    cutter.Feed(buf, static_cast<size_t>(n));
    Frame f;
    std::string err;
    for (;;) {
      const auto st = cutter.Next(&f, &err);
      if (st == FrameCutter::Status::kNeedMore) break;
      if (st == FrameCutter::Status::kError) {
        if (m_hooks.log) m_hooks.log("query service: bad frame: " + err);
        return;
      }
      qm::MetaData meta;
      const char* body;
      size_t body_len;
      if (!meta.ParseFromString(f.meta) || !RequestBody(f.payload, &body, &body_len)) {
        if (m_hooks.log) m_hooks.log("query service: unreadable request frame");
        return;
      }
      if (m_hooks.silent && m_hooks.silent()) continue;
      if (m_hooks.flood_other_frames && m_hooks.flood_other_frames()) {
        // Until the client leaves or the service stops.
        qm::MetaData flood_meta;
        flood_meta.set_traceid(meta.traceid());
        flood_meta.set_qelsysmessagenum(1);
        flood_meta.set_sysmessagetype(static_cast<qm::ESysMessageType>(kFloodFrameType));
        std::string flood;
        AppendResponseFrame(&flood, flood_meta, vm::QueryLoginResponse());
        while (!m_stopping && write_all(flood)) {
          std::this_thread::sleep_for(std::chrono::milliseconds(kFloodPauseMs));
        }
        return;
      }
      qm::MetaData out_meta;
      out_meta.set_traceid(meta.traceid());
      out_meta.set_qelsysmessagenum(1);
      std::string out;
      if (meta.sysmessagetype() == kLoginRequest) {
        vm::QueryLoginRequest req;
        vm::QueryLoginResponse resp;
        const bool parsed = req.ParseFromArray(body, static_cast<int>(body_len));
        const bool refused = m_hooks.refuse_login && m_hooks.refuse_login();
        logged_in = parsed && !refused && m_hooks.check_password &&
                    m_hooks.check_password(req.username(), req.password());
        resp.set_issuccess(logged_in);
        if (!logged_in) {
          resp.mutable_errorcontext()->set_errorcode(kQueryErrLoginRefused);
          resp.mutable_errorcontext()->set_message("login refused");
        } else {
          ++m_logins_ok;
        }
        out_meta.set_sysmessagetype(static_cast<qm::ESysMessageType>(kLoginResponse));
        AppendResponseFrame(&out, out_meta, resp);
      } else if (meta.sysmessagetype() == kQueryRequest) {
        ++m_requests;
        vm::QueryRequest req;
        vm::QueryResponse resp;
        if (!logged_in || !req.ParseFromArray(body, static_cast<int>(body_len))) {
          resp.set_issuccess(false);
          resp.mutable_errorcontext()->set_errorcode(kQueryErrNotLoggedIn);
          resp.mutable_errorcontext()->set_message(logged_in ? "unreadable query request"
                                                             : "not logged in");
          *resp.add_responses()->mutable_errorcontext() = resp.errorcontext();
        } else {
          std::vector<std::pair<int, int>> sources;
          for (const auto& s : req.securitysourcetypes()) {
            sources.emplace_back(s.securityidsource(), s.securitytype());
          }
          const std::vector<std::string> ids(req.securityids().begin(), req.securityids().end());
          bool ok = false;
          int code = 0;
          std::string message;
          std::vector<const ReferenceSecurity*> rows;
          Answer(req.datatype(), req.hassecuritysourcetypes(), sources, req.hassecurityids(), ids,
                 &ok, &code, &message, &rows);
          resp.set_issuccess(ok);
          if (!ok) {
            resp.mutable_errorcontext()->set_errorcode(code);
            resp.mutable_errorcontext()->set_message(message);
            vm::VentrixQueryResponse* r = resp.add_responses();
            r->set_issuccess(false);
            *r->mutable_errorcontext() = resp.errorcontext();
          }
          for (const ReferenceSecurity* s : rows) {
            vm::VentrixQueryResponse* r = resp.add_responses();
            r->set_issuccess(true);
            vm::DynamicPacket* d = r->mutable_resultdata();
            d->set_datatype(req.datatype());
            d->set_securityid(s->security_id);
            const auto& fields = req.datatype() == kQueryStatus ? s->status : s->basic;
            d->mutable_fields()->insert(fields.begin(), fields.end());
          }
        }
        out_meta.set_sysmessagetype(static_cast<qm::ESysMessageType>(kQueryResponse));
        // Answers may exceed the 65,535-byte section bound of market-data
        // frames; query clients accept larger payloads.
        const std::string bytes = resp.SerializeAsString();
        const std::string meta_bytes = out_meta.SerializeAsString();
        FrameHeader h;
        h.meta_len = static_cast<int32_t>(meta_bytes.size());
        h.payload_len = static_cast<int32_t>(bytes.size() + 4);
        char hb[kHeaderLen];
        EncodeHeader(h, hb);
        out.append(hb, kHeaderLen);
        out += meta_bytes;
        AppendI32(&out, static_cast<int32_t>(bytes.size()));
        out += bytes;
      } else {
        continue;  // other frame types are not served here
      }
      if (!write_all(out)) return;
    }
  }
}

bool QueryService::SendRaw(int fd, const char* p, size_t n) const {
  SigpipeGuard no_sigpipe;
  const int trickle_ms = m_hooks.trickle_ms ? m_hooks.trickle_ms() : 0;
  while (n > 0) {
    if (m_stopping) return false;
    const ssize_t w = ::send(fd, p, trickle_ms > 0 ? 1 : n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;  // gone, or not reading for the send timeout
    p += w;
    n -= static_cast<size_t>(w);
    // The pause between two bytes, cut into short sleeps so that Stop is prompt.
    for (int waited = 0; n > 0 && waited < trickle_ms && !m_stopping; waited += kStopPollMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kStopPollMs, trickle_ms - waited)));
    }
  }
  return true;
}

}  // namespace sim
}  // namespace qel
