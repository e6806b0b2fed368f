// A deliberately small blocking client for the feed simulator tests: its own
// frame writer and reader (not the library's codec, not the simulator's), over
// plain TCP or TLS. Used by one test thread at a time.
#ifndef QEL_TESTS_FEED_SIM_WIRE_CLIENT_H
#define QEL_TESTS_FEED_SIM_WIRE_CLIENT_H

#include <arpa/inet.h>
#include <lz4.h>
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

inline int32_t LoadI32(const char* p) {
  int32_t v;
  std::memcpy(&v, p, 4);  // the wire is little-endian, as is this machine
  return v;
}

// A request frame as the client library writes it: payloadLength and the
// payload prefix both count the prefix itself (body + 4).
inline std::string RequestFrame(model::ESysMessageType type, const std::string& trace,
                                const google::protobuf::Message& body) {
  model::MetaData meta;
  meta.set_sysmessagetype(type);
  meta.set_qelsysmessagenum(1);
  meta.set_traceid(trace);
  meta.set_sendtime(1);
  const std::string m = meta.SerializeAsString();
  const std::string b = body.SerializeAsString();
  const int32_t meta_len = static_cast<int32_t>(m.size());
  const int32_t payload_len = static_cast<int32_t>(b.size() + 4);
  std::string out(12, '\0');
  out[0] = 1;
  out[1] = 1;
  const int16_t flags = 0x1000;
  std::memcpy(&out[2], &flags, 2);
  std::memcpy(&out[4], &meta_len, 4);
  std::memcpy(&out[8], &payload_len, 4);
  out += m;
  out.append(reinterpret_cast<const char*>(&payload_len), 4);
  out += b;
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
  if (f.payload.size() < 4) return false;
  const int32_t len = LoadI32(f.payload.data());
  if (len < 0 || static_cast<size_t>(len) + 4 != f.payload.size()) return false;
  return out->ParseFromArray(f.payload.data() + 4, len);
}

// Decompresses (flag 0x4000) and cuts a market-data payload into records.
inline bool DecodeRecords(const RawFrame& f, std::vector<model::MarketData>* out,
                          std::string* why) {
  std::string plain;
  const std::string* p = &f.payload;
  if (f.flags & 0x4000) {
    if (f.payload.size() < 4) {
      *why = "short compressed payload";
      return false;
    }
    const int32_t n = LoadI32(f.payload.data());
    if (n <= 0) {
      *why = "bad decompressed length";
      return false;
    }
    plain.resize(static_cast<size_t>(n));
    const int got = LZ4_decompress_safe(f.payload.data() + 4, &plain[0],
                                        static_cast<int>(f.payload.size() - 4), n);
    if (got != n) {
      *why = "lz4 decompression failed";
      return false;
    }
    p = &plain;
  }
  size_t pos = 0;
  while (pos + 4 <= p->size()) {
    const int32_t len = LoadI32(p->data() + pos);
    if (len < 0 || pos + 4 + static_cast<size_t>(len) > p->size()) {
      *why = "record runs past the payload";
      return false;
    }
    model::MarketData md;
    if (!md.ParseFromArray(p->data() + pos + 4, len)) {
      *why = "record does not parse";
      return false;
    }
    out->push_back(std::move(md));
    pos += 4 + static_cast<size_t>(len);
  }
  if (pos != p->size()) {
    *why = "trailing bytes";
    return false;
  }
  return true;
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
    char h[12];
    if (!ReadExact(h, 12)) return false;
    f->version = static_cast<int8_t>(h[0]);
    f->protocol = static_cast<int8_t>(h[1]);
    std::memcpy(&f->flags, h + 2, 2);
    f->meta_len = LoadI32(h + 4);
    f->payload_len = LoadI32(h + 8);
    if (f->meta_len < 0 || f->meta_len > 65535 || f->payload_len < 0 || f->payload_len > 65535) {
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
