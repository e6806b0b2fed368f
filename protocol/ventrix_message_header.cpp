#include "protocol/ventrix_message_header.h"

#include <cstring>

#include "config/error_define.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

namespace {
constexpr size_t kVersionOffset = 0;
constexpr size_t kProtocolOffset = 1;
constexpr size_t kFlagsOffset = 2;
constexpr size_t kMetaLengthOffset = 4;
constexpr size_t kPayloadLengthOffset = 8;
static_assert(kPayloadLengthOffset + sizeof(int32_t) == MESSAGE_HEADER_LEN, "header is 12 bytes");
}  // namespace

MessageHeader::MessageHeader()
    : m_version(MSG_HEADER_VERSION),
      m_protocol(MSG_HEADER_PROTOCOL),
      m_flags(MSG_HEADER_FLAGS_MANAGE_MSG),
      m_metaLength(0),
      m_payloadLength(0) {}

void MessageHeader::encode(char* buf) const {
  memcpy(buf + kVersionOffset, &m_version, sizeof(m_version));
  memcpy(buf + kProtocolOffset, &m_protocol, sizeof(m_protocol));
  memcpy(buf + kFlagsOffset, &m_flags, sizeof(m_flags));
  memcpy(buf + kMetaLengthOffset, &m_metaLength, sizeof(m_metaLength));
  memcpy(buf + kPayloadLengthOffset, &m_payloadLength, sizeof(m_payloadLength));
}

void MessageHeader::decode(const char* msg) {
  memcpy(&m_version, msg + kVersionOffset, sizeof(m_version));
  memcpy(&m_protocol, msg + kProtocolOffset, sizeof(m_protocol));
  memcpy(&m_flags, msg + kFlagsOffset, sizeof(m_flags));
  memcpy(&m_metaLength, msg + kMetaLengthOffset, sizeof(m_metaLength));
  memcpy(&m_payloadLength, msg + kPayloadLengthOffset, sizeof(m_payloadLength));
}

std::string MessageHeader::toString() const {
  return "MessageHeader: m_version: " + std::to_string(static_cast<int>(m_version)) +
         ", m_protocol: " + std::to_string(static_cast<int>(m_protocol)) +
         ", m_flags: " + std::to_string(static_cast<int>(m_flags)) +
         ", m_metaLength: " + std::to_string(m_metaLength) +
         ", m_payloadLength: " + std::to_string(m_payloadLength);
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
