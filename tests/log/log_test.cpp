// Logging: targets by severity, the line format, the per-process file and its
// life cycle, and whole lines under concurrent writers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <chrono>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/base_config.h"
#include "log/base_log.h"
#include "support/temp_dir.h"

namespace qc = com::quor::kbr::client;
using qel_test::TempDir;

namespace {

// Records everything the library hands to a user sink.
class RecordingSink : public qc::LogInterface {
 public:
  void LogPrint(qc::VentrixLogLevel level, const char* message) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.emplace_back(level, message);
  }
  std::vector<std::pair<qc::VentrixLogLevel, std::string>> entries() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries;
  }

 private:
  std::mutex m_mutex;
  std::vector<std::pair<qc::VentrixLogLevel, std::string>> m_entries;
};

class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    cfg().SetLogFileOutFolder(m_dir.path() + "/");
    cfg().OpenFileLog();
    cfg().CloseCoutLog();
    cfg().SetLogSeverity(0);
  }
  void TearDown() override {
    qc::SetGlobalLog(nullptr);
    qc::CloseLogOfs();
  }
  static qc::BaseConfig& cfg() { return qc::BaseConfig::GetInstance(); }
  std::string LogFile() const { return m_dir.path() + "/pid_" + std::to_string(getpid()) + ".log"; }
  std::string FileText() const { return TempDir::Read(LogFile()); }
  bool FileExists() const { return access(LogFile().c_str(), F_OK) == 0; }

  TempDir m_dir;
};

std::vector<std::string> LinesWith(const std::string& text, const std::string& needle) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(needle) != std::string::npos) out.push_back(line);
  }
  return out;
}

}  // namespace

TEST_F(LogTest, LineCarriesStampPidFiveCharacterLevelAndMessage) {
  qc::WarnPrint("disk %d%% full", 93);
  qc::InfoPrint("hello %s", "world");
  const std::string pid = std::to_string(getpid());
  const std::regex warn("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}:\\d{6} pid\\[" + pid +
                        "\\] WARN : disk 93% full");
  const std::regex info("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}:\\d{6} pid\\[" + pid +
                        "\\] INFO : hello world");
  auto warn_lines = LinesWith(FileText(), "disk");
  auto info_lines = LinesWith(FileText(), "hello");
  ASSERT_EQ(warn_lines.size(), 1u);
  ASSERT_EQ(info_lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(warn_lines[0], warn)) << warn_lines[0];
  EXPECT_TRUE(std::regex_match(info_lines[0], info)) << info_lines[0];
}

TEST_F(LogTest, SeverityFiltersFileAndConsoleButNeverTheSink) {
  RecordingSink sink;
  qc::SetGlobalLog(&sink);
  cfg().OpenCoutLog();
  cfg().SetLogSeverity(2);
  testing::internal::CaptureStdout();
  qc::InfoPrint("quiet-info");
  qc::WarnPrint("loud-warn");
  fflush(stdout);
  std::string console = testing::internal::GetCapturedStdout();

  auto entries = sink.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], std::make_pair(qc::VENTRIX_INFO, std::string("quiet-info")));
  EXPECT_EQ(entries[1], std::make_pair(qc::VENTRIX_WARN, std::string("loud-warn")));
  EXPECT_EQ(LinesWith(console, "quiet-info").size(), 0u);
  EXPECT_EQ(LinesWith(console, "loud-warn").size(), 1u);
  EXPECT_EQ(LinesWith(FileText(), "quiet-info").size(), 0u);
  EXPECT_EQ(LinesWith(FileText(), "loud-warn").size(), 1u);
}

TEST_F(LogTest, SeverityAboveErrorSilencesFileAndConsoleOnly) {
  RecordingSink sink;
  qc::SetGlobalLog(&sink);
  cfg().OpenCoutLog();
  cfg().SetLogSeverity(4);
  testing::internal::CaptureStdout();
  qc::DebugPrint("a");
  qc::ErrorPrint("b");
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(sink.entries().size(), 2u);
  EXPECT_FALSE(FileExists());
}

TEST_F(LogTest, AllTargetsOffCreatesNoFile) {
  cfg().CloseFileLog();
  cfg().CloseCoutLog();
  testing::internal::CaptureStdout();
  qc::ErrorPrint("nobody hears this");
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(FileExists());
}

TEST_F(LogTest, FolderWithoutSeparatorIsAPlainPrefix) {
  cfg().SetLogFileOutFolder(m_dir.path() + "/logs");
  qc::InfoPrint("prefixed");
  const std::string file = m_dir.path() + "/logspid_" + std::to_string(getpid()) + ".log";
  EXPECT_EQ(LinesWith(TempDir::Read(file), "prefixed").size(), 1u);
}

TEST_F(LogTest, SinkGetsExactTextAndLongMessagesAreWhole) {
  RecordingSink sink;
  qc::SetGlobalLog(&sink);
  const std::string big(60000, 'z');
  qc::ErrorPrint("%s|end", big.c_str());
  auto entries = sink.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].second, big + "|end");  // no line break appended
  auto lines = LinesWith(FileText(), "|end");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(big + "|end"), std::string::npos);
}

TEST_F(LogTest, SinkCanBeReplacedAndRemoved) {
  RecordingSink first;
  RecordingSink second;
  qc::SetGlobalLog(&first);
  qc::InfoPrint("one");
  qc::SetGlobalLog(&second);
  qc::InfoPrint("two");
  qc::SetGlobalLog(nullptr);
  qc::InfoPrint("three");
  ASSERT_EQ(first.entries().size(), 1u);
  ASSERT_EQ(second.entries().size(), 1u);
  EXPECT_EQ(second.entries()[0].second, "two");
}

TEST_F(LogTest, FileOpensWithBannerAndReopensTruncatedAfterClose) {
  testing::internal::CaptureStdout();
  qc::InfoPrint("first-life");
  fflush(stdout);
  std::string console = testing::internal::GetCapturedStdout();
  EXPECT_NE(console.find("Version:  1. 0. 0"), std::string::npos);
  EXPECT_NE(console.find("open log file[" + LogFile() + "] successfully!\n"), std::string::npos);
  std::string text = FileText();
  EXPECT_NE(text.find("Version:  1. 0. 0"), std::string::npos);
  EXPECT_EQ(LinesWith(text, "first-life").size(), 1u);

  qc::CloseLogOfs();
  qc::CloseLogOfs();  // a second close is harmless
  testing::internal::CaptureStdout();
  qc::InfoPrint("second-life");
  fflush(stdout);
  testing::internal::GetCapturedStdout();
  text = FileText();
  EXPECT_EQ(LinesWith(text, "first-life").size(), 0u) << "reopening truncates";
  EXPECT_EQ(LinesWith(text, "second-life").size(), 1u);
  EXPECT_NE(text.find("Version:  1. 0. 0"), std::string::npos);
}

// The file carries what the application logs (hosts, users, requests): only
// its owner may read it, whatever the umask, and also when an earlier file
// of the same name was readable by others.
TEST_F(LogTest, FileIsReadableByItsOwnerOnly) {
  const mode_t old_umask = umask(022);
  for (const bool existed : {false, true}) {
    qc::CloseLogOfs();
    if (existed) {
      std::ofstream(LogFile()) << "an earlier run\n";
      ASSERT_EQ(chmod(LogFile().c_str(), 0644), 0);
    } else {
      unlink(LogFile().c_str());
    }
    testing::internal::CaptureStdout();
    qc::InfoPrint("owner only");
    fflush(stdout);
    testing::internal::GetCapturedStdout();
    struct stat st {};
    ASSERT_EQ(stat(LogFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "file existed before: " << existed;
    EXPECT_EQ(LinesWith(FileText(), "owner only").size(), 1u);
    EXPECT_EQ(FileText().find("an earlier run"), std::string::npos) << "opening truncates";
  }
  umask(old_umask);
}

TEST_F(LogTest, UnopenableFileIsReportedAndConsoleContinues) {
  cfg().SetLogFileOutFolder("/proc/qel-no-such-folder/");
  cfg().OpenCoutLog();
  testing::internal::CaptureStdout();
  qc::InfoPrint("still on console");
  qc::InfoPrint("again");
  fflush(stdout);
  std::string console = testing::internal::GetCapturedStdout();
  EXPECT_NE(console.find("Create folder: /proc/qel-no-such-folder/ failed, set to default path"),
            std::string::npos);
  EXPECT_EQ(LinesWith(console, "still on console").size(), 1u);
  EXPECT_EQ(LinesWith(console, "again").size(), 1u);
}

TEST_F(LogTest, ConcurrentWritersProduceWholeLines) {
  constexpr int kThreads = 4;
  constexpr int kLines = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) qc::InfoPrint("writer %d line %d payload-%s", t, i, "abcdefghij");
    });
  }
  for (auto& th : threads) th.join();
  const std::regex whole(".* INFO : writer \\d line \\d+ payload-abcdefghij");
  auto lines = LinesWith(FileText(), "writer ");
  EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  for (const auto& line : lines) ASSERT_TRUE(std::regex_match(line, whole)) << line;
}

TEST_F(LogTest, CloseWhileOthersLogNeverTearsTheStream) {
  std::atomic<bool> stop{false};
  testing::internal::CaptureStdout();  // each reopen prints the banner
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&stop, t] {
      int i = 0;
      while (!stop.load()) qc::WarnPrint("closer-race %d %d end", t, i++);
    });
  }
  for (int i = 0; i < 200; ++i) {
    qc::CloseLogOfs();
    std::this_thread::yield();
  }
  stop = true;
  for (auto& th : writers) th.join();
  qc::WarnPrint("closer-race final end");
  fflush(stdout);
  testing::internal::GetCapturedStdout();
  const std::regex whole(".* WARN : closer-race (\\d \\d+|final) end");
  auto lines = LinesWith(FileText(), "closer-race");
  ASSERT_FALSE(lines.empty());
  for (const auto& line : lines) ASSERT_TRUE(std::regex_match(line, whole)) << line;
  EXPECT_NE(lines.back().find("final"), std::string::npos);
}

// A sink that notices being called once it has been retired, i.e. after the
// SetGlobalLog that replaced it returned (when the application may already
// have destroyed it). Each call lingers a little, so a call that began before
// the swap is still running when the swap returns unless the swap waits.
class RetirableSink : public qc::LogInterface {
 public:
  void LogPrint(qc::VentrixLogLevel, const char*) override {
    if (m_retired.load()) m_late_calls.fetch_add(1);
    m_calls.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::microseconds(20));
    if (m_retired.load()) m_late_calls.fetch_add(1);
  }
  void Retire() { m_retired = true; }
  int late_calls() const { return m_late_calls.load(); }
  int calls() const { return m_calls.load(); }

 private:
  std::atomic<bool> m_retired{false};
  std::atomic<int> m_late_calls{0};
  std::atomic<int> m_calls{0};
};

TEST_F(LogTest, ReplacedSinkIsNeverCalledAfterTheSwapReturns) {
  cfg().CloseFileLog();
  constexpr int kSinks = 200;
  std::vector<std::unique_ptr<RetirableSink>> sinks;
  for (int i = 0; i < kSinks; ++i) sinks.push_back(std::make_unique<RetirableSink>());
  std::atomic<bool> stop{false};
  std::vector<std::thread> loggers;
  for (int t = 0; t < 3; ++t) {
    loggers.emplace_back([&stop, t] {
      while (!stop.load()) qc::InfoPrint("swap-race %d", t);
    });
  }
  qc::SetGlobalLog(sinks[0].get());
  for (int i = 1; i < kSinks; ++i) {
    while (sinks[i - 1]->calls() == 0) std::this_thread::yield();  // the loggers are using it
    qc::SetGlobalLog(sinks[i].get());
    sinks[i - 1]->Retire();
  }
  qc::SetGlobalLog(nullptr);
  sinks.back()->Retire();
  stop = true;
  for (auto& th : loggers) th.join();
  int late = 0;
  for (const auto& sink : sinks) late += sink->late_calls();
  EXPECT_EQ(late, 0) << "calls into a sink after the swap that retired it returned";
}
