# Who publishes the tool, in one place: the Windows executable's version resource (CompanyName,
# LegalCopyright) and the Debian packages' maintainer. The defaults are fictional; a production build
# sets the real ones, e.g.
#   cmake --preset windows-x64 -DFCP_COMPANY_NAME="..." -DFCP_LEGAL_COPYRIGHT="..."
set(FCP_COMPANY_NAME "Fix Core Power developers" CACHE STRING
    "Publisher of the tool (the Windows version resource's CompanyName)")
set(FCP_LEGAL_COPYRIGHT "Copyright (C) 2026 Fix Core Power developers" CACHE STRING
    "Copyright notice of the tool (the Windows version resource's LegalCopyright)")
set(FCP_PACKAGE_MAINTAINER "Fix Core Power developers <fixcorepower@example.com>" CACHE STRING
    "Maintainer of the Debian packages: a name and a mail address with a real domain, Name <user@domain>")

# The texts go into a resource script's string literals and a Debian control field: one line each,
# no double quote or backslash.
foreach(name FCP_COMPANY_NAME FCP_LEGAL_COPYRIGHT FCP_PACKAGE_MAINTAINER)
  if("${${name}}" STREQUAL "" OR "${${name}}" MATCHES "[\"\\\\\n]")
    message(FATAL_ERROR "${name} must be one line of text without double quotes or backslashes")
  endif()
endforeach()
if(NOT FCP_PACKAGE_MAINTAINER MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ ]+\\.[^<>@ ]+>$")
  message(FATAL_ERROR "FCP_PACKAGE_MAINTAINER must read Name <user@domain.tld>")
endif()

# The version resource holds each part of the version in 16 bits.
foreach(part MAJOR MINOR PATCH TWEAK)
  if(PROJECT_VERSION_${part} GREATER 65535)
    message(FATAL_ERROR "FCP_VERSION ${FCP_VERSION}: each part must be at most 65535")
  endif()
endforeach()
