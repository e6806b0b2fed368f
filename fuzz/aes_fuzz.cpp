// Decrypts each input with the library's AES decoders: the hexadecimal form
// under the built-in key (first byte even) and the raw form under a key taken
// from the input (first byte odd: the next 16 bytes are the key). A refusal
// is an empty result; a crash, overrun or undefined behaviour is a finding.
// Whatever decrypts is encrypted again and must decrypt to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"
#include "kits/standard_lib_kits.h"

namespace qc = com::quor::kbr::client;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (qel_fuzz::QuietLibrary(), true);
  (void)quiet;
  if (size == 0) return 0;
  const qc::StandardLibKits* kits = qc::StandardLibKits::GetInstance();
  const bool raw = (data[0] & 1) != 0;
  ++data;
  --size;
  if (!raw) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string plain = kits->DecodeByAesEcbPkcs5padding(text);
    if (plain.empty()) return 0;
    // The text form is bounded to 1023 characters: a longer one is refused.
    const std::string again = kits->EncodeByAesEcbPkcs5padding(plain);
    if (!again.empty() && kits->DecodeByAesEcbPkcs5padding(again) != plain) abort();
    return 0;
  }
  const size_t key_len = size < 16 ? size : 16;
  const qc::u_string key(data, data + key_len);
  const qc::u_string cipher(data + key_len, data + size);
  const qc::u_string plain = kits->Decode(key, cipher);
  if (!plain.empty() && kits->Decode(key, kits->Encode(key, plain)) != plain) abort();
  return 0;
}
