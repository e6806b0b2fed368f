#include "kits/standard_lib_kits.h"

#include <openssl/evp.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "kits/multi_platform_kits.h"
#include "log/base_log.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

namespace {
constexpr size_t kWorkBufferLen = 1024;
constexpr size_t kAesBlock = 16;

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// One pass of AES-128-ECB; returns false (and leaves out empty) on any failure
// or when the result would not fit the working buffer.
bool RunCipher(bool encrypt, const u_string& key, const u_string& in, u_string& out) {
  out.clear();
  if (key.size() < kAesBlock) return false;
  size_t bound = encrypt ? (in.size() / kAesBlock + 1) * kAesBlock : in.size();
  if (bound > kWorkBufferLen) return false;
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return false;
  if (EVP_CipherInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0) != 1) {
    return false;
  }
  unsigned char work[kWorkBufferLen + kAesBlock];
  int len1 = 0;
  int len2 = 0;
  if (EVP_CipherUpdate(ctx.get(), work, &len1, in.data(), static_cast<int>(in.size())) != 1) return false;
  if (EVP_CipherFinal_ex(ctx.get(), work + len1, &len2) != 1) return false;
  out.assign(work, static_cast<size_t>(len1 + len2));
  return true;
}

int HexNibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

StandardLibKits* StandardLibKits::s_standard_kits = nullptr;
const char StandardLibKits::key[257] = "mzvq8tr!wpx_k3y$";

namespace {
// Guards s_standard_kits: connection threads ask for the kits at their first
// login at the same moment, and exactly one of them may create it.
std::mutex g_standard_kits_mutex;
}  // namespace

StandardLibKits* StandardLibKits::GetInstance() {
  std::lock_guard<std::mutex> lock(g_standard_kits_mutex);
  if (s_standard_kits == nullptr) s_standard_kits = new StandardLibKits();
  return s_standard_kits;
}

void StandardLibKits::UnInstance() {
  std::lock_guard<std::mutex> lock(g_standard_kits_mutex);
  delete s_standard_kits;
  s_standard_kits = nullptr;
}

int64_t StandardLibKits::GetCurrentUnixTimestampNanos() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t StandardLibKits::GetCurrentUnixTimestampMicros() const {
  return GetCurrentUnixTimestampNanos() / 1000;
}

int64_t StandardLibKits::GetCurrentUnixTimestampSeconds() const {
  return GetCurrentUnixTimestampNanos() / 1000000000;
}

u_string StandardLibKits::Encode(const u_string& key_bytes, const u_string& data) const {
  u_string out;
  RunCipher(true, key_bytes, data, out);
  return out;
}

u_string StandardLibKits::Decode(u_string key_bytes, u_string data) const {
  u_string out;
  RunCipher(false, key_bytes, data, out);
  return out;
}

std::string StandardLibKits::EncodeByAesEcbPkcs5padding(const std::string& data) const {
  const u_string cipher = Encode(String2Ustring(std::string(key)), String2Ustring(data));
  if (cipher.empty() || cipher.size() * 2 > kWorkBufferLen - 1) return std::string();
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(cipher.size() * 2);
  for (unsigned char b : cipher) {
    text.push_back(kHex[b >> 4]);
    text.push_back(kHex[b & 0x0F]);
  }
  return text;
}

std::string StandardLibKits::DecodeByAesEcbPkcs5padding(const std::string& encode_data) const {
  if (encode_data.size() % 2 != 0) return std::string();
  u_string cipher;
  cipher.reserve(encode_data.size() / 2);
  for (size_t i = 0; i < encode_data.size(); i += 2) {
    int hi = HexNibble(encode_data[i]);
    int lo = HexNibble(encode_data[i + 1]);
    if (hi < 0 || lo < 0) return std::string();
    cipher.push_back(static_cast<unsigned char>((hi << 4) | lo));
  }
  return Ustring2String(Decode(String2Ustring(std::string(key)), cipher));
}

u_string StandardLibKits::String2Ustring(const std::string& data) {
  return u_string(reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

std::string StandardLibKits::Ustring2String(const u_string& u_data) {
  return std::string(reinterpret_cast<const char*>(u_data.data()), u_data.size());
}

void StandardLibKits::Convert4Bytes2BigEndian(char* buf) {
  std::swap(buf[0], buf[3]);
  std::swap(buf[1], buf[2]);
}

void StandardLibKits::Convert4BytesNetwork2Local(char* buf) { Convert4Bytes2BigEndian(buf); }

void StandardLibKits::Convert2Bytes2BigEndian(char* buf) { std::swap(buf[0], buf[1]); }

void StandardLibKits::Convert2BytesNetwork2Local(char* buf) { Convert2Bytes2BigEndian(buf); }

const std::string GetTaskId(const char* suffix) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  time_t now = tv.tv_sec;
  struct tm local;
  localtime_r(&now, &local);
  char stamp[64] = {0};  // 21 characters in practice; sized so no field can truncate
  snprintf(stamp, sizeof(stamp), "%4.4d%2.2d%2.2d%2.2d%2.2d%2.2d.%06ld", local.tm_year + 1900,
           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
           static_cast<long>(tv.tv_usec));
  char task_id[128] = {0};
  snprintf(task_id, sizeof(task_id), "%s_%s_%d_%s", MultiPlatformKits::GetInstance()->GetHostName(),
           stamp, MultiPlatformKits::GetProcessId(), suffix ? suffix : "");
  DebugPrint("Taskid=%s", task_id);
  return std::string(task_id);
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
