# The Linux build (product, virtual workstation, tests) and its test suite.
set -euo pipefail
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$FCP_JOBS"
ctest --preset linux -j "$FCP_JOBS"
