# The compiler cache for the builds of scripts/test (sourced with $root set to the checkout).
# Paths inside the checkout are hashed relative to it, and the build folder's own path is left out,
# so a clone in another place (or another worktree) finds what an earlier build put in the cache.
# Set CMAKE_CXX_COMPILER_LAUNCHER (even to nothing) to choose otherwise; CCACHE_DISABLE=1 turns it off.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER-ccache}
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER-ccache}
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
  export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
fi
