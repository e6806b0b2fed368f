// Platform and encoding kits. The password encoding is checked against an
// independent AES implementation: the openssl command-line tool.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "kits/multi_platform_kits.h"
#include "kits/standard_lib_kits.h"
#include "support/temp_dir.h"

namespace qc = com::quor::kbr::client;
using qel_test::TempDir;

namespace {

const char kKeyText[] = "mzvq8tr!wpx_k3y$";

std::string Hex(const std::string& bytes, bool upper) {
  static const char* lower_digits = "0123456789abcdef";
  static const char* upper_digits = "0123456789ABCDEF";
  const char* d = upper ? upper_digits : lower_digits;
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(d[c >> 4]);
    out.push_back(d[c & 15]);
  }
  return out;
}

// Encrypts with `openssl enc -aes-128-ecb` (PKCS#7 padding) under the
// library's key and returns the cipher text as upper-case hexadecimal.
std::string OpensslEncrypt(const std::string& plain) {
  TempDir dir;
  const std::string in = dir.Write("plain.bin", plain);
  const std::string out = dir.path() + "/cipher.bin";
  const std::string cmd = "openssl enc -aes-128-ecb -K " + Hex(kKeyText, false) + " -in '" + in +
                          "' -out '" + out + "' 2>/dev/null";
  if (std::system(cmd.c_str()) != 0) return "openssl failed";
  return Hex(TempDir::Read(out), true);
}

qc::StandardLibKits& Kits() { return *qc::StandardLibKits::GetInstance(); }

}  // namespace

class AesAgainstOpenssl : public testing::TestWithParam<std::string> {};

TEST_P(AesAgainstOpenssl, EncodingMatchesOpensslAndDecodesBack) {
  const std::string& plain = GetParam();
  const std::string encoded = Kits().EncodeByAesEcbPkcs5padding(plain);
  EXPECT_EQ(encoded, OpensslEncrypt(plain));
  EXPECT_EQ(encoded.size(), 32 * (plain.size() / 16 + 1));
  EXPECT_TRUE(std::regex_match(encoded, std::regex("[0-9A-F]*")));
  EXPECT_EQ(Kits().DecodeByAesEcbPkcs5padding(encoded), plain);
}

INSTANTIATE_TEST_SUITE_P(Inputs, AesAgainstOpenssl,
                         testing::Values(std::string(), std::string(15, 'a'), std::string(16, 'b'),
                                         std::string(17, 'c'), std::string("pässwörd-\xe6\x97\xa5\xe6\x9c\xac"),
                                         std::string("with\0nul", 8), std::string(200, 'q')));

TEST(AesEncoding, LowerCaseOddLengthAndForeignCharactersDecodeToEmpty) {
  const std::string encoded = Kits().EncodeByAesEcbPkcs5padding("secret");
  std::string lower = encoded;
  for (char& c : lower) c = static_cast<char>(tolower(c));
  ASSERT_NE(lower, encoded);
  EXPECT_EQ(Kits().DecodeByAesEcbPkcs5padding(lower), "");
  EXPECT_EQ(Kits().DecodeByAesEcbPkcs5padding(encoded.substr(1)), "");
  EXPECT_EQ(Kits().DecodeByAesEcbPkcs5padding(encoded.substr(0, 30) + "G0"), "");
  // Well-formed hex that is not a valid padded cipher text does not decrypt.
  EXPECT_EQ(Kits().DecodeByAesEcbPkcs5padding(std::string(32, '0')), "");
}

TEST(AesEncoding, OversizedInputGivesEmptyTextWithoutOverrun) {
  // 495 bytes encrypt to 496 (992 hex characters): the largest that fits.
  EXPECT_EQ(Kits().EncodeByAesEcbPkcs5padding(std::string(495, 'x')).size(), 992u);
  EXPECT_EQ(Kits().EncodeByAesEcbPkcs5padding(std::string(511, 'x')), "");
  EXPECT_EQ(Kits().EncodeByAesEcbPkcs5padding(std::string(100000, 'x')), "");
  const qc::u_string key = qc::StandardLibKits::String2Ustring(kKeyText);
  EXPECT_TRUE(Kits().Encode(key, qc::u_string(5000, 'a')).empty());
  EXPECT_TRUE(Kits().Decode(key, qc::u_string(5008, 'a')).empty());
}

TEST(AesEncoding, RawEncodeDecodeUseFirstSixteenKeyBytes) {
  const qc::u_string long_key = qc::StandardLibKits::String2Ustring(std::string(kKeyText) + "ignored-tail");
  const qc::u_string key = qc::StandardLibKits::String2Ustring(kKeyText);
  const qc::u_string data = qc::StandardLibKits::String2Ustring("market");
  EXPECT_EQ(Kits().Encode(long_key, data), Kits().Encode(key, data));
  EXPECT_EQ(Kits().Decode(key, Kits().Encode(key, data)), data);
  EXPECT_TRUE(Kits().Encode(qc::StandardLibKits::String2Ustring("short"), data).empty());
}

TEST(ByteOrder, SwapsAreInvolutions) {
  char four[4] = {1, 2, 3, 4};
  qc::StandardLibKits::Convert4Bytes2BigEndian(four);
  EXPECT_EQ(std::string(four, 4), std::string("\x04\x03\x02\x01", 4));
  qc::StandardLibKits::Convert4BytesNetwork2Local(four);
  EXPECT_EQ(std::string(four, 4), std::string("\x01\x02\x03\x04", 4));
  char two[2] = {7, 9};
  qc::StandardLibKits::Convert2Bytes2BigEndian(two);
  EXPECT_EQ(two[0], 9);
  qc::StandardLibKits::Convert2BytesNetwork2Local(two);
  EXPECT_EQ(two[0], 7);
}

TEST(Timestamps, ScalesAgree) {
  const int64_t ns = Kits().GetCurrentUnixTimestampNanos();
  const int64_t us = Kits().GetCurrentUnixTimestampMicros();
  const int64_t s = Kits().GetCurrentUnixTimestampSeconds();
  EXPECT_GT(ns, 1600000000LL * 1000000000LL);
  EXPECT_GE(us, ns / 1000);
  EXPECT_LE(us - ns / 1000, 1000000);
  EXPECT_LE(s - ns / 1000000000, 1);
}

TEST(PlatformKits, HostNamePidAndConnectionId) {
  qc::MultiPlatformKits* kits = qc::MultiPlatformKits::GetInstance();
  char host[256] = {0};
  gethostname(host, sizeof(host) - 1);
  EXPECT_EQ(std::string(kits->GetHostName()), std::string(host).substr(0, 127));
  EXPECT_EQ(kits->GetHostName(), kits->GetHostName()) << "cached buffer";
  EXPECT_EQ(qc::MultiPlatformKits::GetProcessId(), getpid());
  const std::string mac = kits->GetMac();
  EXPECT_TRUE(mac == "default_mac" ||
              std::regex_match(mac, std::regex("([0-9A-F]{2}:){5}[0-9A-F]{2}")))
      << mac;
  EXPECT_EQ(std::string(kits->GetConnectionId("alice")),
            "alice-" + mac + "-" + std::to_string(getpid()));
  EXPECT_FALSE(kits->GetMacFromIFA(nullptr));
  EXPECT_FALSE(kits->GetMacFromIFA("no-such-if0"));
}

// Several site types log in at once, each asking for the host facts: every
// caller gets the one cached answer, and the search never runs twice at once.
// Under ThreadSanitizer this also proves the first calls do not race.
TEST(PlatformKitsThreads, ConcurrentFirstCallsShareOneLookup) {
  constexpr int kThreads = 4;
  for (int round = 0; round < 50; ++round) {
    qc::MultiPlatformKits::UnInstance();
    qc::MultiPlatformKits* kits = qc::MultiPlatformKits::GetInstance();
    std::atomic<int> waiting{kThreads};
    std::vector<const char*> macs(kThreads, nullptr);
    std::vector<const char*> hosts(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        waiting.fetch_sub(1);
        while (waiting.load() > 0) std::this_thread::yield();  // start together
        macs[i] = kits->GetMac();
        hosts[i] = kits->GetHostName();
      });
    }
    for (auto& t : threads) t.join();
    for (int i = 1; i < kThreads; ++i) {
      ASSERT_EQ(macs[i], macs[0]) << "round " << round << ": one cached address for every caller";
      ASSERT_EQ(hosts[i], hosts[0]) << "round " << round;
    }
    EXPECT_TRUE(std::string(macs[0]) == "default_mac" ||
                std::regex_match(std::string(macs[0]), std::regex("([0-9A-F]{2}:){5}[0-9A-F]{2}")))
        << macs[0];
  }
}

// On a machine with no interface but the loopback one (a fresh network
// namespace), "none found" is the kept outcome: many threads asking again and
// again all get "default_mac" from the one cache. The test re-runs itself
// under `unshare -rn`; where unprivileged namespaces are unavailable it skips.
TEST(PlatformKitsThreads, NoNetworkInterfaceGivesDefaultMacToEveryCaller) {
  if (std::getenv("QEL_TEST_IN_EMPTY_NETNS") == nullptr) {
    if (std::system("unshare -rn true >/dev/null 2>&1") != 0) GTEST_SKIP() << "unshare -rn is not available here";
    char self[4096] = {0};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    TempDir dir;
    const std::string out = dir.path() + "/child.txt";
    const std::string cmd = std::string("QEL_TEST_IN_EMPTY_NETNS=1 unshare -rn '") + self + "' --gtest_filter=" +
                            info->test_suite_name() + "." + info->name() + " >'" + out + "' 2>&1";
    const int rc = std::system(cmd.c_str());
    EXPECT_EQ(rc, 0) << TempDir::Read(out);
    EXPECT_NE(TempDir::Read(out).find("[  PASSED  ] 1 test"), std::string::npos) << TempDir::Read(out);
    return;
  }
  qc::MultiPlatformKits* kits = qc::MultiPlatformKits::GetInstance();
  constexpr int kThreads = 4;
  constexpr int kCalls = 2000;
  std::atomic<int> wrong{0};
  std::atomic<int> waiting{kThreads};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0) std::this_thread::yield();
      for (int n = 0; n < kCalls; ++n) {
        if (std::string(kits->GetMac()) != "default_mac") wrong.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(kits->GetMac(), kits->GetMac()) << "the outcome is cached";
  EXPECT_EQ(std::string(kits->GetConnectionId("bob")), "bob-default_mac-" + std::to_string(getpid()));
}

TEST(PlatformKits, FolderHelpers) {
  TempDir dir;
  const std::string sub = dir.path() + "/made";
  EXPECT_TRUE(qc::MultiPlatformKits::FolderExist(dir.path().c_str()));
  EXPECT_FALSE(qc::MultiPlatformKits::FolderExist(sub.c_str()));
  EXPECT_TRUE(qc::MultiPlatformKits::CreateFolder(sub.c_str()));
  EXPECT_TRUE(qc::MultiPlatformKits::FolderExist(sub.c_str()));
  EXPECT_FALSE(qc::MultiPlatformKits::CreateFolder(sub.c_str())) << "already there";
  const std::string file = dir.Write("plain.txt", "x");
  EXPECT_FALSE(qc::MultiPlatformKits::FolderExist(file.c_str()));
  EXPECT_FALSE(qc::MultiPlatformKits::FolderExist(nullptr));
}

TEST(TaskId, HostStampPidSuffix) {
  const std::string id = qc::GetTaskId("abc");
  const std::string expected_prefix = std::string(qc::MultiPlatformKits::GetInstance()->GetHostName()) + "_";
  ASSERT_EQ(id.compare(0, expected_prefix.size(), expected_prefix), 0) << id;
  const std::string rest = id.substr(expected_prefix.size());
  EXPECT_TRUE(std::regex_match(rest, std::regex("\\d{14}\\.\\d{6}_" + std::to_string(getpid()) + "_abc")))
      << rest;
  std::string long_suffix(500, 's');
  EXPECT_EQ(qc::GetTaskId(long_suffix.c_str()).size(), 127u);
}
