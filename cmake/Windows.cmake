# Settings of the Windows face (mingw-w64 cross build). Included by the top level when WIN32.
enable_language(RC)

# Wide-character Win32 API throughout, Windows 10 declarations (IsWow64Process2 and friends), and no
# min/max macros in the way of the standard library.
add_compile_definitions(UNICODE _UNICODE _WIN32_WINNT=0x0A00 WINVER=0x0A00 NOMINMAX)

# Where the build links the executables: -static comes from the toolchain file. A GUI entry point
# (wWinMain) is what the dialog backend brings along as a usage requirement (src/ui/win32).
