// A throw-away PKI made with the openssl command at test time: a CA, a server
// certificate it signed for 127.0.0.1, one it signed for another address
// (127.0.0.2), and a self-signed rogue certificate the CA never saw; on
// request, a second CA and a certificate for 127.0.0.1 it signed. Nothing of
// it is ever committed.
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
    Run(SelfSigned("ca", "/CN=qel-test-ca") +
            " && printf 'subjectAltName=IP:127.0.0.1\\nbasicConstraints=CA:FALSE\\n' > ext.cnf" +
            " && " + Signed("server", "127.0.0.1", "ca", "ext.cnf") +
            " && printf 'subjectAltName=IP:127.0.0.2\\nbasicConstraints=CA:FALSE\\n' > other.cnf" +
            " && " + Signed("other", "127.0.0.2", "ca", "other.cnf") + " && " + SelfSigned("rogue", "/CN=127.0.0.1"),
        "the test certificates");
  }
  std::string CaFile() const { return m_dir.path() + "/ca.pem"; }
  std::string ServerCert() const { return m_dir.path() + "/server.pem"; }
  std::string ServerKey() const { return m_dir.path() + "/server.key"; }
  // Signed by the test CA, but for 127.0.0.2 (subject and address entry).
  std::string OtherIpCert() const { return m_dir.path() + "/other.pem"; }
  std::string OtherIpKey() const { return m_dir.path() + "/other.key"; }
  std::string RogueCert() const { return m_dir.path() + "/rogue.pem"; }
  std::string RogueKey() const { return m_dir.path() + "/rogue.key"; }
  // A certificate for 127.0.0.1, right in every way except that a second CA
  // (ForeignCaFile) signed it, not CaFile. Made on the first call of either.
  std::string ForeignCert() {
    MakeForeign();
    return m_dir.path() + "/foreign.pem";
  }
  std::string ForeignKey() {
    MakeForeign();
    return m_dir.path() + "/foreign.key";
  }
  std::string ForeignCaFile() {
    MakeForeign();
    return m_dir.path() + "/foreign-ca.pem";
  }

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
  // Shell commands (run in the PKI's folder) that make name.key and a
  // self-signed name.pem; and name.key with name.pem for the address ip,
  // signed by the CA ca.pem / ca.key with the extensions file ext.
  static std::string SelfSigned(const std::string& name, const std::string& subject) {
    return "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + name + ".key -out " + name + ".pem -days 2 -subj " +
           subject;
  }
  static std::string Signed(const std::string& name, const std::string& ip, const std::string& ca,
                            const std::string& ext) {
    return "openssl req -newkey rsa:2048 -nodes -keyout " + name + ".key -out " + name + ".csr -subj /CN=" + ip +
           " && openssl x509 -req -in " + name + ".csr -CA " + ca + ".pem -CAkey " + ca +
           ".key -CAcreateserial -out " + name + ".pem -days 2 -extfile " + ext;
  }
  void Run(const std::string& commands, const std::string& what) const {
    const std::string line = "(cd '" + m_dir.path() + "' && " + commands + ") >/dev/null 2>&1";
    if (std::system(line.c_str()) != 0) throw std::runtime_error("openssl could not create " + what);
  }
  void MakeForeign() {
    if (m_foreign_made) return;
    Run(SelfSigned("foreign-ca", "/CN=qel-test-foreign-ca") + " && " +
            Signed("foreign", "127.0.0.1", "foreign-ca", "ext.cnf"),
        "the foreign CA's certificate");
    m_foreign_made = true;
  }

  TempDir m_dir;
  bool m_foreign_made = false;
};

}  // namespace qel_test

#endif  // QEL_TESTS_SUPPORT_TEST_PKI_H
