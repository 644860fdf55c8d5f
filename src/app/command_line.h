// The tool's command line: "-s", "-LVIOutput", "-vid <hex>", "-pid <hex>" (or with '/'), any case.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/win_types.h"

namespace fcp::app {

struct CommandLineOptions {
  BOOL silent = 0;
  BOOL lvi_output = 0;
  uint16_t vid = 0;
  uint16_t pid = 0;
  // What a reader of the command line would not expect from it: each word that is ignored, each
  // -vid/-pid value that is not entirely a hexadecimal number (or is missing). One line each,
  // printable ASCII, without the program's name. The selection is as above all the same.
  std::vector<std::string> warnings;
};

// A request that stands for the whole run: "--help" or "-h", and "--version", each only as the one
// word of the command line (exactly, with case). Anywhere else they are ignored words.
enum class StandaloneRequest { kNone, kHelp, kVersion };
StandaloneRequest StandaloneRequestOf(std::wstring_view command_line);

// Tokens are maximal runs of characters other than space, tab and newline; quotes mean nothing.
// Each token is compared as a whole, ignoring case; unknown tokens are ignored. The token after
// -vid/-pid is its value (consumed even when it looks like an option): see HexTokenValue.
CommandLineOptions ParseCommandLineOptions(std::wstring_view command_line);

// A token read as a signed 32-bit number in base 16, as the C library's conversion reads it
// (leading white space, sign, optional 0x/0X, digits up to the first other character; none: 0;
// out of range: clamped to the nearest limit), keeping the low 16 bits.
uint16_t HexTokenValue(std::wstring_view token);
// True when that conversion reads the whole token and finds at least one digit.
bool IsWholeHexToken(std::wstring_view token);

}  // namespace fcp::app
