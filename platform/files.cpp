#include "platform/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace kel {

namespace {

constexpr long PROC_FS = 0x9fa0;
constexpr long SYS_FS = 0x62656572;
constexpr size_t CHUNK = 64 * 1024;

mode_t process_umask() {
    static const mode_t mask = [] {
        mode_t m = umask(022);
        umask(m);
        return m;
    }();
    return mask;
}


// The content of a pseudo-file is made up on each read; a rename cannot replace it.
bool pseudo_file_q(const char* path) {
    struct statfs fs;
    return statfs(path, &fs) == 0 && (fs.f_type == PROC_FS || fs.f_type == SYS_FS);
}

}  // namespace

bool file_path_is_dir(const char* path) {
    size_t n = std::strlen(path);
    if (n == 0) return false;
    if (path[n - 1] == '/') return true;
    auto dots_at = [&](size_t k) {  // path[k..] is "." or ".." after a "/" or at the start
        return (k == 0 || path[k - 1] == '/') &&
               (std::strcmp(path + k, ".") == 0 || std::strcmp(path + k, "..") == 0);
    };
    return dots_at(n - 1) || (n >= 2 && dots_at(n - 2));
}

int file_open_read(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

int file_open_write(const char* path, bool append) {
    return open(path, O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : 0), 0666);
}

void file_close(int fd) {
    if (fd >= 0) close(fd);
}

int64_t file_size(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0) return -1;
    return S_ISREG(info.st_mode) ? static_cast<int64_t>(info.st_size) : 0;
}

bool file_seek(int fd, int64_t offset) { return lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0; }

int64_t file_read_bytes(int fd, void* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = read(fd, static_cast<char*>(buffer) + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

bool file_write_bytes(int fd, const void* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = write(fd, static_cast<const char*>(buffer) + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool file_read_to_end(int fd, std::vector<uint8_t>& out) {
    for (;;) {
        size_t used = out.size();
        out.resize(used + CHUNK);
        int64_t n = file_read_bytes(fd, out.data() + used, CHUNK);
        if (n < 0) return false;
        out.resize(used + static_cast<size_t>(n));
        if (n < static_cast<int64_t>(CHUNK)) return true;
    }
}

file_replacement::file_replacement(const char* path) : target_(path) {
    if (char* real = realpath(path, nullptr)) {  // a symlink's target gets the content
        target_ = real;
        free(real);
    }
    struct stat info;
    bool exists = stat(target_.c_str(), &info) == 0;
    // A dangling link: its target is made where the link points.
    bool dangling = !exists && lstat(target_.c_str(), &info) == 0;
    bool swappable = exists ? S_ISREG(info.st_mode) && info.st_nlink == 1 && info.st_uid == geteuid() &&
                                  !pseudo_file_q(target_.c_str())
                            : !dangling;
    if (swappable) {
        size_t slash = target_.rfind('/');
        std::string folder = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
        std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
        temporary_ = folder + "." + base + ".XXXXXX";
        fd_ = mkostemp(temporary_.data(), O_CLOEXEC);
        if (fd_ >= 0 && fchmod(fd_, exists ? info.st_mode & 07777 : 0666 & ~process_umask()) == 0) return;
        discard();
    }
    temporary_.clear();
    fd_ = open(target_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

file_replacement::~file_replacement() { discard(); }

void file_replacement::discard() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) unlink(temporary_.c_str());
}

bool file_replacement::commit() {
    if (fd_ < 0) return false;
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0 || (!temporary_.empty() && rename(temporary_.c_str(), target_.c_str()) != 0)) {
        discard();
        return false;
    }
    temporary_.clear();
    return true;
}

bool file_make_dir(const char* path) { return mkdir(path, 0777) == 0; }

bool file_exists_q(const char* path) {
    struct stat info;
    return stat(path, &info) == 0;
}

bool file_delete(const char* path) { return (file_path_is_dir(path) ? rmdir(path) : unlink(path)) == 0; }

bool file_rename(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the exclusive form: a link cannot replace either.
    if (link(from, to) != 0) return false;
    return unlink(from) == 0;
}

bool file_modified(const char* path, file_time* out) {
    struct stat info;
    if (stat(path, &info) != 0) return false;
    size_t n = std::strlen(path);
    if (n && path[n - 1] == '/' && !S_ISDIR(info.st_mode)) return false;
    *out = {static_cast<int64_t>(info.st_mtim.tv_sec), static_cast<int32_t>(info.st_mtim.tv_nsec)};
    return true;
}

bool folder_list(const char* path, std::vector<std::string>& names) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return false;
    }
    while (dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (!std::strcmp(name, ".") || !std::strcmp(name, "..")) continue;
        struct stat info;
        bool folder = fstatat(dirfd(dir), name, &info, 0) == 0 ? S_ISDIR(info.st_mode) : entry->d_type == DT_DIR;
        names.emplace_back(name);
        if (folder) names.back() += '/';
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return true;
}

}  // namespace kel
