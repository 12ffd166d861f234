# Imported targets for the Windows builds of omniORB, ACE, OpenSSL and
# GoogleTest that scripts/lib/windows-deps.sh (kestrel_windows_deps) puts in
# the prefix
# KESTREL_WINDOWS_PREFIX, for the processor of the toolchain file
# (cmake/mingw-w64-x86_64.cmake or cmake/mingw-w64-i686.cmake). Include it
# after project():
#
#   Windows::omniORB     omniORB4, omniDynamic4 and omnithread, with Winsock
#   Windows::COS         COS4 and COSDynamic4, the stubs of the COS services
#                        (#include <COS/CosNotifyChannelAdmin.hh>); brings
#                        Windows::omniORB
#   Windows::omniSSL     omniORB's SSL transport, omnisslTP4
#                        (#include <omniORB4/sslContext.h>, giop:ssl
#                        endpoints), with OpenSSL's libssl and libcrypto and
#                        their headers; brings Windows::omniORB
#   Windows::OpenSSL     OpenSSL's libssl and libcrypto alone, for a client
#                        that calls OpenSSL itself
#   Windows::ACE
#   Windows::gtest, Windows::gtest_main, Windows::gmock, Windows::gmock_main
#   Windows::httplib     cpp-httplib's header (KESTREL_WINDOWS_HTTPLIB_INCLUDE)
#
# Every library is static, so a client needs no DLL but Windows' own. Each
# target carries the definitions that its headers must see to match the
# compiled library; they are not optional.
#
# The IDL compiler is the host's omniidl (find_program finds it: programs
# come from the host).

if(TARGET Windows::omniORB)
  return()
endif()

if(NOT KESTREL_WINDOWS_PREFIX OR NOT EXISTS "${KESTREL_WINDOWS_PREFIX}/.complete")
  message(FATAL_ERROR
    "KESTREL_WINDOWS_PREFIX (\"${KESTREL_WINDOWS_PREFIX}\") is not a complete build of the "
    "Windows libraries: run kestrel_windows_deps from scripts/lib/windows-deps.sh and pass "
    "the prefix that it exports.")
endif()

# The Windows API level that the libraries were compiled for (Windows 7).
# ACE's configuration follows it: which functions it wraps, and the size of
# its thread-specific storage table.
set(_kestrel_windows_api
  _WIN32_WINNT=0x0601
  WINVER=0x0601)

function(_kestrel_windows_library target file)
  set(path "${KESTREL_WINDOWS_PREFIX}/lib/${file}")
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "${path} is missing from the Windows libraries' prefix: run "
      "kestrel_windows_deps from scripts/lib/windows-deps.sh, which adds what a prefix "
      "built before lacks")
  endif()
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION "${path}"
    INTERFACE_INCLUDE_DIRECTORIES "${KESTREL_WINDOWS_PREFIX}/include")
  if(ARGN)
    set_property(TARGET ${target} PROPERTY INTERFACE_LINK_LIBRARIES ${ARGN})
  endif()
endfunction()

# omniORB. _WINSTATIC turns its headers' dllimport declarations into plain
# ones. __WIN32__ and __x86_64__, which they also test, are the compiler's
# own; the platform's facts are in the installed omniORB4/local_config.h.
# The 32-bit library was compiled with omniORB's own __x86__, which its
# headers read too.
set(_kestrel_omniorb_definitions _WINSTATIC ${_kestrel_windows_api})
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  list(APPEND _kestrel_omniorb_definitions __x86__)
endif()
_kestrel_windows_library(Windows::omnithread libomnithread.a)
_kestrel_windows_library(Windows::omniORB4 libomniORB4.a
  Windows::omnithread ws2_32 mswsock advapi32)
_kestrel_windows_library(Windows::omniDynamic4 libomniDynamic4.a Windows::omniORB4)
set_property(TARGET Windows::omnithread PROPERTY INTERFACE_COMPILE_DEFINITIONS
  ${_kestrel_omniorb_definitions})

add_library(Windows::omniORB INTERFACE IMPORTED GLOBAL)
set_property(TARGET Windows::omniORB PROPERTY INTERFACE_LINK_LIBRARIES Windows::omniDynamic4)

# The dynamic stubs (type codes, Any operators) build on the static ones.
_kestrel_windows_library(Windows::COS4 libCOS4.a Windows::omniORB)
_kestrel_windows_library(Windows::COSDynamic4 libCOSDynamic4.a Windows::COS4)
add_library(Windows::COS INTERFACE IMPORTED GLOBAL)
set_property(TARGET Windows::COS PROPERTY INTERFACE_LINK_LIBRARIES Windows::COSDynamic4)

# OpenSSL, and omniORB's SSL transport on it. A static libcrypto leaves to
# its client the system libraries that its DLL would import: Winsock, the
# certificate stores (crypt32), the CryptoAPI's random numbers and the event
# log (advapi32), and user32, which shows its fatal errors. omnisslTP4 calls
# into omniORB4 and OpenSSL, so it comes first on the line, and what it
# needs after it.
_kestrel_windows_library(Windows::crypto libcrypto.a ws2_32 crypt32 advapi32 user32)
_kestrel_windows_library(Windows::ssl libssl.a Windows::crypto)
add_library(Windows::OpenSSL INTERFACE IMPORTED GLOBAL)
set_property(TARGET Windows::OpenSSL PROPERTY INTERFACE_LINK_LIBRARIES Windows::ssl)
_kestrel_windows_library(Windows::omnisslTP4 libomnisslTP4.a Windows::omniORB Windows::OpenSSL)
add_library(Windows::omniSSL INTERFACE IMPORTED GLOBAL)
set_property(TARGET Windows::omniSSL PROPERTY INTERFACE_LINK_LIBRARIES Windows::omnisslTP4)

# ACE. ACE_AS_STATIC_LIBS empties its export macros.
_kestrel_windows_library(Windows::ACE libACE.a ws2_32 mswsock iphlpapi netapi32 advapi32)
set_property(TARGET Windows::ACE PROPERTY INTERFACE_COMPILE_DEFINITIONS
  ACE_AS_STATIC_LIBS ${_kestrel_windows_api})

# GoogleTest and GoogleMock. On MinGW they use Win32 threads, not pthreads,
# which is also what their headers assume by default.
_kestrel_windows_library(Windows::gtest libgtest.a)
_kestrel_windows_library(Windows::gtest_main libgtest_main.a Windows::gtest)
_kestrel_windows_library(Windows::gmock libgmock.a Windows::gtest)
_kestrel_windows_library(Windows::gmock_main libgmock_main.a Windows::gmock)

# cpp-httplib, whole in its header (KESTREL_WINDOWS_HTTPLIB_INCLUDE, from
# kestrel_windows_httplib): no TLS, no compression, Winsock.
if(NOT KESTREL_WINDOWS_HTTPLIB_INCLUDE OR NOT EXISTS "${KESTREL_WINDOWS_HTTPLIB_INCLUDE}/httplib.h")
  message(FATAL_ERROR
    "KESTREL_WINDOWS_HTTPLIB_INCLUDE (\"${KESTREL_WINDOWS_HTTPLIB_INCLUDE}\") holds no httplib.h: "
    "run kestrel_windows_httplib from scripts/lib/windows-deps.sh and pass the folder that it "
    "exports.")
endif()
add_library(Windows::httplib INTERFACE IMPORTED GLOBAL)
set_target_properties(Windows::httplib PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${KESTREL_WINDOWS_HTTPLIB_INCLUDE}"
  INTERFACE_COMPILE_DEFINITIONS "${_kestrel_windows_api}"
  INTERFACE_LINK_LIBRARIES ws2_32)

unset(_kestrel_windows_api)
unset(_kestrel_omniorb_definitions)
