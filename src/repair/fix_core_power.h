// The core-power check and repair sequence for the camera at one location.
#pragma once
#include <string>

namespace fcp::repair {

// Runs one check of the camera whose location information is `location` (empty: none selected).
// Returns nonzero for PASS, 0 for FAIL; `error` receives the run's error text.
int FixCorePower(const std::wstring& location, std::wstring& error);

}  // namespace fcp::repair
