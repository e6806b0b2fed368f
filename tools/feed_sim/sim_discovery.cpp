// The discovery service's credentials and login answers. Credentials from any
// thread; the answers on the discovery loop thread.
#include "sim_discovery.h"

#include "kits/standard_lib_kits.h"

namespace qel {
namespace sim {

namespace model = com::quor::qel::model;
using com::quor::kbr::client::MutexLock;

bool Credentials::CheckPassword(const std::string& user, const std::string& clear) const {
  MutexLock lk(m_mu);
  auto it = m_users.find(user);
  return it != m_users.end() && it->second == clear;
}

void Credentials::SetUser(const std::string& name, const std::string& password) {
  MutexLock lk(m_mu);
  m_users[name] = password;
}

std::string Credentials::IssueToken(const std::string& user) {
  static const char* kHex = "0123456789abcdef";
  MutexLock lk(m_mu);
  std::string t;
  for (int i = 0; i < 32; ++i) t += kHex[m_rng() & 0xF];
  m_tokens[t] = user;
  return t;
}

bool Credentials::CheckToken(const std::string& user, const std::string& token) const {
  MutexLock lk(m_mu);
  auto it = m_tokens.find(token);
  return it != m_tokens.end() && it->second == user;
}

void Credentials::RevokeTokens() {
  MutexLock lk(m_mu);
  m_tokens.clear();
}

bool AcceptDiscoveryLogin(const model::LoginRequest& req, const Faults& f,
                          const Credentials& credentials, std::string* user) {
  *user = req.uwp().username();
  const std::string clear =
      com::quor::kbr::client::StandardLibKits::GetInstance()->DecodeByAesEcbPkcs5padding(
          req.uwp().password());
  return !f.refuse_discovery_login && req.has_uwp() && !clear.empty() &&
         credentials.CheckPassword(*user, clear);
}

void FillDiscoveryLoginAnswer(bool ok, const std::string& user, const Faults& f,
                              Credentials* credentials, model::LoginResponse* rsp) {
  rsp->set_issuccess(ok);
  if (ok) {
    rsp->set_token(credentials->IssueToken(user));
    rsp->mutable_accountinfo()->set_username(user);
  } else {
    rsp->mutable_errorcontext()->set_errorcode(f.refuse_discovery_login ? 1002 : 1001);
    rsp->mutable_errorcontext()->set_message(f.refuse_discovery_login
                                                 ? "login refused by the service"
                                                 : "invalid user name or password");
  }
}

}  // namespace sim
}  // namespace qel
