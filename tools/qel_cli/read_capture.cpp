#include "read_capture.h"

#include <vector>

#include "capture.h"  // the library's public capture header

namespace qel {
namespace cli {

namespace qc = com::quor::kbr::client;

int ReadCaptureRecords(const std::string& path,
                       const std::function<bool(const com::quor::qel::model::MarketData&, int site_type)>& on_record,
                       const std::function<void(const std::string&)>& err_line, CaptureSpan* span) {
  qc::CaptureReader reader(path);
  if (!reader.ok()) {
    err_line(reader.error());
    return 1;
  }
  qc::CaptureEntry entry;
  std::vector<com::quor::qel::model::MarketData> records;
  for (;;) {
    const qc::CaptureReader::Result result = reader.Next(&entry);
    if (result == qc::CaptureReader::Result::kEnd) return 0;
    if (result == qc::CaptureReader::Result::kTruncated) {
      err_line(reader.error());
      return 0;
    }
    if (result == qc::CaptureReader::Result::kError) {
      err_line(reader.error());
      return 1;
    }
    if (span->frames == 0) span->first_ns = entry.receive_time_ns;
    span->last_ns = entry.receive_time_ns;
    ++span->frames;
    records.clear();
    std::string error;
    if (qc::DecodeCaptureFrame(entry.frame, &records, &error) != 0) {
      ++span->bad_frames;
      err_line("frame " + std::to_string(span->frames) + " (site type " + std::to_string(entry.site_type) +
               "): " + error);
    }
    for (const auto& record : records) {
      if (!on_record(record, entry.site_type)) return 0;
    }
  }
}

}  // namespace cli
}  // namespace qel
