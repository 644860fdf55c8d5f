# The same suites under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cmake --preset linux-asan >/dev/null
cmake --build --preset linux-asan -j "$FCP_JOBS" --target fcp_test_programs
ctest --preset linux-asan -j "$FCP_JOBS"
