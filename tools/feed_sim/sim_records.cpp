#include "sim_records.h"

#include <time.h>

#include <algorithm>
#include <cstring>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "MarketData.pb.h"

namespace qel {
namespace sim {

using com::quor::qel::model::MarketData;
using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

namespace {

size_t VarintLen(uint64_t v) {
  size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

char* PutVarint(uint64_t v, char* p) {
  while (v >= 0x80) {
    *p++ = static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<char>(v);
  return p;
}

void AppendVarint(std::string* out, uint64_t v) {
  char b[10];
  char* e = PutVarint(v, b);
  out->append(b, static_cast<size_t>(e - b));
}

void AppendTag(std::string* out, int number, int wire_type) {
  AppendVarint(out, (static_cast<uint64_t>(number) << 3) | static_cast<uint64_t>(wire_type));
}

bool EndsWith(const std::string& s, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

void SetNumber(Message* m, const Reflection* r, const FieldDescriptor* f, double v) {
  switch (f->cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT32: r->SetInt32(m, f, static_cast<int32_t>(v)); break;
    case FieldDescriptor::CPPTYPE_INT64: r->SetInt64(m, f, static_cast<int64_t>(v)); break;
    case FieldDescriptor::CPPTYPE_DOUBLE: r->SetDouble(m, f, v); break;
    default: break;
  }
}

void AddNumber(Message* m, const Reflection* r, const FieldDescriptor* f, double v) {
  switch (f->cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT32: r->AddInt32(m, f, static_cast<int32_t>(v)); break;
    case FieldDescriptor::CPPTYPE_INT64: r->AddInt64(m, f, static_cast<int64_t>(v)); break;
    case FieldDescriptor::CPPTYPE_DOUBLE: r->AddDouble(m, f, v); break;
    default: break;
  }
}

// Fills a record with plausible values: identity fields from the stream, a
// price level derived from the security's position, five-level queues.
// Integer prices are scaled by 10^4 (DataMultiplePowerOf10 = 4).
void FillRecord(Message* rec, const StreamSpec& s, const std::string& id, int64_t channel,
                double base_px, const FieldDescriptor* seq_field, const FieldDescriptor* stamp_field) {
  const Descriptor* d = rec->GetDescriptor();
  const Reflection* r = rec->GetReflection();
  const int32_t record_type = s.record_type != 0 ? s.record_type : s.record_kind;
  for (int i = 0; i < d->field_count(); ++i) {
    const FieldDescriptor* f = d->field(i);
    if (f == seq_field || f == stamp_field) continue;
    const std::string& name = f->name();
    const bool is_double = f->cpp_type() == FieldDescriptor::CPPTYPE_DOUBLE;
    const double scale = is_double ? 1.0 : 10000.0;
    if (f->is_repeated()) {
      if (f->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) continue;
      const bool buy = name.rfind("Buy", 0) == 0;
      if (name == "BuyPriceQueue" || name == "SellPriceQueue") {
        for (int lv = 0; lv < s.queue_levels; ++lv) {
          const double px = base_px + (buy ? -0.01 : 0.01) * (lv + 1);
          AddNumber(rec, r, f, px * scale);
        }
      } else if (name == "BuyOrderQtyQueue" || name == "SellOrderQtyQueue") {
        for (int lv = 0; lv < s.queue_levels; ++lv) AddNumber(rec, r, f, 100.0 * (lv + 1));
      }
      continue;
    }
    switch (f->cpp_type()) {
      case FieldDescriptor::CPPTYPE_STRING:
        if (name == "QELSecurityID" || name == "SecurityID" || name == "symbol") {
          r->SetString(rec, f, id);
        }
        break;
      case FieldDescriptor::CPPTYPE_INT32:
        if (name == "QELDataType") r->SetInt32(rec, f, s.data_type);
        else if (name == "MDDate") r->SetInt32(rec, f, 20250930);
        else if (name == "MDTime") r->SetInt32(rec, f, 93000000);
        else if (name == "QELRecordType") r->SetInt32(rec, f, record_type);
        else if (name == "QELSecurityIDSource") r->SetInt32(rec, f, 101);
        else if (name == "QELSecurityType") r->SetInt32(rec, f, 1);
        else if (name == "TradingPhaseCode") r->SetInt32(rec, f, 3);
        else if (name == "ChannelNo") r->SetInt32(rec, f, static_cast<int32_t>(channel));
        else if (name == "DataMultiplePowerOf10") r->SetInt32(rec, f, 4);
        else if (name == "OrderType" || name == "TradeType" || name == "OrderBSFlag" ||
                 name == "TradeBSFlag")
          r->SetInt32(rec, f, 1);
        break;
      case FieldDescriptor::CPPTYPE_INT64:
      case FieldDescriptor::CPPTYPE_DOUBLE:
        if (name == "LastPx" || name == "OpenPx" || name == "PreClosePx" || name == "HighPx" ||
            name == "LowPx" || name == "OrderPrice" || name == "TradePrice" || name == "Iopv") {
          const double bump = name == "HighPx" ? 0.2 : name == "LowPx" ? -0.2 : 0.0;
          SetNumber(rec, r, f, (base_px + bump) * scale);
        } else if (name == "TotalVolumeTrade" || name == "OrderQty" || name == "TradeQty") {
          SetNumber(rec, r, f, 1000.0);
        } else if (name == "TotalValueTrade" || name == "TradeMoney") {
          SetNumber(rec, r, f, 1000.0 * base_px * scale);
        } else if (EndsWith(name, "Index") && !is_double) {
          SetNumber(rec, r, f, 1.0);
        }
        break;
      default:
        break;
    }
  }
}

struct KindInfo {
  int kind;
  const char* name;
  const char* seq_field;
};

const KindInfo kKinds[] = {
    {kQELStock, "QELStock", "NumTrades"},       {kQELBond, "QELBond", "NumTrades"},
    {kQELFund, "QELFund", "NumTrades"},         {kQELIndex, "QELIndex", "NumTrades"},
    {kQELOption, "QELOption", "NumTrades"},     {kQELOrder, "QELOrder", "ApplSeqNum"},
    {kQELTrade, "QELTrade", "ApplSeqNum"},      {kQELIopv, "QELIopv", "Iopv"},
    {kQELFuture, "QELFuture", "TotalVolumeTrade"},
    {kQELOrderbook, "QELOrderbook", "NumTrades"},
    {kQELWarrant, "QELWarrant", "NumTrades"},   {kQELKLine, "QELKLine", "NumTrades"},
    {kMDStock, "MDStock", "NumTrades"},         {kMDBond, "MDBond", "NumTrades"},
    {kMDFund, "MDFund", "NumTrades"},           {kMDIndex, "MDIndex", "NumTrades"},
    {kMDOption, "MDOption", "NumTrades"},       {kMDOrder, "MDOrder", "ApplSeqNum"},
    {kMDTrade, "MDTrade", "ApplSeqNum"},        {kMDFuture, "MDFuture", "TotalVolumeTrade"},
    {kMDWarrant, "MDWarrant", "NumTrades"},     {kMDKLine, "MDKLine", "NumTrades"},
};

const KindInfo* FindKind(int kind) {
  for (const auto& k : kKinds) {
    if (k.kind == kind) return &k;
  }
  return nullptr;
}

}  // namespace

const std::vector<int>& AllRecordKinds() {
  static const std::vector<int> kinds = [] {
    std::vector<int> v;
    for (const auto& k : kKinds) v.push_back(k.kind);
    return v;
  }();
  return kinds;
}

bool IsValidRecordKind(int record_kind) { return FindKind(record_kind) != nullptr; }

std::string RecordKindName(int record_kind) {
  const KindInfo* k = FindKind(record_kind);
  return k ? k->name : "";
}

int RecordKindFromName(const std::string& name) {
  for (const auto& k : kKinds) {
    if (name == k.name) return k.kind;
  }
  return 0;
}

std::string SequenceFieldName(int record_kind) {
  const KindInfo* k = FindKind(record_kind);
  return k ? k->seq_field : "";
}

int RecordKindOf(const MarketData& record) {
  const Reflection* r = record.GetReflection();
  for (int kind : AllRecordKinds()) {
    const FieldDescriptor* f = MarketData::descriptor()->FindFieldByNumber(kind);
    if (f && r->HasField(record, f)) return kind;
  }
  return 0;
}

int64_t SendStampNow(StreamSpec::SendStamp clock) {
  if (clock == StreamSpec::SendStamp::kNone) return -1;
  timespec ts{};
  clock_gettime(clock == StreamSpec::SendStamp::kRealtime ? CLOCK_REALTIME : CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t RecordSendStamp(const MarketData& record) {
  const int kind = RecordKindOf(record);
  if (kind == 0) return -1;
  const FieldDescriptor* f = MarketData::descriptor()->FindFieldByNumber(kind);
  const Message& rec = record.GetReflection()->GetMessage(record, f);
  const FieldDescriptor* sf = rec.GetDescriptor()->FindFieldByName(kStampFieldName);
  if (!sf || sf->cpp_type() != FieldDescriptor::CPPTYPE_INT64 || sf->is_repeated()) return -1;
  return rec.GetReflection()->GetInt64(rec, sf);
}

int64_t RecordSequence(const MarketData& record) {
  const int kind = RecordKindOf(record);
  if (kind == 0) return -1;
  const FieldDescriptor* f = MarketData::descriptor()->FindFieldByNumber(kind);
  const Message& rec = record.GetReflection()->GetMessage(record, f);
  const FieldDescriptor* sf = rec.GetDescriptor()->FindFieldByName(SequenceFieldName(kind));
  if (!sf) return -1;
  switch (sf->cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT64: return rec.GetReflection()->GetInt64(rec, sf);
    case FieldDescriptor::CPPTYPE_DOUBLE:
      return static_cast<int64_t>(rec.GetReflection()->GetDouble(rec, sf));
    default: return -1;
  }
}

bool RecordTemplate::Build(const StreamSpec& stream, const std::string& security_id,
                           int64_t channel, RecordTemplate* out, std::string* error) {
  const KindInfo* k = FindKind(stream.record_kind);
  if (!k) {
    if (error) *error = "unknown record kind " + std::to_string(stream.record_kind);
    return false;
  }
  MarketData md;
  const FieldDescriptor* rf = MarketData::descriptor()->FindFieldByNumber(k->kind);
  Message* rec = md.GetReflection()->MutableMessage(&md, rf);
  const FieldDescriptor* sf = rec->GetDescriptor()->FindFieldByName(k->seq_field);
  if (!sf || (sf->cpp_type() != FieldDescriptor::CPPTYPE_INT64 &&
              sf->cpp_type() != FieldDescriptor::CPPTYPE_DOUBLE) ||
      sf->is_repeated()) {
    if (error) *error = std::string("record ") + k->name + " has no sequence field " + k->seq_field;
    return false;
  }
  // A stable per-security price level: 10.00 plus a step from the id's bytes.
  unsigned h = 0;
  for (unsigned char c : security_id) h = h * 31 + c;
  const double base_px = 10.0 + static_cast<double>(h % 1000) / 100.0;
  const FieldDescriptor* stamp = nullptr;
  if (stream.send_stamp != StreamSpec::SendStamp::kNone) {
    stamp = rec->GetDescriptor()->FindFieldByName(kStampFieldName);
    if (!stamp || stamp->cpp_type() != FieldDescriptor::CPPTYPE_INT64 || stamp->is_repeated()) {
      if (error) *error = std::string("record ") + k->name + " has no send-stamp field " + kStampFieldName;
      return false;
    }
  }
  FillRecord(rec, stream, security_id, channel, base_px, sf, stamp);

  out->m_channel = channel;
  out->m_record_type = stream.record_type != 0 ? stream.record_type : stream.record_kind;
  out->m_security_id = security_id;
  out->m_inner = rec->SerializeAsString();
  out->m_seq_is_double = sf->cpp_type() == FieldDescriptor::CPPTYPE_DOUBLE;
  out->m_seq_tag.clear();
  AppendTag(&out->m_seq_tag, sf->number(), out->m_seq_is_double ? 1 : 0);
  out->m_stamp_tag.clear();
  if (stamp) AppendTag(&out->m_stamp_tag, stamp->number(), 0);
  out->m_envelope_head.clear();
  AppendTag(&out->m_envelope_head, 1, 0);
  AppendVarint(&out->m_envelope_head, static_cast<uint64_t>(channel));
  AppendTag(&out->m_envelope_head, 2, 0);
  AppendVarint(&out->m_envelope_head,
               static_cast<uint64_t>(static_cast<int64_t>(out->m_record_type)));
  AppendTag(&out->m_envelope_head, k->kind, 2);
  return true;
}

size_t RecordTemplate::EncodedSize(int64_t seq, int64_t stamp) const {
  size_t inner = m_inner.size() + m_seq_tag.size() +
                 (m_seq_is_double ? 8 : VarintLen(static_cast<uint64_t>(seq)));
  if (has_stamp()) inner += m_stamp_tag.size() + VarintLen(static_cast<uint64_t>(stamp));
  return m_envelope_head.size() + VarintLen(inner) + inner;
}

void RecordTemplate::Encode(int64_t seq, char* out, int64_t stamp) const {
  size_t inner = m_inner.size() + m_seq_tag.size() +
                 (m_seq_is_double ? 8 : VarintLen(static_cast<uint64_t>(seq)));
  if (has_stamp()) inner += m_stamp_tag.size() + VarintLen(static_cast<uint64_t>(stamp));
  std::memcpy(out, m_envelope_head.data(), m_envelope_head.size());
  char* p = out + m_envelope_head.size();
  p = PutVarint(inner, p);
  std::memcpy(p, m_inner.data(), m_inner.size());
  p += m_inner.size();
  std::memcpy(p, m_seq_tag.data(), m_seq_tag.size());
  p += m_seq_tag.size();
  if (m_seq_is_double) {
    const double d = static_cast<double>(seq);
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    for (int i = 0; i < 8; ++i) *p++ = static_cast<char>((bits >> (8 * i)) & 0xFF);
  } else {
    p = PutVarint(static_cast<uint64_t>(seq), p);
  }
  if (has_stamp()) {
    std::memcpy(p, m_stamp_tag.data(), m_stamp_tag.size());
    PutVarint(static_cast<uint64_t>(stamp), p + m_stamp_tag.size());
  }
}

}  // namespace sim
}  // namespace qel
