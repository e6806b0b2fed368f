// The fixed 12-byte frame header.
//
// Layout (native little-endian, no padding): int8 version at 0, int8 protocol
// at 1, int16 flags at 2, int32 meta length at 4, int32 payload length at 8.
// A plain value type: any thread may use its own copies.
#ifndef QEL_PROTOCOL_VENTRIX_MESSAGE_HEADER_H
#define QEL_PROTOCOL_VENTRIX_MESSAGE_HEADER_H

#include <cstdint>
#include <string>

namespace com {
namespace quor {
namespace kbr {
namespace client {

struct MessageHeader {
  int8_t m_version;
  int8_t m_protocol;
  int16_t m_flags;
  int32_t m_metaLength;
  int32_t m_payloadLength;

  // Version 1, protocol 1, flags 4096; both lengths 0 until the caller sets them.
  MessageHeader();

  // Writes the five fields at offsets 0, 1, 2, 4 and 8 of buf (12 bytes).
  void encode(char* buf) const;
  // Reads the five fields from offsets 0, 1, 2, 4 and 8 of msg (12 bytes).
  void decode(const char* msg);
  // "MessageHeader: m_version: V, m_protocol: P, m_flags: F, m_metaLength: M,
  // m_payloadLength: L", every value signed decimal.
  std::string toString() const;
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_PROTOCOL_VENTRIX_MESSAGE_HEADER_H
