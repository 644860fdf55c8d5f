#include "os/linux/device_registry_sysfs.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <map>
#include <optional>
#include <vector>

#include "os/linux/usb_camera_sysfs.h"

namespace fcp::os {
namespace {

constexpr std::wstring_view kEnumPrefix = L"SYSTEM\\CONTROLSET001\\ENUM\\";
constexpr std::wstring_view kDeviceParameters = L"\\DEVICE PARAMETERS";
constexpr LONG kInvalidHandle = 6;  // ERROR_INVALID_HANDLE

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  return text;
}

std::vector<uint8_t> Utf16(const std::wstring& text) {
  std::vector<uint8_t> bytes;
  for (wchar_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(static_cast<uint8_t>(static_cast<uint32_t>(c) >> 8));
  }
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

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
    std::wstring path = Upper(subKey);
    if (!path.starts_with(kEnumPrefix)) return ERROR_FILE_NOT_FOUND;
    path.erase(0, kEnumPrefix.size());
    const bool deviceParameters = path.ends_with(kDeviceParameters);
    if (deviceParameters) path.erase(path.size() - kDeviceParameters.size());
    // USB\VID_vvvv&PID_pppp&MI_ii\<interface name>
    const size_t cut = path.rfind(L'\\');
    if (cut == std::wstring::npos) return ERROR_FILE_NOT_FOUND;
    const std::wstring name = path.substr(cut + 1);
    auto device = sysfs_.Interface(std::string(name.begin(), name.end()));
    if (!device || Upper(InstanceIdOf(*device)) != path) return ERROR_FILE_NOT_FOUND;
    key = next_++;
    open_[key] = {std::move(*device), deviceParameters};
    return ERROR_SUCCESS;
  }

  LONG QueryValue(RegistryKey key, const wchar_t* name, uint32_t* type, uint8_t* data, uint32_t& size) override {
    const auto it = open_.find(key);
    if (it == open_.end()) return kInvalidHandle;
    const auto value = ValueOf(it->second, Upper(name != nullptr ? name : L""));
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
    if (name == L"LOCATIONINFORMATION") {
      // The bus number stands where the platform names the host controller.
      wchar_t head[32];
      std::swprintf(head, std::size(head), L"%04u.0000.0000.", d.bus);
      return std::pair{kRegSz, Utf16(head + LocationOf(d))};
    }
    if (name == L"HARDWAREID") {
      wchar_t full[64], shorter[64];
      std::swprintf(full, std::size(full), L"USB\\VID_%04X&PID_%04X&REV_%04X&MI_%02X", d.vendorId, d.productId,
                    d.bcdDevice, d.interfaceNumber);
      std::swprintf(shorter, std::size(shorter), L"USB\\VID_%04X&PID_%04X&MI_%02X", d.vendorId, d.productId,
                    d.interfaceNumber);
      auto bytes = Utf16(full);
      const auto second = Utf16(shorter);
      bytes.insert(bytes.end(), second.begin(), second.end());
      bytes.insert(bytes.end(), {0, 0});
      return std::pair{kRegMultiSz, std::move(bytes)};
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
