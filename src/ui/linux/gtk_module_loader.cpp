#include "ui/linux/gtk_module_loader.h"

#include <dlfcn.h>

#include <cstdlib>
#include <system_error>

#include "gtk_module_stamp.h"
#include "ui/gtk/gtk_module.h"

namespace fcp::ui {

bool DisplayNamed() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

std::vector<std::filesystem::path> GtkModuleCandidates(const std::filesystem::path& programDirectory) {
  const std::filesystem::path file = gtk::kGtkModuleFileName;
  std::vector<std::filesystem::path> candidates;
  if (!programDirectory.empty()) {
    candidates.push_back(programDirectory / file);
    candidates.push_back(programDirectory.parent_path() / FCP_GTK_MODULE_LIBDIR / file);
  }
  candidates.push_back(std::filesystem::path(FCP_GTK_MODULE_PACKAGE_DIR) / file);
  return candidates;
}

GtkModuleLoad LoadGtkBackend(const std::vector<std::filesystem::path>& candidates,
                             const DeviceEventSourceFactory& deviceEvents) {
  GtkModuleLoad load;
  const std::filesystem::path* found = nullptr;
  for (const auto& candidate : candidates) {
    std::error_code error;
    if (std::filesystem::exists(candidate, error)) {
      found = &candidate;
      break;
    }
  }
  if (!found) {
    load.error = std::string("the dialog module ") + gtk::kGtkModuleFileName + " is in none of:";
    for (const auto& candidate : candidates) load.error += " " + candidate.parent_path().string();
    return load;
  }
  // RTLD_NOW: a module with a missing library fails here, not at the first call into it.
  void* module = dlopen(found->c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    const char* why = dlerror();
    load.error = "cannot load the dialog module " + found->string() + ": " + (why ? why : "unknown error");
    return load;
  }
  auto entry = reinterpret_cast<gtk::GtkModuleEntry>(dlsym(module, gtk::kGtkModuleEntry));
  if (!entry) {
    load.error = "the dialog module " + found->string() + " has no entry " + gtk::kGtkModuleEntry;
    return load;  // not closed, here or below: a module that has loaded GTK cannot be unloaded safely
  }
  Backend* backend = nullptr;
  switch (entry(FCP_GTK_MODULE_STAMP, &deviceEvents, &backend)) {
    case gtk::GtkModuleStatus::kOpened:
      load.backend.reset(backend);
      break;
    case gtk::GtkModuleStatus::kNoDisplay:
      break;  // the run goes headless
    case gtk::GtkModuleStatus::kWrongStamp:
      load.error = "the dialog module " + found->string() + " belongs to another build of this program";
      break;
    default:
      load.error = "the dialog module " + found->string() + " gave an unknown answer";
      break;
  }
  return load;
}

}  // namespace fcp::ui
