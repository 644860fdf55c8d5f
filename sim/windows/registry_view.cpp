#include "sim/windows/registry_view.h"

#include <algorithm>

#include "text/ascii_case.h"
#include "text/registry_text.h"

namespace fcp::sim::windows {
namespace {

std::wstring Folded(std::wstring key) {
  std::wstring text = fcp::text::UpperAscii(std::move(key));
  while (!text.empty() && text.back() == L'\\') text.pop_back();
  return text;
}

}  // namespace

void RegistryView::CreateKey(const std::wstring& key) {
  std::wstring path = Folded(key);
  for (;;) {
    keys_[path];
    const size_t cut = path.rfind(L'\\');
    if (cut == std::wstring::npos) break;
    path.resize(cut);
  }
}

void RegistryView::SetValue(const std::wstring& key, const std::wstring& name, uint32_t type,
                            std::vector<uint8_t> data) {
  CreateKey(key);
  keys_[Folded(key)][Folded(name)] = Value{type, std::move(data)};
}

void RegistryView::SetString(const std::wstring& key, const std::wstring& name, const std::wstring& text) {
  SetValue(key, name, os::kRegSz, fcp::text::RegistryStringBytes(text));
}

void RegistryView::SetMultiString(const std::wstring& key, const std::wstring& name,
                                  const std::vector<std::wstring>& texts) {
  SetValue(key, name, os::kRegMultiSz, fcp::text::RegistryMultiStringBytes(texts));
}

void RegistryView::SetDword(const std::wstring& key, const std::wstring& name, uint32_t value) {
  SetValue(key, name, os::kRegDword,
           {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)});
}

void RegistryView::DeleteValue(const std::wstring& key, const std::wstring& name) {
  if (const auto it = keys_.find(Folded(key)); it != keys_.end()) it->second.erase(Folded(name));
}

void RegistryView::DeleteKey(const std::wstring& key) {
  const std::wstring path = Folded(key);
  const std::wstring below = path + L"\\";
  std::erase_if(keys_, [&](const auto& entry) { return entry.first == path || entry.first.starts_with(below); });
}

bool RegistryView::HasKey(const std::wstring& key) const { return keys_.contains(Folded(key)); }

size_t RegistryView::OpenKeys() const { return handles_.size(); }

LONG RegistryView::OpenKey(os::RegistryRoot root, const wchar_t* sub_key, uint32_t /*options*/, uint32_t /*access*/,
                           os::RegistryKey& key) {
  key = 0;
  if (root != os::RegistryRoot::kLocalMachine || sub_key == nullptr) return ERROR_INVALID_PARAMETER;
  std::wstring path = Folded(sub_key);
  if (!keys_.contains(path)) return ERROR_FILE_NOT_FOUND;
  key = next_handle_++;
  handles_[key] = std::move(path);
  return ERROR_SUCCESS;
}

LONG RegistryView::QueryValue(os::RegistryKey key, const wchar_t* name, uint32_t* type, uint8_t* data,
                              uint32_t& size) {
  const auto handle = handles_.find(key);
  if (handle == handles_.end()) return 6;  // ERROR_INVALID_HANDLE
  const auto k = keys_.find(handle->second);
  if (k == keys_.end()) return ERROR_FILE_NOT_FOUND;  // deleted while open
  const auto v = k->second.find(Folded(name != nullptr ? name : L""));
  if (v == k->second.end()) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = v->second.type;
  const uint32_t needed = static_cast<uint32_t>(v->second.data.size());
  const uint32_t room = size;
  size = needed;
  if (data == nullptr) return ERROR_SUCCESS;
  if (needed > room) return ERROR_MORE_DATA;
  std::copy(v->second.data.begin(), v->second.data.end(), data);
  return ERROR_SUCCESS;
}

LONG RegistryView::CloseKey(os::RegistryKey key) {
  return handles_.erase(key) == 1 ? ERROR_SUCCESS : 6;  // ERROR_INVALID_HANDLE
}

void AddCameraDeviceKey(RegistryView& registry, const CameraDeviceKey& camera) {
  const std::wstring key = kEnumRoot + camera.instance_id;
  registry.SetString(key, L"LocationInformation", camera.location_information);
  registry.SetMultiString(key, L"HardwareID", camera.hardware_ids);
  registry.CreateKey(key + L"\\Device Parameters");
  if (camera.sensor_camera_mode) registry.SetDword(key + L"\\Device Parameters", L"SensorCameraMode", *camera.sensor_camera_mode);
}

}  // namespace fcp::sim::windows
