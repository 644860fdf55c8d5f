// Descriptor bytes of a UVC camera's configuration, for tests of the adapters that read them.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "text/guid.h"

namespace fcp::uvc::test {

inline void Append(std::vector<uint8_t>& out, std::initializer_list<uint8_t> bytes) { out.insert(out.end(), bytes); }

// A configuration with an interface-association, a video-control interface `vc_interface` holding a
// camera terminal, a processing unit, extension units with the given IDs/GUIDs, an output terminal,
// then a streaming interface.
inline std::vector<uint8_t> CameraConfiguration(uint8_t vc_interface, std::vector<std::pair<uint8_t, text::Guid>> units,
                                         std::vector<uint8_t> controls = {0x00, 0x06}) {
  std::vector<uint8_t> d;
  Append(d, {9, 2, 0, 0, 2, 1, 0, 0x80, 50});
  Append(d, {8, 0x0B, vc_interface, 2, 0x0E, 0x03, 0, 0});
  Append(d, {9, 4, vc_interface, 0, 1, 0x0E, 0x01, 0, 0});
  Append(d, {13, 0x24, 0x01, 0x00, 0x01, 0, 0, 0x00, 0x6C, 0xDC, 0x02, 1, static_cast<uint8_t>(vc_interface + 1)});
  Append(d, {18, 0x24, 0x02, 1, 0x01, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0});
  Append(d, {11, 0x24, 0x05, 2, 1, 0, 0, 2, 0x7F, 0x05, 0});
  for (const auto& [id, guid] : units) {
    const auto bytes = guid.Bytes();
    d.push_back(static_cast<uint8_t>(25 + controls.size()));
    Append(d, {0x24, 0x06, id});
    d.insert(d.end(), bytes.begin(), bytes.end());
    Append(d, {static_cast<uint8_t>(controls.size() * 8), 1, 2, static_cast<uint8_t>(controls.size())});
    d.insert(d.end(), controls.begin(), controls.end());
    d.push_back(0);
  }
  Append(d, {9, 0x24, 0x03, 9, 0x01, 0x01, 0, 2, 0});
  Append(d, {9, 4, static_cast<uint8_t>(vc_interface + 1), 0, 1, 0x0E, 0x02, 0, 0});
  Append(d, {14, 0x24, 0x01, 1, 0, 0, 0x81, 0, 9, 0, 0, 0, 1, 0});
  d[2] = static_cast<uint8_t>(d.size());
  d[3] = static_cast<uint8_t>(d.size() >> 8);
  return d;
}

}  // namespace fcp::uvc::test
