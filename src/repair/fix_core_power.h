// The core-power check and repair sequence for the camera at one location.
#pragma once
#include <stop_token>
#include <string>

namespace fcp::repair {

// Runs one check of the camera whose location information is `location` (empty: none selected).
// Returns nonzero for PASS, 0 for FAIL; `error` receives the run's error text.
// A stop request is honoured only at safe points: before a device is opened and before the patch is
// written; once the patch write has started, the read-back and commit always run. A stopped run
// returns 0 and the caller, seeing the request, reports nothing.
int FixCorePower(const std::wstring& location, std::wstring& error, std::stop_token stop = {});

}  // namespace fcp::repair
