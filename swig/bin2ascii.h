// Standard base64 (RFC 4648, "=" fill) for protobuf bytes fields in JSON.
// Stateless; callable from any thread.
#ifndef QEL_SWIG_BIN2ASCII_H
#define QEL_SWIG_BIN2ASCII_H

#include <cstddef>
#include <stdexcept>
#include <string>

namespace qel_b64 {

constexpr const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kInvalid = -1;

// Byte -> 6-bit value; "=" maps to 0, any byte outside the alphabet to kInvalid.
struct DecodeTable {
  int value[256];
  constexpr DecodeTable() : value() {
    for (int i = 0; i < 256; ++i) value[i] = kInvalid;
    for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(kAlphabet[i])] = i;
    value[static_cast<unsigned char>('=')] = 0;
  }
};

}  // namespace qel_b64

// Length of the base64 text of size bytes.
constexpr size_t b64_encoded_size(size_t size) { return (size + 2) / 3 * 4; }

// Writes the base64 text of size bytes at in to out, b64_encoded_size(size)
// characters.
inline void b64_encode_to(const char* in, size_t size, char* out) {
  size_t i = 0;
  for (; i + 3 <= size; i += 3, out += 4) {
    const unsigned v = (static_cast<unsigned>(static_cast<unsigned char>(in[i])) << 16) |
                       (static_cast<unsigned>(static_cast<unsigned char>(in[i + 1])) << 8) |
                       static_cast<unsigned char>(in[i + 2]);
    out[0] = qel_b64::kAlphabet[(v >> 18) & 0x3F];
    out[1] = qel_b64::kAlphabet[(v >> 12) & 0x3F];
    out[2] = qel_b64::kAlphabet[(v >> 6) & 0x3F];
    out[3] = qel_b64::kAlphabet[v & 0x3F];
  }
  if (i < size) {  // one or two bytes left: "=" fills the group
    const unsigned b0 = static_cast<unsigned char>(in[i]);
    const unsigned b1 = i + 1 < size ? static_cast<unsigned char>(in[i + 1]) : 0u;
    const unsigned v = (b0 << 16) | (b1 << 8);
    out[0] = qel_b64::kAlphabet[(v >> 18) & 0x3F];
    out[1] = qel_b64::kAlphabet[(v >> 12) & 0x3F];
    out[2] = i + 1 < size ? qel_b64::kAlphabet[(v >> 6) & 0x3F] : '=';
    out[3] = '=';
  }
}

inline std::string b64_encode(const std::string& in) {
  std::string out(b64_encoded_size(in.size()), '\0');
  b64_encode_to(in.data(), in.size(), &out[0]);
  return out;
}

// Throws std::runtime_error "Invalid base64 data size" for a length that is
// not a multiple of 4, "Invalid hex data: " plus the group for a group holding
// a byte outside the alphabet.
inline std::string b64_decode(const std::string& in) {
  static constexpr qel_b64::DecodeTable kTable{};
  std::string out;
  if (in.empty()) return out;
  if (in.size() % 4 != 0) throw std::runtime_error("Invalid base64 data size");
  out.reserve(in.size() / 4 * 3);
  for (size_t i = 0; i < in.size(); i += 4) {
    int v[4];
    for (int k = 0; k < 4; ++k) {
      v[k] = kTable.value[static_cast<unsigned char>(in[i + k])];
      if (v[k] == qel_b64::kInvalid) throw std::runtime_error("Invalid hex data: " + in.substr(i, 4));
    }
    const unsigned bits = (static_cast<unsigned>(v[0]) << 18) | (static_cast<unsigned>(v[1]) << 12) |
                          (static_cast<unsigned>(v[2]) << 6) | static_cast<unsigned>(v[3]);
    out.push_back(static_cast<char>((bits >> 16) & 0xFF));
    if (in[i + 2] != '=') out.push_back(static_cast<char>((bits >> 8) & 0xFF));
    if (in[i + 3] != '=') out.push_back(static_cast<char>(bits & 0xFF));
  }
  return out;
}

#endif  // QEL_SWIG_BIN2ASCII_H
