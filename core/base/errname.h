// Short names of system errors: the symbolic errno name ("ENOENT"), and the file
// service's words for the two failures tabs care about.
#pragma once

#include <string>

// "ENOENT", "EACCES", ...; "E<number>" for a number without a known name.
std::string errno_name(int err);

// "Not_Exist" for a missing file, "Permission_Denied" for refused access, else errno_name.
std::string fs_error_name(int err);
