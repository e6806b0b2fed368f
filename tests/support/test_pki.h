// A throw-away PKI made with the openssl command at test time: a CA, a server
// certificate it signed for 127.0.0.1, one it signed for another address
// (127.0.0.2), and a self-signed rogue certificate the CA never saw. Nothing
// of it is ever committed.
#ifndef QEL_TESTS_SUPPORT_TEST_PKI_H
#define QEL_TESTS_SUPPORT_TEST_PKI_H

#include <openssl/ssl.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/event_handles.h"
#include "support/temp_dir.h"

namespace qel_test {

using SslCtxPtr = com::quor::kbr::client::SslCtxPtr;

class TestPki {
 public:
  TestPki() {
    const std::string d = m_dir.path();
    const std::string subj_ca = "/CN=qel-test-ca";
    const std::string cmds =
        "cd '" + d + "' && "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj " + subj_ca +
        " && printf 'subjectAltName=IP:127.0.0.1\\nbasicConstraints=CA:FALSE\\n' > ext.cnf"
        " && openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=127.0.0.1"
        " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2"
        " -extfile ext.cnf"
        " && printf 'subjectAltName=IP:127.0.0.2\\nbasicConstraints=CA:FALSE\\n' > other.cnf"
        " && openssl req -newkey rsa:2048 -nodes -keyout other.key -out other.csr -subj /CN=127.0.0.2"
        " && openssl x509 -req -in other.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out other.pem -days 2"
        " -extfile other.cnf"
        " && openssl req -x509 -newkey rsa:2048 -nodes -keyout rogue.key -out rogue.pem -days 2"
        " -subj /CN=127.0.0.1";
    if (std::system(("(" + cmds + ") >/dev/null 2>&1").c_str()) != 0) {
      throw std::runtime_error("openssl could not create the test certificates");
    }
  }
  std::string CaFile() const { return m_dir.path() + "/ca.pem"; }
  std::string ServerCert() const { return m_dir.path() + "/server.pem"; }
  std::string ServerKey() const { return m_dir.path() + "/server.key"; }
  // Signed by the test CA, but for 127.0.0.2 (subject and address entry).
  std::string OtherIpCert() const { return m_dir.path() + "/other.pem"; }
  std::string OtherIpKey() const { return m_dir.path() + "/other.key"; }
  std::string RogueCert() const { return m_dir.path() + "/rogue.pem"; }
  std::string RogueKey() const { return m_dir.path() + "/rogue.key"; }

  // A client context that trusts only the test CA and verifies the peer.
  SslCtxPtr ClientContext() const {
    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx || SSL_CTX_load_verify_locations(ctx.get(), CaFile().c_str(), nullptr) != 1) {
      throw std::runtime_error("cannot build the client TLS context");
    }
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    return ctx;
  }

 private:
  TempDir m_dir;
};

}  // namespace qel_test

#endif  // QEL_TESTS_SUPPORT_TEST_PKI_H
