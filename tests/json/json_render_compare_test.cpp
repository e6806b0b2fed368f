// pb2json against a reference renderer that builds a jansson tree and dumps it
// with json_dump_callback (flags 0): the text pb2json must reproduce byte for
// byte. Both run over the simulator's records of every market-data type,
// records filled field by field with generated values, messages with maps, a
// oneof and proto2 defaults, and tables of edge values; where the reference
// refuses a message, pb2json must throw the same j2pb_error.
#include <gtest/gtest.h>
#include <jansson.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "MarketData.pb.h"
#include "disruptor/pipeline_support.h"
#include "json/json_test_ext.pb.h"
#include "json/json_test_shapes.pb.h"
#include "json/json_test_types.pb.h"
#include "sim_records.h"
#include "support/temp_dir.h"
#include "swig/bin2ascii.h"
#include "swig/json2pb.h"

namespace {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;
using qel_json_test::AllTypes;
using qel_json_test::Shapes;

// ------------------------------------------------------ reference renderer

struct JsonDecref {
  void operator()(json_t* value) const { json_decref(value); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDecref>;

JsonPtr ReferenceTree(const Message& msg);

JsonPtr ReferenceValue(const Message& msg, const FieldDescriptor* field, int index) {
  const Reflection* ref = msg.GetReflection();
  const bool repeated = field->is_repeated();
  JsonPtr value;
#define QEL_GET_VALUE(kind) (repeated ? ref->GetRepeated##kind(msg, field, index) : ref->Get##kind(msg, field))
  switch (field->cpp_type()) {
    case FieldDescriptor::CPPTYPE_DOUBLE:
      value.reset(json_real(QEL_GET_VALUE(Double)));
      break;
    case FieldDescriptor::CPPTYPE_FLOAT:
      value.reset(json_real(static_cast<double>(QEL_GET_VALUE(Float))));
      break;
    case FieldDescriptor::CPPTYPE_INT64:
      value.reset(json_integer(static_cast<json_int_t>(QEL_GET_VALUE(Int64))));
      break;
    case FieldDescriptor::CPPTYPE_UINT64:
      value.reset(json_integer(static_cast<json_int_t>(QEL_GET_VALUE(UInt64))));
      break;
    case FieldDescriptor::CPPTYPE_INT32:
      value.reset(json_integer(QEL_GET_VALUE(Int32)));
      break;
    case FieldDescriptor::CPPTYPE_UINT32:
      value.reset(json_integer(QEL_GET_VALUE(UInt32)));
      break;
    case FieldDescriptor::CPPTYPE_BOOL:
      value.reset(json_boolean(QEL_GET_VALUE(Bool)));
      break;
    case FieldDescriptor::CPPTYPE_ENUM:
      value.reset(json_integer(QEL_GET_VALUE(EnumValue)));
      break;
    case FieldDescriptor::CPPTYPE_STRING: {
      std::string scratch;
      const std::string& text = repeated ? ref->GetRepeatedStringReference(msg, field, index, &scratch)
                                         : ref->GetStringReference(msg, field, &scratch);
      if (field->type() == FieldDescriptor::TYPE_BYTES) {
        const std::string encoded = b64_encode(text);
        value.reset(json_stringn_nocheck(encoded.data(), encoded.size()));
      } else {
        value.reset(json_stringn(text.data(), text.size()));
      }
      break;
    }
    case FieldDescriptor::CPPTYPE_MESSAGE:
      value = ReferenceTree(repeated ? ref->GetRepeatedMessage(msg, field, index) : ref->GetMessage(msg, field));
      break;
  }
#undef QEL_GET_VALUE
  if (!value) throw j2pb_error(field, "Fail to convert to json");
  return value;
}

JsonPtr ReferenceTree(const Message& msg) {
  const Reflection* ref = msg.GetReflection();
  if (msg.GetDescriptor() == nullptr || ref == nullptr) return nullptr;
  JsonPtr root(json_object());
  std::vector<const FieldDescriptor*> fields;
  ref->ListFields(msg, &fields);
  for (const FieldDescriptor* field : fields) {
    JsonPtr value;
    if (field->is_repeated()) {
      const int count = ref->FieldSize(msg, field);
      if (count == 0) continue;
      value.reset(json_array());
      for (int i = 0; i < count; ++i) json_array_append_new(value.get(), ReferenceValue(msg, field, i).release());
    } else if (ref->HasField(msg, field)) {
      value = ReferenceValue(msg, field, 0);
    } else {
      continue;
    }
    const std::string& name = field->is_extension() ? field->full_name() : field->name();
    json_object_setn_new_nocheck(root.get(), name.data(), name.size(), value.release());
  }
  return root;
}

// The text, or "throws: " and the error's text.
std::string ReferenceRender(const Message& msg) {
  try {
    std::string text;
    JsonPtr root = ReferenceTree(msg);
    if (root) json_dump_callback(root.get(), json_dump_std_string, &text, 0);
    return text;
  } catch (const j2pb_error& e) {
    return std::string("throws: ") + e.what();
  }
}

std::string Render(const Message& msg) {
  try {
    return pb2json(msg);
  } catch (const j2pb_error& e) {
    return std::string("throws: ") + e.what();
  }
}

// Records the first few differences; counts all of them.
class Comparison {
 public:
  void Check(const Message& msg) {
    ++m_checked;
    const std::string expected = ReferenceRender(msg);
    const std::string got = Render(msg);
    if (got == expected) return;
    if (++m_differences <= 5) {
      ADD_FAILURE() << "renderings differ\n  expected: " << expected << "\n  got:      " << got << "\n  message: "
                    << msg.ShortDebugString();
    }
  }
  int checked() const { return m_checked; }
  int differences() const { return m_differences; }

 private:
  int m_checked = 0;
  int m_differences = 0;
};

// --------------------------------------------------------- generated values

// Values that sit on the edges of each kind, mixed with uniform ones.
class ValueSource {
 public:
  explicit ValueSource(uint64_t seed) : m_rng(seed) {}

  bool Chance(int one_in) { return m_rng() % static_cast<uint64_t>(one_in) == 0; }
  uint64_t Below(uint64_t n) { return m_rng() % n; }

  uint64_t Bits64() {
    static const uint64_t kEdges[] = {0, 1, 2, 9, 10, 99, 100, 0x7f, 0x80, 0xffffffffu, 0x100000000u,
                                      (uint64_t{1} << 63) - 1, uint64_t{1} << 63, (uint64_t{1} << 63) + 1,
                                      ~uint64_t{0}, ~uint64_t{0} - 1, 999999999999999999u};
    if (Chance(3)) return kEdges[Below(std::size(kEdges))];
    return m_rng() >> Below(64);  // every magnitude
  }
  int64_t Int64() { return static_cast<int64_t>(Chance(2) ? Bits64() : ~Bits64()); }
  int32_t Int32() { return static_cast<int32_t>(Int64()); }
  uint32_t UInt32() { return static_cast<uint32_t>(Bits64()); }

  double Double() {
    switch (Below(4)) {
      case 0: {  // any bit pattern, NaN and infinities included
        uint64_t bits = m_rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
      }
      case 1:  // prices and decimal fractions
        return static_cast<double>(Int32() % 10000000) / std::pow(10.0, static_cast<double>(Below(9)));
      case 2:  // whole numbers of every magnitude
        return static_cast<double>(Int64());
      default: {
        static const double kEdges[] = {0.0, -0.0, 1.0, -1.0, 0.1, 100.0, 1e300, 1e-300, 5e-324, 1e22, 1e21, 1e17,
                                        1e16, 1e-5, 1e-4, 123456789012345678.0, 0.30000000000000004,
                                        std::numeric_limits<double>::max(), std::numeric_limits<double>::min(),
                                        std::numeric_limits<double>::lowest(),
                                        std::numeric_limits<double>::infinity()};
        return kEdges[Below(std::size(kEdges))];
      }
    }
  }
  float Float() {
    if (Chance(2)) {
      uint32_t bits = static_cast<uint32_t>(m_rng());
      float f;
      std::memcpy(&f, &bits, sizeof f);
      return f;
    }
    return static_cast<float>(static_cast<double>(Int32() % 1000000) / std::pow(10.0, static_cast<double>(Below(7))));
  }

  // Mostly valid UTF-8 text with the characters that need escaping; now and
  // then bytes that are not UTF-8.
  std::string Text() {
    static const char* const kPieces[] = {"a", "Z", "0", " ", "\"", "\\", "/", "\n", "\t", "\r", "\b", "\f",
                                          "\x01", "\x1f", "\x7f", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                                          "\xef\xbf\xbf", "\xf4\x8f\xbf\xbf", "600000.SH", "{}", "[,:]"};
    static const char* const kBroken[] = {"\xff", "\xc3", "\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                                          "\x80", "\xe2\x82", "\xf5\x80\x80\x80"};
    std::string out;
    const uint64_t pieces = Below(12);
    for (uint64_t i = 0; i < pieces; ++i) {
      if (Chance(5)) {
        out.push_back('\0');
      } else {
        out += kPieces[Below(std::size(kPieces))];
      }
    }
    if (Chance(25)) out.insert(Below(out.size() + 1), kBroken[Below(std::size(kBroken))]);
    return out;
  }
  std::string Bytes() {
    std::string out(Below(10), '\0');
    for (char& c : out) c = static_cast<char>(m_rng());
    return out;
  }

 private:
  std::mt19937_64 m_rng;
};

constexpr int kMaxDepth = 3;

void Fill(Message& msg, ValueSource& values, int depth);

// Sets field (or appends to it when repeated) to a generated value.
void FillOne(Message& msg, const FieldDescriptor* field, ValueSource& values, int depth) {
  const Reflection* ref = msg.GetReflection();
  const bool repeated = field->is_repeated();
#define QEL_PUT(kind, v)                 \
  do {                                   \
    if (repeated) {                      \
      ref->Add##kind(&msg, field, v);    \
    } else {                             \
      ref->Set##kind(&msg, field, v);    \
    }                                    \
  } while (0)
  switch (field->cpp_type()) {
    case FieldDescriptor::CPPTYPE_DOUBLE:
      QEL_PUT(Double, values.Double());
      break;
    case FieldDescriptor::CPPTYPE_FLOAT:
      QEL_PUT(Float, values.Float());
      break;
    case FieldDescriptor::CPPTYPE_INT64:
      QEL_PUT(Int64, values.Int64());
      break;
    case FieldDescriptor::CPPTYPE_UINT64:
      QEL_PUT(UInt64, values.Bits64());
      break;
    case FieldDescriptor::CPPTYPE_INT32:
      QEL_PUT(Int32, values.Int32());
      break;
    case FieldDescriptor::CPPTYPE_UINT32:
      QEL_PUT(UInt32, values.UInt32());
      break;
    case FieldDescriptor::CPPTYPE_BOOL:
      QEL_PUT(Bool, values.Chance(2));
      break;
    case FieldDescriptor::CPPTYPE_ENUM: {
      const auto* type = field->enum_type();
      const bool open = field->file()->syntax() == FileDescriptor::SYNTAX_PROTO3;
      if (open && values.Chance(4)) {
        QEL_PUT(EnumValue, values.Int32());  // a number the enum does not name
      } else {
        QEL_PUT(Enum, type->value(static_cast<int>(values.Below(static_cast<uint64_t>(type->value_count())))));
      }
      break;
    }
    case FieldDescriptor::CPPTYPE_STRING:
      QEL_PUT(String, field->type() == FieldDescriptor::TYPE_BYTES ? values.Bytes() : values.Text());
      break;
    case FieldDescriptor::CPPTYPE_MESSAGE: {
      Message* sub = repeated ? ref->AddMessage(&msg, field) : ref->MutableMessage(&msg, field);
      if (depth < kMaxDepth) Fill(*sub, values, depth + 1);
      break;
    }
  }
#undef QEL_PUT
}

// Sets about two fields in three, one member of each oneof, up to four
// elements of a repeated field.
void Fill(Message& msg, ValueSource& values, int depth) {
  const Descriptor* descriptor = msg.GetDescriptor();
  for (int i = 0; i < descriptor->field_count(); ++i) {
    const FieldDescriptor* field = descriptor->field(i);
    const auto* oneof = field->real_containing_oneof();
    if (oneof != nullptr && field->index_in_oneof() != static_cast<int>(values.Below(
                                                           static_cast<uint64_t>(oneof->field_count())))) {
      continue;
    }
    if (values.Chance(3)) continue;
    if (field->is_repeated()) {
      const uint64_t count = values.Below(5);
      for (uint64_t k = 0; k < count; ++k) FillOne(msg, field, values, depth);
    } else {
      FillOne(msg, field, values, depth);
    }
  }
}

// ------------------------------------------------------------------ records

using com::quor::qel::model::MarketData;

TEST(RenderComparison, SimulatorRecordsOfEveryType) {
  Comparison compare;
  const int64_t channels[] = {7, -3, 0, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()};
  const int64_t seqs[] = {0, 1, (int64_t{1} << 40) + 3, std::numeric_limits<int64_t>::max()};
  for (int kind : qel::sim::AllRecordKinds()) {
    for (int64_t channel : channels) {
      for (int64_t seq : seqs) {
        const std::string wire = qel_test::SimRecord(kind, channel, seq);
        MarketData record;
        ASSERT_TRUE(record.ParseFromString(wire)) << "kind " << kind;
        compare.Check(record);
      }
    }
  }
  EXPECT_EQ(compare.differences(), 0) << "of " << compare.checked();
}

// Each record type of the envelope, its fields filled with generated values:
// both renderers agree on the text, and on the error where a value cannot be
// rendered.
TEST(RenderComparison, GeneratedRecordsOfEveryType) {
  Comparison compare;
  ValueSource values(20261211);
  const Descriptor* envelope = MarketData::descriptor();
  int record_fields = 0;
  for (int i = 0; i < envelope->field_count(); ++i) {
    const FieldDescriptor* field = envelope->field(i);
    if (field->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) continue;
    ++record_fields;
    for (int n = 0; n < 300; ++n) {
      MarketData record;
      Fill(record, values, 0);
      Message* inner = record.GetReflection()->MutableMessage(&record, field);
      inner->Clear();
      Fill(*inner, values, 1);
      compare.Check(record);
    }
  }
  EXPECT_GT(record_fields, 10);
  EXPECT_EQ(compare.differences(), 0) << "of " << compare.checked();
}

TEST(RenderComparison, GeneratedMapsOneofsDefaultsAndExtensions) {
  Comparison compare;
  ValueSource values(77);
  for (int n = 0; n < 3000; ++n) {
    Shapes shapes;
    Fill(shapes, values, 0);
    compare.Check(shapes);
    AllTypes all;
    Fill(all, values, 0);
    compare.Check(all);
    qel_json_test::Extendable ext;
    if (values.Chance(2)) ext.set_base(values.Int32());
    if (values.Chance(2)) ext.SetExtension(qel_json_test::note, values.Text());
    for (uint64_t k = values.Below(3); k > 0; --k) ext.AddExtension(qel_json_test::marks, values.Int32());
    compare.Check(ext);
  }
  EXPECT_EQ(compare.differences(), 0) << "of " << compare.checked();
}

// -------------------------------------------------------------- edge values

TEST(RenderComparison, EdgeDoublesAndFloats) {
  const double doubles[] = {0.1,
                            1e300,
                            -0.0,
                            0.0,
                            5e-324,
                            -5e-324,
                            2.2250738585072014e-308,
                            1.0,
                            100.0,
                            123456789012345678.0,
                            1e15,
                            1e16,
                            1e17,
                            1e21,
                            1e22,
                            1e23,
                            1e-4,
                            1e-5,
                            0.5,
                            -2.5,
                            1.7976931348623157e308,
                            -1.7976931348623157e308,
                            9007199254740993.0,
                            0.30000000000000004,
                            3.14159,
                            12345.678,
                            std::nan(""),
                            -std::nan(""),
                            std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity()};
  const float floats[] = {0.1f, 1.0f, -0.0f, 1e38f, 3.4028235e38f, 1e-45f, 1.17549435e-38f, 16777217.0f, 0.3f,
                          std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity()};
  Comparison compare;
  for (double d : doubles) {
    AllTypes m;
    m.set_dbl(d);
    compare.Check(m);
    m.add_r_dbl(1.0);
    m.add_r_dbl(d);
    compare.Check(m);
  }
  for (float f : floats) {
    AllTypes m;
    m.set_flt(f);
    compare.Check(m);
  }
  // Every power of two and ten a double holds, and their neighbours.
  for (int e = -1074; e <= 1023; ++e) {
    const double p = std::ldexp(1.0, e);
    for (double d : {p, std::nextafter(p, 0.0), std::nextafter(p, HUGE_VAL)}) {
      AllTypes m;
      m.set_dbl(d);
      compare.Check(m);
    }
  }
  for (int e = -323; e <= 308; ++e) {
    AllTypes m;
    m.set_dbl(std::strtod(("1e" + std::to_string(e)).c_str(), nullptr));  // subnormals too
    compare.Check(m);
  }
  EXPECT_EQ(compare.differences(), 0) << "of " << compare.checked();
}

TEST(RenderComparison, RandomDoubleAndFloatBitPatterns) {
  std::mt19937_64 rng(4242);
  Comparison compare;
  for (int n = 0; n < 200000; ++n) {
    const uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    const uint32_t fbits = static_cast<uint32_t>(bits >> 16);
    float f;
    std::memcpy(&f, &fbits, sizeof f);
    AllTypes m;
    m.set_dbl(d);
    m.set_flt(f);
    compare.Check(m);
  }
  EXPECT_EQ(compare.differences(), 0) << "of " << compare.checked();
}

TEST(RenderComparison, EdgeIntegers) {
  const int64_t i64s[] = {0, 1, -1, 9, 10, -10, std::numeric_limits<int64_t>::max(),
                          std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::min() + 1,
                          std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(),
                          1000000000000000000, -999999999999999999};
  const uint64_t u64s[] = {0, 1, 9223372036854775807u, 9223372036854775808u, 9223372036854775809u,
                           18446744073709551615u, 10000000000000000000u};
  Comparison compare;
  for (int64_t v : i64s) {
    AllTypes m;
    m.set_i64(v);
    m.set_si64(v);
    m.set_sf64(v);
    m.set_i32(static_cast<int32_t>(v));
    m.set_si32(static_cast<int32_t>(v));
    m.set_sf32(static_cast<int32_t>(v));
    m.set_u32(static_cast<uint32_t>(v));
    m.set_f32(static_cast<uint32_t>(v));
    m.add_r_i32(static_cast<int32_t>(v));
    m.set_colour(static_cast<qel_json_test::Colour>(static_cast<int32_t>(v)));
    compare.Check(m);
  }
  for (uint64_t v : u64s) {
    AllTypes m;
    m.set_u64(v);
    m.set_f64(v);
    m.add_r_u64(v);
    m.add_r_u64(v / 3);
    compare.Check(m);
  }
  EXPECT_EQ(compare.differences(), 0) << "of " << compare.checked();
}

// Every string of one and two bytes, then generated texts of three and four
// bytes over the bytes that decide escaping and UTF-8 validity: each one as a
// string (escaped, or refused when not UTF-8) and as bytes (base64).
TEST(RenderComparison, StringsAndBytes) {
  Comparison compare;
  auto check = [&compare](const std::string& s) {
    AllTypes m;
    m.set_text(s);
    m.set_blob(s);
    compare.Check(m);
  };
  check("");
  for (int a = 0; a < 256; ++a) {
    check(std::string(1, static_cast<char>(a)));
    for (int b = 0; b < 256; ++b) check(std::string{static_cast<char>(a), static_cast<char>(b)});
  }
  const unsigned char kDeciding[] = {0x00, 0x08, 0x1f, 0x20, '"', '/', '\\', 'a', 0x7f, 0x80, 0x8f, 0x90, 0x9f,
                                     0xa0, 0xbf, 0xc0, 0xc1, 0xc2, 0xdf, 0xe0, 0xed, 0xef, 0xf0, 0xf4, 0xf5, 0xff};
  const size_t n = std::size(kDeciding);
  for (size_t a = 0; a < n; ++a) {
    for (size_t b = 0; b < n; ++b) {
      for (size_t c = 0; c < n; ++c) {
        check(std::string{static_cast<char>(kDeciding[a]), static_cast<char>(kDeciding[b]),
                          static_cast<char>(kDeciding[c])});
      }
    }
  }
  std::mt19937_64 rng(99);
  for (int k = 0; k < 100000; ++k) {
    std::string s(4, '\0');
    for (char& ch : s) ch = static_cast<char>(kDeciding[rng() % n]);
    check(s);
  }
  ValueSource values(5);
  for (int k = 0; k < 20000; ++k) check(values.Text());
  // Long text: escapes and multi-byte characters across a large buffer.
  std::string big;
  for (int k = 0; k < 5000; ++k) big += values.Text();
  check(big);
  EXPECT_EQ(compare.differences(), 0) << "of " << compare.checked();
}

TEST(RenderComparison, HandMadeMessages) {
  Comparison compare;
  {
    AllTypes m;  // nothing set
    compare.Check(m);
    m.mutable_inner();  // set but empty
    compare.Check(m);
    m.add_r_inner();
    m.add_r_inner()->set_label("\"quoted\"");
    m.add_r_inner()->mutable_label()->assign("x\0y", 3);
    compare.Check(m);
    m.add_r_inner()->set_label("\xc3");  // a nested string that is not UTF-8
    compare.Check(m);
  }
  {
    Shapes s;  // proto2: present at the declared default is still present
    s.set_count(5);
    s.set_name("none");
    s.set_price(1.5);
    s.set_side(qel_json_test::SIDE_SELL);
    compare.Check(s);
    s.mutable_choice_nested()->mutable_choice_nested()->set_choice_number(-1);
    (*s.mutable_by_name())["k\n"] = 1;
    (*s.mutable_by_name())[""] = -1;
    (*s.mutable_by_id())[std::numeric_limits<int64_t>::min()].add_floats(0.1f);
    (*s.mutable_by_flag())[true] = std::string("\0\xff", 2);
    s.set_big(std::numeric_limits<uint64_t>::max());
    s.set_mask(0xffffffffu);
    compare.Check(s);
    s.add_children()->add_children()->add_children()->set_price(std::nan(""));
    compare.Check(s);
  }
  EXPECT_EQ(compare.differences(), 0) << "of " << compare.checked();
}

// Numbers do not follow the C locale's decimal point: under a German
// LC_NUMERIC (compiled here with localedef, as the image installs no locales)
// the text still has points, and both renderers agree.
TEST(RenderComparison, DecimalPointIgnoresTheLocale) {
  qel_test::TempDir dir;
  const std::string command =
      "localedef -i de_DE -f UTF-8 '" + dir.path() + "/de_DE.UTF-8' >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) GTEST_SKIP() << "localedef cannot build de_DE.UTF-8";
  ASSERT_EQ(setenv("LOCPATH", dir.path().c_str(), 1), 0);
  ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
  ASSERT_STREQ(std::localeconv()->decimal_point, ",");
  AllTypes m;
  m.set_dbl(1.5);
  m.add_r_dbl(1e-7);
  m.add_r_dbl(-2.0);
  m.set_flt(0.25f);
  const std::string text = Render(m);
  const std::string reference = ReferenceRender(m);
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(text, R"({"dbl": 1.5, "flt": 0.25, "r_dbl": [9.9999999999999995e-8, -2.0]})");
  EXPECT_EQ(text, reference);
}

}  // namespace
