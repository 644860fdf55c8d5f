// The virtual DirectShow camera: an in-process COM server (fcp-virtual-camera.dll) whose filters are
// the virtual workstation's cameras as the platform sees them, and the registry layout that makes
// the platform's system device enumerator list them (written by fcp-camera-setup.exe).
//
//   HKLM\SOFTWARE\Classes\CLSID\{clsid}\InprocServer32     (default) = DLL path, ThreadingModel = Both
//   HKLM\SOFTWARE\Classes\CLSID\{video input category}\Instance\fcp-virtual-camera-NN
//       CLSID, FriendlyName, DevicePath (none for a software camera), Scenario = the scenario file
//   HKLM\SYSTEM\ControlSet001\Enum\<device instance id>   each USB camera's device key
//
// Both-threaded: the tool calls the kernel-streaming interfaces from a multithreaded apartment, and
// those interfaces have no proxies. The filter finds its camera on binding: the platform's device
// enumerator hands it the moniker's property bag (IPersistPropertyBag::Load), whose "Scenario" and
// "DevicePath" name the workstation and the camera in it. Each process loads a scenario once and keeps
// its chips for the process's life, so every open in one run of the tool sees the same chip state.
#pragma once
#include <windows.h>

namespace fcp::sim::dshow {

inline constexpr GUID kVirtualCameraClsid = {0x2CE67415, 0x58E0, 0x4C7A, {0xAC, 0x24, 0x5A, 0xBF, 0x75, 0x6D, 0xA0, 0x57}};
inline constexpr wchar_t kVirtualCameraClsidText[] = L"{2CE67415-58E0-4C7A-AC24-5ABF756DA057}";
inline constexpr wchar_t kVideoInputCategoryText[] = L"{860BB310-5D01-11D0-BD3B-00A0C911CE86}";

// Names of the property-bag values the filter reads.
inline constexpr wchar_t kScenarioProperty[] = L"Scenario";
inline constexpr wchar_t kDevicePathProperty[] = L"DevicePath";
inline constexpr wchar_t kFriendlyNameProperty[] = L"FriendlyName";

}  // namespace fcp::sim::dshow
