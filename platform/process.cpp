#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

extern char** environ;

namespace kel {

namespace {

constexpr size_t CHUNK = 64 * 1024;

// Children started without waiting, reaped whenever another one starts. Only these pids are
// waited for, so no waited child's status is ever taken from its caller.
std::vector<pid_t> detached;

void reap_detached() {
    std::erase_if(detached, [](pid_t pid) {
        int status;
        return waitpid(pid, &status, WNOHANG) != 0;
    });
}

// Descriptors closed when the launch ends, whichever way.
struct descriptors {
    std::vector<int> fds;
    int add(int fd) {
        if (fd >= 0) fds.push_back(fd);
        return fd;
    }
    void close_one(int& fd) {
        if (fd < 0) return;
        std::erase(fds, fd);
        close(fd);
        fd = -1;
    }
    ~descriptors() {
        for (int fd : fds) close(fd);
    }
};

// The error number of the spawn, 0 on success.
int spawn(pid_t* pid, const std::vector<std::string>& args, bool search, int in, int out, int err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    if (err >= 0) posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    // Our ignored SIGPIPE and blocked signals would survive the exec.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all, none;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int rc = search ? posix_spawnp(pid, argv[0], &actions, &attributes, argv.data(), environ)
                    : posix_spawn(pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return rc;
}

bool open_pipe(int ends[2], descriptors& open) {
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    open.add(ends[0]);
    open.add(ends[1]);
    return true;
}

// Feeds the input and drains both outputs at once, so that a child blocked on one pipe
// never waits for a parent blocked on another.
void pump(int feed, int out, int err, process_request& r, descriptors& open) {
    size_t fed = 0;
    static uint8_t chunk[CHUNK];
    if (feed >= 0) {
        if (r.input.size == 0) open.close_one(feed);
        else fcntl(feed, F_SETFL, fcntl(feed, F_GETFL) | O_NONBLOCK);
    }
    while (feed >= 0 || out >= 0 || err >= 0) {
        pollfd fds[3];
        nfds_t n = 0;
        if (feed >= 0) fds[n++] = {feed, POLLOUT, 0};
        if (out >= 0) fds[n++] = {out, POLLIN, 0};
        if (err >= 0) fds[n++] = {err, POLLIN, 0};
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (nfds_t i = 0; i < n; i++) {
            if (!fds[i].revents) continue;
            int fd = fds[i].fd;
            if (fd == feed) {
                ssize_t w = write(feed, r.input.bytes + fed, std::min(r.input.size - fed, CHUNK));
                if (w > 0) fed += static_cast<size_t>(w);
                // A child that stops reading (EPIPE) simply gets no more.
                if (fed == r.input.size || (w < 0 && errno != EAGAIN && errno != EINTR)) open.close_one(feed);
                continue;
            }
            std::vector<uint8_t>& into = fd == out ? r.output.captured : r.error.captured;
            ssize_t got = read(fd, chunk, CHUNK);
            if (got > 0) into.insert(into.end(), chunk, chunk + got);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) open.close_one(fd == out ? out : err);
        }
    }
    if (feed >= 0) open.close_one(feed);
}

int32_t exit_code(pid_t pid) {
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

// The child's end of one output stream; -1 on failure.
int output_end(process_stream& s, int null_device, int* parent_end, descriptors& open) {
    if (s.file) return open.add(::open(s.file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    if (!s.memory) return null_device;
    int ends[2];
    if (!open_pipe(ends, open)) return -1;
    *parent_end = ends[0];
    return ends[1];
}

}  // namespace

int32_t launch_process(process_request& r, bool* shell_used) {
    reap_detached();
    *shell_used = r.shell;
    descriptors open;
    int null_device = open.add(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (null_device < 0) return -1;
    int child_in = -1, feed = -1, out = -1, err = -1;
    if (r.input.file) {
        child_in = open.add(::open(r.input.file, O_RDONLY | O_CLOEXEC));
        if (child_in < 0) return -1;
    } else if (r.input.memory) {
        int ends[2];
        if (!open_pipe(ends, open)) return -1;
        child_in = ends[0];
        feed = ends[1];
    }
    int child_out = output_end(r.output, null_device, &out, open);
    int child_err = output_end(r.error, null_device, &err, open);
    if (child_out < 0 || child_err < 0) return -1;
    bool redirected = r.input.file || r.input.memory || r.output.file || r.output.memory || r.error.file ||
                      r.error.memory;

    pid_t pid = 0;
    int rc = r.shell || r.args.empty() ? ENOENT : spawn(&pid, r.args, true, child_in, child_out, child_err);
    if (rc == ENOENT) {
        *shell_used = true;
        rc = spawn(&pid, {"/bin/sh", "-c", r.command}, false, child_in, child_out, child_err);
    }
    if (rc != 0) return -1;
    // Only the parent's ends stay open, so that the pipes break when the child ends.
    for (int* child_end : {&child_in, &child_out, &child_err})
        if (*child_end != null_device) open.close_one(*child_end);
    open.close_one(null_device);
    pump(feed, out, err, r, open);
    if (r.wait || redirected) return exit_code(pid);
    detached.push_back(pid);
    return pid;
}

void spawn_detached(const std::vector<std::string>& args) {
    reap_detached();
    int null_device = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t pid;
    if (spawn(&pid, args, true, -1, null_device, null_device) == 0) detached.push_back(pid);
    if (null_device >= 0) close(null_device);
}

std::vector<std::string> split_command_line(const std::string& text) {
    std::vector<std::string> args;
    size_t i = 0, n = text.size();
    while (i < n) {
        while (i < n && (text[i] == ' ' || text[i] == '\t')) i++;
        if (i == n) break;
        size_t start = i;
        bool quoted = false;
        while (i < n && (quoted || (text[i] != ' ' && text[i] != '\t'))) {
            if (text[i] == '"') quoted = !quoted;
            i++;
        }
        std::string arg = text.substr(start, i - start);
        if (arg.front() == '"') arg.erase(0, 1);
        if (!arg.empty() && arg.back() == '"') arg.pop_back();
        args.push_back(std::move(arg));
    }
    return args;
}

}  // namespace kel
