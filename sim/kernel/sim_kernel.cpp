#include "sim/kernel/sim_kernel.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "driver/kvxupx_driver.h"
#include "driver/urb_layout.h"

namespace fcp::sim::kernel {

using driver::KernelObject;
using driver::NtStatus;
namespace kv = fcp::kvxupx;

namespace {

constexpr const char16_t kHostControllerDriver[] = u"\\Driver\\USBXHCI";
constexpr const char16_t kHubDriver[] = u"\\Driver\\USBHUB3";
constexpr const char16_t kFunctionDriver[] = u"\\Driver\\usbvideo";
constexpr uint64_t kRegionAlignment = 0x10000;
constexpr uint32_t kUsbdStatusDeviceGone = 0xC0007000;
constexpr uint32_t kUsbdStatusDeviceNotResponding = 0xC0000005;
constexpr driver::NtStatus kStatusDeviceNotReady = driver::Status(0xC00000A3);

SimKernel::Object* AsObject(KernelObject o) { return static_cast<SimKernel::Object*>(o); }
SimKernel::DeviceObject* AsDevice(KernelObject o) { return static_cast<SimKernel::DeviceObject*>(AsObject(o)); }
KernelObject AsKernelObject(SimKernel::Object* o) { return o; }

template <class T>
T Get(const uint8_t* p, size_t offset) {
  T v;
  std::memcpy(&v, p + offset, sizeof v);
  return v;
}
template <class T>
void Put(uint8_t* p, size_t offset, T v) {
  std::memcpy(p + offset, &v, sizeof v);
}

NtStatus CopyText(const std::u16string& text, char16_t* out, uint32_t chars) {
  if (text.size() + 1 > chars) return driver::kStatusBufferTooSmall;
  std::copy(text.begin(), text.end(), out);
  out[text.size()] = 0;
  return driver::kStatusSuccess;
}

// The setup packet the USB stack would put on the wire for a forwarded request block.
SetupPacket SetupOf(const uint8_t* urb) {
  const auto& l = kv::kNativeUrbLayout;
  const uint16_t function = Get<uint16_t>(urb, kv::kUrbFunctionOffset);
  const bool in = (Get<uint32_t>(urb, l.transfer_flags) & kv::kUsbdTransferDirectionIn) != 0;
  const auto length = static_cast<uint16_t>(Get<uint32_t>(urb, l.transfer_buffer_length));
  SetupPacket s;
  switch (function) {
    case kv::kUrbGetDescriptorFromDevice:
      s.bmRequestType = 0x80;
      s.bRequest = 6;
      s.wValue = static_cast<uint16_t>(urb[l.tail + 3] << 8 | urb[l.tail + 2]);
      s.wIndex = Get<uint16_t>(urb, l.tail + 4);
      s.wLength = length;
      break;
    case kv::kUrbVendorDevice:
    case kv::kUrbClassInterface:
      s.bmRequestType = static_cast<uint8_t>((in ? 0x80 : 0) | (function == kv::kUrbVendorDevice ? 0x40 : 0x21));
      s.bRequest = urb[l.tail + 1];
      s.wValue = Get<uint16_t>(urb, l.tail + 2);
      s.wIndex = Get<uint16_t>(urb, l.tail + 4);
      s.wLength = length;
      break;
    default:  // control transfers carry their own setup packet
      s.bmRequestType = urb[l.tail];
      s.bRequest = urb[l.tail + 1];
      s.wValue = Get<uint16_t>(urb, l.tail + 2);
      s.wIndex = Get<uint16_t>(urb, l.tail + 4);
      s.wLength = std::min<uint16_t>(Get<uint16_t>(urb, l.tail + 6), length);
      break;
  }
  return s;
}

}  // namespace

struct SimKernel::Request {
  DeviceObject* target = nullptr;
  uint8_t* urb = nullptr;
  driver::UsbCompletion* completion = nullptr;
  ControlAnswer answer;
  uint32_t waited_ms = 0;  // the device's latency runs down while the driver waits
  bool completed = false;
  bool gone = false;
  bool cancelled = false;
  // Left to the stack by the driver: its memory and device reference, freed at completion.
  void* abandoned_block = nullptr;
  DeviceObject* abandoned_device = nullptr;
};

SimKernel::SimKernel() {
  DeviceObject* root_pdo = NewDevice(DriverNamed(kHostControllerDriver), true);
  root_pdo->name = u"\\Device\\USBPDO-0";
  root_pdo->class_guid = kUsbClass;
  root_pdo->hardware_ids = {u"USB\\ROOT_HUB30"};
  root_hub_fdo_ = NewDevice(DriverNamed(kHubDriver), false);
  Attach(root_hub_fdo_, root_pdo);
}

SimKernel::~SimKernel() = default;

SimKernel::Driver* SimKernel::DriverNamed(const std::u16string& name) {
  for (auto& d : drivers_) {
    if (d->name == name) return d.get();
  }
  drivers_.push_back(std::make_unique<Driver>());
  drivers_.back()->name = name;
  return drivers_.back().get();
}

SimKernel::DeviceObject* SimKernel::NewDevice(Driver* driver, bool bus_enumerated) {
  devices_.push_back(std::make_unique<DeviceObject>());
  DeviceObject* d = devices_.back().get();
  d->driver = driver;
  d->bus_enumerated = bus_enumerated;
  const std::string number = std::to_string(devices_.size());
  d->name = bus_enumerated ? u"\\Device\\USBPDO-" : u"\\Device\\FDO-";
  d->name.append(number.begin(), number.end());
  driver->devices.insert(driver->devices.begin(), d);
  return d;
}

void SimKernel::Attach(DeviceObject* upper, DeviceObject* lower) {
  upper->lower = lower;
  lower->upper = upper;
}

SimKernel::DeviceObject* SimKernel::FunctionDriverOn(DeviceObject* pdo, const char16_t* driver_name) {
  DeviceObject* fdo = NewDevice(DriverNamed(driver_name), false);
  Attach(fdo, pdo);
  return fdo;
}

SimKernel::DeviceObject* SimKernel::PlugHub(ControlPipe& usb, std::vector<std::u16string> hardware_ids,
                                            DeviceObject* parent) {
  std::lock_guard lock(mutex_);
  DeviceObject* parent_fdo = parent ? parent : root_hub_fdo_;
  DeviceObject* pdo = NewDevice(DriverNamed(kHubDriver), true);
  pdo->usb = &usb;
  pdo->class_guid = kUsbClass;
  pdo->hardware_ids = std::move(hardware_ids);
  parent_fdo->children.push_back(pdo);
  return FunctionDriverOn(pdo, kHubDriver);
}

SimKernel::DeviceObject* SimKernel::PlugDevice(ControlPipe& usb, std::u16string class_guid,
                                               std::vector<std::u16string> hardware_ids, DeviceObject* hub) {
  std::lock_guard lock(mutex_);
  DeviceObject* pdo = NewDevice(DriverNamed(kHubDriver), true);
  pdo->usb = &usb;
  pdo->class_guid = std::move(class_guid);
  pdo->hardware_ids = std::move(hardware_ids);
  (hub ? hub : root_hub_fdo_)->children.push_back(pdo);
  return pdo;
}

SimKernel::DeviceObject* SimKernel::PlugComposite(ControlPipe& usb, std::vector<std::u16string> hardware_ids,
                                                  std::u16string splitter, DeviceObject* hub) {
  DeviceObject* pdo = PlugDevice(usb, kUsbClass, std::move(hardware_ids), hub);
  std::lock_guard lock(mutex_);
  FunctionDriverOn(pdo, splitter.c_str());
  return pdo;
}

SimKernel::DeviceObject* SimKernel::AddFunction(DeviceObject* composite, std::u16string class_guid,
                                                std::vector<std::u16string> hardware_ids) {
  std::lock_guard lock(mutex_);
  DeviceObject* splitter_fdo = composite->upper;
  DeviceObject* function = NewDevice(splitter_fdo->driver, true);
  function->usb = composite->usb;  // the splitter forwards the function's requests to the device
  function->class_guid = std::move(class_guid);
  function->hardware_ids = std::move(hardware_ids);
  splitter_fdo->children.push_back(function);
  return function;
}

std::vector<SimKernel::DeviceObject*> SimKernel::DeviceAndFunctions(DeviceObject* device) {
  std::vector<DeviceObject*> all = {device};
  if (device->upper && device->upper->driver != device->driver) {
    for (DeviceObject* function : device->upper->children) all.push_back(function);
  }
  return all;
}

void SimKernel::Unplug(DeviceObject* device) {
  std::vector<std::pair<driver::DeviceExtension*, uint32_t>> told;
  {
    std::lock_guard lock(mutex_);
    if (device->removed) Violation("unplugged a device object twice");
    --device->references;
    // A composite device's functions go with it.
    const std::vector<DeviceObject*> gone = DeviceAndFunctions(device);
    for (DeviceObject* d : gone) d->removed = true;
    for (const auto& w : watches_) {
      if (std::find(gone.begin(), gone.end(), w->device) != gone.end()) told.emplace_back(w->ext, w->id);
    }
  }
  // Notifications arrive at passive level, outside every lock of the kernel.
  for (const auto& [ext, id] : told) driver::NoteDeviceRemoval(ext, id);
}

bool SimKernel::QueryRemove(DeviceObject* device) {
  std::vector<std::pair<driver::DeviceExtension*, uint32_t>> asked;
  {
    std::lock_guard lock(mutex_);
    const std::vector<DeviceObject*> all = DeviceAndFunctions(device);
    for (const auto& w : watches_) {
      if (std::find(all.begin(), all.end(), w->device) != all.end()) asked.emplace_back(w->ext, w->id);
    }
  }
  for (const auto& [ext, id] : asked) driver::NoteQueryRemove(ext, id);
  {
    std::lock_guard lock(mutex_);
    if (StackHeld(device)) return false;  // an open file on the stack vetoes the removal
  }
  Unplug(device);
  return true;
}

void SimKernel::DeleteDevice(DeviceObject* device) {
  std::lock_guard lock(mutex_);
  if (--device->references < 0) Violation("deleted a device object twice");
}

uint64_t SimKernel::OpenInterface(DeviceObject* device, int process) {
  std::lock_guard lock(mutex_);
  if (!device->upper) FunctionDriverOn(device, kFunctionDriver);
  auto file = std::make_unique<FileObject>();
  file->device = device;
  file->process = process;
  const uint64_t handle = next_handle_;
  next_handle_ += 4;
  handles_[handle] = std::move(file);
  return handle;
}

uint64_t SimKernel::OpenPipe(int process) {
  uint64_t handle = 0;
  {
    std::lock_guard lock(mutex_);
    DeviceObject* pipes = NewDevice(DriverNamed(u"\\Driver\\Npfs"), false);
    auto file = std::make_unique<FileObject>();
    file->device = pipes;
    file->process = process;
    handle = next_handle_;
    next_handle_ += 4;
    handles_[handle] = std::move(file);
  }
  return handle;
}

uint64_t SimKernel::OpenVolumeFile(DeviceObject* volume, int process) {
  const uint64_t handle = OpenInterface(volume, process);
  std::lock_guard lock(mutex_);
  handles_.at(handle)->on_volume = true;
  return handle;
}

void SimKernel::CloseInterface(uint64_t handle) {
  std::lock_guard lock(mutex_);
  auto it = handles_.find(handle);
  if (it == handles_.end()) return;
  --it->second->references;
  closed_files_.push_back(std::move(it->second));
  handles_.erase(it);
}

uint64_t SimKernel::MapCaller(size_t bytes, Access access) {
  std::lock_guard lock(mutex_);
  const uint64_t base = next_region_;
  regions_[base] = Region{std::vector<uint8_t>(bytes), access};
  // Leave an unmapped gap after every region.
  next_region_ = (base + bytes + 2 * kRegionAlignment - 1) / kRegionAlignment * kRegionAlignment;
  return base;
}

void SimKernel::SetCallerAccess(uint64_t base, Access access) {
  std::lock_guard lock(mutex_);
  regions_.at(base).access = access;
}

uint8_t* SimKernel::CallerBytes(uint64_t address, size_t bytes) {
  std::lock_guard lock(mutex_);
  uint8_t* p = CallerRange(address, bytes, Access::kNone);
  if (!p) std::abort();  // a test asked for memory it never mapped
  return p;
}

void SimKernel::WriteCaller(uint64_t address, const void* bytes, size_t count) {
  std::lock_guard lock(mutex_);
  uint8_t* p = CallerRange(address, count, Access::kNone);
  if (!p) std::abort();  // a test wrote memory it never mapped
  std::memcpy(p, bytes, count);
}

void SimKernel::LoadDriver(driver::DeviceExtension& ext) {
  driver_ = &ext;
  driver::LoadDevice(ext, *this);
}

void SimKernel::UnloadDriver() { driver::UnloadDevice(*driver_); }

uint64_t SimKernel::OpenDriver(int process) {
  auto file = std::make_unique<FileObject>();
  file->process = process;
  if (driver::CreateHandle(*driver_, file.get()) != driver::kStatusSuccess) return 0;
  std::lock_guard lock(mutex_);
  const uint64_t handle = next_handle_;
  next_handle_ += 4;
  handles_[handle] = std::move(file);
  return handle;
}

driver::KernelObject SimKernel::DriverFile(uint64_t handle) {
  std::lock_guard lock(mutex_);
  auto it = handles_.find(handle);
  return it == handles_.end() || it->second->device ? nullptr : AsKernelObject(it->second.get());
}

NtStatus SimKernel::DriverControl(uint64_t handle, uint32_t code, void* buffer, uint32_t input_length,
                                  uint32_t output_length, uint32_t* information) {
  FileObject* file = nullptr;
  {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end() || it->second->device) return driver::kStatusInvalidHandle;
    file = it->second.get();
    ++file->references;  // the request's own, until it completes
  }
  const NtStatus status = driver::DeviceControl(*driver_, file, code, buffer, input_length, output_length, information);
  DropDriverFileReference(file);
  return status;
}

void SimKernel::CloseDriver(uint64_t handle) {
  FileObject* file = nullptr;
  {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end() || it->second->device) return;
    file = it->second.get();
    file->cleaned_up = true;
    closed_files_.push_back(std::move(it->second));
    handles_.erase(it);
  }
  driver::CloseHandle(*driver_, file);  // cleanup
  DropDriverFileReference(file);
}

void SimKernel::DropDriverFileReference(FileObject* file) {
  bool last = false;
  {
    std::lock_guard lock(mutex_);
    last = --file->references == 0;
    if (file->references < 0) Violation("dereferenced a file object below zero");
  }
  if (last) driver::CloseHandle(*driver_, file);  // close: no request is in flight through it any more
}

void SimKernel::ExitProcess(int process) {
  std::vector<std::pair<uint64_t, bool>> held;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [handle, file] : handles_) {
      if (file->process == process) held.emplace_back(handle, file->device == nullptr);
    }
  }
  for (const auto& [handle, driver_file] : held) {
    if (driver_file) {
      CloseDriver(handle);
    } else {
      CloseInterface(handle);
    }
  }
}

int SimKernel::OutstandingWatches() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(watches_.size());
}

uint8_t* SimKernel::CallerRange(uint64_t address, size_t bytes, Access needed) {
  auto it = regions_.upper_bound(address);
  if (it == regions_.begin()) return nullptr;
  --it;
  Region& r = it->second;
  const uint64_t offset = address - it->first;
  if (offset > r.bytes.size() || bytes > r.bytes.size() - offset) return nullptr;
  if (needed == Access::kRead && r.access == Access::kNone) return nullptr;
  if (needed == Access::kReadWrite && r.access != Access::kReadWrite) return nullptr;
  return r.bytes.data() + offset;
}

int SimKernel::References(const Object* object) const {
  std::lock_guard lock(mutex_);
  return object->references;
}

std::vector<std::string> SimKernel::Violations() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> all = violations_;
  for (int i = bad_frees_.load(); i > 0; --i) all.emplace_back("freed memory that is not allocated (freed twice?)");
  return all;
}

int SimKernel::AbandonedRequests() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count_if(requests_.begin(), requests_.end(),
                                        [](const auto& r) { return r->abandoned_block != nullptr; }));
}

std::optional<uint32_t> SimKernel::RegistryDword(const std::u16string& key, const std::u16string& value) const {
  std::lock_guard lock(mutex_);
  auto it = registry_.find(key + u"\\" + value);
  if (it == registry_.end()) return std::nullopt;
  return it->second;
}

std::vector<uint8_t> SimKernel::LastSubmittedUrb() const {
  std::lock_guard lock(mutex_);
  return last_urb_;
}

bool SimKernel::StackHeld(const DeviceObject* device) const {
  const auto on_device = [&](const FileObject& f) {
    if (f.references <= 0 || !f.device) return false;
    if (f.device == device) return true;
    const DeviceObject* splitter = device->upper;
    return splitter && std::find(splitter->children.begin(), splitter->children.end(), f.device) !=
                           splitter->children.end();
  };
  for (const auto& [handle, file] : handles_) {
    if (on_device(*file)) return true;
  }
  for (const auto& file : closed_files_) {
    if (on_device(*file)) return true;
  }
  return false;
}

void SimKernel::Violation(std::string what) { violations_.push_back(std::move(what)); }

void SimKernel::CheckAlive(const Object* object, const char* use) {
  if (object->references <= 0) Violation(std::string(use) + " on an object without references");
}

// --- driver::KernelPort

void* SimKernel::Allocate(size_t bytes) {
  if (bytes == 0 || bytes == fail_allocation_size_.load()) return nullptr;
  void* block = std::malloc(bytes);
  if (!block) return nullptr;
  std::lock_guard lock(allocation_mutex_);
  live_blocks_.emplace(block, bytes);
  ++allocations_;
  return block;
}

void SimKernel::Free(void* block) {
  if (!block) return;
  {
    std::lock_guard lock(allocation_mutex_);
    if (live_blocks_.erase(block) == 0) {
      ++bad_frees_;  // reported by Violations(): mutex_ may be held here
      return;
    }
    --allocations_;
  }
  std::free(block);
}

void SimKernel::AcquireTableLock(driver::LockToken&) { table_lock_.lock(); }
void SimKernel::ReleaseTableLock(driver::LockToken&) { table_lock_.unlock(); }

NtStatus SimKernel::ReferenceFileByHandle(uint64_t user_handle, KernelObject* file) {
  std::lock_guard lock(mutex_);
  auto it = handles_.find(user_handle);
  if (it == handles_.end() || !it->second->device) return driver::kStatusInvalidHandle;
  ++it->second->references;
  *file = AsKernelObject(it->second.get());
  return driver::kStatusSuccess;
}

void SimKernel::ReferenceObject(KernelObject object) {
  std::lock_guard lock(mutex_);
  CheckAlive(AsObject(object), "reference");
  ++AsObject(object)->references;
}

void SimKernel::DereferenceObject(KernelObject object) {
  std::lock_guard lock(mutex_);
  if (--AsObject(object)->references < 0) Violation("dereferenced an object below zero");
}

KernelObject SimKernel::TopDeviceOfFile(KernelObject file) {
  std::lock_guard lock(mutex_);
  auto* f = static_cast<FileObject*>(AsObject(file));
  CheckAlive(f, "related device of a file");
  DeviceObject* d = f->device;
  while (d->upper) d = d->upper;
  return AsKernelObject(d);
}

bool SimKernel::IsOnPnpDeviceStack(KernelObject file) {
  std::lock_guard lock(mutex_);
  auto* f = static_cast<FileObject*>(AsObject(file));
  CheckAlive(f, "device of a file");
  return f->device && f->device->bus_enumerated && !f->on_volume;
}

NtStatus SimKernel::QueryTargetDevice(KernelObject device, KernelObject file, KernelObject* physical_device) {
  std::lock_guard lock(mutex_);
  DeviceObject* d = AsDevice(device);
  if (file) {
    // Asked on behalf of a file: the request carries it, and goes only to a device stack.
    auto* f = static_cast<FileObject*>(AsObject(file));
    CheckAlive(f, "target device relation of a file");
    if (!f->device || !f->device->bus_enumerated || f->on_volume) {
      Violation("target-device relation asked of a stack that is no plug-and-play device");
    }
  }
  if (d->target_query_fails) return driver::kStatusNotSupported;
  while (d->lower) d = d->lower;
  CheckAlive(d, "target device relation");
  if (d->target_query_fails) return driver::kStatusNotSupported;
  ++d->references;
  *physical_device = AsKernelObject(d);
  return driver::kStatusSuccess;
}

NtStatus SimKernel::QueryBusRelations(KernelObject device, driver::RelationList* relations) {
  std::lock_guard lock(mutex_);
  DeviceObject* d = AsDevice(device);
  CheckAlive(d, "bus relations query");
  std::vector<DeviceObject*> present;
  for (DeviceObject* child : d->children) {
    if (!child->removed) present.push_back(child);
  }
  ReferencedList(present, relations);
  return driver::kStatusSuccess;
}

void SimKernel::ReferencedList(const std::vector<DeviceObject*>& devices, driver::RelationList* list) {
  auto* objects = new std::vector<KernelObject>;
  for (DeviceObject* d : devices) {
    ++d->references;
    objects->push_back(AsKernelObject(d));
  }
  list->opaque = objects;
  list->objects = objects->data();
  list->count = static_cast<uint32_t>(objects->size());
}

void SimKernel::ReleaseRelations(driver::RelationList* relations) {
  auto* objects = static_cast<std::vector<KernelObject>*>(relations->opaque);
  for (KernelObject o : *objects) DereferenceObject(o);
  delete objects;
  *relations = {};
}

NtStatus SimKernel::QueryDeviceName(KernelObject physical_device, void* buffer, uint32_t bytes) {
  std::lock_guard lock(mutex_);
  DeviceObject* d = AsDevice(physical_device);
  if (d->name_query_fails) return driver::kStatusNoSuchDevice;
  return CopyText(d->name, static_cast<char16_t*>(buffer), bytes / sizeof(char16_t));
}

NtStatus SimKernel::QueryClassGuid(KernelObject physical_device, char16_t* text, uint32_t chars) {
  std::lock_guard lock(mutex_);
  return CopyText(AsDevice(physical_device)->class_guid, text, chars);
}

NtStatus SimKernel::QueryHardwareIds(KernelObject physical_device, char16_t* list, uint32_t bytes,
                                     uint32_t* returned_bytes) {
  std::lock_guard lock(mutex_);
  std::u16string multi;
  for (const auto& id : AsDevice(physical_device)->hardware_ids) multi += id + u'\0';
  multi += u'\0';
  *returned_bytes = static_cast<uint32_t>(multi.size() * sizeof(char16_t));
  if (*returned_bytes > bytes) return driver::kStatusBufferTooSmall;
  std::copy(multi.begin(), multi.end(), list);
  return driver::kStatusSuccess;
}

bool SimKernel::CreatorDriverName(KernelObject device, char16_t* text, uint32_t chars) {
  std::lock_guard lock(mutex_);
  return driver::IsSuccess(CopyText(AsDevice(device)->driver->name, text, chars));
}

NtStatus SimKernel::DevicesOfDriver(KernelObject device, driver::RelationList* devices) {
  std::lock_guard lock(mutex_);
  std::vector<DeviceObject*> alive;
  for (DeviceObject* d : AsDevice(device)->driver->devices) {
    if (d->references > 0) alive.push_back(d);
  }
  ReferencedList(alive, devices);
  return driver::kStatusSuccess;
}

void SimKernel::ReleaseDevicesOfDriver(driver::RelationList* devices) { ReleaseRelations(devices); }

NtStatus SimKernel::WatchRemoval(KernelObject file, driver::DeviceExtension* ext, uint32_t watch_id,
                                 driver::RemovalWatch** watch) {
  std::lock_guard lock(mutex_);
  auto* f = static_cast<FileObject*>(AsObject(file));
  CheckAlive(f, "removal watch on a file");
  if (!f->device || f->device->removed) return driver::kStatusNoSuchDevice;
  ++f->references;
  watches_.push_back(std::make_unique<Watch>(Watch{f, f->device, ext, watch_id}));
  *watch = reinterpret_cast<driver::RemovalWatch*>(watches_.back().get());
  return driver::kStatusSuccess;
}

void SimKernel::EndRemovalWatch(driver::RemovalWatch* watch) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(watches_.begin(), watches_.end(),
                         [&](const auto& w) { return reinterpret_cast<driver::RemovalWatch*>(w.get()) == watch; });
  if (it == watches_.end()) {
    Violation("ended a removal watch that does not exist");
    return;
  }
  if ((*it)->file) --(*it)->file->references;
  watches_.erase(it);
}

KernelObject SimKernel::DetachWatchedFile(driver::RemovalWatch* watch) {
  std::lock_guard lock(mutex_);
  auto* w = reinterpret_cast<Watch*>(watch);
  FileObject* file = w->file;
  w->file = nullptr;
  return file ? AsKernelObject(file) : nullptr;
}

bool SimKernel::IsBusEnumerated(KernelObject device) {
  std::lock_guard lock(mutex_);
  CheckAlive(AsObject(device), "device flags");
  return AsDevice(device)->bus_enumerated;
}

NtStatus SimKernel::StartUsbRequest(KernelObject physical_device, void* urb, driver::UsbCompletion* completion,
                                    driver::UsbRequest** request) {
  auto owned = std::make_unique<Request>();
  Request* r = owned.get();
  r->target = AsDevice(physical_device);
  r->urb = static_cast<uint8_t*>(urb);
  r->completion = completion;
  ControlPipe* usb = nullptr;
  {
    std::lock_guard lock(mutex_);
    CheckAlive(r->target, "USB submission");
    if (r->target->start_fails) return driver::kStatusInsufficientResources;
    if (r->target->removed && !StackHeld(r->target)) Violation("USB submission to a device whose stack is torn down");
    r->gone = r->target->removed;  // the stack fails requests to a removed device
    usb = r->gone ? nullptr : r->target->usb;
    last_urb_.assign(r->urb, r->urb + kv::kNativeUrbSize);
    requests_.push_back(std::move(owned));
  }
  if (submission_hook_) submission_hook_(r->urb);
  ++submitted_;
  const auto& l = kv::kNativeUrbLayout;
  const SetupPacket setup = SetupOf(r->urb);
  uint8_t none = 0;
  auto* data = reinterpret_cast<uint8_t*>(Get<uintptr_t>(r->urb, l.transfer_buffer));
  ControlAnswer answer;
  if (!usb) {
    answer.kind = ControlAnswer::kStall;  // no device behind it (any more)
  } else {
    // The device runs outside the kernel's lock, as a real device answers on its own time.
    answer = usb->ControlTransfer(setup, setup.wLength ? data : &none);
  }
  std::lock_guard lock(mutex_);
  if (usb && answer.kind == ControlAnswer::kDone && answer.length > setup.wLength) {
    Violation("device answered more bytes than asked for");
    answer.length = setup.wLength;
  }
  r->answer = answer;
  if (usb && r->target->removed) r->gone = true;  // removed while the device worked on it: the stack fails it
  *request = reinterpret_cast<driver::UsbRequest*>(r);
  return driver::kStatusSuccess;
}

void SimKernel::FinishRequest(Request* r, NtStatus status, uint32_t usbd_status, uint32_t length) {
  const auto& l = kv::kNativeUrbLayout;
  Put<uint32_t>(r->urb, kv::kUrbStatusOffset, usbd_status);
  Put<uint32_t>(r->urb, l.transfer_buffer_length, length);
  // The stack leaves its own addresses and flags behind, as the real one does: the device handle, the
  // memory descriptor it built for the buffer, the header's flags and its scratch area.
  Put<uintptr_t>(r->urb, l.device_handle, uintptr_t{0xFFFFC000DEAD0000});
  Put<uintptr_t>(r->urb, l.transfer_buffer_mdl, uintptr_t{0xFFFFC000BEEF0000});
  Put<uint32_t>(r->urb, l.device_handle + l.pointer_size, 0x5);
  std::memset(r->urb + l.hca, 0xAB, l.hca_size);
  r->completed = true;
  driver::CompleteUsbRequest(r->completion, status);
  if (r->abandoned_block) ReleaseAbandoned(r);
}

void SimKernel::AnswerRequest(Request* r) {
  if (r->gone) {
    FinishRequest(r, driver::kStatusNoSuchDevice, kUsbdStatusDeviceGone, 0);
  } else if (r->answer.kind == ControlAnswer::kDone) {
    FinishRequest(r, driver::kStatusSuccess, kv::kUsbdStatusSuccess, r->answer.length);
  } else if (r->answer.kind == ControlAnswer::kNotReady) {
    FinishRequest(r, kStatusDeviceNotReady, kUsbdStatusDeviceNotResponding, 0);
  } else if (r->answer.kind == ControlAnswer::kNoAnswer) {
    FinishRequest(r, driver::kStatusCancelled, kv::kUsbdStatusCanceled, 0);
  } else {
    FinishRequest(r, driver::kStatusUnsuccessful, kv::kUsbdStatusStallPid, 0);
  }
}

void SimKernel::ReleaseAbandoned(Request* r) {
  CheckAlive(r->abandoned_device, "end of an abandoned USB submission");
  if (--r->abandoned_device->references < 0) Violation("dereferenced an object below zero");
  Free(r->abandoned_block);
  std::erase_if(requests_, [r](const auto& owned) { return owned.get() == r; });
}

bool SimKernel::WaitUsbRequest(driver::UsbRequest* request, uint32_t timeout_ms) {
  auto* r = reinterpret_cast<Request*>(request);
  std::lock_guard lock(mutex_);
  if (r->completed) return true;
  // The device answers once its latency has run down over the driver's waits.
  if (r->answer.kind != ControlAnswer::kNoAnswer) {
    const uint32_t left = r->answer.latency_ms > r->waited_ms ? r->answer.latency_ms - r->waited_ms : 0;
    if (left <= timeout_ms) {
      now_ms_ += left;
      r->waited_ms += left;
      AnswerRequest(r);
      return true;
    }
  }
  now_ms_ += timeout_ms;
  r->waited_ms += timeout_ms;
  return false;
}

void SimKernel::CancelUsbRequest(driver::UsbRequest* request) {
  auto* r = reinterpret_cast<Request*>(request);
  std::lock_guard lock(mutex_);
  if (r->completed) {
    Violation("cancelled a request that had completed");
    return;
  }
  ++cancelled_;
  r->cancelled = true;
  if (r->target->ignores_cancel) return;
  FinishRequest(r, driver::kStatusCancelled, kv::kUsbdStatusCanceled, 0);
}

void SimKernel::FreeUsbRequest(driver::UsbRequest* request) {
  auto* r = reinterpret_cast<Request*>(request);
  std::lock_guard lock(mutex_);
  if (!r->completed) Violation("freed a request still in flight");
  CheckAlive(r->target, "end of a USB submission");
  std::erase_if(requests_, [r](const auto& owned) { return owned.get() == r; });
}

void SimKernel::AbandonUsbRequest(driver::UsbRequest* request, void* block, KernelObject physical_device) {
  auto* r = reinterpret_cast<Request*>(request);
  std::lock_guard lock(mutex_);
  if (r->abandoned_block) Violation("abandoned a request twice");
  if (!r->cancelled) Violation("abandoned a request that was never cancelled");
  {
    // Everything the stack may still write when it completes the request must be in the memory
    // handed over: the request block, the completion record and the transfer buffer. Anything else
    // (the caller's stack or memory, a block the driver frees) would be written after it is gone.
    std::lock_guard blocks(allocation_mutex_);
    auto it = live_blocks_.find(block);
    const auto start = reinterpret_cast<uintptr_t>(block);
    const auto held = [&](const void* at, size_t bytes) {
      const auto p = reinterpret_cast<uintptr_t>(at);
      return it != live_blocks_.end() && p >= start && bytes <= it->second && p - start <= it->second - bytes;
    };
    const auto& l = kv::kNativeUrbLayout;
    const size_t buffer_bytes = Get<uint32_t>(r->urb, l.transfer_buffer_length);
    const auto* buffer = reinterpret_cast<const uint8_t*>(Get<uintptr_t>(r->urb, l.transfer_buffer));
    if (!held(r->urb, kv::kNativeUrbSize)) {
      Violation("abandoned a request with memory that does not hold its request block");
    }
    if (!held(r->completion, sizeof *r->completion)) {
      Violation("abandoned a request with memory that does not hold its completion record");
    }
    if (buffer_bytes != 0 && !held(buffer, buffer_bytes)) {
      Violation("abandoned a request with memory that does not hold its transfer buffer");
    }
  }
  r->abandoned_block = block;
  r->abandoned_device = AsDevice(physical_device);
  if (r->completed) ReleaseAbandoned(r);  // it completed meanwhile
}

void SimKernel::FinishHeldRequests() {
  std::lock_guard lock(mutex_);
  std::vector<Request*> held;
  for (const auto& r : requests_) {
    if (!r->completed) held.push_back(r.get());
  }
  for (Request* r : held) AnswerRequest(r);
}

NtStatus SimKernel::ProbeCallerRead(uint64_t address, size_t bytes) {
  std::lock_guard lock(mutex_);
  return bytes == 0 || CallerRange(address, bytes, Access::kRead) ? driver::kStatusSuccess
                                                                  : driver::kStatusAccessViolation;
}

NtStatus SimKernel::ProbeCallerWrite(uint64_t address, size_t bytes) {
  std::lock_guard lock(mutex_);
  return bytes == 0 || CallerRange(address, bytes, Access::kReadWrite) ? driver::kStatusSuccess
                                                                       : driver::kStatusAccessViolation;
}

NtStatus SimKernel::CopyFromCaller(void* to, uint64_t from, size_t bytes) {
  {
    std::lock_guard lock(mutex_);
    const uint8_t* p = CallerRange(from, bytes, Access::kRead);
    if (!p) return driver::kStatusAccessViolation;
    std::memcpy(to, p, bytes);
  }
  if (caller_read_hook_) caller_read_hook_(from, bytes);
  return driver::kStatusSuccess;
}

NtStatus SimKernel::CopyToCaller(uint64_t to, const void* from, size_t bytes) {
  std::lock_guard lock(mutex_);
  uint8_t* p = CallerRange(to, bytes, Access::kReadWrite);
  if (!p) return driver::kStatusAccessViolation;
  std::memcpy(p, from, bytes);
  return driver::kStatusSuccess;
}

NtStatus SimKernel::WriteRegistryDword(const char16_t* key, const char16_t* value, uint32_t data) {
  std::lock_guard lock(mutex_);
  registry_[std::u16string(key) + u"\\" + value] = data;
  return driver::kStatusSuccess;
}

}  // namespace fcp::sim::kernel
