/* The kernel's own secure device creation lives in a static library of the driver kit that this
 * tool chain does not have, so the driver builds the same protected descriptor and sets it on its
 * device object itself. */
#include "device_security.h"

#define KVX_SECURITY_POOL_TAG 0x73655A4B /* 'KZes' */

typedef struct {
  SID sid;
  ULONG more_sub_authorities[1];
} TwoPartSid;

static void MakeSid(TwoPartSid* sid, UCHAR parts, ULONG first, ULONG second) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  RtlInitializeSid(&sid->sid, &nt, parts);
  *RtlSubAuthoritySid(&sid->sid, 0) = first;
  if (parts > 1) *RtlSubAuthoritySid(&sid->sid, 1) = second;
}

NTSTATUS KvxSecureDevice(PDEVICE_OBJECT device) {
  TwoPartSid system, administrators;
  MakeSid(&system, 1, SECURITY_LOCAL_SYSTEM_RID, 0);
  MakeSid(&administrators, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS);

  /* "GA" on a device: generic-all mapped through the file objects' generic mapping. */
  const ACCESS_MASK access = FILE_ALL_ACCESS;

  const ULONG acl_bytes = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(ULONG)) +
                          RtlLengthSid(&system.sid) + RtlLengthSid(&administrators.sid);
  PACL acl = ExAllocatePoolWithTag(PagedPool, acl_bytes, KVX_SECURITY_POOL_TAG);
  if (!acl) return STATUS_INSUFFICIENT_RESOURCES;

  SECURITY_DESCRIPTOR descriptor;
  NTSTATUS status = RtlCreateAcl(acl, acl_bytes, ACL_REVISION);
  if (NT_SUCCESS(status)) status = RtlAddAccessAllowedAce(acl, ACL_REVISION, access, &system.sid);
  if (NT_SUCCESS(status)) status = RtlAddAccessAllowedAce(acl, ACL_REVISION, access, &administrators.sid);
  if (NT_SUCCESS(status)) status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  if (NT_SUCCESS(status)) status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, acl, FALSE);
  /* "P": nothing inherited from the object directory (on a descriptor that was made) */
  if (NT_SUCCESS(status)) descriptor.Control |= SE_DACL_PROTECTED;

  HANDLE handle = NULL;
  if (NT_SUCCESS(status)) {
    status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL, KernelMode, &handle);
  }
  if (NT_SUCCESS(status)) {
    status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, &descriptor);
    ZwClose(handle);
  }
  ExFreePoolWithTag(acl, KVX_SECURITY_POOL_TAG);
  return status;
}
