// The core-power check and repair sequence for the camera at one location.
#pragma once
#include <stop_token>
#include <string>

namespace fcp::repair {

// Runs one check of the camera whose location information is `location` (empty: none selected).
// Returns nonzero for PASS, 0 for FAIL; `error` receives the run's error text.
// A stop request is honoured only at safe points: before a device is opened and before the patch is
// written; once the patch write has started, the read-back and commit always run and the run ends
// with its verdict. A run that ended at a safe point returns 0 and sets `*stopped` (when given): it
// has no verdict, and the caller reports nothing.
int FixCorePower(const std::wstring& location, std::wstring& error, std::stop_token stop = {},
                 bool* stopped = nullptr);

}  // namespace fcp::repair
