// The process's environment variables and current directory, as UTF-8 text.
#pragma once
#include <string>

namespace kel {

// Null when the variable is not set.
const char* env_lookup(const char* name);
// A null value removes the variable. False when the system refuses (a name with "=").
bool env_assign(const char* name, const char* value);

// Empty when the directory cannot be read (it was removed, for example).
std::string current_dir();
bool change_dir(const char* path);

}  // namespace kel
