#include "platform/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kel::platform {

bool read_file(const char* path, std::vector<uint8_t>& out) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info;
    bool ok = fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode);
    out.clear();
    if (ok) out.reserve(static_cast<size_t>(info.st_size));
    uint8_t chunk[65536];
    while (ok) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0) ok = false;
        else if (n == 0) break;
        else out.insert(out.end(), chunk, chunk + n);
    }
    close(fd);
    return ok;
}

}  // namespace kel::platform
