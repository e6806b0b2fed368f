#include "swig/json2pb.h"

#include <jansson.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <vector>

#include "swig/bin2ascii.h"

using google::protobuf::Descriptor;
using google::protobuf::EnumDescriptor;
using google::protobuf::EnumValueDescriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

j2pb_error::j2pb_error(const std::string& e) : _error(e) {}

j2pb_error::j2pb_error(const FieldDescriptor* field, const std::string& e) : _error(field->name() + ": " + e) {}

j2pb_error::~j2pb_error() = default;

const char* j2pb_error::what() const noexcept { return _error.c_str(); }

int json_dump_std_string(const char* buf, size_t size, void* data) {
  static_cast<std::string*>(data)->append(buf, size);
  return 0;
}

namespace {

struct JsonDecref {
  void operator()(json_t* value) const { json_decref(value); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDecref>;

// ---------------------------------------------------------------- rendering
//
// The text is written straight into a buffer. It is the text jansson's
// json_dump_callback gives (flags 0) for a tree of the same values: members
// separated by ", ", keys by ": ", no line breaks; reals as "%.17g" with ".0"
// added when neither a point nor an exponent shows, the exponent without "+"
// or leading zeros; strings escaping only '"', '\\' and controls (\b \f \n \r
// \t, the rest as \u00XX with capital hex digits), everything else (UTF-8
// included) verbatim.

// Growable text with inline appends; used by one thread at a time.
class TextBuffer {
 public:
  size_t size() const { return m_size; }
  const char* data() const { return m_data.get(); }
  size_t capacity() const { return m_capacity; }
  void Clear() { m_size = 0; }
  void Release() {
    m_data.reset();
    m_capacity = m_size = 0;
  }

  // Room for n more characters; Commit says how many were written there.
  char* Reserve(size_t n) {
    if (m_capacity - m_size < n) Grow(n);
    return m_data.get() + m_size;
  }
  void Commit(size_t n) { m_size += n; }

  void Append(const char* text, size_t n) {
    std::memcpy(Reserve(n), text, n);
    m_size += n;
  }
  void Append(char c) {
    *Reserve(1) = c;
    ++m_size;
  }

 private:
  void Grow(size_t n) {
    const size_t capacity = std::max({m_capacity * 2, m_size + n, size_t{512}});
    std::unique_ptr<char[]> data(new char[capacity]);
    if (m_size != 0) std::memcpy(data.get(), m_data.get(), m_size);
    m_data = std::move(data);
    m_capacity = capacity;
  }

  std::unique_ptr<char[]> m_data;
  size_t m_capacity = 0;
  size_t m_size = 0;
};

// Appends the decimal text of value.
template <typename Int>
void AppendInteger(TextBuffer& out, Int value) {
  char* start = out.Reserve(20);  // "-9223372036854775808"
  const std::to_chars_result end = std::to_chars(start, start + 20, value);
  out.Commit(static_cast<size_t>(end.ptr - start));
}

// Appends value as a JSON real; false (nothing appended) for NaN and the
// infinities, which JSON cannot hold. std::to_chars gives printf's "%.17g"
// text without depending on the locale.
bool AppendReal(TextBuffer& out, double value) {
  if (!std::isfinite(value)) return false;
  char* const buf = out.Reserve(32);  // "-2.2250738585072014e-308" and ".0" fit
  const std::to_chars_result res = std::to_chars(buf, buf + 32, value, std::chars_format::general, 17);
  char* end = res.ptr;
  char* exponent = std::find(buf, end, 'e');
  if (exponent == end) {
    if (std::find(buf, end, '.') == end) {
      *end++ = '.';
      *end++ = '0';
    }
  } else {
    // "e+05" -> "e5", "e-05" -> "e-5": drop the "+" and the leading zeros.
    char* digits = exponent + 1;
    char* keep = digits;
    if (*keep == '-') ++keep;
    char* first = digits + 1;
    while (first < end && *first == '0') ++first;
    if (first != keep) {
      std::memmove(keep, first, static_cast<size_t>(end - first));
      end -= first - keep;
    }
  }
  out.Commit(static_cast<size_t>(end - buf));
  return true;
}

// Length of the UTF-8 sequence at s (at most size bytes, s[0] >= 0x80), 0 if
// it is not one: no stray continuation byte, no overlong form, no surrogate,
// nothing beyond U+10FFFF.
size_t Utf8SequenceLength(const unsigned char* s, size_t size) {
  const unsigned lead = s[0];
  size_t length;
  uint32_t value;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
  } else {
    return 0;
  }
  if (length > size) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (s[i] & 0x3F);
  }
  if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  if ((length == 3 && value < 0x800) || (length == 4 && value < 0x10000)) return 0;
  return length;
}

// Appends text as a quoted JSON string; false when it is not UTF-8 (the caller
// throws, so what was appended does not matter).
bool AppendString(TextBuffer& out, const std::string& text) {
  const char* const data = text.data();
  const auto* s = reinterpret_cast<const unsigned char*>(data);
  const size_t size = text.size();
  out.Append('"');
  size_t copied = 0;  // s[copied, i) still to be appended as it stands
  size_t i = 0;
  while (i < size) {
    const unsigned c = s[i];
    if (c >= 0x20 && c != '"' && c != '\\') {
      if (c < 0x80) {
        ++i;
      } else {
        const size_t length = Utf8SequenceLength(s + i, size - i);
        if (length == 0) return false;
        i += length;
      }
      continue;
    }
    out.Append(data + copied, i - copied);
    switch (c) {
      case '"':
        out.Append("\\\"", 2);
        break;
      case '\\':
        out.Append("\\\\", 2);
        break;
      case '\b':
        out.Append("\\b", 2);
        break;
      case '\f':
        out.Append("\\f", 2);
        break;
      case '\n':
        out.Append("\\n", 2);
        break;
      case '\r':
        out.Append("\\r", 2);
        break;
      case '\t':
        out.Append("\\t", 2);
        break;
      default: {
        static constexpr char kHex[] = "0123456789ABCDEF";
        const char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.Append(escape, 6);
        break;
      }
    }
    copied = ++i;
  }
  out.Append(data + copied, size - copied);
  out.Append('"');
  return true;
}

// Lists of present fields, one per nesting depth, reused across calls. A
// deque: growing it for a deeper level leaves the outer lists in place.
using FieldLists = std::deque<std::vector<const FieldDescriptor*>>;

// What one thread reuses from one pb2json call to the next, so that a
// message renders without allocating beyond its result.
struct RenderScratch {
  TextBuffer text;
  FieldLists fields;
};

// Renders one message tree for one pb2json call; called by that call's
// thread only. Owns nothing: it writes into the thread's scratch.
class JsonWriter {
 public:
  explicit JsonWriter(RenderScratch* scratch) : m_out(scratch->text), m_fields(scratch->fields) {}

  // False, with nothing appended, when msg has no descriptor or reflection.
  bool WriteMessage(const Message& msg, size_t depth) {
    const Reflection* ref = msg.GetReflection();
    if (msg.GetDescriptor() == nullptr || ref == nullptr) return false;
    if (m_fields.size() <= depth) m_fields.resize(depth + 1);
    std::vector<const FieldDescriptor*>& fields = m_fields[depth];
    fields.clear();
    ref->ListFields(msg, &fields);  // present fields and non-empty repeated ones, by field number
    m_out.Append('{');
    bool first = true;
    for (const FieldDescriptor* field : fields) {
      int count = 0;
      if (field->is_repeated()) {
        count = ref->FieldSize(msg, field);
        if (count == 0) continue;
      }
      if (!first) m_out.Append(", ", 2);
      first = false;
      // Declared names are identifiers and full names add only dots: nothing
      // in them needs escaping.
      const std::string& name = field->is_extension() ? field->full_name() : field->name();
      char* key = m_out.Reserve(name.size() + 4);
      key[0] = '"';
      std::memcpy(key + 1, name.data(), name.size());
      std::memcpy(key + 1 + name.size(), "\": ", 3);
      m_out.Commit(name.size() + 4);
      if (field->is_repeated()) {
        m_out.Append('[');
        for (int i = 0; i < count; ++i) {
          if (i != 0) m_out.Append(", ", 2);
          WriteValue(msg, ref, field, i, depth);
        }
        m_out.Append(']');
      } else {
        WriteValue(msg, ref, field, 0, depth);
      }
    }
    m_out.Append('}');
    return true;
  }

 private:
  // One value of field: element index of a repeated field, else the field.
  void WriteValue(const Message& msg, const Reflection* ref, const FieldDescriptor* field, int index,
                  size_t depth) {
    const bool repeated = field->is_repeated();
    bool ok = true;
#define QEL_GET_VALUE(kind) (repeated ? ref->GetRepeated##kind(msg, field, index) : ref->Get##kind(msg, field))
    switch (field->cpp_type()) {
      case FieldDescriptor::CPPTYPE_DOUBLE:
        ok = AppendReal(m_out, QEL_GET_VALUE(Double));
        break;
      case FieldDescriptor::CPPTYPE_FLOAT:
        ok = AppendReal(m_out, static_cast<double>(QEL_GET_VALUE(Float)));
        break;
      case FieldDescriptor::CPPTYPE_INT64:
        AppendInteger(m_out, QEL_GET_VALUE(Int64));
        break;
      case FieldDescriptor::CPPTYPE_UINT64:
        // JSON integers are signed 64-bit: 2^63 and above wrap to negative.
        AppendInteger(m_out, static_cast<int64_t>(QEL_GET_VALUE(UInt64)));
        break;
      case FieldDescriptor::CPPTYPE_INT32:
        AppendInteger(m_out, QEL_GET_VALUE(Int32));
        break;
      case FieldDescriptor::CPPTYPE_UINT32:
        AppendInteger(m_out, QEL_GET_VALUE(UInt32));
        break;
      case FieldDescriptor::CPPTYPE_BOOL:
        if (QEL_GET_VALUE(Bool)) {
          m_out.Append("true", 4);
        } else {
          m_out.Append("false", 5);
        }
        break;
      case FieldDescriptor::CPPTYPE_ENUM:
        // The number, never the name; an unknown number of an open enum too.
        AppendInteger(m_out, QEL_GET_VALUE(EnumValue));
        break;
      case FieldDescriptor::CPPTYPE_STRING: {
        std::string scratch;
        const std::string& text = repeated ? ref->GetRepeatedStringReference(msg, field, index, &scratch)
                                           : ref->GetStringReference(msg, field, &scratch);
        if (field->type() == FieldDescriptor::TYPE_BYTES) {
          const size_t encoded = b64_encoded_size(text.size());
          char* quoted = m_out.Reserve(encoded + 2);  // base64 needs no escaping
          quoted[0] = '"';
          b64_encode_to(text.data(), text.size(), quoted + 1);
          quoted[encoded + 1] = '"';
          m_out.Commit(encoded + 2);
        } else {
          ok = AppendString(m_out, text);
        }
        break;
      }
      case FieldDescriptor::CPPTYPE_MESSAGE:
        ok = WriteMessage(repeated ? ref->GetRepeatedMessage(msg, field, index) : ref->GetMessage(msg, field),
                          depth + 1);
        break;
    }
#undef QEL_GET_VALUE
    if (!ok) throw j2pb_error(field, "Fail to convert to json");
  }

  TextBuffer& m_out;
  FieldLists& m_fields;  // [depth]: the present fields of the message being written there
};

// A thread keeps its text buffer up to this size for the next call; a larger
// one (after an unusually big message) is freed.
constexpr size_t kKeptTextCapacity = size_t{1} << 20;

// ------------------------------------------------------------------ parsing

[[noreturn]] void ThrowUnpack(const FieldDescriptor* field, const json_error_t& error) {
  throw j2pb_error(field, std::string("Failed to unpack: ") + error.text);
}

json_int_t UnpackInteger(const FieldDescriptor* field, json_t* value) {
  json_int_t number = 0;
  json_error_t error;
  if (json_unpack_ex(value, &error, 0, "I", &number) != 0) ThrowUnpack(field, error);
  return number;
}

double UnpackReal(const FieldDescriptor* field, json_t* value) {
  double number = 0;
  json_error_t error;
  if (json_unpack_ex(value, &error, 0, "F", &number) != 0) ThrowUnpack(field, error);  // integer or real
  return number;
}

// A double outside float's range becomes the infinity of its sign (the
// conversion itself would be undefined); the rest rounds as usual.
float NarrowToFloat(double value) {
  constexpr double kMax = std::numeric_limits<float>::max();
  if (value > kMax) return std::numeric_limits<float>::infinity();
  if (value < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

void _json2pb(Message& msg, json_t* root);

// Sets field to value, or appends value to a repeated field.
void _json2field(Message& msg, const FieldDescriptor* field, json_t* value) {
  const Reflection* ref = msg.GetReflection();
  const bool repeated = field->is_repeated();
#define QEL_SET_VALUE(kind, v)               \
  do {                                       \
    if (repeated) {                          \
      ref->Add##kind(&msg, field, v);        \
    } else {                                 \
      ref->Set##kind(&msg, field, v);        \
    }                                        \
  } while (0)
  switch (field->cpp_type()) {
    case FieldDescriptor::CPPTYPE_DOUBLE:
      QEL_SET_VALUE(Double, UnpackReal(field, value));
      break;
    case FieldDescriptor::CPPTYPE_FLOAT:
      QEL_SET_VALUE(Float, NarrowToFloat(UnpackReal(field, value)));
      break;
    case FieldDescriptor::CPPTYPE_INT64:
      QEL_SET_VALUE(Int64, static_cast<int64_t>(UnpackInteger(field, value)));
      break;
    case FieldDescriptor::CPPTYPE_UINT64:
      QEL_SET_VALUE(UInt64, static_cast<uint64_t>(UnpackInteger(field, value)));
      break;
    case FieldDescriptor::CPPTYPE_INT32:
      QEL_SET_VALUE(Int32, static_cast<int32_t>(UnpackInteger(field, value)));  // low 32 bits
      break;
    case FieldDescriptor::CPPTYPE_UINT32:
      QEL_SET_VALUE(UInt32, static_cast<uint32_t>(UnpackInteger(field, value)));  // low 32 bits
      break;
    case FieldDescriptor::CPPTYPE_BOOL: {
      int flag = 0;
      json_error_t error;
      if (json_unpack_ex(value, &error, 0, "b", &flag) != 0) ThrowUnpack(field, error);
      QEL_SET_VALUE(Bool, flag != 0);
      break;
    }
    case FieldDescriptor::CPPTYPE_ENUM: {
      const EnumDescriptor* type = field->enum_type();
      const EnumValueDescriptor* found = nullptr;
      if (json_is_integer(value)) {
        const json_int_t number = json_integer_value(value);
        if (number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max()) {
          found = type->FindValueByNumber(static_cast<int>(number));
        }
      } else if (json_is_string(value)) {
        found = type->FindValueByName(std::string(json_string_value(value), json_string_length(value)));
      } else {
        throw j2pb_error(field, "Not an integer or string");
      }
      if (found == nullptr) throw j2pb_error(field, "Enum value not found");
      QEL_SET_VALUE(Enum, found);
      break;
    }
    case FieldDescriptor::CPPTYPE_STRING: {
      if (!json_is_string(value)) throw j2pb_error(field, "Not a string");
      std::string text(json_string_value(value), json_string_length(value));
      if (field->type() == FieldDescriptor::TYPE_BYTES) text = b64_decode(text);
      QEL_SET_VALUE(String, std::move(text));
      break;
    }
    case FieldDescriptor::CPPTYPE_MESSAGE: {
      Message* sub = repeated ? ref->AddMessage(&msg, field) : ref->MutableMessage(&msg, field);
      if (json_is_object(value)) _json2pb(*sub, value);  // anything else leaves it empty
      break;
    }
  }
#undef QEL_SET_VALUE
}

void _json2pb(Message& msg, json_t* root) {
  const Descriptor* descriptor = msg.GetDescriptor();
  const Reflection* ref = msg.GetReflection();
  if (descriptor == nullptr || ref == nullptr) throw j2pb_error("No descriptor or reflection");
  for (void* it = json_object_iter(root); it != nullptr; it = json_object_iter_next(root, it)) {
    const std::string key(json_object_iter_key(it), json_object_iter_key_len(it));
    json_t* value = json_object_iter_value(it);
    const FieldDescriptor* field = descriptor->FindFieldByName(key);
    if (field == nullptr) field = ref->FindKnownExtensionByName(key);
    if (field == nullptr) throw j2pb_error("Unknown field: " + key);
    if (field->is_repeated()) {
      if (!json_is_array(value)) throw j2pb_error(field, "Not array");
      size_t i = 0;
      json_t* element = nullptr;
      json_array_foreach(value, i, element) { _json2field(msg, field, element); }
    } else {
      _json2field(msg, field, value);
    }
  }
}

}  // namespace

std::string pb2json(const Message& msg) {
  thread_local RenderScratch scratch;
  TextBuffer& text = scratch.text;
  text.Clear();
  JsonWriter writer(&scratch);
  if (!writer.WriteMessage(msg, 0)) return std::string();
  std::string result(text.data(), text.size());
  if (text.capacity() > kKeptTextCapacity) text.Release();
  return result;
}

void json2pb(Message& msg, const char* buf, size_t size) {
  json_error_t error;
  JsonPtr root(json_loadb(buf, size, 0, &error));
  if (!root) throw j2pb_error(std::string("Load failed: ") + error.text);
  if (!json_is_object(root.get())) throw j2pb_error("Malformed JSON: not an object");
  _json2pb(msg, root.get());
}
