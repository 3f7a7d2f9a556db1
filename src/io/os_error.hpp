// Descriptions of operating-system errors (errno values), in the two forms
// the messages use: the full form with number, kind and text for file
// errors, and the short form for console write errors.
#pragma once

#include <string>
#include <string_view>

namespace kemb::io {

// The kind of an errno value: "NotFound", "PermissionDenied",
// "AlreadyExists", "IsADirectory", ... ("Uncategorized" when none fits).
const char* os_error_kind(int errnum);

// `Os { code: 2, kind: NotFound, message: "No such file or directory" }`
std::string os_error_description(int errnum);

// The same with the path the operation was about:
// `Os { code: 2, kind: NotFound, message: "No such file or directory", path: "m/x.json" }`
// A path is input like any other: a long one is quoted in part, with the
// cut marker of io/error.hpp after its closing quote.
std::string os_error_description(int errnum, std::string_view path);

// `No such file or directory (os error 2)`
std::string os_error_text(int errnum);

}  // namespace kemb::io
