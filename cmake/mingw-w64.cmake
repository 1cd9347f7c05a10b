# Cross-building for 64-bit Windows with Debian's MinGW-w64 (POSIX thread
# model) against the Qt and libzip SDK of ../shared/windows, unpacked by
# scripts/build-windows.sh. The SDK's folder comes from -DWINDOWS_SDK=... or
# the environment variable of that name.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT WINDOWS_SDK)
  set(WINDOWS_SDK "$ENV{WINDOWS_SDK}")
endif()
if(NOT EXISTS "${WINDOWS_SDK}/lib/cmake/Qt5/Qt5Config.cmake")
  message(FATAL_ERROR "No Qt SDK at '${WINDOWS_SDK}': give -DWINDOWS_SDK=<unpacked qt5-mingw64>")
endif()
# try_compile() projects read this file again and need the folder too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WINDOWS_SDK)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${WINDOWS_SDK}")
set(CMAKE_PREFIX_PATH "${WINDOWS_SDK}")
# Host tools (moc, uic, rcc, windres) run here; libraries, headers and CMake
# packages come only from the Windows side.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
