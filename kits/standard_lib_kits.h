// Time stamps, the password encoding of login requests, byte-order swaps and
// byte-string conversions.
//
// Thread-safety: stateless apart from the singleton pointer, which is created
// without a lock on first use (before other library threads exist); every
// member may then be called from any thread.
#ifndef QEL_KITS_STANDARD_LIB_KITS_H
#define QEL_KITS_STANDARD_LIB_KITS_H

#include <cstdint>
#include <string>

#include "kits/base_define.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

class StandardLibKits {
 public:
  static StandardLibKits* GetInstance();
  static void UnInstance();

  int64_t GetCurrentUnixTimestampNanos() const;
  int64_t GetCurrentUnixTimestampMicros() const;
  int64_t GetCurrentUnixTimestampSeconds() const;

  // AES-128-ECB with PKCS#5 padding under the built-in key, rendered as
  // upper-case hexadecimal. Empty when the text would exceed 1023 characters.
  std::string EncodeByAesEcbPkcs5padding(const std::string& data) const;
  // Inverse of the above; empty for odd-length text, characters outside
  // 0-9/A-F, or a cipher text that does not decrypt.
  std::string DecodeByAesEcbPkcs5padding(const std::string& encode_data) const;
  // AES-128-ECB, PKCS#7 padding, first 16 bytes of key. Output is bounded to
  // 1024 bytes: an input whose result would not fit gives an empty result.
  u_string Encode(const u_string& key, const u_string& data) const;
  u_string Decode(u_string key, u_string data) const;

  static u_string String2Ustring(const std::string& data);
  static std::string Ustring2String(const u_string& u_data);

  static void Convert4Bytes2BigEndian(char* buf);
  static void Convert4BytesNetwork2Local(char* buf);
  static void Convert2Bytes2BigEndian(char* buf);
  static void Convert2BytesNetwork2Local(char* buf);

  StandardLibKits(const StandardLibKits&) = delete;
  StandardLibKits& operator=(const StandardLibKits&) = delete;

 private:
  StandardLibKits() = default;
  ~StandardLibKits() = default;

  static StandardLibKits* s_standard_kits;
  // Built-in AES key: 16 printable characters, shared with the service side.
  static const char key[257];
};

// "<host>_<YYYYMMDDhhmmss.uuuuuu>_<pid>_<suffix>", at most 127 characters.
const std::string GetTaskId(const char* suffix);

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_KITS_STANDARD_LIB_KITS_H
