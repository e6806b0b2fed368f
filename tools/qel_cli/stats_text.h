// The client's statistics as text: one key=value line per site type (--stats)
// and the Prometheus text exposition format (--metrics). Pure functions.
#ifndef QEL_TOOLS_QEL_CLI_STATS_TEXT_H
#define QEL_TOOLS_QEL_CLI_STATS_TEXT_H

#include <string>
#include <vector>

#include "client_stats.h"

namespace qel {
namespace cli {

// "site_type=1 state=2 node=127.0.0.1:9001 frames_received=... delay_p99_us=...",
// no line end. A delay not measured yet is "-".
std::string StatsLine(const com::quor::kbr::client::SiteTypeStats& stats);

// Every metric with its # HELP and # TYPE lines and one sample per site type
// (labelled site_type="N"); counters end in _total. Delay samples are left out
// for a site type that has not measured one yet.
std::string PrometheusText(const std::vector<com::quor::kbr::client::SiteTypeStats>& stats);

}  // namespace cli
}  // namespace qel

#endif  // QEL_TOOLS_QEL_CLI_STATS_TEXT_H
