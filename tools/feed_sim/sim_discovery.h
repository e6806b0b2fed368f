// The discovery service's side of logging in: the user table, the tokens it
// issues (which the datafeed nodes then accept), and its LOGIN_RESPONSE.
// Credentials is called from any thread (the loop threads check, the control
// thread changes) and owns the users, the issued tokens and the generator that
// makes them. The answer functions run on the discovery loop thread.
#ifndef QEL_TOOLS_FEED_SIM_SIM_DISCOVERY_H
#define QEL_TOOLS_FEED_SIM_SIM_DISCOVERY_H

#include <map>
#include <random>
#include <string>

#include "SysLogin.pb.h"
#include "common/mutex.h"
#include "feed_sim.h"

namespace qel {
namespace sim {

class Credentials {
 public:
  explicit Credentials(std::map<std::string, std::string> users) : m_users(std::move(users)) {}

  bool CheckPassword(const std::string& user, const std::string& clear) const;
  void SetUser(const std::string& name, const std::string& password);
  // A fresh 32-hex-digit token, valid for user until RevokeTokens.
  std::string IssueToken(const std::string& user);
  bool CheckToken(const std::string& user, const std::string& token) const;
  void RevokeTokens();

 private:
  mutable com::quor::kbr::client::Mutex m_mu;
  std::map<std::string, std::string> m_users GUARDED_BY(m_mu);   // name -> password
  std::map<std::string, std::string> m_tokens GUARDED_BY(m_mu);  // token -> user
  std::mt19937_64 m_rng GUARDED_BY(m_mu){std::random_device{}()};
};

// Whether the discovery service accepts a login: a user name and password
// (AES-encoded on the wire) that match, unless the faults refuse every login.
// *user receives the name the request gave.
bool AcceptDiscoveryLogin(const com::quor::qel::model::LoginRequest& req, const Faults& f,
                          const Credentials& credentials, std::string* user);

// Fills an accepted login's answer apart from the node list: a new token and
// the account; or a refused login's error.
void FillDiscoveryLoginAnswer(bool ok, const std::string& user, const Faults& f,
                              Credentials* credentials,
                              com::quor::qel::model::LoginResponse* rsp);

}  // namespace sim
}  // namespace qel

#endif  // QEL_TOOLS_FEED_SIM_SIM_DISCOVERY_H
