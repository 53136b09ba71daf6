#include "io/simple_io.h"

#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/file.h"
#include "datatypes/integer.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "platform/files.h"
#include "platform/terminal.h"
#include "runtime/error_catalog.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel::simple_io {

namespace {

// The largest series the memory manager makes.
constexpr int64_t SERIES_LIMIT = 0x7FFFFFF0;

// The export cache of a path lives only until the next allocation; keep a copy.
std::string os_path(cell* file) { return file::to_OS_path(file); }

[[noreturn]] void cannot_open(cell* file) { fire(access_error::cannot_open, file); }

int64_t integer_arg(cell* arg) {
    if (!arg) return -1;
    if (TYPE_OF(arg) != TYPE_INTEGER) fire(script_error::invalid_refine_arg, nullptr, arg);
    return integer::get(arg);
}

struct descriptor {
    int fd;
    ~descriptor() { file_close(fd); }
};

// Writes every byte to one descriptor and remembers any failure.
struct sink {
    int fd;
    bool ok = true;
    void put(const void* bytes, size_t n) { ok = file_write_bytes(fd, bytes, n) && ok; }
};

// The bytes a value stands for in a file: a string's UTF-8, a binary's bytes, any other
// value's molded text; limit counts characters or bytes from the head, -1 for all.
void put_value(sink& out, cell* value, int64_t limit) {
    uint32_t type = TYPE_OF(value);
    if (type == TYPE_BINARY) {
        int64_t n = binary::ks_length_q(value);
        if (limit >= 0 && limit < n) n = limit;
        out.put(binary::ks_head(value), static_cast<size_t>(n));
        return;
    }
    cell* text = value;
    if (!any_string_q(type)) {
        text = string::make_at(stack::push_cell(), 64);
        mold_dispatch(value, text, false, false, false, nullptr, INT32_MAX, 0);
    }
    size_t length = 0;
    const char* bytes = to_utf8(text, limit, &length);
    out.put(bytes, length);
    if (text != value) stack::pop(1);
}

void put_content(sink& out, cell* data, int64_t limit, bool lines) {
    if (lines && TYPE_OF(data) == TYPE_BLOCK) {
        int32_t n = block::ks_length_q(data);
        for (int32_t i = 0; i < n && out.ok; i++) {
            cell* item = stack::push(block::ks_abs_at(data, series::head_of(data) + i));
            put_value(out, item, -1);
            stack::pop(1);
            out.put(LINE_END, LINE_END_SIZE);
        }
        return;
    }
    put_value(out, data, limit);
    if (lines) out.put(LINE_END, LINE_END_SIZE);
}

// A file's bytes before decoding, in pages of their own: a big file's then come in large
// pages, a fault per two megabytes.
struct page_bytes {
    explicit page_bytes(size_t n) : data(static_cast<uint8_t*>(os_alloc_frame_memory(n))) {}
    ~page_bytes() { os_free_frame_memory(data); }
    page_bytes(const page_bytes&) = delete;
    page_bytes& operator=(const page_bytes&) = delete;
    uint8_t* data;
};

cell* text_or_binary(const uint8_t* bytes, size_t n, bool binary, bool lines) {
    if (binary) return binary::load(bytes, n);
    if (lines) return split_text_lines(bytes, n);
    return load_string_push(bytes, n, 0);
}

}  // namespace

void init() { file::simple_io = {read, write, delete_, query, rename}; }

const cell* read(cell* file, cell* part, cell* seek, bool binary, bool lines) {
    int64_t part_n = integer_arg(part), seek_n = integer_arg(seek);
    std::string path = os_path(file);
    if (file_path_is_dir(path.c_str())) return read_dir(file);
    descriptor in{file_open_read(path.c_str())};
    if (in.fd < 0) cannot_open(file);
    int64_t size = file_size(in.fd);
    if (size < 0) cannot_open(file);
    // Pseudo-files and pipes tell no size: they are read to their end first.
    std::vector<uint8_t> whole;
    bool streamed = size == 0;
    if (streamed) {
        if (!file_read_to_end(in.fd, whole)) cannot_open(file);
        size = static_cast<int64_t>(whole.size());
    }
    int64_t start = seek_n > 0 ? std::min(seek_n, size) : 0;
    int64_t n = size - start;
    if (part_n >= 0 && part_n < n) n = part_n;
    if (n > SERIES_LIMIT) fire(internal_error::no_memory);
    if (streamed) return text_or_binary(whole.data() + start, static_cast<size_t>(n), binary, lines);
    if (n > 0 && start > 0 && !file_seek(in.fd, start)) cannot_open(file);
    if (binary) {
        // Straight into the series: big files are read once.
        cell* result = binary::make_at(stack::push_cell(), static_cast<uint32_t>(n));
        series_buffer* b = binary::buffer_of(result);
        int64_t got = file_read_bytes(in.fd, b->offset, static_cast<size_t>(n));
        if (got < 0) cannot_open(file);
        b->tail = b->offset + got;
        return result;
    }
    page_bytes bytes(static_cast<size_t>(n));
    int64_t got = file_read_bytes(in.fd, bytes.data, static_cast<size_t>(n));
    if (got < 0) cannot_open(file);
    return text_or_binary(bytes.data, static_cast<size_t>(got), false, lines);
}

const cell* write(cell* file, cell* data, cell* part, cell* seek, bool, bool append, bool lines) {
    int64_t limit = integer_arg(part), seek_n = integer_arg(seek);
    if (part && limit < 0) return integer::push(-1);
    if (!file) {
        sink out{STDOUT_FILENO};
        put_content(out, data, limit, lines);
        return &unset_value;
    }
    std::string path = os_path(file);
    bool ok;
    if (append || seek) {
        descriptor fd{file_open_write(path.c_str(), append)};
        if (fd.fd < 0) cannot_open(file);
        if (seek_n > 0 && !file_seek(fd.fd, seek_n)) cannot_open(file);
        sink out{fd.fd};
        put_content(out, data, limit, lines);
        int closing = fd.fd;
        fd.fd = -1;
        ok = out.ok && close(closing) == 0;
    } else {
        file_replacement target(path.c_str());
        if (target.fd() < 0) cannot_open(file);
        sink out{target.fd()};
        put_content(out, data, limit, lines);
        ok = out.ok && target.commit();
    }
    if (!ok) cannot_open(file);
    return &unset_value;
}

bool delete_(cell* file) { return file_delete(os_path(file).c_str()); }

const cell* query(cell* file) {
    file_time t;
    if (!file_modified(os_path(file).c_str(), &t)) return &none_value;
    time_t seconds = static_cast<time_t>(t.seconds);
    struct tm utc;
    if (!gmtime_r(&seconds, &utc)) return &none_value;
    return date::make_at_fields(stack::push_cell(), utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                                utc.tm_min, utc.tm_sec, t.nanoseconds / 1000000 * 1000000);
}

bool rename(cell* from, cell* to) {
    std::string old_path = os_path(from);
    return file_rename(old_path.c_str(), os_path(to).c_str());
}

cell* read_dir(cell* path) {
    std::vector<std::string> names;
    if (!folder_list(os_path(path).c_str(), names)) cannot_open(path);
    cell* result = block::push_only(static_cast<int32_t>(names.size()));
    for (const std::string& name : names) {
        block::ks_append(result, file::load(reinterpret_cast<const uint8_t*>(name.data()), name.size(), 0));
        stack::pop(1);
    }
    return result;
}

cell* split_text_lines(const uint8_t* bytes, size_t length) {
    cell* result = block::push_only(0);
    size_t start = 0;
    for (size_t i = 0; i < length; i++) {
        if (bytes[i] != '\n') continue;
        size_t end = i > start && bytes[i - 1] == '\r' ? i - 1 : i;
        load_string_tail(bytes + start, end - start, result, 0);
        start = i + 1;
    }
    if (start < length) load_string_tail(bytes + start, length - start, result, 0);
    return result;
}

bool make_dir(cell* path) { return file_make_dir(os_path(path).c_str()); }

bool file_exists_q(cell* path) {
    // A path that cannot reach the OS (a NUL inside) names nothing that exists.
    if (string::find_char(path, 0) >= 0) return false;
    return kel::file_exists_q(os_path(path).c_str());
}

void write_stdout(cell* data) { write(nullptr, data, nullptr, nullptr, false, false, false); }

}  // namespace kel::simple_io
