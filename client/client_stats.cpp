// GetClientStats: the statistics of the factory's client, read from its
// datafeed client without waiting for any thread of the data path.
#include "client_stats.h"

#include "client/ventrix_tcp_client.h"
#include "config/error_define.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

int GetClientStats(ClientInterface* client, std::vector<SiteTypeStats>* out) {
  if (out == nullptr) return INVALID_CLIENT;
  auto* tcp_client = dynamic_cast<VentrixTcpClient*>(client);
  if (tcp_client == nullptr || tcp_client->GetDatafeedClient() == nullptr) return INVALID_CLIENT;
  *out = tcp_client->GetDatafeedClient()->GetStats();
  return 0;
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
