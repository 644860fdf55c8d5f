# Threading suites (labelled "threads") under ThreadSanitizer.
set -euo pipefail
cmake --preset linux-tsan >/dev/null
cmake --build --preset linux-tsan -j "$FCP_JOBS" --target fcp_test_programs_threads
ctest --preset linux-tsan -j "$FCP_JOBS" -L threads
