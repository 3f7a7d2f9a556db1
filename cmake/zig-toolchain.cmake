# Cross toolchain of the release wheels (scripts/build_wheels.sh): zig's
# clang with its static libc++, for the target in the environment variable
# KEMB_ZIG_TARGET (x86_64-linux-gnu.2.28, aarch64-macos.11.0, ...). The
# compiler and archiver are wrapper scripts in KEMB_ZIG_BIN that run the
# pinned `python -m ziglang`. Read from the environment because CMake runs
# this file again for every check it compiles.
set(_kemb_target "$ENV{KEMB_ZIG_TARGET}")
if(_kemb_target MATCHES "^([a-z0-9_]+)-(linux|macos)")
  set(CMAKE_SYSTEM_PROCESSOR "${CMAKE_MATCH_1}")
  if(CMAKE_MATCH_2 STREQUAL "macos")
    set(CMAKE_SYSTEM_NAME Darwin)
    # Darwin 20 is macOS 11; CMake passes rpaths to Darwin 9 and later only.
    set(CMAKE_SYSTEM_VERSION 20.0)
  else()
    set(CMAKE_SYSTEM_NAME Linux)
  endif()
else()
  message(FATAL_ERROR "KEMB_ZIG_TARGET (${_kemb_target}) names no Linux or macOS target")
endif()

set(CMAKE_CXX_COMPILER "$ENV{KEMB_ZIG_BIN}/c++")
set(CMAKE_AR "$ENV{KEMB_ZIG_BIN}/ar" CACHE FILEPATH "zig's archiver")
set(CMAKE_RANLIB "$ENV{KEMB_ZIG_BIN}/ranlib" CACHE FILEPATH "zig's ranlib")
# Nothing of the build machine's own libraries or headers is searched.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# zig's Mach-O linker fails on -bundle, CMake's flag for a loadable module on
# macOS; the module is linked with -shared instead (Python loads either).
set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_DIR}/zig-rules.cmake")
