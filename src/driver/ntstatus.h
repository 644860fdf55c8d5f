// The kernel status values the pass-through driver returns or reacts to.
#pragma once
#include <cstdint>

namespace fcp::driver {

using NtStatus = int32_t;

constexpr NtStatus Status(uint32_t value) { return static_cast<NtStatus>(value); }
constexpr bool IsSuccess(NtStatus s) { return s >= 0; }

inline constexpr NtStatus kStatusSuccess = Status(0x00000000);
inline constexpr NtStatus kStatusTimeout = Status(0x00000102);
inline constexpr NtStatus kStatusPending = Status(0x00000103);
inline constexpr NtStatus kStatusUnsuccessful = Status(0xC0000001);
inline constexpr NtStatus kStatusNotImplemented = Status(0xC0000002);
inline constexpr NtStatus kStatusAccessViolation = Status(0xC0000005);
inline constexpr NtStatus kStatusInvalidHandle = Status(0xC0000008);
inline constexpr NtStatus kStatusInvalidParameter = Status(0xC000000D);
inline constexpr NtStatus kStatusAccessDenied = Status(0xC0000022);
inline constexpr NtStatus kStatusBufferTooSmall = Status(0xC0000023);
inline constexpr NtStatus kStatusInsufficientResources = Status(0xC000009A);
inline constexpr NtStatus kStatusNotSupported = Status(0xC00000BB);
inline constexpr NtStatus kStatusCancelled = Status(0xC0000120);
inline constexpr NtStatus kStatusNoSuchDevice = Status(0xC000000E);
inline constexpr NtStatus kStatusDeviceRemoved = Status(0xC00002B6);

}  // namespace fcp::driver
