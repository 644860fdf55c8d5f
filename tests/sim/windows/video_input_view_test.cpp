// The virtual workstation's video-input view: descriptors to topology, property requests to UVC
// class requests on the wire, wire outcomes to the driver's result codes.
#include "sim/windows/video_input_view.h"

#include <gtest/gtest.h>

#include <vector>

#include "os/port.h"
#include "os/uvc_filter.h"
#include "uvc/vcmd.h"
#include "../../uvc/camera_configuration.h"

namespace fcp::sim::windows {
namespace {

using fcp::uvc::test::CameraConfiguration;
using os::NodeTypeOf;
using os::ParseVideoControl;
using os::VcEntityKind;

using SetupBytes = std::array<uint8_t, 8>;

struct Wire {
  std::vector<SetupBytes> setups;
  std::vector<std::array<uint8_t, 8>> written;
  WireResult answer{WireStatus::kOk, 8};
  std::array<uint8_t, 8> reply = {1, 2, 3, 4, 5, 6, 7, 8};

  ControlTransferFn Fn() {
    return [this](const SetupBytes& setup, std::span<uint8_t> data) {
      setups.push_back(setup);
      EXPECT_EQ(data.size(), 8u);
      if (setup[0] & 0x80) {
        std::copy(reply.begin(), reply.end(), data.begin());
      } else {
        std::array<uint8_t, 8> w{};
        std::copy(data.begin(), data.end(), w.begin());
        written.push_back(w);
      }
      return answer;
    };
  }
};

TEST(UvcDescriptors, VideoControlEntities) {
  const text::Guid other = text::GuidOf("{00000001-0002-0003-0405-060708090A0B}");
  const auto configuration = CameraConfiguration(2, {{4, other}, {6, uvc::kExtensionUnitGuid}});
  const auto vc = ParseVideoControl(configuration);
  ASSERT_TRUE(vc);
  EXPECT_EQ(vc->interface_number, 2);
  ASSERT_EQ(vc->entities.size(), 5u);
  EXPECT_EQ(vc->entities[0].kind, VcEntityKind::kInputTerminal);
  EXPECT_EQ(vc->entities[0].terminal_type, 0x0201);
  EXPECT_EQ(vc->entities[2].id, 4);
  EXPECT_EQ(vc->entities[2].extension_code, other);
  EXPECT_EQ(vc->entities[3].extension_code, uvc::kExtensionUnitGuid);
  EXPECT_TRUE(vc->entities[3].HasControl(10));
  EXPECT_TRUE(vc->entities[3].HasControl(11));
  EXPECT_FALSE(vc->entities[3].HasControl(12));
  EXPECT_FALSE(vc->entities[3].HasControl(0));
  EXPECT_EQ(NodeTypeOf(vc->entities[3]), os::kKsNodeTypeDevSpecific);
  EXPECT_NE(NodeTypeOf(vc->entities[1]), os::kKsNodeTypeDevSpecific);
  // Truncated anywhere: no read beyond the bytes, and never more than was there.
  for (size_t cut = 0; cut < configuration.size(); ++cut) {
    const auto part = ParseVideoControl(std::span(configuration).first(cut));
    if (part) {
      EXPECT_LE(part->entities.size(), 5u);
    }
  }
  // Asked for by interface number.
  EXPECT_TRUE(ParseVideoControl(configuration, 2));
  EXPECT_FALSE(ParseVideoControl(configuration, 3));
  // A configuration without a video-control interface.
  EXPECT_FALSE(ParseVideoControl(std::vector<uint8_t>{9, 2, 9, 0, 0, 1, 0, 0x80, 50}));
}

class VideoInputViewTest : public ::testing::Test {
 protected:
  VideoInputView view_{[this] {
    return std::vector<VideoInputDevice>{{L"\\\\?\\usb#vid_fc01&pid_0a01&mi_00#1#{x}\\global", L"Virtual Camera",
                                          CameraConfiguration(0, {{3, text::Guid{}}, {5, uvc::kExtensionUnitGuid}}),
                                          wire_.Fn()}};
  }};
  Wire wire_;

  std::unique_ptr<os::VideoFilter> Filter() {
    std::unique_ptr<os::MonikerEnumerator> enumerator;
    EXPECT_EQ(view_.CreateVideoInputEnumerator(enumerator), S_OK);
    std::unique_ptr<os::DeviceMoniker> moniker;
    EXPECT_EQ(enumerator->Next(moniker), S_OK);
    std::unique_ptr<os::VideoFilter> filter;
    EXPECT_EQ(moniker->BindToObject(filter), S_OK);
    return filter;
  }
};

TEST_F(VideoInputViewTest, PropertyRequestsBecomeClassRequests) {
  auto filter = Filter();
  std::unique_ptr<os::KsControl> control;
  ASSERT_EQ(filter->QueryKsControl(control), S_OK);
  const uint32_t unit_node = 3;  // camera terminal, processing unit, foreign unit, our unit
  os::KspNode set{uvc::kExtensionUnitGuid, 10, os::kKsPropertyTypeSet | os::kKsPropertyTypeTopology, unit_node, 0};
  uint8_t block[8] = {0x00, 0xC2, 0xE4, 0x02, 0x01, 0x00, 0x10, 0x40};
  EXPECT_EQ(control->KsProperty(set, 32, block, 8, nullptr), S_OK);
  os::KspNode get = set;
  get.id = 11;
  get.flags = os::kKsPropertyTypeGet | os::kKsPropertyTypeTopology;
  uint8_t data[8] = {};
  uint32_t returned = 0;
  EXPECT_EQ(control->KsProperty(get, 32, data, 8, &returned), S_OK);
  EXPECT_EQ(returned, 8u);
  EXPECT_EQ(data[7], 8);
  ASSERT_EQ(wire_.setups.size(), 2u);
  EXPECT_EQ(wire_.setups[0], (SetupBytes{0x21, 0x01, 0x00, 10, 0x00, 5, 8, 0}));
  EXPECT_EQ(wire_.setups[1], (SetupBytes{0xA1, 0x81, 0x00, 11, 0x00, 5, 8, 0}));
  EXPECT_EQ(wire_.written[0], (std::array<uint8_t, 8>{0x00, 0xC2, 0xE4, 0x02, 0x01, 0x00, 0x10, 0x40}));

  // Wire outcomes as the driver's result codes.
  const struct {
    WireStatus status;
    HRESULT result;
  } outcomes[] = {{WireStatus::kStall, static_cast<HRESULT>(0x8007001Fu)},
                  {WireStatus::kNoDevice, static_cast<HRESULT>(0x8007048Fu)},
                  {WireStatus::kTimeout, static_cast<HRESULT>(0x80070079u)}};
  for (const auto& outcome : outcomes) {
    wire_.answer = {outcome.status, 0};
    EXPECT_EQ(control->KsProperty(get, 32, data, 8, nullptr), outcome.result);
  }
  // Requests the driver refuses never reach the wire.
  wire_.setups.clear();
  os::KspNode wrong_node = get;
  wrong_node.node_id = 1;
  EXPECT_LT(control->KsProperty(wrong_node, 32, data, 8, nullptr), 0);
  os::KspNode foreign_set = get;
  foreign_set.node_id = 2;
  EXPECT_LT(control->KsProperty(foreign_set, 32, data, 8, nullptr), 0);
  os::KspNode unknown_control = get;
  unknown_control.id = 12;
  EXPECT_LT(control->KsProperty(unknown_control, 32, data, 8, nullptr), 0);
  EXPECT_LT(control->KsProperty(get, 32, data, 4, nullptr), 0);
  EXPECT_TRUE(wire_.setups.empty());
}

TEST_F(VideoInputViewTest, TopologyAndSupportQuery) {
  auto filter = Filter();
  std::unique_ptr<os::KsTopologyInfo> topology;
  ASSERT_EQ(filter->QueryTopologyInfo(topology), S_OK);
  uint32_t nodes = 0;
  ASSERT_EQ(topology->GetNumNodes(nodes), S_OK);
  EXPECT_EQ(nodes, 5u);
  std::vector<uint32_t> vendor_nodes;
  for (uint32_t node = 0; node < nodes; ++node) {
    text::Guid type;
    ASSERT_EQ(topology->GetNodeType(node, type), S_OK);
    if (type == os::kKsNodeTypeDevSpecific) vendor_nodes.push_back(node);
  }
  EXPECT_EQ(vendor_nodes, (std::vector<uint32_t>{2, 3}));
  const os::KspNode query{uvc::kExtensionUnitGuid, 10, 0x10000100, 0, 0};
  for (uint32_t node : vendor_nodes) {
    std::unique_ptr<os::KsControl> node_control;
    ASSERT_EQ(topology->CreateNodeInstance(node, node_control), S_OK);
    os::KspNode q = query;
    q.node_id = node;
    EXPECT_EQ(SUCCEEDED(node_control->KsProperty(q, 32, nullptr, 0, nullptr)), node == 3) << node;
  }
  EXPECT_TRUE(wire_.setups.empty());  // answered from the descriptor
}

TEST(VideoInputViewEmpty, NoCamerasIsAnEmptyCategory) {
  VideoInputView view{[] { return std::vector<VideoInputDevice>{}; }};
  std::unique_ptr<os::MonikerEnumerator> enumerator;
  EXPECT_EQ(view.CreateVideoInputEnumerator(enumerator), S_FALSE);
  EXPECT_FALSE(enumerator);
}

}  // namespace
}  // namespace fcp::sim::windows
