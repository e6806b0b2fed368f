#include "common/event_handles.h"

#include <event2/bufferevent_ssl.h>
#include <event2/thread.h>
#include <event2/util.h>
#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include <cstring>
#include <mutex>

#include "common/server_host.h"
#include "config/base_config.h"
#include "log/base_log.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

void EnableEventThreading() {
  static std::once_flag once;
  std::call_once(once, [] { evthread_use_pthreads(); });
}

BufferEventPtr NewClientBufferEvent(event_base* base, SslPtr* ssl) {
  if (base == nullptr) return nullptr;
  BufferEventPtr bev;
  if (ssl != nullptr) {
    if (!*ssl) return nullptr;
    bev.reset(bufferevent_openssl_socket_new(base, -1, ssl->get(), BUFFEREVENT_SSL_CONNECTING,
                                             BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS));
    if (!bev) return nullptr;
    ssl->release();  // owned and freed by the bufferevent from here on
    bufferevent_openssl_set_allow_dirty_shutdown(bev.get(), 1);
  } else {
    bev.reset(bufferevent_socket_new(base, -1, BEV_OPT_CLOSE_ON_FREE));
    if (!bev) return nullptr;
  }
  const BaseConfig& config = BaseConfig::GetInstance();
  struct timeval read_timeout = {static_cast<time_t>(config.GetReadTimeout()), 0};
  struct timeval write_timeout = {static_cast<time_t>(config.GetSendTimeout()), 0};
  bufferevent_set_timeouts(bev.get(), &read_timeout, &write_timeout);
  return bev;
}

namespace {

// The host a TLS object was told to expect, for log lines.
std::string ExpectedPeerText(SSL* ssl) {
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  if (param == nullptr) return "(unknown host)";
  if (char* ip = X509_VERIFY_PARAM_get1_ip_asc(param)) {
    std::string text(ip);
    OPENSSL_free(ip);
    return text;
  }
  const char* name = X509_VERIFY_PARAM_get0_host(param, 0);
  return name != nullptr ? name : "(unknown host)";
}

// Keeps OpenSSL's verdict on each certificate; a refusal gets a line that
// names the host, so a certificate for another address is told apart from a
// network failure.
int LogRefusedPeerCertificate(int ok, X509_STORE_CTX* store) {
  if (ok) return ok;
  auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  const int error = X509_STORE_CTX_get_error(store);
  ErrorPrint("TLS certificate of server %s refused: %s", ssl != nullptr ? ExpectedPeerText(ssl).c_str() : "?",
             X509_verify_cert_error_string(error));
  return ok;
}

}  // namespace

SslCtxPtr NewClientSslContext(const std::string& ca_file) {
  SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) {
    ErrorPrint("Create ssl ctx failed!");
    return nullptr;
  }
  if (!ca_file.empty()) {
    if (SSL_CTX_load_verify_locations(ctx.get(), ca_file.c_str(), nullptr) != 1) {
      ErrorPrint("Load or verify self CA file failed: %s", ca_file.c_str());
      ERR_clear_error();
      return nullptr;
    }
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, LogRefusedPeerCertificate);
    SSL_CTX_set_verify_depth(ctx.get(), 4);
    return ctx;
  }
  if (SSL_CTX_set_default_verify_paths(ctx.get()) != 1) {
    ErrorPrint("Load or verify CA file failed");
    ERR_clear_error();
    return nullptr;
  }
  WarnPrint("TLS without a CA file: the servers' certificates are not verified, so the servers are not "
            "authenticated; set ventrix_config_cert_folder (ClientConfig::SetSSLCertfolder) to a CA file to verify "
            "them");
  return ctx;
}

bool ExpectPeerAddress(SSL* ssl, const std::string& host) {
  if (ssl == nullptr) return false;
  const int mode = SSL_get_verify_mode(ssl);
  if ((mode & SSL_VERIFY_PEER) == 0) return true;  // no CA configured: nothing is verified
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  // An IP literal must match an IP address entry of the certificate; any other
  // text is a host name matched against its DNS names. A TLS object kept from
  // an earlier attempt forgets the host it expected then.
  bool set = param != nullptr && X509_VERIFY_PARAM_set1_host(param, nullptr, 0) == 1 &&
             X509_VERIFY_PARAM_set1_ip(param, nullptr, 0) == 1;
  if (set && X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1) {
    ERR_clear_error();  // not an IP literal
    set = !host.empty() && SSL_set1_host(ssl, host.c_str()) == 1;
  }
  if (!set) {
    ERR_clear_error();
    ErrorPrint("Cannot set the expected TLS peer address %s", host.c_str());
    return false;
  }
  SSL_set_verify(ssl, mode, LogRefusedPeerCertificate);
  return true;
}

bool MakeIpv4Address(const std::string& ip, int port, sockaddr_in& addr) {
  memset(&addr, 0, sizeof(addr));
  if (!IsValidPort(port)) return false;  // never cut to 16 bits into another port
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return evutil_inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) == 1;
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
