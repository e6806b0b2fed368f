// Checks of the wire schema: field counts of the market-data records, the
// relation of each MD record to its QEL twin, the envelope layout, packing of
// repeated numeric fields and a few decoding edge cases.

#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "ESysMessageType.pb.h"
#include "MDBond.pb.h"
#include "MDFund.pb.h"
#include "MDFuture.pb.h"
#include "MDIndex.pb.h"
#include "MDKLine.pb.h"
#include "MDOption.pb.h"
#include "MDOrder.pb.h"
#include "MDStock.pb.h"
#include "MDTrade.pb.h"
#include "MDWarrant.pb.h"
#include "MarketData.pb.h"
#include "MetaData.pb.h"
#include "QELBond.pb.h"
#include "QELFund.pb.h"
#include "QELFuture.pb.h"
#include "QELIndex.pb.h"
#include "QELIopv.pb.h"
#include "QELKLine.pb.h"
#include "QELOption.pb.h"
#include "QELOrder.pb.h"
#include "QELOrderbook.pb.h"
#include "QELStock.pb.h"
#include "QELTrade.pb.h"
#include "QELWarrant.pb.h"
#include "SysLogin.pb.h"

namespace {

namespace model = com::quor::qel::model;
using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::FieldDescriptor;

using DescriptorFn = const Descriptor* (*)();

std::string Bytes(std::initializer_list<std::uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// ---------------------------------------------------------------------------
// Record field counts

struct RecordCount {
  DescriptorFn descriptor;
  int documented_fields;
};

const RecordCount kRecordCounts[] = {
    {&model::QELStock::descriptor, 83},     {&model::QELBond::descriptor, 98},
    {&model::QELFund::descriptor, 91},      {&model::QELWarrant::descriptor, 78},
    {&model::QELOption::descriptor, 63},    {&model::QELFuture::descriptor, 60},
    {&model::QELIndex::descriptor, 36},     {&model::QELIopv::descriptor, 11},
    {&model::QELOrderbook::descriptor, 50}, {&model::QELOrder::descriptor, 37},
    {&model::QELTrade::descriptor, 50},     {&model::QELKLine::descriptor, 21},
    {&model::MDStock::descriptor, 82},      {&model::MDBond::descriptor, 97},
    {&model::MDFund::descriptor, 88},       {&model::MDWarrant::descriptor, 77},
    {&model::MDOption::descriptor, 62},     {&model::MDFuture::descriptor, 59},
    {&model::MDIndex::descriptor, 35},      {&model::MDTrade::descriptor, 49},
    {&model::MDKLine::descriptor, 21},      {&model::MDOrder::descriptor, 37},
};

void PrintTo(const RecordCount& r, std::ostream* os) {
  *os << r.descriptor()->name() << " (" << r.documented_fields << " fields)";
}

std::vector<RecordCount> RecordsNamedWith(const std::string& prefix) {
  std::vector<RecordCount> selected;
  for (const RecordCount& r : kRecordCounts) {
    if (r.descriptor()->name().rfind(prefix, 0) == 0) selected.push_back(r);
  }
  return selected;
}

std::string RecordName(const testing::TestParamInfo<RecordCount>& info) {
  return info.param.descriptor()->name();
}

class RecordSchema : public testing::TestWithParam<RecordCount> {};

TEST_P(RecordSchema, HasTheDocumentedNumberOfFields) {
  EXPECT_EQ(GetParam().descriptor()->field_count(), GetParam().documented_fields);
}

// Every repeated numeric field, including those of nested entries, is packed.
void ExpectRepeatedScalarsPacked(const Descriptor* d) {
  for (int i = 0; i < d->field_count(); ++i) {
    const FieldDescriptor* f = d->field(i);
    if (f->type() == FieldDescriptor::TYPE_MESSAGE) {
      ExpectRepeatedScalarsPacked(f->message_type());
    } else if (f->is_repeated() && f->type() != FieldDescriptor::TYPE_STRING) {
      EXPECT_TRUE(f->is_packed()) << f->full_name();
    }
  }
}

TEST_P(RecordSchema, PacksEveryRepeatedNumericField) {
  ExpectRepeatedScalarsPacked(GetParam().descriptor());
}

INSTANTIATE_TEST_SUITE_P(AllRecords, RecordSchema, testing::ValuesIn(kRecordCounts), RecordName);

// QEL records number their fields densely; MD records leave the numbers of
// dropped fields unused, which the twin checks below cover.
class QelRecordNumbering : public testing::TestWithParam<RecordCount> {};

TEST_P(QelRecordNumbering, UsesEveryNumberFromOneToItsFieldCount) {
  const Descriptor* d = GetParam().descriptor();
  for (int number = 1; number <= d->field_count(); ++number) {
    EXPECT_NE(d->FindFieldByNumber(number), nullptr) << d->name() << " lacks number " << number;
  }
}

INSTANTIATE_TEST_SUITE_P(AllQelRecords, QelRecordNumbering,
                         testing::ValuesIn(RecordsNamedWith("QEL")), RecordName);

// ---------------------------------------------------------------------------
// MD records against their QEL twins

const Descriptor* QelTwinOf(const Descriptor* md) {
  return DescriptorPool::generated_pool()->FindMessageTypeByName(md->file()->package() + ".QEL" +
                                                                  md->name().substr(2));
}

bool IsIntegerType(FieldDescriptor::Type t) {
  return t == FieldDescriptor::TYPE_INT64 || t == FieldDescriptor::TYPE_INT32;
}

class MdRecordDerivation : public testing::TestWithParam<RecordCount> {};

TEST_P(MdRecordDerivation, KeepsNumberNameAndDeclarationOrderOfItsQelTwin) {
  const Descriptor* md = GetParam().descriptor();
  const Descriptor* qel = QelTwinOf(md);
  ASSERT_NE(qel, nullptr) << "no QEL twin for " << md->name();
  int previous_twin_index = -1;
  for (int i = 0; i < md->field_count(); ++i) {
    const FieldDescriptor* f = md->field(i);
    SCOPED_TRACE(f->full_name());
    const FieldDescriptor* twin = qel->FindFieldByName(f->name());
    ASSERT_NE(twin, nullptr);
    EXPECT_EQ(f->number(), twin->number());
    EXPECT_GT(twin->index(), previous_twin_index) << "declaration order differs from the twin";
    previous_twin_index = twin->index();
  }
}

TEST_P(MdRecordDerivation, KeepsTheTwinTypeOrWidensAnIntegerToDouble) {
  const Descriptor* md = GetParam().descriptor();
  const Descriptor* qel = QelTwinOf(md);
  ASSERT_NE(qel, nullptr);
  for (int i = 0; i < md->field_count(); ++i) {
    const FieldDescriptor* f = md->field(i);
    const FieldDescriptor* twin = qel->FindFieldByName(f->name());
    ASSERT_NE(twin, nullptr) << f->full_name();
    EXPECT_EQ(f->is_repeated(), twin->is_repeated()) << f->full_name();
    if (f->type() == twin->type()) continue;
    EXPECT_EQ(f->type(), FieldDescriptor::TYPE_DOUBLE) << f->full_name();
    EXPECT_TRUE(IsIntegerType(twin->type()))
        << f->full_name() << " retyped from " << twin->type_name();
  }
}

INSTANTIATE_TEST_SUITE_P(AllMdRecords, MdRecordDerivation,
                         testing::ValuesIn(RecordsNamedWith("MD")), RecordName);

TEST(MdOrderSchema, IsFieldForFieldIdenticalToQelOrder) {
  const Descriptor* md = model::MDOrder::descriptor();
  const Descriptor* qel = model::QELOrder::descriptor();
  ASSERT_EQ(md->field_count(), qel->field_count());
  for (int i = 0; i < md->field_count(); ++i) {
    SCOPED_TRACE(md->field(i)->name());
    EXPECT_EQ(md->field(i)->name(), qel->field(i)->name());
    EXPECT_EQ(md->field(i)->number(), qel->field(i)->number());
    EXPECT_EQ(md->field(i)->type(), qel->field(i)->type());
    EXPECT_EQ(md->field(i)->label(), qel->field(i)->label());
  }
}

// ---------------------------------------------------------------------------
// MarketData envelope

struct EnvelopeRecord {
  int number;
  DescriptorFn record;
};

const EnvelopeRecord kEnvelopeRecords[] = {
    {3, &model::QELStock::descriptor},   {4, &model::QELBond::descriptor},
    {5, &model::QELFund::descriptor},    {6, &model::QELIndex::descriptor},
    {7, &model::QELOption::descriptor},  {8, &model::QELOrder::descriptor},
    {9, &model::QELTrade::descriptor},   {10, &model::QELIopv::descriptor},
    {11, &model::QELFuture::descriptor}, {12, &model::QELOrderbook::descriptor},
    {13, &model::QELWarrant::descriptor}, {14, &model::QELKLine::descriptor},
    {20, &model::MDStock::descriptor},   {21, &model::MDBond::descriptor},
    {22, &model::MDFund::descriptor},    {23, &model::MDIndex::descriptor},
    {24, &model::MDOption::descriptor},  {25, &model::MDOrder::descriptor},
    {26, &model::MDTrade::descriptor},   {27, &model::MDFuture::descriptor},
    {28, &model::MDWarrant::descriptor}, {29, &model::MDKLine::descriptor},
};

TEST(MarketDataEnvelope, StartsWithChannelAndRecordTypeScalars) {
  const Descriptor* d = model::MarketData::descriptor();
  ASSERT_GE(d->field_count(), 2);
  EXPECT_EQ(d->field(0)->name(), "QELMessageChannel");
  EXPECT_EQ(d->field(0)->number(), 1);
  EXPECT_EQ(d->field(0)->type(), FieldDescriptor::TYPE_INT64);
  EXPECT_EQ(d->field(1)->name(), "QELRecordType");
  EXPECT_EQ(d->field(1)->number(), 2);
  EXPECT_EQ(d->field(1)->type(), FieldDescriptor::TYPE_INT32);
}

TEST(MarketDataEnvelope, CarriesEachRecordUnderItsOwnNameAndNumber) {
  const Descriptor* d = model::MarketData::descriptor();
  EXPECT_EQ(d->field_count(), 2 + static_cast<int>(std::size(kEnvelopeRecords)));
  EXPECT_EQ(d->oneof_decl_count(), 0);
  for (const EnvelopeRecord& r : kEnvelopeRecords) {
    const FieldDescriptor* f = d->FindFieldByNumber(r.number);
    ASSERT_NE(f, nullptr) << "number " << r.number;
    EXPECT_EQ(f->message_type(), r.record()) << "number " << r.number;
    EXPECT_EQ(f->name(), r.record()->name());
    EXPECT_FALSE(f->is_repeated()) << f->name();
  }
}

TEST(MarketDataEnvelope, LeavesNumbersFifteenToNineteenUnassigned) {
  for (int number = 15; number <= 19; ++number) {
    EXPECT_EQ(model::MarketData::descriptor()->FindFieldByNumber(number), nullptr) << number;
  }
}

TEST(MarketDataEnvelope, DecodesWithNoRecordSet) {
  model::MarketData envelope;
  ASSERT_TRUE(envelope.ParseFromString(Bytes({0x08, 0x07})));  // QELMessageChannel = 7
  EXPECT_EQ(envelope.qelmessagechannel(), 7);
  const Descriptor* d = envelope.GetDescriptor();
  for (int i = 0; i < d->field_count(); ++i) {
    const FieldDescriptor* f = d->field(i);
    if (f->type() != FieldDescriptor::TYPE_MESSAGE) continue;
    EXPECT_FALSE(envelope.GetReflection()->HasField(envelope, f)) << f->name();
  }
}

// ---------------------------------------------------------------------------
// Wire behaviour of individual fields

TEST(BondSettlTypeQueue, IsPackedInt32InQelBondAndPackedDoubleInMdBond) {
  for (const char* name : {"BuySettlTypeQueue", "SellSettlTypeQueue"}) {
    const FieldDescriptor* qel = model::QELBond::descriptor()->FindFieldByName(name);
    const FieldDescriptor* md = model::MDBond::descriptor()->FindFieldByName(name);
    ASSERT_NE(qel, nullptr) << name;
    ASSERT_NE(md, nullptr) << name;
    EXPECT_EQ(qel->type(), FieldDescriptor::TYPE_INT32) << name;
    EXPECT_EQ(md->type(), FieldDescriptor::TYPE_DOUBLE) << name;
    EXPECT_TRUE(qel->is_repeated() && qel->is_packed()) << name;
    EXPECT_TRUE(md->is_repeated() && md->is_packed()) << name;
    EXPECT_EQ(qel->number(), md->number()) << name;
  }
}

std::string LittleEndianDouble(double v) {
  char raw[sizeof v];
  std::memcpy(raw, &v, sizeof v);
  return std::string(raw, sizeof raw);
}

TEST(BondSettlTypeQueue, MdBondDecodesAPackedRunOfDoubles) {
  // Field 64, wire type 2: tag 514 as varint, 16 bytes of payload.
  const std::string wire =
      Bytes({0x82, 0x04, 0x10}) + LittleEndianDouble(1.5) + LittleEndianDouble(-2.25);
  model::MDBond bond;
  ASSERT_TRUE(bond.ParseFromString(wire));
  ASSERT_EQ(bond.buysettltypequeue_size(), 2);
  EXPECT_EQ(bond.buysettltypequeue(0), 1.5);
  EXPECT_EQ(bond.buysettltypequeue(1), -2.25);
  EXPECT_EQ(bond.SerializeAsString(), wire);
}

TEST(BondSettlTypeQueue, QelBondDecodesAPackedRunOfVarints) {
  const std::string wire = Bytes({0x82, 0x04, 0x03, 0x01, 0x02, 0x7f});
  model::QELBond bond;
  ASSERT_TRUE(bond.ParseFromString(wire));
  ASSERT_EQ(bond.buysettltypequeue_size(), 3);
  EXPECT_EQ(bond.buysettltypequeue(0), 1);
  EXPECT_EQ(bond.buysettltypequeue(1), 2);
  EXPECT_EQ(bond.buysettltypequeue(2), 127);
  EXPECT_EQ(bond.SerializeAsString(), wire);
}

TEST(QelStockClosePx, IsEncodedLastBecauseItHasTheHighestNumber) {
  model::QELStock stock;
  stock.set_closepx(20);  // number 83, declared after OpenPx
  stock.set_symbol("x");  // number 82
  stock.set_openpx(10);   // number 16
  const std::string expected = Bytes({0x80, 0x01, 0x0a,      // OpenPx = 10
                                      0x92, 0x05, 0x01, 'x',  // symbol = "x"
                                      0x98, 0x05, 0x14});     // ClosePx = 20
  EXPECT_EQ(stock.SerializeAsString(), expected);
}

// ---------------------------------------------------------------------------
// System messages

TEST(MetaDataDecoding, KeepsAnUnknownSysMessageTypeThroughARoundTrip) {
  ASSERT_FALSE(model::ESysMessageType_IsValid(99));
  model::MetaData sent;
  sent.set_sysmessagetype(static_cast<model::ESysMessageType>(99));
  sent.set_qelsysmessagenum(1);
  std::string wire;
  ASSERT_TRUE(sent.SerializeToString(&wire));

  model::MetaData received;
  ASSERT_TRUE(received.ParseFromString(wire));
  EXPECT_EQ(static_cast<int>(received.sysmessagetype()), 99);
  EXPECT_EQ(received.qelsysmessagenum(), 1);
  EXPECT_EQ(received.SerializeAsString(), wire);
}

TEST(MetaDataDecoding, AcceptsAnUnknownSysMessageTypeFromRawBytes) {
  model::MetaData received;
  ASSERT_TRUE(received.ParseFromString(Bytes({0x28, 0x63})));  // field 5 = 99
  EXPECT_EQ(static_cast<int>(received.sysmessagetype()), 99);
}

TEST(LoginResponseDecoding, RefusalWithErrorContextHasNoServers) {
  // isSuccess = false (sent explicitly), errorContext { errorCode = 1001, message = "denied" }
  const std::string wire = Bytes({0x08, 0x00, 0x12, 0x0b, 0x08, 0xe9, 0x07, 0x12, 0x06, 'd', 'e',
                                  'n', 'i', 'e', 'd'});
  model::LoginResponse response;
  ASSERT_TRUE(response.ParseFromString(wire));
  EXPECT_FALSE(response.issuccess());
  ASSERT_TRUE(response.has_errorcontext());
  EXPECT_EQ(response.errorcontext().errorcode(), 1001);
  EXPECT_EQ(response.errorcontext().message(), "denied");
  EXPECT_EQ(response.servers_size(), 0);
  EXPECT_TRUE(response.token().empty());
}

}  // namespace
