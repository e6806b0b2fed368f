// qel-cli's flag parser: every rejected flag yields one line naming the flag,
// valid command lines give the options, and the help text lists every flag.
// Also the library's table of result-code meanings that qel-cli reports.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "cli_options.h"
#include "client_interface.h"
#include "config/error_define.h"
#include "support/temp_dir.h"

namespace {

using qel::cli::CliOptions;
using qel::cli::ParseCliOptions;
using qel::cli::ParseOutcome;

// The flags every valid command line below starts from.
std::vector<std::string> Base() {
  return {"--port", "9100", "--user", "demo", "--password", "pw", "--types", "3"};
}

struct BadFlagCase {
  const char* name;
  std::vector<std::string> extra;  // appended to Base(), or the whole line if replace
  bool replace;
  const char* message;             // expected to occur in the error line
};

class CliBadFlags : public testing::TestWithParam<BadFlagCase> {};

TEST_P(CliBadFlags, RejectedWithOneLineNamingTheFlag) {
  const BadFlagCase& c = GetParam();
  std::vector<std::string> args = c.replace ? std::vector<std::string>{} : Base();
  args.insert(args.end(), c.extra.begin(), c.extra.end());
  const ParseOutcome out = ParseCliOptions(args);
  ASSERT_EQ(out.kind, ParseOutcome::Kind::kError) << c.name;
  EXPECT_NE(out.error.find(c.message), std::string::npos) << "error was: " << out.error;
  EXPECT_EQ(out.error.find('\n'), std::string::npos) << out.error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliBadFlags,
    testing::Values(
        BadFlagCase{"unknown_flag", {"--colour"}, false, "unknown flag '--colour'"},
        BadFlagCase{"stray_argument", {"extra"}, false, "unexpected argument 'extra'"},
        BadFlagCase{"port_text", {"--port", "ninety"}, false, "--port: 'ninety' is not a port number"},
        BadFlagCase{"port_zero", {"--port", "0"}, false, "--port: '0' is not a port number"},
        BadFlagCase{"port_too_big", {"--port=65536"}, false, "--port: '65536' is not a port number"},
        BadFlagCase{"port_trailing", {"--port", "91x"}, false, "--port: '91x'"},
        BadFlagCase{"port_missing_value", {"--port"}, false, "--port: needs a value (N)"},
        BadFlagCase{"port_absent", {"--user", "u", "--password", "p", "--types", "3"}, true, "--port: missing"},
        BadFlagCase{"user_absent", {"--port", "1", "--password", "p", "--types", "3"}, true, "--user: missing"},
        BadFlagCase{"password_absent", {"--port", "1", "--user", "u", "--types", "3"}, true, "--password: missing"},
        BadFlagCase{"types_absent", {"--port", "1", "--user", "u", "--password", "p"}, true, "--types: missing"},
        BadFlagCase{"empty_user", {"--user="}, false, "--user: needs a user name"},
        BadFlagCase{"type_not_number", {"--types", "3,stock"}, false, "--types: 'stock' is not a data type"},
        BadFlagCase{"type_negative", {"--types", "-3"}, false, "--types: '-3' is not a data type"},
        BadFlagCase{"type_empty_item", {"--types", "3,"}, false, "--types: '' is not a data type"},
        BadFlagCase{"id_too_long", {"--ids", std::string(33, 'X')}, false, "--ids: '"},
        BadFlagCase{"backup_no_port", {"--backup", "127.0.0.1"}, false, "--backup: '127.0.0.1' is not ip:port"},
        BadFlagCase{"backup_bad_port", {"--backup", "127.0.0.1:9100,127.0.0.1:0"}, false,
                    "--backup: '127.0.0.1:0' is not ip:port"},
        BadFlagCase{"count_zero", {"--count", "0"}, false, "--count: '0' is not a positive count"},
        BadFlagCase{"count_negative", {"--count=-5"}, false, "--count: '-5'"},
        BadFlagCase{"seconds_text", {"--seconds", "soon"}, false, "--seconds: 'soon' is not a positive number"},
        BadFlagCase{"seconds_zero", {"--seconds", "0"}, false, "--seconds: '0'"},
        BadFlagCase{"seconds_nan", {"--seconds", "nan"}, false, "--seconds: 'nan'"},
        BadFlagCase{"every_zero", {"--every", "0"}, false, "--every: '0' is not a positive number"},
        BadFlagCase{"stats_zero", {"--stats", "0"}, false, "--stats: '0' is not a number of seconds (1..86400)"},
        BadFlagCase{"stats_text", {"--stats=often"}, false, "--stats: 'often'"},
        BadFlagCase{"metrics_too_big", {"--metrics", "65536"}, false, "--metrics: '65536' is not a port number"},
        BadFlagCase{"metrics_negative", {"--metrics=-1"}, false, "--metrics: '-1'"},
        BadFlagCase{"metrics_missing_value", {"--metrics"}, false, "--metrics: needs a value (PORT)"},
        BadFlagCase{"switch_with_value", {"--summary=yes"}, false, "--summary: takes no value"},
        BadFlagCase{"ca_file_missing", {"--ca-file", "/nonexistent/ca.pem"}, false,
                    "--ca-file: cannot read '/nonexistent/ca.pem'"},
        BadFlagCase{"config_missing", {"--config", "/nonexistent/qel.conf"}, false,
                    "--config: cannot read '/nonexistent/qel.conf'"},
        BadFlagCase{"record_empty", {"--record="}, false, "--record: needs a file name"},
        BadFlagCase{"read_missing", {"--read", "/nonexistent/capture.qelcap"}, false,
                    "--read: cannot read '/nonexistent/capture.qelcap'"},
        BadFlagCase{"read_with_record", {"--read", "/dev/null", "--record", "/tmp/x"}, true,
                    "--record: cannot be used with --read"},
        BadFlagCase{"ca_file_without_tls", {"--no-tls", "--ca-file", "/dev/null"}, false,
                    "--ca-file: cannot be used with --no-tls"}),
    [](const testing::TestParamInfo<BadFlagCase>& info) { return std::string(info.param.name); });

TEST(CliOptions, ValidLineGivesEveryValue) {
  qel_test::TempDir dir;
  const std::string ca = dir.path() + "/ca.pem";
  std::ofstream(ca) << "not checked by the parser\n";
  const ParseOutcome out = ParseCliOptions(
      {"--host", "127.0.0.2", "--port=9200", "--user", "u", "--password", "p=w", "--backup",
       "127.0.0.1:9101,127.0.0.1:9102", "--backup=127.0.0.1:9103", "--tls", "--ca-file", ca,
       "--types", "3,6", "--ids", "600000.SH,000001.SZ", "--summary", "--count", "7", "--seconds", "1.5",
       "--every", "4", "--verbose", "--stats", "5", "--metrics", "9464"});
  ASSERT_EQ(out.kind, ParseOutcome::Kind::kRun) << out.error;
  const CliOptions& o = out.options;
  EXPECT_EQ(o.host, "127.0.0.2");
  EXPECT_EQ(o.port, 9200);
  EXPECT_EQ(o.password, "p=w");  // only the first '=' splits an inline value
  EXPECT_EQ(o.backups, (std::vector<std::string>{"127.0.0.1:9101", "127.0.0.1:9102", "127.0.0.1:9103"}));
  EXPECT_EQ(o.tls, CliOptions::Tls::kOn);
  EXPECT_EQ(o.ca_file, ca);
  EXPECT_EQ(o.data_types, (std::vector<int>{3, 6}));
  EXPECT_EQ(o.security_ids, (std::vector<std::string>{"600000.SH", "000001.SZ"}));
  EXPECT_TRUE(o.summary);
  EXPECT_EQ(o.count, 7);
  EXPECT_DOUBLE_EQ(o.seconds, 1.5);
  EXPECT_EQ(o.every, 4);
  EXPECT_TRUE(o.verbose);
  EXPECT_EQ(o.stats_every, 5);
  EXPECT_EQ(o.metrics_port, 9464);

  const ParseOutcome plain = ParseCliOptions(Base());
  ASSERT_EQ(plain.kind, ParseOutcome::Kind::kRun) << plain.error;
  EXPECT_EQ(plain.options.tls, CliOptions::Tls::kUnset);  // the library's setting stands
  EXPECT_EQ(plain.options.count, 0);
  EXPECT_EQ(plain.options.every, 1);
  EXPECT_EQ(plain.options.stats_every, 0);    // no statistics lines
  EXPECT_EQ(plain.options.metrics_port, -1);  // no metrics server
  // Port 0 asks for a free port.
  std::vector<std::string> any_port = Base();
  any_port.insert(any_port.end(), {"--metrics", "0"});
  EXPECT_EQ(ParseCliOptions(any_port).options.metrics_port, 0);
}

TEST(CliOptions, ReadNeedsNoLoginFlagsAndRecordKeepsThem) {
  const ParseOutcome read = ParseCliOptions({"--read", "/dev/null", "--summary"});
  ASSERT_EQ(read.kind, ParseOutcome::Kind::kRun) << read.error;
  EXPECT_EQ(read.options.read_file, "/dev/null");
  EXPECT_TRUE(read.options.summary);

  std::vector<std::string> record_line = Base();
  record_line.insert(record_line.end(), {"--record", "/tmp/run.qelcap"});
  const ParseOutcome record = ParseCliOptions(record_line);
  ASSERT_EQ(record.kind, ParseOutcome::Kind::kRun) << record.error;
  EXPECT_EQ(record.options.record_file, "/tmp/run.qelcap");
  // Recording is a live run: the login flags are still required.
  const ParseOutcome no_port = ParseCliOptions({"--record", "/tmp/run.qelcap", "--user", "u"});
  ASSERT_EQ(no_port.kind, ParseOutcome::Kind::kError);
  EXPECT_NE(no_port.error.find("--port: missing"), std::string::npos) << no_port.error;
}

TEST(CliOptions, HelpAnywhereAndEveryFlagListed) {
  EXPECT_EQ(ParseCliOptions({"-h"}).kind, ParseOutcome::Kind::kHelp);
  EXPECT_EQ(ParseCliOptions({"--user", "u", "--help"}).kind, ParseOutcome::Kind::kHelp);
  const std::string help = qel::cli::UsageText();
  for (const char* flag : {"--host", "--port", "--user", "--password", "--backup", "--tls", "--no-tls",
                           "--ca-file", "--config", "--types", "--ids", "--summary", "--count", "--seconds",
                           "--every", "--stats", "--metrics", "--verbose", "--record", "--read", "--help"}) {
    EXPECT_NE(help.find(std::string(flag) + " "), std::string::npos) << flag;
    // Each flag the help names is one the parser knows.
    const ParseOutcome out = ParseCliOptions({flag});
    EXPECT_EQ(out.error.find("unknown flag"), std::string::npos) << flag << ": " << out.error;
  }
}

TEST(ResultCodeMeaning, EveryCodeHasItsOwnText) {
  namespace qc = com::quor::kbr::client;
  const int codes[] = {qc::UNKNOWN_ERROR, qc::OUT_OF_MEMORY, qc::SERIALIZE_MESSAGE_HEADER_TO_ARRAY_FAILED,
                       qc::SERIALIZE_MESSAGE_META_TO_ARRAY_FAILED, qc::SERIALIZE_MESSAGE_BODY_TO_ARRAY_FAILED,
                       qc::INVALID_VENTRIX_MESSAGE_BUF, qc::PARSE_MESSAGE_HEADER_FROM_ARRAY_FAILED,
                       qc::PARSE_MESSAGE_META_FROM_ARRAY_FAILED, qc::PARSE_MESSAGE_BODY_FROM_ARRAY_FAILED,
                       qc::INVALID_INPUT_PORT, qc::INVALID_INPUT_USER, qc::INVALID_INPUT_IP,
                       qc::INVALID_INPUT_CONFIG_FOLDER, qc::INVALID_INPUT_LOG_FOLDER, qc::INVALID_INPUT_CA_FOLDER,
                       qc::INVALID_SUBSCRIBE_INPUT, qc::INVALID_QUERY_INPUT, qc::INVALID_PLAYBACK_INPUT,
                       qc::INVALID_CLIENT, qc::LOGIN_DISCOVERY_FAILED_NEED_RECONNECT,
                       qc::LOGIN_DISCOVERY_FAILED_END, qc::LOGIN_DATAFEED_FAILED_NEED_RECONNECT,
                       qc::LOGIN_DATAFEED_FAILED_END, qc::SUBSCRIBE_RESPONSE_REJECT,
                       qc::SUBSCRIBE_RESPONSE_TIMEOUT, qc::INIT_SSL_CONTEXT_FAILED, qc::SSL_VERIFY_CA_FAILED,
                       qc::INIT_SSL_FAILED, qc::INIT_SSL_SOCKET_FAILED, qc::SSL_SOCKET_CONNECT_FAILED,
                       qc::INVALID_DATAFEED_SOCKET, qc::SEND_HEARTBEAT_FAILED};
  std::vector<std::string> seen;
  for (int code : codes) {
    const std::string text = qc::ResultCodeMeaning(code);
    EXPECT_NE(text, "unknown result code") << code;
    for (const std::string& other : seen) EXPECT_NE(text, other) << code;
    seen.push_back(text);
  }
  EXPECT_STREQ(qc::ResultCodeMeaning(0), "success");
  EXPECT_STREQ(qc::ResultCodeMeaning(-1), "unknown result code");
}

}  // namespace
