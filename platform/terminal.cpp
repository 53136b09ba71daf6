#include "platform/terminal.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

namespace kel {

namespace {

void write_all(int fd, const char* bytes, size_t count) {
    while (count > 0) {
        ssize_t done = write(fd, bytes, count);
        if (done < 0) {
            if (errno == EINTR) continue;
            return;
        }
        bytes += done;
        count -= static_cast<size_t>(done);
    }
}

}  // namespace

void terminal_init() { signal(SIGPIPE, SIG_IGN); }

void standard_output_write(const char* bytes, size_t count) { write_all(STDOUT_FILENO, bytes, count); }

void standard_error_write(const char* bytes, size_t count) { write_all(STDERR_FILENO, bytes, count); }

}  // namespace kel
