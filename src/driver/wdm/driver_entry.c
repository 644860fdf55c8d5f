/* The KvxUpx driver's entry, its device and link, and the dispatch routines. Every decision is the
 * portable core's (wdm_kernel.cpp bridges to it). */
#include <ddk/ntifs.h>

#include "device_security.h"
#include "wdm_kernel.h"

#define KVX_DEVICE_NAME L"\\Device\\KvxUpx"
#define KVX_LINK_NAME L"\\DosDevices\\KvxUpx"

DRIVER_INITIALIZE DriverEntry;

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  return Complete(irp, KvxCoreCreate(device->DeviceExtension, stack->FileObject), 0);
}

/* Cleanup and close both come here. */
static NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  return Complete(irp, KvxCoreClose(device->DeviceExtension, stack->FileObject), 0);
}

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  uint32_t information = 0;
  NTSTATUS status = KvxCoreDeviceControl(
      device->DeviceExtension, stack->FileObject, stack->Parameters.DeviceIoControl.IoControlCode,
      irp->AssociatedIrp.SystemBuffer,
      stack->Parameters.DeviceIoControl.InputBufferLength, stack->Parameters.DeviceIoControl.OutputBufferLength,
      &information);
  return Complete(irp, status, information);
}

static NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return Complete(irp, STATUS_SUCCESS, 0);
}

static VOID NTAPI Unload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link = RTL_CONSTANT_STRING(KVX_LINK_NAME);
  PDEVICE_OBJECT device = driver->DeviceObject;
  if (device) KvxCoreUnload(device->DeviceExtension);
  IoDeleteSymbolicLink(&link);
  if (device) IoDeleteDevice(device);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  (void)registry_path;
  UNICODE_STRING name = RTL_CONSTANT_STRING(KVX_DEVICE_NAME);
  UNICODE_STRING link = RTL_CONSTANT_STRING(KVX_LINK_NAME);
  PDEVICE_OBJECT device = NULL;
  NTSTATUS status = IoCreateDevice(driver, (ULONG)KvxCoreStorageBytes(), &name, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  /* Nobody but the local system and the administrators may open the device. */
  status = KvxSecureDevice(device);
  if (NT_SUCCESS(status)) status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }

  KvxCoreLoad(device->DeviceExtension, driver);
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = DispatchOther;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->DriverUnload = Unload;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
