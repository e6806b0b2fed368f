// Configuration: defaults, the key=value file reader and the setter rules.
// Each case runs in its own process (see tests/CMakeLists.txt), so every case
// starts from a fresh configuration singleton.
#include <gtest/gtest.h>

#include <string>

#include "client_config.h"
#include "config/base_config.h"
#include "support/temp_dir.h"

using com::quor::kbr::client::BaseConfig;
using com::quor::kbr::client::ClientConfig;
using qel_test::TempDir;

namespace {

BaseConfig& Cfg() { return BaseConfig::GetInstance(); }

// Loads content as a config file and returns what the reader printed.
std::string LoadConfig(const TempDir& dir, const std::string& content, bool* result = nullptr) {
  const std::string path = dir.Write("test.conf", content);
  testing::internal::CaptureStdout();
  bool ok = Cfg().SetConfigFilePath(path.c_str());
  fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  if (result != nullptr) *result = ok;
  return out;
}

}  // namespace

TEST(ConfigDefaults, FreshInstanceReportsBuiltInValues) {
  EXPECT_TRUE(Cfg().IsUseSSL());
  EXPECT_TRUE(Cfg().IsFileLog());
  EXPECT_FALSE(Cfg().IsCoutLog());
  EXPECT_EQ(Cfg().GetLogFileOutFolder(), "./");
  EXPECT_EQ(Cfg().GetSSLCertfolder(), "");
  EXPECT_EQ(Cfg().GetHandleThreadNum(), 5u);
  EXPECT_EQ(Cfg().GetLogSeverity(), 0u);
  EXPECT_EQ(Cfg().GetThreadIdleSleepTime().count(), 10);
  EXPECT_EQ(Cfg().GetDaemonCheckInterval().count(), 10);
  EXPECT_EQ(Cfg().GetReadTimeout(), 30u);
  EXPECT_EQ(Cfg().GetSendTimeout(), 30u);
  EXPECT_EQ(Cfg().GetLoginTryCount(), 3u);
  EXPECT_EQ(Cfg().GetSubscribeTryCount(), 3u);
  EXPECT_EQ(Cfg().GetLoginTryInterval(), 5u);
  EXPECT_EQ(Cfg().GetSubscirbeTryInterval(), 5u);
  EXPECT_EQ(Cfg().GetHeartBeatInterval(), 10u);
  EXPECT_EQ(Cfg().GetHeartbeatMaxCount(), 6u);
  EXPECT_EQ(Cfg().GetHttpUri(), "127.0.0.1:8090");
  EXPECT_EQ(Cfg().GetAppVersion(), "cpp_1.0.0_2025/09/30");
  EXPECT_STREQ(ClientConfig::GetAppVersion(), "cpp_1.0.0_2025/09/30");
  EXPECT_EQ(Cfg().GetConfigFilePath(), "");
}

TEST(ConfigDefaults, GetIntValueConvertsMapTextAndToleratesUnknownKeys) {
  EXPECT_EQ(Cfg().GetIntValue("ventrix_config_read_timeout"), 30);
  EXPECT_EQ(Cfg().GetIntValue("ventrix_config_login_response_wait_time"), 30);
  EXPECT_EQ(Cfg().GetIntValue("no_such_key"), 0);
  EXPECT_EQ(Cfg().GetIntValue("ventrix_config_log_folder"), 0);  // "./" has no digits
}

TEST(ConfigFile, TrimmedKeyAndValueSetTheMemberAndAreReported) {
  TempDir dir;
  std::string out = LoadConfig(dir, "  ventrix_config_handle_thread_num =\t8   \n");
  EXPECT_EQ(Cfg().GetHandleThreadNum(), 8u);
  EXPECT_EQ(out, "=== property [ventrix_config_handle_thread_num] set to [8] by file ===\n");
  EXPECT_EQ(Cfg().GetIntValue("ventrix_config_handle_thread_num"), 8);
}

// Config text with a carriage return shown as \r, for readable case names.
static std::string Shown(const char* value) {
  std::string out;
  for (const char* c = value; *c != '\0'; ++c) out += *c == '\r' ? std::string("\\r") : std::string(1, *c);
  return out;
}

struct BoolCase {
  const char* value;
  bool expected;
};
static void PrintTo(const BoolCase& c, std::ostream* os) { *os << "value " << Shown(c.value) << (c.expected ? " on" : " off"); }

class ConfigBoolValues : public testing::TestWithParam<BoolCase> {};

TEST_P(ConfigBoolValues, UseSslFollowsTheFalseWordList) {
  TempDir dir;
  LoadConfig(dir, std::string("ventrix_config_use_ssl=") + GetParam().value + "\n");
  EXPECT_EQ(Cfg().IsUseSSL(), GetParam().expected) << "value: " << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    Words, ConfigBoolValues,
    testing::Values(BoolCase{"no", false}, BoolCase{"N", false}, BoolCase{"0", false},
                    BoolCase{"none", false}, BoolCase{"False", false}, BoolCase{"fAlSe", false},
                    BoolCase{"f", false}, BoolCase{"NONE", false}, BoolCase{"off", true},
                    BoolCase{"yes", true}, BoolCase{"true", true}, BoolCase{"2", true},
                    BoolCase{"0\r", false}, BoolCase{"no\r", false}, BoolCase{"yes\r", true},
                    BoolCase{"0\r\r", true}));

struct IntCase {
  const char* value;
  uint32_t expected;
};
static void PrintTo(const IntCase& c, std::ostream* os) { *os << "value " << Shown(c.value) << " gives " << c.expected; }

class ConfigIntValues : public testing::TestWithParam<IntCase> {};

TEST_P(ConfigIntValues, ReadTimeoutParsesLikeStoiWithFallback) {
  TempDir dir;
  LoadConfig(dir, std::string("ventrix_config_read_timeout=") + GetParam().value + "\n");
  EXPECT_EQ(Cfg().GetReadTimeout(), GetParam().expected) << "value: " << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ConfigIntValues,
    testing::Values(IntCase{"12", 12}, IntCase{"12x", 12}, IntCase{"abc", 30}, IntCase{"-5", 30},
                    IntCase{"12345678901", 30}, IntCase{"2147483647", 2147483647u},
                    IntCase{"2147483648", 30}, IntCase{"+7", 7}, IntCase{"0", 0},
                    IntCase{"15\r", 15}));

// The worker pool divides by the thread count: 0 is stored as 1, from a file
// or a setter alike; the file's other values are taken as they stand.
struct ThreadNumCase {
  const char* name;
  bool from_file;
  uint32_t value;
  uint32_t expected;
};
static void PrintTo(const ThreadNumCase& c, std::ostream* os) { *os << c.name; }

class ConfigThreadNum : public testing::TestWithParam<ThreadNumCase> {};

TEST_P(ConfigThreadNum, ZeroBecomesOneOtherValuesFollowTheirSource) {
  const ThreadNumCase& c = GetParam();
  if (c.from_file) {
    TempDir dir;
    LoadConfig(dir, "ventrix_config_handle_thread_num=" + std::to_string(c.value) + "\n");
    EXPECT_EQ(Cfg().GetHandleThreadNum(), c.expected);
  } else {
    ClientConfig::SetHandleThreadNum(c.value);
    EXPECT_EQ(ClientConfig::GetHandleThreadNum(), c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ConfigThreadNum,
    testing::Values(ThreadNumCase{"FileZero", true, 0, 1}, ThreadNumCase{"FileOne", true, 1, 1},
                    ThreadNumCase{"FileAboveSetterRange", true, 150, 150},
                    ThreadNumCase{"SetterZero", false, 0, 1}, ThreadNumCase{"SetterOne", false, 1, 1},
                    ThreadNumCase{"SetterNinetyNine", false, 99, 99},
                    ThreadNumCase{"SetterHundredIgnored", false, 100, 5},
                    ThreadNumCase{"SetterHugeIgnored", false, 4000000000u, 5}),
    [](const testing::TestParamInfo<ThreadNumCase>& info) { return std::string(info.param.name); });

TEST(ConfigFile, UnknownKeyIsReportedAndChangesNothing) {
  TempDir dir;
  std::string out = LoadConfig(dir, "ventrix_config_colour = blue\n");
  EXPECT_EQ(out, "=== unknown property[ventrix_config_colour] value[blue] ===\n");
  EXPECT_EQ(Cfg().GetIntValue("ventrix_config_colour"), 0);
}

TEST(ConfigFile, CommentsEmptyValuesAndLinesWithoutEqualsArePrintedNothing) {
  TempDir dir;
  std::string out = LoadConfig(dir,
                               "# ventrix_config_read_timeout=1\n"
                               "  #ventrix_config_send_timeout=2\n"
                               "ventrix_config_daemon_check_interval=   \n"
                               "just some words\n"
                               "=7\n"
                               "\n");
  EXPECT_EQ(out, "");
  EXPECT_EQ(Cfg().GetReadTimeout(), 30u);
  EXPECT_EQ(Cfg().GetSendTimeout(), 30u);
  EXPECT_EQ(Cfg().GetDaemonCheckInterval().count(), 10);
}

TEST(ConfigFile, ExtraEqualsAndTrailingCommentBelongToTheValue) {
  TempDir dir;
  LoadConfig(dir, "ventrix_config_log_folder = logs/a=b # note\n");
  EXPECT_EQ(Cfg().GetLogFileOutFolder(), "logs/a=b # note");
}

TEST(ConfigFile, LaterLineWinsAndLastLineNeedsNoLineFeed) {
  TempDir dir;
  LoadConfig(dir, "ventrix_config_send_timeout=11\nventrix_config_send_timeout=22");
  EXPECT_EQ(Cfg().GetSendTimeout(), 22u);
}

// A file written with CR-LF line ends reads exactly like one with LF ends; a
// carriage return inside a line is left alone.
struct LineEndCase {
  const char* name;
  const char* eol;
};
static void PrintTo(const LineEndCase& c, std::ostream* os) { *os << c.name; }

class ConfigLineEnds : public testing::TestWithParam<LineEndCase> {};

TEST_P(ConfigLineEnds, ValuesCarryNoLineEndCharacters) {
  TempDir dir;
  const std::string eol = GetParam().eol;
  const std::string out = LoadConfig(dir, "ventrix_config_use_ssl=0" + eol + "ventrix_config_read_timeout=17" + eol +
                                              "ventrix_config_cert_folder=/certs/" + eol +
                                              "ventrix_config_log_folder=a\rb/" + eol);
  EXPECT_FALSE(Cfg().IsUseSSL());
  EXPECT_EQ(Cfg().GetReadTimeout(), 17u);
  EXPECT_EQ(Cfg().GetSSLCertfolder(), "/certs/");
  EXPECT_EQ(Cfg().GetLogFileOutFolder(), "a\rb/");
  EXPECT_NE(out.find("=== property [ventrix_config_use_ssl] set to [0] by file ===\n"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Files, ConfigLineEnds,
                         testing::Values(LineEndCase{"LineFeed", "\n"}, LineEndCase{"CarriageReturnLineFeed", "\r\n"}),
                         [](const testing::TestParamInfo<LineEndCase>& info) { return std::string(info.param.name); });

TEST(ConfigFile, SetterBeforeLoadIsReplacedSetterAfterLoadSticks) {
  TempDir dir;
  Cfg().SetReadTimeout(5);
  LoadConfig(dir, "ventrix_config_send_timeout=9\n");
  EXPECT_EQ(Cfg().GetReadTimeout(), 30u);  // re-derived from the map's default
  EXPECT_EQ(Cfg().GetSendTimeout(), 9u);
  Cfg().SetReadTimeout(5);
  EXPECT_EQ(Cfg().GetReadTimeout(), 5u);
  EXPECT_EQ(Cfg().GetIntValue("ventrix_config_read_timeout"), 30);  // setters never touch the map
}

TEST(ConfigFile, OverlongLineIsSkippedAndLaterLinesStillRead) {
  TempDir dir;
  const std::string key = "ventrix_config_log_folder=";
  for (size_t len : {2046u, 2047u, 2048u, 5000u}) {
    Cfg().SetLogFileOutFolder("before/");
    const std::string value(len - key.size(), 'd');
    LoadConfig(dir, "ventrix_config_log_folder=before/\n" + key + value +
                        "\nventrix_config_read_timeout=" + std::to_string(len % 100) + "\n");
    EXPECT_EQ(Cfg().GetReadTimeout(), len % 100) << "line after one of length " << len;
    if (len <= 2047) {
      EXPECT_EQ(Cfg().GetLogFileOutFolder(), value) << "a line that fits is read whole";
    } else {
      EXPECT_EQ(Cfg().GetLogFileOutFolder(), "before/") << "an overlong line is skipped whole";
    }
  }
}

TEST(ConfigFile, BadPathsReturnFalseAndChangeNothing) {
  testing::internal::CaptureStdout();
  EXPECT_FALSE(Cfg().SetConfigFilePath(nullptr));
  EXPECT_FALSE(Cfg().SetConfigFilePath(""));
  EXPECT_FALSE(Cfg().SetConfigFilePath("/nonexistent/dir/x.conf"));
  fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "config file is nullconfig file is nullread config file:/nonexistent/dir/x.conf failed\n");
  EXPECT_EQ(Cfg().GetReadTimeout(), 30u);
}

TEST(ConfigFile, DirectoryAsPathEndsReadingWithoutHanging) {
  TempDir dir;
  testing::internal::CaptureStdout();
  Cfg().SetConfigFilePath(dir.path().c_str());  // opens but every read fails
  fflush(stdout);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(Cfg().GetReadTimeout(), 30u);
}

TEST(ClientConfigFacade, ForwardsToTheSharedInstance) {
  ClientConfig::SetUseSSL(false);
  EXPECT_FALSE(Cfg().IsUseSSL());
  ClientConfig::SetSSLCertfolder("/etc/certs/");
  EXPECT_STREQ(ClientConfig::GetSSLCertfolder(), "/etc/certs/");
  ClientConfig::SetLogFileOutFolder("logs/");
  EXPECT_EQ(Cfg().GetLogFileOutFolder(), "logs/");
  ClientConfig::SetLogSeverity(com::quor::kbr::client::VENTRIX_WARN);
  EXPECT_EQ(Cfg().GetLogSeverity(), 2u);
  EXPECT_EQ(ClientConfig::GetLogSeverity(), com::quor::kbr::client::VENTRIX_WARN);
  ClientConfig::CloseFileLog();
  ClientConfig::OpenCoutLog();
  EXPECT_FALSE(ClientConfig::IsFileLog());
  EXPECT_TRUE(ClientConfig::IsCoutLog());
  ClientConfig::SetThreadIdleSleepTime(250);
  EXPECT_EQ(Cfg().GetThreadIdleSleepTime().count(), 250);
  ClientConfig::SetReadTimeout(7);
  ClientConfig::SetSendTimeout(8);
  EXPECT_EQ(ClientConfig::GetReadTimeout(), 7u);
  EXPECT_EQ(ClientConfig::GetSendTimeout(), 8u);
  EXPECT_EQ(ClientConfig::GetHeartBeatInterval(), 10u);
}

TEST(ConfigFile, InflightBudgetDefaultsTo256MiBAndIsReadFromTheFile) {
  EXPECT_EQ(Cfg().GetMaxInflightBytes(), 256u << 20);
  EXPECT_EQ(Cfg().GetIntValue("ventrix_config_max_inflight_bytes"), 256 << 20);
  TempDir dir;
  const std::string out = LoadConfig(dir, "ventrix_config_max_inflight_bytes=1048576\n");
  EXPECT_EQ(out.find("unknown property"), std::string::npos) << out;
  EXPECT_EQ(Cfg().GetMaxInflightBytes(), 1048576u);
  LoadConfig(dir, "ventrix_config_max_inflight_bytes=lots\n");
  EXPECT_EQ(Cfg().GetMaxInflightBytes(), 256u << 20) << "unreadable text falls back to the default";
}
