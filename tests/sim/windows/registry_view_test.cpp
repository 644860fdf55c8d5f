#include "sim/windows/registry_view.h"

#include <gtest/gtest.h>

#include <array>

namespace fcp::sim::windows {
namespace {

TEST(RegistryView, KeysValuesAndSizes) {
  RegistryView registry;
  AddCameraDeviceKey(registry, {L"USB\\VID_FC01&PID_0A01&MI_00\\6&1&0&0000", L"0000.0014.0000.001.003.000.000.000.000",
                                {L"USB\\VID_FC01&PID_0A01&REV_0100&MI_00", L"USB\\VID_FC01&PID_0A01&MI_00"}, 1});
  os::RegistryKey key = 0;
  // Names ignore case; parents exist; a missing key is not found.
  ASSERT_EQ(registry.OpenKey(os::RegistryRoot::kLocalMachine, L"system\\controlset001\\enum\\usb\\vid_fc01&pid_0a01&mi_00\\6&1&0&0000",
                             0, os::kRegistryKeyRead, key), ERROR_SUCCESS);
  std::array<uint8_t, 260> buffer{};
  uint32_t size = 4;
  uint32_t type = 0;
  EXPECT_EQ(registry.QueryValue(key, L"hardwareid", &type, buffer.data(), size), ERROR_MORE_DATA);
  EXPECT_EQ(type, os::kRegMultiSz);
  EXPECT_EQ(size, (36u + 1 + 27 + 1 + 1) * 2);
  size = buffer.size();
  EXPECT_EQ(registry.QueryValue(key, L"LocationInformation", &type, buffer.data(), size), ERROR_SUCCESS);
  EXPECT_EQ(size, 39u * 2);
  EXPECT_EQ(buffer[0], '0');
  EXPECT_EQ(registry.QueryValue(key, L"Missing", nullptr, buffer.data(), size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(registry.CloseKey(key), ERROR_SUCCESS);
  EXPECT_NE(registry.CloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(registry.OpenKey(os::RegistryRoot::kLocalMachine, L"SYSTEM\\ControlSet001\\Enum\\USB", 0,
                             os::kRegistryKeyRead, key), ERROR_SUCCESS);
  registry.CloseKey(key);
  EXPECT_EQ(registry.OpenKey(os::RegistryRoot::kLocalMachine, L"SYSTEM\\ControlSet001\\Enum\\USB\\X", 0,
                             os::kRegistryKeyRead, key), ERROR_FILE_NOT_FOUND);
  // The sensor mark.
  ASSERT_EQ(registry.OpenKey(os::RegistryRoot::kLocalMachine,
                             L"SYSTEM\\ControlSet001\\Enum\\USB\\VID_FC01&PID_0A01&MI_00\\6&1&0&0000\\Device Parameters",
                             0, os::kRegistryKeyRead, key), ERROR_SUCCESS);
  size = 4;
  EXPECT_EQ(registry.QueryValue(key, L"SensorCameraMode", &type, buffer.data(), size), ERROR_SUCCESS);
  EXPECT_EQ(type, os::kRegDword);
  registry.CloseKey(key);
  registry.DeleteKey(L"SYSTEM\\ControlSet001\\Enum\\USB\\VID_FC01&PID_0A01&MI_00");
  EXPECT_FALSE(registry.HasKey(L"SYSTEM\\ControlSet001\\Enum\\USB\\VID_FC01&PID_0A01&MI_00\\6&1&0&0000"));
  EXPECT_TRUE(registry.HasKey(L"SYSTEM\\ControlSet001\\Enum\\USB"));
  EXPECT_EQ(registry.OpenKeys(), 0u);
}

}  // namespace
}  // namespace fcp::sim::windows
