#include "protocol/message_log.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/util/json_util.h>

#include <memory>
#include <vector>

namespace com {
namespace quor {
namespace kbr {
namespace client {

namespace {
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

constexpr const char* kMaskedSecret = "******";

bool IsSecret(const FieldDescriptor* field) {
  return field->cpp_type() == FieldDescriptor::CPPTYPE_STRING && !field->is_repeated() &&
         (field->name() == "password" || field->name() == "token");
}

void MaskSecrets(Message* message) {
  const auto* reflection = message->GetReflection();
  std::vector<const FieldDescriptor*> fields;
  reflection->ListFields(*message, &fields);
  for (const FieldDescriptor* field : fields) {
    if (IsSecret(field)) {
      if (!reflection->GetString(*message, field).empty()) reflection->SetString(message, field, kMaskedSecret);
    } else if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
      if (field->is_repeated()) {
        for (int i = 0; i < reflection->FieldSize(*message, field); ++i) {
          MaskSecrets(reflection->MutableRepeatedMessage(message, field, i));
        }
      } else {
        MaskSecrets(reflection->MutableMessage(message, field));
      }
    }
  }
}
}  // namespace

std::string ToLogJson(const Message& message) {
  std::unique_ptr<Message> copy(message.New());
  copy->CopyFrom(message);
  MaskSecrets(copy.get());
  std::string json;
  google::protobuf::util::MessageToJsonString(*copy, &json);
  return json;
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
