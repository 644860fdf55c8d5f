/* The access rule of the driver's device: full access for the local system and the administrators,
 * nobody else ("D:P(A;;GA;;;SY)(A;;GA;;;BA)"). */
#pragma once
#include <ddk/ntifs.h>

NTSTATUS KvxSecureDevice(PDEVICE_OBJECT device);
