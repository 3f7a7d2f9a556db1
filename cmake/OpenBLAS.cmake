# Locates OpenBLAS for the core's matrix products and defines kemb::openblas.
#
# By default the library comes from the scipy-openblas32 wheel, which the
# build environment installs (pyproject.toml pins it). Its symbols carry the
# prefix scipy_ (scipy_cblas_sgemm), so it never clashes with another BLAS
# loaded into the same interpreter. KEMB_OPENBLAS_INCLUDE_DIR and
# KEMB_OPENBLAS_LIBRARY may be set to use another copy of the same wheel.

if(NOT KEMB_OPENBLAS_INCLUDE_DIR OR NOT KEMB_OPENBLAS_LIBRARY)
  if(NOT KEMB_PYTHON_FOR_OPENBLAS)
    find_package(Python 3.10 REQUIRED COMPONENTS Interpreter)
    set(KEMB_PYTHON_FOR_OPENBLAS "${Python_EXECUTABLE}")
  endif()
  execute_process(
    COMMAND "${KEMB_PYTHON_FOR_OPENBLAS}" -c
      "import os, scipy_openblas32 as s; print(s.get_include_dir()); print(os.path.join(s.get_lib_dir(), s.get_library(True)))"
    OUTPUT_VARIABLE _kemb_openblas_out
    RESULT_VARIABLE _kemb_openblas_rc
    ERROR_VARIABLE _kemb_openblas_err
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _kemb_openblas_rc EQUAL 0)
    message(FATAL_ERROR
      "kemb needs the scipy-openblas32 wheel at build time "
      "(pip install scipy-openblas32, see pyproject.toml for the version):\n${_kemb_openblas_err}")
  endif()
  string(REPLACE "\n" ";" _kemb_openblas_out "${_kemb_openblas_out}")
  list(GET _kemb_openblas_out 0 _kemb_inc)
  list(GET _kemb_openblas_out 1 _kemb_lib)
  set(KEMB_OPENBLAS_INCLUDE_DIR "${_kemb_inc}" CACHE PATH "Directory holding cblas.h of scipy-openblas32")
  set(KEMB_OPENBLAS_LIBRARY "${_kemb_lib}" CACHE FILEPATH "libscipy_openblas shared library")
endif()
message(STATUS "kemb: OpenBLAS ${KEMB_OPENBLAS_LIBRARY}")

add_library(kemb_openblas SHARED IMPORTED GLOBAL)
set_target_properties(kemb_openblas PROPERTIES
  IMPORTED_LOCATION "${KEMB_OPENBLAS_LIBRARY}"
  IMPORTED_NO_SONAME OFF
  INTERFACE_INCLUDE_DIRECTORIES "${KEMB_OPENBLAS_INCLUDE_DIR}")
add_library(kemb::openblas ALIAS kemb_openblas)
