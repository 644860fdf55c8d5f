#include "os/linux/device_registry_sysfs.h"

#include <algorithm>
#include <map>
#include <optional>
#include <vector>

#include "os/linux/usb_camera_sysfs.h"
#include "text/ascii_case.h"
#include "text/registry_text.h"
#include "text/usb_device_names.h"

namespace fcp::os {
namespace {

constexpr std::wstring_view kEnumPrefix = L"SYSTEM\\CONTROLSET001\\ENUM\\";
constexpr std::wstring_view kDeviceParameters = L"\\DEVICE PARAMETERS";
constexpr LONG kInvalidHandle = 6;  // ERROR_INVALID_HANDLE

using text::UpperAscii;

struct OpenedKey {
  UsbCameraInterface device;
  bool deviceParameters = false;
};

class SysfsRegistry : public DeviceRegistry {
 public:
  explicit SysfsRegistry(std::string sysRoot) : sysfs_(std::move(sysRoot)) {}

  LONG OpenKey(RegistryRoot root, const wchar_t* subKey, uint32_t, uint32_t, RegistryKey& key) override {
    key = 0;
    if (root != RegistryRoot::LocalMachine || subKey == nullptr) return ERROR_INVALID_PARAMETER;
    std::wstring path = UpperAscii(subKey);
    if (!path.starts_with(kEnumPrefix)) return ERROR_FILE_NOT_FOUND;
    path.erase(0, kEnumPrefix.size());
    const bool deviceParameters = path.ends_with(kDeviceParameters);
    if (deviceParameters) path.erase(path.size() - kDeviceParameters.size());
    // USB\VID_vvvv&PID_pppp&MI_ii\<interface name>
    const size_t cut = path.rfind(L'\\');
    if (cut == std::wstring::npos) return ERROR_FILE_NOT_FOUND;
    const std::wstring name = path.substr(cut + 1);
    auto device = sysfs_.Interface(std::string(name.begin(), name.end()));
    if (!device || UpperAscii(InstanceIdOf(*device)) != path) return ERROR_FILE_NOT_FOUND;
    key = next_++;
    open_[key] = {std::move(*device), deviceParameters};
    return ERROR_SUCCESS;
  }

  LONG QueryValue(RegistryKey key, const wchar_t* name, uint32_t* type, uint8_t* data, uint32_t& size) override {
    const auto it = open_.find(key);
    if (it == open_.end()) return kInvalidHandle;
    const auto value = ValueOf(it->second, UpperAscii(name != nullptr ? name : L""));
    if (!value) return ERROR_FILE_NOT_FOUND;
    if (type != nullptr) *type = value->first;
    const auto& bytes = value->second;
    const uint32_t room = size;
    size = static_cast<uint32_t>(bytes.size());
    if (data == nullptr) return ERROR_SUCCESS;
    if (bytes.size() > room) return ERROR_MORE_DATA;
    std::copy(bytes.begin(), bytes.end(), data);
    return ERROR_SUCCESS;
  }

  LONG CloseKey(RegistryKey key) override { return open_.erase(key) == 1 ? ERROR_SUCCESS : kInvalidHandle; }

 private:
  static std::optional<std::pair<uint32_t, std::vector<uint8_t>>> ValueOf(const OpenedKey& key,
                                                                          const std::wstring& name) {
    if (key.deviceParameters) return std::nullopt;
    const UsbCameraInterface& d = key.device;
    if (name == L"LOCATIONINFORMATION") return std::pair{kRegSz, text::RegistryStringBytes(LocationInformationOf(d))};
    if (name == L"HARDWAREID") {
      return std::pair{kRegMultiSz, text::RegistryMultiStringBytes(
                                        text::UsbHardwareIds(d.vendorId, d.productId, d.bcdDevice, d.interfaceNumber))};
    }
    return std::nullopt;
  }

  UsbCameraSysfs sysfs_;
  std::map<RegistryKey, OpenedKey> open_;
  RegistryKey next_ = 1;
};

}  // namespace

DeviceRegistry& SysfsDeviceRegistry() {
  static SysfsRegistry instance("/sys");
  return instance;
}

std::unique_ptr<DeviceRegistry> MakeSysfsDeviceRegistry(const std::string& sysRoot) {
  return std::make_unique<SysfsRegistry>(sysRoot);
}

}  // namespace fcp::os
