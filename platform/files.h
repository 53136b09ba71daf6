// Files and folders over POSIX: descriptors opened close-on-exec, transfers that loop over
// short counts and EINTR, whole-file replacement that never leaves a half-written file.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kel {

// A path names a folder when it ends with "/", is "." or "..", or ends with "/." or "/..";
// "\" is a character of file names like any other.
bool file_path_is_dir(const char* path);

// -1 on failure. A folder does not open for reading as a file.
int file_open_read(const char* path);
// Opened for writing in place, created when missing (0666 less the umask).
int file_open_write(const char* path, bool append);
void file_close(int fd);
// -1 when the size cannot be read; 0 for pseudo-files and pipes, which report none.
int64_t file_size(int fd);
bool file_seek(int fd, int64_t offset);

// Bytes moved, fewer only at the end of the file; -1 on failure.
int64_t file_read_bytes(int fd, void* buffer, size_t count);
// All bytes or false.
bool file_write_bytes(int fd, const void* buffer, size_t count);
// Reads from the current position to the end of the file.
bool file_read_to_end(int fd, std::vector<uint8_t>& out);

// A write that replaces the whole content of a path. Where the path is a plain file that
// can be swapped (or a missing one), the bytes go to a temporary file beside it that
// commit() renames over it, so a failure leaves the old content whole; anything else
// (devices, FIFOs, pseudo-files, files with several links or another owner, a folder we
// may not write) is written in place.
class file_replacement {
public:
    // fd() is -1 when the file cannot be opened.
    explicit file_replacement(const char* path);
    ~file_replacement();
    file_replacement(const file_replacement&) = delete;
    file_replacement& operator=(const file_replacement&) = delete;

    int fd() const { return fd_; }
    // Closes and, for a temporary, renames it over the target; false on any failure, the
    // temporary then removed.
    bool commit();

private:
    void discard();

    std::string target_;
    std::string temporary_;  // empty when writing in place
    int fd_ = -1;
};

bool file_make_dir(const char* path);
bool file_exists_q(const char* path);
// A folder path (see file_path_is_dir) is removed as a folder.
bool file_delete(const char* path);
// Refuses an existing target.
bool file_rename(const char* from, const char* to);

struct file_time {
    int64_t seconds;  // since the epoch, UTC
    int32_t nanoseconds;
};
// The modification time; false when the path cannot be read, or ends with "/" and is no
// folder.
bool file_modified(const char* path, file_time* out);

// The entries of a folder sorted by name, without "." and "..", a folder's (or a link to
// one) ending with "/". False when the folder cannot be read.
bool folder_list(const char* path, std::vector<std::string>& names);

}  // namespace kel
