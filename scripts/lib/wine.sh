# Sourced by the Wine stages. They run x64 programs only, so they start them with Wine's 64-bit
# loader by its path: Debian's `wine` launcher takes the 32-bit loader whenever wine32 happens to be
# installed, and that loader fails ("Exec format error") on a kernel without 32-bit support.
# Usage: "$wine" program.exe args...; "$wine" wineboot -i creates a prefix.
wine=/usr/lib/wine/wine64
[[ -x $wine ]] || { echo "Wine's 64-bit loader $wine is missing (package wine64)"; exit 1; }
export WINELOADER=$wine  # the loader Wine uses for the processes it starts itself
