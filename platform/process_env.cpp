#include "platform/process_env.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

namespace kel {

const char* env_lookup(const char* name) { return getenv(name); }

bool env_assign(const char* name, const char* value) {
    return (value ? setenv(name, value, 1) : unsetenv(name)) == 0;
}

std::string current_dir() {
    std::string path(256, '\0');
    while (getcwd(path.data(), path.size()) == nullptr) {
        if (errno != ERANGE) return {};
        path.resize(path.size() * 2);
    }
    path.resize(path.find('\0'));
    return path;
}

bool change_dir(const char* path) { return chdir(path) == 0; }

}  // namespace kel
