/* The kernel port's calls over the Windows kernel. */
#include <ddk/ntifs.h>

#include "kernel_calls.h"

#define KVX_POOL_TAG 0x78765A4B /* 'KZvx' */
#define KVX_SUBMIT_URB 0x220003  /* IOCTL_INTERNAL_USB_SUBMIT_URB */

/* Kernel exports the mingw-w64 headers do not declare. MmCopyVirtualMemory catches the faults of
 * the copy itself and answers with their status: the compiler here has no structured exception
 * handling, so caller memory is never touched directly. */
NTKERNELAPI NTSTATUS NTAPI MmCopyVirtualMemory(PEPROCESS from_process, PVOID from, PEPROCESS to_process, PVOID to,
                                               SIZE_T bytes, KPROCESSOR_MODE mode, PSIZE_T copied);

_Static_assert(sizeof(KSPIN_LOCK) <= kKvxLockStorageBytes, "lock storage");
_Static_assert(sizeof(KLOCK_QUEUE_HANDLE) <= kKvxLockTokenBytes, "lock token storage");

/* Set once at load, before any request arrives. */
static PDRIVER_OBJECT g_kvx_driver;
static PDEVICE_OBJECT g_kvx_device;
/* No-execute pool where the kernel has it (Windows 8 and later): memory-integrity systems demand it.
 * Older kernels would stop on the unknown pool type. */
static POOL_TYPE g_kvx_pool = NonPagedPool;

void KvxKernelInit(void* driver) {
  g_kvx_driver = driver;
  g_kvx_device = g_kvx_driver->DeviceObject;
  RTL_OSVERSIONINFOW version;
  version.dwOSVersionInfoSize = sizeof version;
  if (NT_SUCCESS(RtlGetVersion(&version)) &&
      (version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2))) {
    g_kvx_pool = NonPagedPoolNx;
  }
}

void* KvxAllocate(size_t bytes) { return ExAllocatePoolWithTag(g_kvx_pool, bytes, KVX_POOL_TAG); }

void KvxFree(void* block) {
  if (block) ExFreePoolWithTag(block, KVX_POOL_TAG);
}

void KvxLockInit(void* lock) { KeInitializeSpinLock((PKSPIN_LOCK)lock); }
void KvxLockAcquire(void* lock, void* token) {
  KeAcquireInStackQueuedSpinLock((PKSPIN_LOCK)lock, (PKLOCK_QUEUE_HANDLE)token);
}
void KvxLockRelease(void* token) { KeReleaseInStackQueuedSpinLock((PKLOCK_QUEUE_HANDLE)token); }

KvxStatus KvxReferenceFileByHandle(uint64_t user_handle, void** file) {
  return ObReferenceObjectByHandle((HANDLE)(ULONG_PTR)user_handle, 0, *IoFileObjectType, UserMode, file, NULL);
}

void KvxReferenceObject(void* object) { ObReferenceObject(object); }
void KvxDereferenceObject(void* object) { ObDereferenceObject(object); }

void* KvxTopDeviceOfFile(void* file) { return IoGetRelatedDeviceObject((PFILE_OBJECT)file); }

/* Wait for a lower driver's answer to a relations query. A driver that never answers leaves the
 * query behind (its IRP cannot be cancelled); the caller gets STATUS_IO_TIMEOUT. */
#define KVX_RELATIONS_WAIT_MS 5000

/* Requests this driver sends down (relations queries, USB submissions) may be left to a lower driver
 * that does not complete them in time; their completion routines then run whenever that driver
 * pleases, possibly after unload. Each is set with IoSetCompletionRoutineEx, which holds a reference
 * to this driver's device object until the routine has returned: the image stays loaded until then,
 * so unload need not wait for any lower driver. */
static NTSTATUS SetCompletion(PIRP irp, PIO_COMPLETION_ROUTINE routine, void* context) {
  return IoSetCompletionRoutineEx(g_kvx_device, irp, routine, context, TRUE, TRUE, TRUE);
}

/* One relations query. The waiter and the completion routine each own it once; whoever lets go
 * last frees the IRP and the record, and when the waiter gave up, the answer too. The file object
 * named in the request is referenced for as long as the request lives: a query left to a lower
 * driver outlives the caller's own reference to it. */
typedef struct RelationsQuery {
  KEVENT done;
  PIRP irp;
  PFILE_OBJECT file;
  LONG owners;
  NTSTATUS status;
  PDEVICE_RELATIONS relations;
  PIO_WORKITEM late_release;  /* frees an answer nobody waits for any more, at PASSIVE_LEVEL */
} RelationsQuery;

static void FreeRelationsQuery(RelationsQuery* query) {
  IoFreeIrp(query->irp);
  if (query->file) ObDereferenceObject(query->file);
  IoFreeWorkItem(query->late_release);
  KvxFree(query);
}

static void ReleaseAnswer(PDEVICE_RELATIONS relations) {
  if (!relations) return;
  for (ULONG i = 0; i < relations->Count; ++i) ObDereferenceObject(relations->Objects[i]);
  ExFreePool(relations);
}

static VOID NTAPI ReleaseLateAnswer(PDEVICE_OBJECT device, PVOID context) {
  (void)device;
  RelationsQuery* query = context;
  ReleaseAnswer(query->relations);
  FreeRelationsQuery(query);
}

static NTSTATUS NTAPI RelationsAnswered(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  (void)device;
  RelationsQuery* query = context;
  query->status = irp->IoStatus.Status;
  query->relations = NT_SUCCESS(query->status) ? (PDEVICE_RELATIONS)irp->IoStatus.Information : NULL;
  KeSetEvent(&query->done, IO_NO_INCREMENT, FALSE);
  if (__atomic_sub_fetch(&query->owners, 1, __ATOMIC_SEQ_CST) == 0) {
    /* The waiter gave up: nobody takes the answer. It is paged memory, and a lower driver that
     * answered this late may complete above PASSIVE_LEVEL: a work item frees it. The work item
     * holds this driver's device object, so the image stays until it has run. */
    IoQueueWorkItem(query->late_release, ReleaseLateAnswer, DelayedWorkQueue, query);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/* A device-relations query with a bounded wait; the answer's objects come referenced. `file` goes
 * into the stack location, as the kernel's own target-device helper puts it there. */
static NTSTATUS QueryRelations(PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type, PFILE_OBJECT file,
                               PDEVICE_RELATIONS* relations) {
  *relations = NULL;
  RelationsQuery* query = KvxAllocate(sizeof *query);
  if (!query) return STATUS_INSUFFICIENT_RESOURCES;
  query->irp = IoAllocateIrp(device->StackSize, FALSE);
  query->late_release = query->irp ? IoAllocateWorkItem(g_kvx_device) : NULL;
  if (!query->late_release) {
    if (query->irp) IoFreeIrp(query->irp);
    KvxFree(query);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KeInitializeEvent(&query->done, NotificationEvent, FALSE);
  query->owners = 2;
  query->status = STATUS_NOT_SUPPORTED;
  query->relations = NULL;
  query->file = file;
  if (file) ObReferenceObject(file);
  query->irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  query->irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(query->irp);
  stack->MajorFunction = IRP_MJ_PNP;
  stack->MinorFunction = IRP_MN_QUERY_DEVICE_RELATIONS;
  stack->Parameters.QueryDeviceRelations.Type = type;
  stack->FileObject = file;
  NTSTATUS set = SetCompletion(query->irp, RelationsAnswered, query);
  if (!NT_SUCCESS(set)) {
    FreeRelationsQuery(query);
    return set;
  }
  IoCallDriver(device, query->irp);

  LARGE_INTEGER timeout;
  timeout.QuadPart = -10000LL * KVX_RELATIONS_WAIT_MS;
  if (KeWaitForSingleObject(&query->done, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS) {
    if (__atomic_sub_fetch(&query->owners, 1, __ATOMIC_SEQ_CST) != 0) return STATUS_IO_TIMEOUT;
    /* Answered just now after all: the record is the waiter's again. */
  } else {
    /* The completion routine has set the event; it lets go right after, without waiting for
     * anything: a few instructions. */
    while (__atomic_load_n(&query->owners, __ATOMIC_SEQ_CST) != 1) KvxSleepMs(1);
  }
  NTSTATUS status = query->status;
  if (NT_SUCCESS(status)) {
    *relations = query->relations;
    if (!*relations) status = STATUS_UNSUCCESSFUL;
  }
  FreeRelationsQuery(query);
  return status;
}

int KvxIsOnPnpDeviceStack(void* file_in) {
  PFILE_OBJECT file = file_in;
  /* A file of a mounted file system carries its volume parameter block; a pipe, a socket or a legacy
   * device was not enumerated by a bus driver, as every plug-and-play device object's base is. The
   * name a device interface's link resolves to is that base, the physical device object. */
  return file->Vpb == NULL && file->DeviceObject && (file->DeviceObject->Flags & DO_BUS_ENUMERATED_DEVICE) != 0;
}

KvxStatus KvxQueryTargetDevice(void* device, void* file, void** physical_device) {
  PDEVICE_RELATIONS relations;
  NTSTATUS status = QueryRelations((PDEVICE_OBJECT)device, TargetDeviceRelation, (PFILE_OBJECT)file, &relations);
  if (!NT_SUCCESS(status)) return status;
  if (relations->Count == 1) {
    *physical_device = relations->Objects[0];
  } else {
    for (ULONG i = 0; i < relations->Count; ++i) ObDereferenceObject(relations->Objects[i]);
    status = STATUS_UNSUCCESSFUL;
  }
  ExFreePool(relations);
  return status;
}

KvxStatus KvxQueryBusRelations(void* device, void** relations, void*** objects, uint32_t* count) {
  PDEVICE_RELATIONS list;
  NTSTATUS status = QueryRelations((PDEVICE_OBJECT)device, BusRelations, NULL, &list);
  if (!NT_SUCCESS(status)) return status;
  *relations = list;
  *objects = (void**)list->Objects;
  *count = list->Count;
  return STATUS_SUCCESS;
}

void KvxReleaseRelations(void* relations) {
  PDEVICE_RELATIONS list = relations;
  if (!list) return;
  for (ULONG i = 0; i < list->Count; ++i) ObDereferenceObject(list->Objects[i]);
  ExFreePool(list);
}

KvxStatus KvxQueryDeviceName(void* physical_device, void* buffer, uint32_t bytes) {
  ULONG returned = 0;
  return ObQueryNameString(physical_device, (POBJECT_NAME_INFORMATION)buffer, bytes, &returned);
}

KvxStatus KvxQueryClassGuid(void* physical_device, uint16_t* text, uint32_t chars) {
  ULONG returned = 0;
  return IoGetDeviceProperty((PDEVICE_OBJECT)physical_device, DevicePropertyClassGuid, chars * sizeof(WCHAR), text,
                             &returned);
}

KvxStatus KvxQueryHardwareIds(void* physical_device, uint16_t* list, uint32_t bytes, uint32_t* returned) {
  ULONG length = 0;
  NTSTATUS status = IoGetDeviceProperty((PDEVICE_OBJECT)physical_device, DevicePropertyHardwareID, bytes, list,
                                        &length);
  *returned = length;
  return status;
}

int KvxCreatorDriverName(void* device, uint16_t* text, uint32_t chars) {
  PDRIVER_OBJECT driver = ((PDEVICE_OBJECT)device)->DriverObject;
  if (!driver || chars == 0) return 0;
  ULONG n = driver->DriverName.Length / sizeof(WCHAR);
  if (n > chars - 1) n = chars - 1;
  for (ULONG i = 0; i < n; ++i) text[i] = driver->DriverName.Buffer[i];
  text[n] = 0;
  return 1;
}

/* The creating driver's device objects, each referenced by the kernel: a snapshot that stays valid
 * while that driver deletes devices (its own list may not be walked without its lock). */
KvxStatus KvxDevicesOfDriver(void* device, void** list, void*** objects, uint32_t* count) {
  PDRIVER_OBJECT driver = ((PDEVICE_OBJECT)device)->DriverObject;
  ULONG wanted = 0;
  NTSTATUS status = IoEnumerateDeviceObjectList(driver, NULL, 0, &wanted);
  for (int attempt = 0; attempt < 4 && status == STATUS_BUFFER_TOO_SMALL; ++attempt) {
    const ULONG room = wanted + 4; /* devices may appear meanwhile */
    PDEVICE_OBJECT* array = KvxAllocate(room * sizeof *array); /* NOLINT(bugprone-sizeof-expression): pointer array */
    if (!array) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(array, room * sizeof *array); /* NOLINT(bugprone-sizeof-expression): pointer array */
    ULONG actual = 0;
    status = IoEnumerateDeviceObjectList(driver, array, room * sizeof *array, &actual); /* NOLINT(bugprone-sizeof-expression): pointer array */
    if (NT_SUCCESS(status)) {
      *list = array;
      *objects = (void**)array;
      *count = actual;
      return STATUS_SUCCESS;
    }
    /* Too small after all (devices appeared meanwhile): the kernel may still have filled the array as
     * far as it went, each device referenced. Those references go before the array does (the array
     * was zeroed, so an entry the kernel left alone is recognised). */
    for (ULONG i = 0; i < room; ++i) {
      if (array[i]) ObDereferenceObject(array[i]);
    }
    KvxFree(array);
    wanted = actual;
  }
  return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status; /* success with room 0: no devices at all */
}

void KvxReleaseDevicesOfDriver(void* list, void** objects, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) ObDereferenceObject(objects[i]);
  KvxFree(list);
}

/* Removal watches. The callback's context is the watch id itself, never a pointer: the kernel may
 * still run a callback that started before the unregistration. */
typedef struct RemovalWatch {
  PVOID entry;
  PFILE_OBJECT file;
} RemovalWatch;

/* GUID_TARGET_DEVICE_QUERY_REMOVE and GUID_TARGET_DEVICE_REMOVE_COMPLETE differ in Data1 alone. */
enum { kQueryRemove = 0xcb3a4006, kRemoveComplete = 0xcb3a4008 };

static int IsTargetDeviceEvent(const GUID* event, unsigned long data1) {
  static const unsigned char kData4[8] = {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f};
  if (event->Data1 != data1 || event->Data2 != 0x46f0 || event->Data3 != 0x11d0) return 0;
  for (int i = 0; i < 8; ++i) {
    if (event->Data4[i] != kData4[i]) return 0;
  }
  return 1;
}

/* A query-remove: the watch gives its file reference up, else the system would refuse an orderly
 * removal of the device. Removal complete: an orderly or a surprise removal has happened. */
static NTSTATUS NTAPI TargetDeviceChanged(PVOID notification, PVOID context) {
  const PLUGPLAY_NOTIFICATION_HEADER* header = notification;
  const uint32_t watch_id = (uint32_t)(ULONG_PTR)context;
  if (IsTargetDeviceEvent(&header->Event, kQueryRemove)) KvxCoreDeviceQueryRemove(watch_id);
  if (IsTargetDeviceEvent(&header->Event, kRemoveComplete)) KvxCoreDeviceRemoved(watch_id);
  return STATUS_SUCCESS;
}

KvxStatus KvxWatchRemoval(void* file, uint32_t watch_id, void** watch_out) {
  RemovalWatch* watch = KvxAllocate(sizeof *watch);
  if (!watch) return STATUS_INSUFFICIENT_RESOURCES;
  watch->file = file;
  ObReferenceObject(file);
  NTSTATUS status = IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 0, file, g_kvx_driver,
                                                   TargetDeviceChanged, (PVOID)(ULONG_PTR)watch_id, &watch->entry);
  if (!NT_SUCCESS(status)) {
    ObDereferenceObject(file);
    KvxFree(watch);
    return status;
  }
  *watch_out = watch;
  return STATUS_SUCCESS;
}

void KvxEndWatch(void* watch_in) {
  RemovalWatch* watch = watch_in;
  IoUnregisterPlugPlayNotification(watch->entry);
  PFILE_OBJECT file = __atomic_exchange_n(&watch->file, NULL, __ATOMIC_SEQ_CST);
  if (file) ObDereferenceObject(file);
  KvxFree(watch);
}

void* KvxDetachWatchedFile(void* watch_in) {
  RemovalWatch* watch = watch_in;
  return __atomic_exchange_n(&watch->file, NULL, __ATOMIC_SEQ_CST);
}

int KvxIsBusEnumerated(void* device) {
  return (((PDEVICE_OBJECT)device)->Flags & DO_BUS_ENUMERATED_DEVICE) != 0;
}

/* One USB submission, owned like a relations query: once by the waiter and once by the completion
 * routine; whoever lets go last frees it. A waiter that lets go first (KvxUsbAbandon) leaves the
 * core's block and a device reference with it, and the completion routine frees those too. */
typedef struct UsbRequest {
  KEVENT done;
  PIRP irp;
  KvxUsbCompletion on_complete;
  void* context;
  LONG owners;
  void* abandoned_block;
  PDEVICE_OBJECT abandoned_device;
} UsbRequest;

static void FreeUsbRequest(UsbRequest* request) {
  if (request->abandoned_block) {
    KvxFree(request->abandoned_block);
    ObDereferenceObject(request->abandoned_device);
  }
  IoFreeIrp(request->irp);
  KvxFree(request);
}

static NTSTATUS NTAPI UsbRequestCompleted(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  (void)device;
  UsbRequest* request = context;
  request->on_complete(request->context, irp->IoStatus.Status);
  KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
  /* The IRP is ours: it stays until both owners let go, so a late cancel never meets a freed IRP. */
  if (__atomic_sub_fetch(&request->owners, 1, __ATOMIC_SEQ_CST) == 0) FreeUsbRequest(request);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

KvxStatus KvxUsbStart(void* physical_device, void* urb, KvxUsbCompletion on_complete, void* context,
                         void** request_out) {
  PDEVICE_OBJECT device = physical_device;
  UsbRequest* request = KvxAllocate(sizeof *request);
  if (!request) return STATUS_INSUFFICIENT_RESOURCES;
  request->irp = IoAllocateIrp(device->StackSize, FALSE);
  if (!request->irp) {
    KvxFree(request);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KeInitializeEvent(&request->done, NotificationEvent, FALSE);
  request->on_complete = on_complete;
  request->context = context;
  request->owners = 2;
  request->abandoned_block = NULL;
  request->abandoned_device = NULL;
  request->irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(request->irp);
  stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = KVX_SUBMIT_URB;
  stack->Parameters.Others.Argument1 = urb;
  NTSTATUS set = SetCompletion(request->irp, UsbRequestCompleted, request);
  if (!NT_SUCCESS(set)) {
    IoFreeIrp(request->irp);
    KvxFree(request);
    return set;
  }
  IoCallDriver(device, request->irp);
  *request_out = request;
  return STATUS_SUCCESS;
}

int KvxUsbWait(void* request_in, uint32_t timeout_ms) {
  UsbRequest* request = request_in;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10000LL * (LONGLONG)timeout_ms;
  return KeWaitForSingleObject(&request->done, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

void KvxUsbCancel(void* request) { IoCancelIrp(((UsbRequest*)request)->irp); }

/* After a wait that saw the request complete: the completion routine has set the event and lets go
 * right after, without waiting for anything (a few instructions). */
void KvxUsbFree(void* request_in) {
  UsbRequest* request = request_in;
  while (__atomic_load_n(&request->owners, __ATOMIC_SEQ_CST) != 1) KvxSleepMs(1);
  FreeUsbRequest(request);
}

void KvxUsbAbandon(void* request_in, void* block, void* physical_device) {
  UsbRequest* request = request_in;
  request->abandoned_block = block;
  request->abandoned_device = physical_device;
  /* Completed meanwhile: nobody else frees it. */
  if (__atomic_sub_fetch(&request->owners, 1, __ATOMIC_SEQ_CST) == 0) FreeUsbRequest(request);
}

KvxStatus KvxProbeCaller(uint64_t address, size_t bytes) {
  if (bytes == 0) return STATUS_SUCCESS;
  const uint64_t end = address + bytes;
  if (end < address || end > (uint64_t)MmUserProbeAddress) return STATUS_ACCESS_VIOLATION;
  return STATUS_SUCCESS;
}

/* Proves a caller range writable without structured exception handling: every page's first byte in
 * the range is read and written back with itself, each copy fault-safe. */
KvxStatus KvxProbeCallerWrite(uint64_t address, size_t bytes) {
  NTSTATUS status = KvxProbeCaller(address, bytes);
  if (!NT_SUCCESS(status) || bytes == 0) return status;
  const uint64_t last = address + bytes - 1;
  for (uint64_t at = address;;) {
    uint8_t byte;
    status = KvxCopyFromCaller(&byte, at, 1);
    if (NT_SUCCESS(status)) status = KvxCopyToCaller(at, &byte, 1);
    if (!NT_SUCCESS(status)) return status;
    const uint64_t next_page = (at | (PAGE_SIZE - 1)) + 1;
    if (next_page > last) return STATUS_SUCCESS;
    at = next_page;
  }
}

KvxStatus KvxCopyFromCaller(void* to, uint64_t from, size_t bytes) {
  NTSTATUS status = KvxProbeCaller(from, bytes);
  if (!NT_SUCCESS(status) || bytes == 0) return status;
  SIZE_T copied = 0;
  return MmCopyVirtualMemory(PsGetCurrentProcess(), (PVOID)(ULONG_PTR)from, PsGetCurrentProcess(), to, bytes,
                             KernelMode, &copied);
}

KvxStatus KvxCopyToCaller(uint64_t to, const void* from, size_t bytes) {
  NTSTATUS status = KvxProbeCaller(to, bytes);
  if (!NT_SUCCESS(status) || bytes == 0) return status;
  SIZE_T copied = 0;
  return MmCopyVirtualMemory(PsGetCurrentProcess(), (PVOID)from, PsGetCurrentProcess(), (PVOID)(ULONG_PTR)to, bytes,
                             KernelMode, &copied);
}

KvxStatus KvxWriteRegistryDword(const uint16_t* key, const uint16_t* value, uint32_t data) {
  UNICODE_STRING key_name, value_name;
  RtlInitUnicodeString(&key_name, (PCWSTR)key);
  RtlInitUnicodeString(&value_name, (PCWSTR)value);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &key_name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  HANDLE handle;
  ULONG disposition;
  NTSTATUS status = ZwCreateKey(&handle, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, &disposition);
  if (!NT_SUCCESS(status)) return status;
  status = ZwSetValueKey(handle, &value_name, 0, REG_DWORD, &data, sizeof data);
  if (NT_SUCCESS(status)) ZwFlushKey(handle);
  ZwClose(handle);
  return status;
}

void KvxSleepMs(uint32_t ms) {
  LARGE_INTEGER interval;
  interval.QuadPart = -10000LL * (LONGLONG)ms;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

uint64_t KvxMonotonicMs(void) {
#if defined(_M_ARM64)
  /* The interrupt time in the kernel's shared page, at the same address on every 64-bit Windows (the
   * stand-in processor section has no accessor; a 64-bit read of it is whole there). */
  return *(volatile const uint64_t*)(uintptr_t)0xFFFFF78000000008ULL / 10000;
#else
  return KeQueryInterruptTime() / 10000;
#endif
}

void KvxStopSystem(void) {
  KeBugCheckEx(0x000000E2 /* MANUALLY_INITIATED_CRASH */, KVX_POOL_TAG, 0, 0, 0);
}
