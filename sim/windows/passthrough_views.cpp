#include "sim/windows/passthrough_views.h"

#include <string>

#include "passthrough/driver_service.h"
#include "sim/windows/registry_view.h"
#include "text/ascii_case.h"

namespace fcp::sim::windows {
namespace {

bool BelowEnumTree(const wchar_t* sub_key) { return sub_key != nullptr && text::StartsWithIgnoringCase(sub_key, kEnumRoot); }

}  // namespace

PassThroughViews::PassThroughViews(std::shared_ptr<Workstation> workstation)
    : process_(windows_.StartProcess()), tree_(workstation), devices_(workstation, windows_.Kernel()) {
  devices_.ServeInterfaceFiles(tree_);
}

LONG CombinedRegistry::OpenKey(os::RegistryRoot root, const wchar_t* sub_key, uint32_t options, uint32_t access,
                               os::RegistryKey& key) {
  os::DeviceRegistry* registry = BelowEnumTree(sub_key) ? &devices_ : &machine_;
  os::RegistryKey inner = 0;
  const LONG result = registry->OpenKey(root, sub_key, options, access, inner);
  key = 0;
  if (result == ERROR_SUCCESS) {
    key = next_++;
    open_[key] = {registry, inner};
  }
  return result;
}

LONG CombinedRegistry::QueryValue(os::RegistryKey key, const wchar_t* name, uint32_t* type, uint8_t* data,
                                  uint32_t& size) {
  const auto it = open_.find(key);
  if (it == open_.end()) return 6;  // ERROR_INVALID_HANDLE
  return it->second.first->QueryValue(it->second.second, name, type, data, size);
}

LONG CombinedRegistry::CloseKey(os::RegistryKey key) {
  const auto it = open_.find(key);
  if (it == open_.end()) return 6;  // ERROR_INVALID_HANDLE
  const LONG result = it->second.first->CloseKey(it->second.second);
  open_.erase(it);
  return result;
}

ScopedPassThroughPorts::ScopedPassThroughPorts(PassThroughViews& views, os::DeviceRegistry& camera_registry)
    : registry_(camera_registry, views.Process()),
      host_(&views.Process()),
      device_(&views.Process()),
      registry_port_(&registry_),
      setup_(&views.Tree()),
      camera_host_(&views.Host()) {
  passthrough::ProcessDriverService().SetImages(views.Images().Images());
}

ScopedPassThroughPorts::~ScopedPassThroughPorts() {
  passthrough::ProcessDriverService().SetImages(passthrough::EmbeddedDriverImages());
}

}  // namespace fcp::sim::windows
