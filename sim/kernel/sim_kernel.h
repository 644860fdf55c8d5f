// The simulated Windows kernel under the pass-through driver's core: device objects of root hubs,
// hubs, USB devices, composite devices and their functions; a caller's address space with readable,
// writable and unmapped ranges; internal USB submissions turned into control transfers on
// sim::UsbDevice objects, under stacks that may ignore cancels; kernel memory tracked block by block;
// a registry; a clock that moves only when a wait needs it to.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "driver/device_extension.h"
#include "driver/kernel_port.h"
#include "sim/kernel/control_pipe.h"

namespace fcp::sim::kernel {

class SimKernel final : public driver::KernelPort {
 public:
  struct Object {
    int references = 1;  // the creator's (the system's) reference
    bool removed = false;
  };
  struct Driver;
  struct DeviceObject : Object {
    Driver* driver = nullptr;
    bool bus_enumerated = false;
    DeviceObject* lower = nullptr;  // next lower device object in the stack
    DeviceObject* upper = nullptr;
    std::u16string name;
    std::u16string class_guid;
    std::vector<std::u16string> hardware_ids;
    std::vector<DeviceObject*> children;  // bus relations
    ControlPipe* usb = nullptr;             // the device a submission to this object reaches
    bool target_query_fails = false;
    bool name_query_fails = false;
    // The stack under this device ignores cancels: a request ends only when the device answers, or
    // when the stack at last lets go of what it holds (FinishHeldRequests).
    bool ignores_cancel = false;
    // The port cannot start a request to this device (no memory for the request's own record).
    bool start_fails = false;
  };
  struct Driver {
    std::u16string name;
    std::vector<DeviceObject*> devices;  // newest first, as the kernel links them
  };
  struct FileObject : Object {
    DeviceObject* device = nullptr;  // the interface opened; null for a handle of the driver's device
    int process = 0;                 // the process whose handle table holds it
    bool cleaned_up = false;         // its last handle is closed (the driver had its cleanup request)
    bool on_volume = false;          // a file of the file system mounted on `device`
  };
  enum class Access { kNone, kRead, kReadWrite };

  static constexpr char16_t kCameraClass[] = u"{ca3e7ab9-b4c3-4ae6-8251-579ef933890f}";
  static constexpr char16_t kImageClass[] = u"{6bdd1fc6-810f-11d0-bec7-08002be2092f}";
  static constexpr char16_t kMediaClass[] = u"{4d36e96c-e325-11ce-bfc1-08002be10318}";
  static constexpr char16_t kUsbClass[] = u"{36fc9e60-c465-11cf-8056-444553540000}";
  static constexpr char16_t kHidClass[] = u"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}";
  static constexpr char16_t kCompositeDriver[] = u"\\Driver\\usbccgp";
  static constexpr char16_t kHidDriver[] = u"\\Driver\\HidUsb";

  SimKernel();
  ~SimKernel();
  SimKernel(const SimKernel&) = delete;
  SimKernel& operator=(const SimKernel&) = delete;

  // --- The device tree. Every Plug* returns the physical device object (PDO) of what it plugged.
  DeviceObject* RootHub() { return root_hub_fdo_; }
  // A hub on `parent` (a hub's function device object; null: the root hub). Returns the new hub's
  // function device object, for plugging devices into it.
  DeviceObject* PlugHub(ControlPipe& usb, std::vector<std::u16string> hardware_ids, DeviceObject* parent = nullptr);
  // A single-function USB device with the setup class of its function driver.
  DeviceObject* PlugDevice(ControlPipe& usb, std::u16string class_guid, std::vector<std::u16string> hardware_ids,
                           DeviceObject* hub = nullptr);
  // A USB device split into functions by `splitter` (the composite or the HID class driver).
  DeviceObject* PlugComposite(ControlPipe& usb, std::vector<std::u16string> hardware_ids,
                              std::u16string splitter = kCompositeDriver, DeviceObject* hub = nullptr);
  // A function of a composite device (its PDO, created by the splitter).
  DeviceObject* AddFunction(DeviceObject* composite, std::u16string class_guid,
                            std::vector<std::u16string> hardware_ids);
  // Takes the device away (a surprise removal): drops the system's reference, tells the watches on
  // it and on its functions, and fails its requests from then on. The object lives on while referenced.
  void Unplug(DeviceObject* device);
  // An orderly removal (disable or safe removal): the watches on the device hear the query first;
  // the removal is refused while a file object on the device is still referenced. Returns whether
  // the device was removed (then as Unplug).
  bool QueryRemove(DeviceObject* device);
  // The creating driver deletes the device object (after a removal): drops its reference. The object
  // stays in the driver's list until its last reference goes, as a walk racing the deletion finds
  // it; a snapshot of the list (DevicesOfDriver) leaves it out.
  void DeleteDevice(DeviceObject* device);

  // --- Processes: handles of interfaces they opened, their memory. Memory is one address space
  // shared by all; handles carry the number of the process that holds them (0 unless given).
  uint64_t OpenInterface(DeviceObject* device, int process = 0);
  void CloseInterface(uint64_t handle);
  // A handle of something that is no plug-and-play device: a named pipe (of a legacy driver's
  // device object), or a file on a volume.
  uint64_t OpenPipe(int process = 0);
  uint64_t OpenVolumeFile(DeviceObject* volume, int process = 0);
  uint64_t MapCaller(size_t bytes, Access access);
  void SetCallerAccess(uint64_t base, Access access);
  uint8_t* CallerBytes(uint64_t address, size_t bytes);  // for the test's own reads and writes
  // A write by another thread of the caller, while the kernel may be reading the same memory.
  void WriteCaller(uint64_t address, const void* bytes, size_t count);
  // Runs after every read of caller memory by the driver (outside the kernel's lock): a caller
  // thread that rewrites memory between the driver's reads.
  void OnCallerRead(std::function<void(uint64_t address, size_t bytes)> hook) { caller_read_hook_ = std::move(hook); }

  // --- The pass-through driver loaded on this kernel, and processes opening its device. Each
  // handle's file object gets the create request at open, the cleanup request when the handle is
  // closed (or its process exits) and the close request when no request is in flight through it.
  void LoadDriver(driver::DeviceExtension& ext);
  void UnloadDriver();
  uint64_t OpenDriver(int process = 0);  // 0 when the driver refuses the create request
  void CloseDriver(uint64_t handle);
  driver::NtStatus DriverControl(uint64_t handle, uint32_t code, void* buffer, uint32_t input_length,
                                 uint32_t output_length, uint32_t* information);
  driver::KernelObject DriverFile(uint64_t handle);
  // The process ends without closing anything: the system closes every handle it held.
  void ExitProcess(int process);

  // --- Observation and faults.
  int References(const Object* object) const;
  std::vector<std::string> Violations() const;
  uint64_t NowMs() const { return now_ms_.load(); }
  int CancelledRequests() const { return cancelled_.load(); }
  int SubmittedRequests() const { return submitted_.load(); }
  int OutstandingAllocations() const { return allocations_.load(); }
  // Requests the driver left to the stack (abandoned) that the stack has not completed yet.
  int AbandonedRequests() const;
  // The stacks complete every request they still hold: with the device's answer where it answers,
  // else as cancelled. A request the driver abandoned is then freed with its memory and reference.
  void FinishHeldRequests();
  int OutstandingWatches() const;
  // Sees every request block the USB stack receives, before the device does (for checks of the
  // driver's policy on what reaches the stack).
  void OnSubmission(std::function<void(const uint8_t* urb)> hook) { submission_hook_ = std::move(hook); }
  // The request block of the last submission as the USB stack received it.
  std::vector<uint8_t> LastSubmittedUrb() const;
  std::optional<uint32_t> RegistryDword(const std::u16string& key, const std::u16string& value) const;
  void FailAllocationsOfSize(size_t bytes) { fail_allocation_size_ = bytes; }

  // --- driver::KernelPort
  void* Allocate(size_t bytes) override;
  void Free(void* block) override;
  void AcquireTableLock(driver::LockToken& token) override;
  void ReleaseTableLock(driver::LockToken& token) override;
  driver::NtStatus ReferenceFileByHandle(uint64_t user_handle, driver::KernelObject* file) override;
  void ReferenceObject(driver::KernelObject object) override;
  void DereferenceObject(driver::KernelObject object) override;
  driver::KernelObject TopDeviceOfFile(driver::KernelObject file) override;
  bool IsOnPnpDeviceStack(driver::KernelObject file) override;
  driver::NtStatus QueryTargetDevice(driver::KernelObject device, driver::KernelObject file,
                                     driver::KernelObject* physical_device) override;
  driver::NtStatus QueryBusRelations(driver::KernelObject device, driver::RelationList* relations) override;
  void ReleaseRelations(driver::RelationList* relations) override;
  driver::NtStatus QueryDeviceName(driver::KernelObject physical_device, void* buffer, uint32_t bytes) override;
  driver::NtStatus QueryClassGuid(driver::KernelObject physical_device, char16_t* text, uint32_t chars) override;
  driver::NtStatus QueryHardwareIds(driver::KernelObject physical_device, char16_t* list, uint32_t bytes,
                                    uint32_t* returned_bytes) override;
  bool CreatorDriverName(driver::KernelObject device, char16_t* text, uint32_t chars) override;
  driver::NtStatus DevicesOfDriver(driver::KernelObject device, driver::RelationList* devices) override;
  void ReleaseDevicesOfDriver(driver::RelationList* devices) override;
  bool IsBusEnumerated(driver::KernelObject device) override;
  driver::NtStatus WatchRemoval(driver::KernelObject file, driver::DeviceExtension* ext, uint32_t watch_id,
                                driver::RemovalWatch** watch) override;
  void EndRemovalWatch(driver::RemovalWatch* watch) override;
  driver::KernelObject DetachWatchedFile(driver::RemovalWatch* watch) override;
  driver::NtStatus StartUsbRequest(driver::KernelObject physical_device, void* urb,
                                   driver::UsbCompletion* completion, driver::UsbRequest** request) override;
  bool WaitUsbRequest(driver::UsbRequest* request, uint32_t timeout_ms) override;
  void CancelUsbRequest(driver::UsbRequest* request) override;
  void FreeUsbRequest(driver::UsbRequest* request) override;
  void AbandonUsbRequest(driver::UsbRequest* request, void* block, driver::KernelObject physical_device) override;
  driver::NtStatus ProbeCallerRead(uint64_t address, size_t bytes) override;
  driver::NtStatus ProbeCallerWrite(uint64_t address, size_t bytes) override;
  driver::NtStatus CopyFromCaller(void* to, uint64_t from, size_t bytes) override;
  driver::NtStatus CopyToCaller(uint64_t to, const void* from, size_t bytes) override;
  driver::NtStatus WriteRegistryDword(const char16_t* key, const char16_t* value, uint32_t data) override;
  uint64_t MonotonicMs() override { return now_ms_.load(); }

 private:
  struct Region {
    std::vector<uint8_t> bytes;
    Access access;
  };
  struct Request;
  struct Watch {
    FileObject* file;  // null once detached
    DeviceObject* device;
    driver::DeviceExtension* ext;
    uint32_t id;
  };

  Driver* DriverNamed(const std::u16string& name);
  DeviceObject* NewDevice(Driver* driver, bool bus_enumerated);
  void Attach(DeviceObject* upper, DeviceObject* lower);
  DeviceObject* FunctionDriverOn(DeviceObject* pdo, const char16_t* driver_name);
  void Violation(std::string what);
  void CheckAlive(const Object* object, const char* use);  // with mutex_ held
  // Whether a file object on the device (or on one of its functions) is still referenced: until the
  // last goes, the system does not tear a removed device's stack down. With mutex_ held.
  bool StackHeld(const DeviceObject* device) const;
  uint8_t* CallerRange(uint64_t address, size_t bytes, Access needed);  // with mutex_ held
  // The device and, for a composite device, its functions. With mutex_ held.
  std::vector<DeviceObject*> DeviceAndFunctions(DeviceObject* device);
  // The stack completes the request (with mutex_ held); one the driver abandoned goes with its memory.
  void FinishRequest(Request* request, driver::NtStatus status, uint32_t usbd_status, uint32_t length);
  // The stack completes the request with the device's answer (with mutex_ held).
  void AnswerRequest(Request* request);
  // Frees an abandoned request that has completed, with its memory and device reference (mutex_ held).
  void ReleaseAbandoned(Request* request);
  void DropDriverFileReference(FileObject* file);
  // A list of the devices, each referenced, released by ReleaseRelations. With mutex_ held.
  void ReferencedList(const std::vector<DeviceObject*>& devices, driver::RelationList* list);

  mutable std::mutex mutex_;
  std::mutex table_lock_;
  std::vector<std::unique_ptr<Driver>> drivers_;
  std::vector<std::unique_ptr<DeviceObject>> devices_;
  std::map<uint64_t, std::unique_ptr<FileObject>> handles_;
  std::vector<std::unique_ptr<FileObject>> closed_files_;
  uint64_t next_handle_ = 0x104;
  std::map<uint64_t, Region> regions_;
  uint64_t next_region_ = 0x10000;
  std::map<std::u16string, uint32_t> registry_;
  std::vector<std::string> violations_;
  std::vector<uint8_t> last_urb_;
  DeviceObject* root_hub_fdo_ = nullptr;
  std::vector<std::unique_ptr<Watch>> watches_;
  std::vector<std::unique_ptr<Request>> requests_;  // started and not freed
  driver::DeviceExtension* driver_ = nullptr;
  std::function<void(uint64_t, size_t)> caller_read_hook_;
  std::function<void(const uint8_t*)> submission_hook_;

  std::atomic<uint64_t> now_ms_{0};
  std::atomic<int> cancelled_{0};
  std::atomic<int> submitted_{0};
  std::atomic<int> allocations_{0};
  std::atomic<size_t> fail_allocation_size_{0};
  std::mutex allocation_mutex_;  // Free may run with mutex_ held
  std::map<void*, size_t> live_blocks_;
  std::atomic<int> bad_frees_{0};
};

}  // namespace fcp::sim::kernel
