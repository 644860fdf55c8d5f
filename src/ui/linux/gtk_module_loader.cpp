#include "ui/linux/gtk_module_loader.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

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

std::vector<std::filesystem::path> GtkModuleCandidates(const std::filesystem::path& program_directory) {
  const std::filesystem::path file = gtk::kGtkModuleFileName;
  std::vector<std::filesystem::path> candidates;
  if (!program_directory.empty()) {
    candidates.push_back(program_directory / file);
    candidates.push_back(program_directory.parent_path() / FCP_GTK_MODULE_LIBDIR / file);
  }
  candidates.push_back(std::filesystem::path(FCP_GTK_MODULE_PACKAGE_DIR) / file);
  return candidates;
}

namespace {

// Why a module file may not be trusted, or empty. The module runs as this user, so nobody else may
// have been able to put it there or change it: the file and the directories it is reached through
// belong to root or to this user, and none is writable by others (a sticky directory is, as it keeps
// others from replacing what is not theirs).
std::string UntrustedReason(const std::filesystem::path& candidate) {
  std::error_code error;
  const std::filesystem::path file = std::filesystem::canonical(candidate, error);
  if (error) return "cannot resolve " + candidate.string() + ": " + error.message();
  const uid_t self = geteuid();
  auto check = [&](const std::filesystem::path& path, bool directory) -> std::string {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return "cannot examine " + path.string();
    if (!directory && !S_ISREG(info.st_mode)) return path.string() + " is not a regular file";
    if (info.st_uid != 0 && info.st_uid != self) return path.string() + " belongs to another user";
    if ((info.st_mode & S_IWOTH) && !(directory && (info.st_mode & S_ISVTX)))
      return path.string() + " is writable by every user";
    return {};
  };
  std::string reason = check(file, false);
  if (reason.empty()) reason = check(file.parent_path(), true);
  if (reason.empty() && candidate.parent_path() != file.parent_path()) reason = check(candidate.parent_path(), true);
  return reason;
}

}  // namespace

GtkModuleLoad LoadGtkBackend(const std::vector<std::filesystem::path>& candidates, os::DeviceEvents* device_events) {
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
  if (const std::string reason = UntrustedReason(*found); !reason.empty()) {
    load.error = "the dialog module " + found->string() + " is not used: " + reason;
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
  switch (entry(FCP_GTK_MODULE_STAMP, device_events, &backend)) {
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
