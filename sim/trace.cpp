#include "sim/trace.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "sim/hex.h"

namespace fcp::sim {

std::string TraceLine(const std::string& device, const SetupPacket& setup, std::span<const uint8_t> data,
                      const TransferResult& result, const char* fault) {
  const auto packet = setup.Bytes();
  std::string line = device + " " + HexString(packet) + " ";
  line += data.empty() ? std::string("-") : HexString(data);
  line += " ";
  switch (result.status) {
    case TransferStatus::kOk: line += std::to_string(result.transferred); break;
    case TransferStatus::kStall: line += "STALL"; break;
    case TransferStatus::kNoDevice: line += "NO_DEVICE"; break;
    case TransferStatus::kTimeout: line += "TIMEOUT"; break;
  }
  if (fault) {
    line += " fault=";
    line += fault;
  }
  return line;
}

void WriteTraceLine(const std::string& line) {
  static std::mutex mutex;
  static std::FILE* file = nullptr;
  static std::string open_path;
  const char* path = std::getenv("FCP_SIM_TRACE");
  std::lock_guard<std::mutex> lock(mutex);
  if (!path || !*path) return;
  if (!file || open_path != path) {
    if (file) std::fclose(file);
    file = std::fopen(path, "a");
    open_path = path;
    if (!file) return;
  }
  std::fputs(line.c_str(), file);
  std::fputc('\n', file);
  std::fflush(file);
}

}  // namespace fcp::sim
