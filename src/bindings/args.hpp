// Argument matching shared by the module functions.
#pragma once

// Declares the keyword list of a function for PyArg_ParseTupleAndKeywords,
// which takes a non-const list before Python 3.13.
#define KEMB_KEYWORDS(...)                                    \
  static const char* const kNames[] = {__VA_ARGS__, nullptr}; \
  char** keywords = const_cast<char**>(kNames)
