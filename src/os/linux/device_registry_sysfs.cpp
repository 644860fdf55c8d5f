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
  bool device_parameters = false;
};

class SysfsRegistry : public DeviceRegistry {
 public:
  explicit SysfsRegistry(std::string sys_root) : sysfs_(std::move(sys_root)) {}

  LONG OpenKey(RegistryRoot root, const wchar_t* sub_key, uint32_t, uint32_t, RegistryKey& key) override {
    key = 0;
    if (root != RegistryRoot::kLocalMachine || sub_key == nullptr) return ERROR_INVALID_PARAMETER;
    std::wstring path = UpperAscii(sub_key);
    if (!path.starts_with(kEnumPrefix)) return ERROR_FILE_NOT_FOUND;
    path.erase(0, kEnumPrefix.size());
    const bool device_parameters = path.ends_with(kDeviceParameters);
    if (device_parameters) path.erase(path.size() - kDeviceParameters.size());
    // USB\VID_vvvv&PID_pppp&MI_ii\<interface name>
    const size_t cut = path.rfind(L'\\');
    if (cut == std::wstring::npos) return ERROR_FILE_NOT_FOUND;
    const std::wstring name = path.substr(cut + 1);
    auto device = sysfs_.Interface(std::string(name.begin(), name.end()));
    if (!device || UpperAscii(InstanceIdOf(*device)) != path) return ERROR_FILE_NOT_FOUND;
    key = next_++;
    open_[key] = {std::move(*device), device_parameters};
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
    if (key.device_parameters) return std::nullopt;
    const UsbCameraInterface& d = key.device;
    if (name == L"LOCATIONINFORMATION") return std::pair{kRegSz, text::RegistryStringBytes(LocationInformationOf(d))};
    if (name == L"HARDWAREID") {
      return std::pair{kRegMultiSz, text::RegistryMultiStringBytes(
                                        text::UsbHardwareIds(d.vendor_id, d.product_id, d.bcdDevice, d.interface_number))};
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

std::unique_ptr<DeviceRegistry> MakeSysfsDeviceRegistry(const std::string& sys_root) {
  return std::make_unique<SysfsRegistry>(sys_root);
}

}  // namespace fcp::os
