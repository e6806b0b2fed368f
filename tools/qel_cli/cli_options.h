// Command-line flags of qel-cli: the flag table, its parser and the help text.
// Pure functions, no I/O: the parser returns the options or a one-line error
// naming the flag, so the flag table is tested without starting the program.
#ifndef QEL_TOOLS_QEL_CLI_CLI_OPTIONS_H
#define QEL_TOOLS_QEL_CLI_CLI_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace qel {
namespace cli {

struct CliOptions {
  std::string host = "127.0.0.1";
  int port = 0;                      // required
  std::string user;                  // required
  std::string password;              // required
  std::vector<std::string> backups;  // "ip:port" each
  // TLS switch: unset keeps the library's setting (a configuration file may
  // set it; the built-in default is on).
  enum class Tls { kUnset, kOn, kOff } tls = Tls::kUnset;
  std::string ca_file;
  std::string config_file;
  std::vector<int> data_types;            // required, at least one
  std::vector<std::string> security_ids;  // empty: subscribe by data type
  bool summary = false;   // per-second summary lines instead of records
  int64_t count = 0;      // stop after this many records; 0 = no limit
  double seconds = 0;     // stop after this long; 0 = no limit
  int64_t every = 1;      // print one record in every N
  bool verbose = false;   // library lines from INFO up instead of WARN up
  std::string record_file;  // --record: capture every market-data frame to this file
  std::string read_file;    // --read: print the records of this capture instead of logging in
  int64_t stats_every = 0;  // print the client's statistics every N seconds; 0 = never
  int metrics_port = -1;    // serve /metrics on 127.0.0.1 at this port (0: a free one); -1 = no server
};

struct ParseOutcome {
  enum class Kind { kRun, kHelp, kError } kind = Kind::kError;
  CliOptions options;
  std::string error;  // kError: one line naming the flag
};

// args: the arguments after the program name. "--flag value" and
// "--flag=value" are both accepted.
ParseOutcome ParseCliOptions(const std::vector<std::string>& args);

// The --help text: every flag with its meaning.
std::string UsageText();

}  // namespace cli
}  // namespace qel

#endif  // QEL_TOOLS_QEL_CLI_CLI_OPTIONS_H
