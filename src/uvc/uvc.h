// The camera side: camera discovery and selection, the extension-unit command channel, and chip
// identification. Plain operations over the one process-wide current camera; nonzero = success.
#pragma once
#include <cstdint>
#include <string>

#include "os/win_types.h"

// Discovery and selection.
int UVC_GetDeviceCount();
int UVC_OpenByIndex(int index);
int UVC_OpenDefault();
int UVC_OpenByVidPid(uint16_t vid, uint16_t pid);
int UVC_OpenByLocationInfo(const wchar_t* location);  // must not be null
void UVC_Close();
int UVC_GetDeviceName(std::wstring& name);
int UVC_GetLocationInfo(std::wstring& location);
int UVC_GetVidPidRev(uint16_t& vid, uint16_t& pid, uint16_t& rev);
int UVC_IsSensorCamera();
int UVC_ReadDeviceRegValue(const wchar_t* value_name, std::wstring& text);
// The current camera's device identifier (its device key below the Enum tree, the platform's device
// instance ID); fails when it is empty, so also when no camera is current.
int UVC_GetDeviceId(std::wstring& device_id);

// Extension-unit command channel.
int UVC_FindExtensionUnit(uint32_t& node_id);
HRESULT UVC_SetControl(uint32_t control, const uint8_t block[8]);
HRESULT UVC_GetControl(uint32_t control, uint8_t* buffer, uint32_t count);
int UVC_CommandRead(const uint8_t block[8], uint8_t* buffer, uint32_t count);
int UVC_DevQualify();
int UVC_GetDevStatus();
int UVC_ReadMem(uint32_t address, uint8_t* buffer, uint32_t length);
// Whether the platform reports a control read that moved no data (else such a read looks full, its
// buffer holding zeros); nonzero also when no camera is current.
int UVC_ReportsEmptyReads();
void UVC_Recover(HRESULT result);
std::wstring VcmdStatusName(const uint8_t reply[8]);

// Chip identification.
const wchar_t* LookupChipFamily(uint16_t product_id);  // nullptr: no family
int UVC_IsVZQ2202();
