# The hardening Debian's own packages are built with (dpkg-buildflags with hardening=+all on
# Debian 12): fortified string and memory functions, stack protector, read-only relocations bound at
# start-up. GCC on Debian makes position-independent executables by default. Linux builds only; the
# fortified functions need the optimiser, so a Debug build (the sanitizer presets) goes without them.
option(FCP_HARDENING "Build the Linux programs with Debian's hardening flags" ON)
if(WIN32 OR NOT FCP_HARDENING)
  return()
endif()
add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
add_compile_options(-fstack-protector-strong)
add_link_options(LINKER:-z,relro LINKER:-z,now)
