# Short, bounded libFuzzer runs under ASan + UBSan. Every target labelled "fuzz" runs.
set -euo pipefail
cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz -j "$FCP_JOBS" --target fcp_fuzzers
ctest --test-dir build/linux-fuzz -L fuzz --output-on-failure
