// Shared value types of the data path and the node map: ServerHost parsing and
// ordering, the queued frame record and the queue type names.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <map>
#include <new>
#include <ostream>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "common/common_def.h"
#include "common/server_host.h"

namespace qc = com::quor::kbr::client;

static_assert(qc::RAW_DATA_QUEUE_SIZE == 524288, "");
static_assert(std::is_same<qc::RawDataQueue, SPSCQueueOpt<qc::RawData, 524288>>::value, "");
static_assert(std::is_same<qc::RawDataQueueBack, SPSCQueueOpt<char*, 524288>>::value, "");
static_assert(std::is_same<qc::RawDataQueueMap,
                           std::unordered_map<uint32_t, std::shared_ptr<SPSCQueueOpt<qc::RawData, 524288>>>>::value,
              "");
static_assert(std::is_same<qc::RawDataQueueBackMap,
                           std::unordered_map<uint32_t, std::shared_ptr<SPSCQueueOpt<char*, 524288>>>>::value,
              "");
static_assert(std::is_same<decltype(qc::RawData::m_flags), int16_t>::value &&
                  std::is_same<decltype(qc::RawData::m_channelNo), int32_t>::value &&
                  std::is_same<decltype(qc::RawData::m_channelIdx), int64_t>::value &&
                  std::is_same<decltype(qc::RawData::m_qelDataType), int32_t>::value &&
                  std::is_same<decltype(qc::RawData::m_payloadLength), int32_t>::value &&
                  std::is_same<decltype(qc::RawData::m_messageNum), int32_t>::value &&
                  std::is_same<decltype(qc::RawData::m_body), char*>::value,
              "RawData field types");
static_assert(std::is_same<qc::ServerHostListType, std::map<int, qc::ServerHost, std::greater<int>>>::value, "");
static_assert(std::is_same<qc::IdToServerHostMapType, std::map<int, qc::ServerHostListType>>::value, "");
static_assert(std::is_same<qc::ServerHostVectorType, std::vector<qc::ServerHost>>::value, "");

TEST(RawDataRecord, DefaultConstructionZeroesEveryField) {
  // Construct over dirty memory so that a missing initialiser shows.
  alignas(qc::RawData) unsigned char storage[sizeof(qc::RawData)];
  std::memset(storage, 0xA5, sizeof(storage));
  qc::RawData* r = new (storage) qc::RawData();
  EXPECT_EQ(r->m_flags, 0);
  EXPECT_EQ(r->m_channelNo, 0);
  EXPECT_EQ(r->m_channelIdx, 0);
  EXPECT_EQ(r->m_qelDataType, 0);
  EXPECT_EQ(r->m_payloadLength, 0);
  EXPECT_EQ(r->m_messageNum, 0);
  EXPECT_EQ(r->m_body, nullptr);
  r->~RawData();
}

namespace {
struct HostTextCase {
  const char* name;
  const char* text;
  const char* ip;
  int port;
};
void PrintTo(const HostTextCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class ServerHostText : public testing::TestWithParam<HostTextCase> {};
}  // namespace

TEST_P(ServerHostText, SplitsAtTheFirstColon) {
  const HostTextCase& c = GetParam();
  const qc::ServerHost host{std::string(c.text)};
  EXPECT_EQ(host.GetServerIp(), c.ip);
  EXPECT_EQ(host.GetServerPort(), c.port);
  EXPECT_FALSE(host.IsSsl());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ServerHostText,
    testing::Values(HostTextCase{"IpAndPort", "10.1.2.3:9000", "10.1.2.3", 9000},
                    HostTextCase{"NoColon", "10.1.2.3", "10.1.2.3", 0}, HostTextCase{"Empty", "", "", 0},
                    HostTextCase{"EmptyIp", ":8080", "", 8080}, HostTextCase{"EmptyPort", "h:", "h", 0},
                    HostTextCase{"SecondColon", "h:80:90", "h", 0}, HostTextCase{"TrailingText", "h:80x", "h", 0},
                    HostTextCase{"LeadingBlank", "h: 80", "h", 0}, HostTextCase{"Plus", "h:+443", "h", 443},
                    HostTextCase{"SignOnly", "h:-", "h", 0}, HostTextCase{"IntMax", "h:2147483647", "h", INT_MAX},
                    HostTextCase{"AboveIntMax", "h:2147483648", "h", 0},
                    HostTextCase{"IntMin", "h:-2147483648", "h", INT_MIN},
                    HostTextCase{"BelowIntMin", "h:-2147483649", "h", 0},
                    HostTextCase{"HugeDigits", "h:99999999999999999999999", "h", 0}),
    [](const testing::TestParamInfo<HostTextCase>& info) { return info.param.name; });

TEST(ServerHostValue, ConstructorsAccessorsAndCopies) {
  const qc::ServerHost empty;
  EXPECT_EQ(empty.GetServerIp(), "");
  EXPECT_EQ(empty.GetServerPort(), 0);
  EXPECT_FALSE(empty.IsSsl());

  const qc::ServerHost tls("192.168.0.7", 9443, true);
  EXPECT_EQ(tls.GetServerIp(), "192.168.0.7");
  EXPECT_EQ(tls.GetServerPort(), 9443);
  EXPECT_TRUE(tls.IsSsl());

  qc::ServerHost copy(tls);
  EXPECT_EQ(copy.m_ip, "192.168.0.7");
  EXPECT_EQ(copy.m_port, 9443);
  EXPECT_TRUE(copy.m_isSsl);

  qc::ServerHost assigned("1.1.1.1", 1, false);
  assigned = tls;
  EXPECT_EQ(assigned.GetServerIp(), "192.168.0.7");
  EXPECT_EQ(assigned.GetServerPort(), 9443);
  EXPECT_TRUE(assigned.IsSsl());
  EXPECT_EQ(tls.GetServerIp(), "192.168.0.7");  // the source is unchanged
}

TEST(ServerHostMaps, NodesComeHighestPriorityFirstAndSiteTypesAscending) {
  qc::IdToServerHostMapType nodes;
  const int sites[] = {30, -1, 4};
  const int priorities[] = {5, 100, -3, 7};
  for (int site : sites) {
    for (int priority : priorities) {
      nodes[site].emplace(priority, qc::ServerHost("10.0.0." + std::to_string(priority & 0xff), 9000 + site, false));
    }
  }
  std::vector<int> siteOrder;
  for (const auto& site : nodes) {
    siteOrder.push_back(site.first);
    std::vector<int> priorityOrder;
    for (const auto& node : site.second) {
      priorityOrder.push_back(node.first);
      EXPECT_EQ(node.second.GetServerPort(), 9000 + site.first);
    }
    EXPECT_EQ(priorityOrder, (std::vector<int>{100, 7, 5, -3})) << site.first;
  }
  EXPECT_EQ(siteOrder, (std::vector<int>{-1, 4, 30}));
}
