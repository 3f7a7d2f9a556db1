# Read after CMake's platform files (cmake/zig-toolchain.cmake names it).
if(APPLE)
  set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared")
endif()
