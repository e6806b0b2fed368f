// A deliberately small blocking client for the feed simulator tests, over
// plain TCP or TLS. It frames with the simulator's framer (sim_frame.h,
// independent of the library's codec; format in docs/wire-format.md) and
// writes requests exactly as the client library does. Used by one test
// thread at a time.
#ifndef QEL_TESTS_FEED_SIM_WIRE_CLIENT_H
#define QEL_TESTS_FEED_SIM_WIRE_CLIENT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "MarketData.pb.h"
#include "MetaData.pb.h"
#include "SysHeartbeat.pb.h"
#include "SysLogin.pb.h"
#include "SysSubscribe.pb.h"
#include "kits/standard_lib_kits.h"
#include "sim_frame.h"

namespace wire {

namespace model = com::quor::qel::model;

struct RawFrame {
  int8_t version = 0;
  int8_t protocol = 0;
  int16_t flags = 0;
  int32_t meta_len = 0;
  int32_t payload_len = 0;
  std::string meta;
  std::string payload;
};

// A request frame as the client library writes it: payloadLength and the
// payload prefix both count the prefix itself (body + 4).
inline std::string RequestFrame(model::ESysMessageType type, const std::string& trace,
                                const google::protobuf::Message& body) {
  model::MetaData meta;
  meta.set_sysmessagetype(type);
  meta.set_qelsysmessagenum(1);
  meta.set_traceid(trace);
  meta.set_sendtime(1);
  std::string out;
  qel::sim::AppendRequestFrame(&out, meta, body);
  return out;
}

inline std::string DiscoveryLogin(const std::string& user, const std::string& clear_password,
                                  const std::string& trace) {
  model::LoginRequest req;
  req.set_logintype(model::VENTRIX_LOGIN_FOR_DISCOVERY);
  req.set_appversion("1.0.0");
  req.mutable_uwp()->set_username(user);
  req.mutable_uwp()->set_password(
      com::quor::kbr::client::StandardLibKits::GetInstance()->EncodeByAesEcbPkcs5padding(
          clear_password));
  return RequestFrame(model::LOGIN_REQUEST, trace, req);
}

inline std::string DatafeedLogin(const std::string& user, const std::string& token,
                                 const std::string& trace) {
  model::LoginRequest req;
  req.set_logintype(model::VENTRIX_LOGIN_FOR_DATAFEED);
  req.mutable_uwt()->set_username(user);
  req.mutable_uwt()->set_token(token);
  return RequestFrame(model::LOGIN_REQUEST, trace, req);
}

inline std::string Heartbeat() {
  model::SysHeartbeat hb;
  hb.set_trafficlog(1);
  hb.set_tpslog(2);
  return RequestFrame(model::HEARTBEAT_REQUEST, "", hb);
}

inline std::string SubscribeTypes(const std::vector<int>& types, const std::string& trace) {
  model::SubscribeRequest req;
  req.set_subscribeactiontype(model::COVERAGE);
  for (int t : types) req.mutable_subscribebydatatype()->add_qeldatatypes(t);
  return RequestFrame(model::SUBSCRIBE_REQUEST, trace, req);
}

// Body of a response frame: int32 body length, then the body.
template <typename T>
bool ParseResponseBody(const RawFrame& f, T* out) {
  const char* body = nullptr;
  size_t len = 0;
  return qel::sim::ResponseBody(f.payload, &body, &len) &&
         out->ParseFromArray(body, static_cast<int>(len));
}

// Decompresses (flag 0x4000) and cuts a market-data payload into records.
inline bool DecodeRecords(const RawFrame& f, std::vector<model::MarketData>* out,
                          std::string* why) {
  struct Sink {
    std::vector<model::MarketData>* out;
    bool parsed = true;
  } sink{out};
  std::string scratch;
  const bool cut = qel::sim::SplitRecordPayload(
      f.flags, f.payload, &scratch, why,
      [](void* ctx, const char* data, size_t len) {
        auto* s = static_cast<Sink*>(ctx);
        model::MarketData md;
        if (!md.ParseFromArray(data, static_cast<int>(len))) s->parsed = false;
        s->out->push_back(std::move(md));
      },
      &sink);
  if (cut && !sink.parsed) *why = "record does not parse";
  return cut && sink.parsed;
}

class Client {
 public:
  Client() = default;
  ~Client() { Close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Connects to 127.0.0.1:port; with ca_file, speaks TLS and verifies the
  // server certificate for the address 127.0.0.1 against that CA.
  // receive_buffer > 0 shrinks the socket's receive buffer (and with it the
  // window the peer may fill) before connecting.
  bool Connect(uint16_t port, const std::string& ca_file = "", int receive_buffer = 0) {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    if (m_fd < 0) return false;
    if (receive_buffer > 0) {
      setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    timeval tv{5, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int one = 1;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &sin.sin_addr);
    if (connect(m_fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) return false;
    if (ca_file.empty()) return true;
    m_ctx = SSL_CTX_new(TLS_client_method());
    if (!m_ctx || SSL_CTX_load_verify_locations(m_ctx, ca_file.c_str(), nullptr) != 1) return false;
    SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER, nullptr);
    m_ssl = SSL_new(m_ctx);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), "127.0.0.1");
    SSL_set_fd(m_ssl, m_fd);
    return SSL_connect(m_ssl) == 1;
  }

  // Closes with a reset instead of an orderly end of stream.
  void Abort() {
    if (m_fd >= 0) {
      linger lg{1, 0};
      setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    Close();
  }

  void Close() {
    if (m_ssl) SSL_free(m_ssl);
    if (m_ctx) SSL_CTX_free(m_ctx);
    if (m_fd >= 0) ::close(m_fd);
    m_ssl = nullptr;
    m_ctx = nullptr;
    m_fd = -1;
  }

  // Writes bytes, in pieces of `chunk` bytes when chunk > 0.
  bool Send(const std::string& bytes, size_t chunk = 0) {
    size_t off = 0;
    while (off < bytes.size()) {
      const size_t n = chunk ? std::min(chunk, bytes.size() - off) : bytes.size() - off;
      const int w = m_ssl ? SSL_write(m_ssl, bytes.data() + off, static_cast<int>(n))
                          : static_cast<int>(::send(m_fd, bytes.data() + off, n, MSG_NOSIGNAL));
      if (w <= 0) return false;
      off += static_cast<size_t>(w);
      if (chunk) usleep(200);
    }
    return true;
  }

  bool ReadExact(char* p, size_t n) {
    while (n > 0) {
      const int r = m_ssl ? SSL_read(m_ssl, p, static_cast<int>(n))
                          : static_cast<int>(::recv(m_fd, p, n, 0));
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }

  // Reads one whole frame; false on end of stream, timeout, or when the header
  // announces a length outside 0..65,535 (header fields are still filled in).
  bool ReadFrame(RawFrame* f) {
    char h[qel::sim::kHeaderLen];
    if (!ReadExact(h, sizeof h)) return false;
    const qel::sim::FrameHeader hdr = qel::sim::DecodeHeader(h);
    f->version = hdr.version;
    f->protocol = hdr.protocol;
    f->flags = hdr.flags;
    f->meta_len = hdr.meta_len;
    f->payload_len = hdr.payload_len;
    if (f->meta_len < 0 || f->meta_len > qel::sim::kMaxSectionLen || f->payload_len < 0 ||
        f->payload_len > qel::sim::kMaxSectionLen) {
      return false;
    }
    f->meta.resize(static_cast<size_t>(f->meta_len));
    f->payload.resize(static_cast<size_t>(f->payload_len));
    return ReadExact(&f->meta[0], f->meta.size()) && ReadExact(&f->payload[0], f->payload.size());
  }

  // Reads frames until one of the given type arrives (others are dropped).
  bool ReadUntil(model::ESysMessageType type, RawFrame* f, model::MetaData* meta) {
    for (int i = 0; i < 100000; ++i) {
      if (!ReadFrame(f) || !meta->ParseFromString(f->meta)) return false;
      if (meta->sysmessagetype() == type) return true;
    }
    return false;
  }

  // True when the peer closes (end of stream) within the receive timeout,
  // after discarding whatever was still in flight.
  bool WaitForEof() {
    char buf[4096];
    for (;;) {
      const int r = m_ssl ? SSL_read(m_ssl, buf, sizeof buf)
                          : static_cast<int>(::recv(m_fd, buf, sizeof buf, 0));
      if (r > 0) continue;
      if (r == 0) return true;
      if (m_ssl) return SSL_get_error(m_ssl, r) == SSL_ERROR_ZERO_RETURN ||
                        SSL_get_error(m_ssl, r) == SSL_ERROR_SYSCALL;
      return errno == ECONNRESET;
    }
  }

  // True when nothing arrives for `ms` milliseconds (plain TCP only).
  bool SilentFor(int ms) {
    pollfd p{m_fd, POLLIN, 0};
    return poll(&p, 1, ms) == 0;
  }

 private:
  int m_fd = -1;
  SSL_CTX* m_ctx = nullptr;
  SSL* m_ssl = nullptr;
};

}  // namespace wire

#endif  // QEL_TESTS_FEED_SIM_WIRE_CLIENT_H
