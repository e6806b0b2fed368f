#include "cli_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

namespace qel {
namespace cli {

namespace {

using Setter = std::function<bool(const std::string& value, CliOptions& o, std::string& why)>;

struct Flag {
  const char* name;      // "--port"
  const char* argument;  // shown in the help; null for a switch
  const char* help;
  Setter set;            // value is empty for a switch
};

bool ParseInt64(const std::string& text, int64_t lo, int64_t hi, int64_t& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) items.push_back(item);
  if (!text.empty() && text.back() == ',') items.emplace_back();
  return items;
}

bool IsHostPort(const std::string& entry) {
  const size_t colon = entry.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  int64_t port = 0;
  return ParseInt64(entry.substr(colon + 1), 1, 65535, port);
}

bool IsReadable(const std::string& path) { return std::ifstream(path).good(); }

// A flag whose value is any non-empty text, stored in field.
Setter NonEmpty(std::string CliOptions::*field, const char* missing) {
  return [field, missing](const std::string& v, CliOptions& o, std::string& why) {
    if (v.empty()) { why = missing; return false; }
    o.*field = v;
    return true;
  };
}

// A flag whose value is the path of a file this process can read.
Setter ReadableFile(std::string CliOptions::*field) {
  return [field](const std::string& v, CliOptions& o, std::string& why) {
    if (!IsReadable(v)) { why = "cannot read '" + v + "'"; return false; }
    o.*field = v;
    return true;
  };
}

const std::vector<Flag>& FlagTable() {
  static const std::vector<Flag> table = {
      {"--host", "IP", "discovery service address (default 127.0.0.1)", NonEmpty(&CliOptions::host, "needs an address")},
      {"--port", "N", "discovery service port, 1..65535 (required)",
       [](const std::string& v, CliOptions& o, std::string& why) {
         int64_t n = 0;
         if (!ParseInt64(v, 1, 65535, n)) { why = "'" + v + "' is not a port number (1..65535)"; return false; }
         o.port = static_cast<int>(n);
         return true;
       }},
      {"--user", "NAME", "user name (required)", NonEmpty(&CliOptions::user, "needs a user name")},
      {"--password", "TEXT", "password (required)", NonEmpty(&CliOptions::password, "needs a password")},
      {"--backup", "IP:PORT[,IP:PORT...]", "backup discovery services, tried after --host (repeatable)",
       [](const std::string& v, CliOptions& o, std::string& why) {
         for (const std::string& entry : SplitList(v)) {
           if (!IsHostPort(entry)) { why = "'" + entry + "' is not ip:port with a port in 1..65535"; return false; }
           o.backups.push_back(entry);
         }
         return true;
       }},
      {"--tls", nullptr, "use TLS to discovery and datafeed (the library's default)",
       [](const std::string&, CliOptions& o, std::string&) { o.tls = CliOptions::Tls::kOn; return true; }},
      {"--no-tls", nullptr, "plain TCP",
       [](const std::string&, CliOptions& o, std::string&) { o.tls = CliOptions::Tls::kOff; return true; }},
      {"--ca-file", "FILE", "PEM file of the CA that signed the servers' certificates",
       ReadableFile(&CliOptions::ca_file)},
      {"--config", "FILE", "library configuration file (ventrix_config_* = value lines), loaded first;"
                           " the flags above override it",
       ReadableFile(&CliOptions::config_file)},
      {"--types", "T[,T...]", "data types to subscribe, e.g. 3,6 (required)",
       [](const std::string& v, CliOptions& o, std::string& why) {
         for (const std::string& item : SplitList(v)) {
           int64_t n = 0;
           if (!ParseInt64(item, 0, INT32_MAX, n)) { why = "'" + item + "' is not a data type number"; return false; }
           o.data_types.push_back(static_cast<int>(n));
         }
         return true;
       }},
      {"--ids", "ID[,ID...]", "subscribe only these security ids (e.g. 600000.SH) for each of --types",
       [](const std::string& v, CliOptions& o, std::string& why) {
         for (const std::string& item : SplitList(v)) {
           if (item.empty() || item.size() > 32) { why = "'" + item + "' is not a security id (1 to 32 characters)"; return false; }
           o.security_ids.push_back(item);
         }
         return true;
       }},
      {"--summary", nullptr, "print one summary line per second instead of the records",
       [](const std::string&, CliOptions& o, std::string&) { o.summary = true; return true; }},
      {"--count", "N", "stop after N records",
       [](const std::string& v, CliOptions& o, std::string& why) {
         if (!ParseInt64(v, 1, INT64_MAX, o.count)) { why = "'" + v + "' is not a positive count"; return false; }
         return true;
       }},
      {"--seconds", "S", "stop after S seconds of receiving (decimals allowed)",
       [](const std::string& v, CliOptions& o, std::string& why) {
         char* end = nullptr;
         errno = 0;
         const double s = v.empty() ? 0 : std::strtod(v.c_str(), &end);
         if (v.empty() || errno != 0 || *end != '\0' || !std::isfinite(s) || s <= 0 || s > 1e9) {
           why = "'" + v + "' is not a positive number of seconds";
           return false;
         }
         o.seconds = s;
         return true;
       }},
      {"--every", "N", "print only every N-th record (all are counted); default 1",
       [](const std::string& v, CliOptions& o, std::string& why) {
         if (!ParseInt64(v, 1, INT64_MAX, o.every)) { why = "'" + v + "' is not a positive number"; return false; }
         return true;
       }},
      {"--stats", "N", "print the client's statistics, one key=value line per site type, to standard error every N"
                       " seconds",
       [](const std::string& v, CliOptions& o, std::string& why) {
         if (!ParseInt64(v, 1, 86400, o.stats_every)) {
           why = "'" + v + "' is not a number of seconds (1..86400)";
           return false;
         }
         return true;
       }},
      {"--metrics", "PORT", "serve the statistics in the Prometheus text format at http://127.0.0.1:PORT/metrics"
                            " (0: a free port, named on standard error)",
       [](const std::string& v, CliOptions& o, std::string& why) {
         int64_t n = 0;
         if (!ParseInt64(v, 0, 65535, n)) { why = "'" + v + "' is not a port number (0..65535)"; return false; }
         o.metrics_port = static_cast<int>(n);
         return true;
       }},
      {"--verbose", nullptr, "show the library's INFO lines on standard error (default: WARN and ERROR)",
       [](const std::string&, CliOptions& o, std::string&) { o.verbose = true; return true; }},
      {"--record", "FILE", "also record every market-data frame received to FILE (docs/capture-format.md)",
       NonEmpty(&CliOptions::record_file, "needs a file name")},
      {"--read", "FILE", "print the records of capture FILE (as if live) and exit, or with --summary one"
                         " line over it; no login, so --port, --user, --password and --types are not needed",
       ReadableFile(&CliOptions::read_file)},
      {"--help", nullptr, "this text", nullptr},
  };
  return table;
}

}  // namespace

ParseOutcome ParseCliOptions(const std::vector<std::string>& args) {
  ParseOutcome out;
  CliOptions& o = out.options;
  auto fail = [&out](const std::string& message) {
    out.kind = ParseOutcome::Kind::kError;
    out.error = message;
    return out;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      out.kind = ParseOutcome::Kind::kHelp;
      return out;
    }
    std::string name = arg;
    std::string value;
    bool inline_value = false;
    const size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inline_value = true;
    }
    const Flag* flag = nullptr;
    for (const Flag& f : FlagTable()) {
      if (name == f.name) flag = &f;
    }
    if (flag == nullptr || !flag->set) {
      if (arg.rfind("-", 0) != 0) return fail("unexpected argument '" + arg + "'");
      return fail("unknown flag '" + name + "'");
    }
    if (flag->argument == nullptr) {
      if (inline_value) return fail(name + ": takes no value");
    } else if (!inline_value) {
      if (i + 1 >= args.size()) return fail(name + ": needs a value (" + flag->argument + ")");
      value = args[++i];
    }
    std::string why;
    if (!flag->set(value, o, why)) return fail(name + ": " + why);
  }
  if (!o.read_file.empty()) {
    if (!o.record_file.empty()) return fail("--record: cannot be used with --read");
    out.kind = ParseOutcome::Kind::kRun;
    return out;
  }
  if (o.port == 0) return fail("--port: missing (the discovery service port)");
  if (o.user.empty()) return fail("--user: missing");
  if (o.password.empty()) return fail("--password: missing");
  if (o.data_types.empty()) return fail("--types: missing (the data types to subscribe, e.g. --types 3,6)");
  if (!o.ca_file.empty() && o.tls == CliOptions::Tls::kOff) return fail("--ca-file: cannot be used with --no-tls");
  out.kind = ParseOutcome::Kind::kRun;
  return out;
}

std::string UsageText() {
  std::ostringstream text;
  text << "Usage: qel-cli --port N --user NAME --password TEXT --types T[,T...] [flags]\n"
          "       qel-cli --read FILE [--summary] [--count N] [--every N]\n"
          "Logs in through the discovery service, subscribes and prints every market-data record\n"
          "as one JSON line on standard output:\n"
          "  {\"type\": \"QELStock\", \"site_type\": 1, \"channel\": 101, \"record\": {...}}\n"
          "or, with --summary, one line per second: records/s per record type and per site type,\n"
          "bytes/s (serialised record size) and reconnects. Stops after --count records, --seconds\n"
          "seconds, or on Ctrl-C / SIGTERM; a final summary always goes to standard error.\n"
          "Exit status: 0 done, 1 login or subscription failed (with the library's code and its\n"
          "meaning), 2 bad flags, 130 interrupted before the subscription was in force.\n\nFlags:\n";
  for (const Flag& f : FlagTable()) {
    std::string left = std::string("  ") + f.name + (f.argument ? std::string(" ") + f.argument : "");
    if (std::string(f.name) == "--help") left = "  -h, --help";
    text << left;
    if (left.size() < 32) {
      text << std::string(32 - left.size(), ' ');
    } else {
      text << "\n" << std::string(32, ' ');
    }
    text << f.help << "\n";
  }
  return text.str();
}

}  // namespace cli
}  // namespace qel
