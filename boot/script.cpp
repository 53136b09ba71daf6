#include "boot/script.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "boot/catalog.h"
#include "boot/error_catalog.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/file.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/stack.h"
#include "evaluator/transcode.h"
#include "runtime/collector.h"
#include "runtime/console.h"
#include "runtime/exits.h"
#include "runtime/heap.h"
#include "runtime/os.h"
#include "runtime/unicode.h"
#include "platform/terminal.h"

namespace kel {

namespace {

// The status of a process whose error nothing caught.
constexpr int UNCAUGHT_ERROR_STATUS = -2;

// The symbols of every word in the block, nested blocks included. Allocates nothing, so
// the node ids it walks stay valid.
void collect_symbols(const cell* block, std::vector<uint32_t>& symbols) {
    struct position {
        node_id node;
        uint32_t index;
    };
    std::vector<position> walk{{series_node(block), series_head(block)}};
    while (!walk.empty()) {
        position& at = walk.back();
        series_buffer* b = node_buffer(at.node);
        if (at.index >= b->used_bytes() / sizeof(cell)) {
            walk.pop_back();
            continue;
        }
        const cell* c = b->cells() + at.index++;
        uint32_t type = TYPE_OF(c);
        if (type >= TYPE_WORD && type <= TYPE_GET_WORD) symbols.push_back(c->w2);
        else if (any_block_q(type) && series_node(c)) walk.push_back({series_node(c), series_head(c)});
    }
}

// Where the header starts: "Kel", an optional "/System", blanks and line ends, then "[".
// npos when there is none; system tells whether "/System" was there.
size_t find_header(const std::vector<uint8_t>& text, bool& system) {
    static constexpr char kel[] = "Kel", sys[] = "/System";
    auto at = [&text](size_t i, const char* word, size_t n) {
        return i + n <= text.size() && std::memcmp(text.data() + i, word, n) == 0;
    };
    for (size_t start = 0; start + 3 <= text.size(); start++) {
        if (!at(start, kel, 3)) continue;
        size_t i = start + 3;
        system = at(i, sys, 7);
        if (system) i += 7;
        while (i < text.size() && std::strchr(" \t\r\n", text[i]) && text[i]) i++;
        if (i < text.size() && text[i] == '[') return start;
    }
    return std::string::npos;
}

// False when the file cannot be opened or read (a directory, say).
bool read_whole_file(const std::string& path, std::vector<uint8_t>& text) {
    FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) return false;
    uint8_t chunk[4096];
    while (size_t n = std::fread(chunk, 1, sizeof chunk, in)) text.insert(text.end(), chunk, chunk + n);
    bool ok = !std::ferror(in);
    std::fclose(in);
    return ok;
}

std::string current_dir() {
    size_t length = 0;
    char* dir = os_get_current_dir(&length);
    if (!dir) return {};
    std::string text(dir, length);
    heap_free(dir);
    return text;
}

// The script's directory while it runs.
class directory_guard {
public:
    explicit directory_guard(const std::string& script) {
        size_t slash = script.rfind('/');
        if (slash == std::string::npos) return;
        saved_ = current_dir();
        changed_ = !saved_.empty() && platform::set_current_dir(script.substr(0, slash + 1).c_str());
    }
    ~directory_guard() {
        if (changed_) platform::set_current_dir(saved_.c_str());
    }
    directory_guard(const directory_guard&) = delete;
    directory_guard& operator=(const directory_guard&) = delete;

private:
    std::string saved_;
    bool changed_ = false;
};

// The file at the tail of system/state/source-files while the script runs.
class source_file_guard {
public:
    explicit source_file_guard(const cell* file) : files_(*catalog::source_files()) {
        if (TYPE_OF(&files_.value) != TYPE_BLOCK) return;
        length_ = series::buffer_length(&files_.value);
        block::ks_append(&files_.value, file);
    }
    ~source_file_guard() {
        if (length_ >= 0) block::ks_set_tail(&files_.value, length_);
    }
    source_file_guard(const source_file_guard&) = delete;
    source_file_guard& operator=(const source_file_guard&) = delete;

private:
    root_cell files_;
    int32_t length_ = -1;
};

// "*** Error n", with the category's title and the id's word when the code has them.
std::string plain_report(uint32_t code) {
    std::string text = "*** Error " + std::to_string(code);
    const char* title = error_category_title(code / 100);
    const char* id = error_id_word(code / 100, code % 100);
    if (title && id) text += std::string(" (") + title + ": " + id + ")";
    return text;
}

}  // namespace

void load_global_text(cell* out, const uint8_t* bytes, size_t length) {
    load_text(out, bytes, length);
    bind_global(out);
}

void bind_global(cell* block) {
    std::vector<uint32_t> symbols;
    collect_symbols(block, symbols);
    std::sort(symbols.begin(), symbols.end());
    symbols.erase(std::unique(symbols.begin(), symbols.end()), symbols.end());
    for (uint32_t s : symbols) _context::add_word(global_context, s);
    _context::bind(block, global_context, false);
}

uint32_t do_script_file(cell* file) {
    std::string path = file::to_OS_path(file);
    std::vector<uint8_t> text;
    if (!read_whole_file(path, text)) fire(access_error::cannot_open, file);

    bool system = false;
    size_t start = find_header(text, system);
    if (start == std::string::npos) fire(syntax_error::no_header, file);
    if (system) fire(internal_error::kel_system);
    cell* code = stack::push(&none_value);
    load_global_text(code, text.data() + start, text.size() - start);
    cell* values = block::ks_head(code);
    if (block::ks_length_q(code) >= 2 && TYPE_OF(values) == TYPE_WORD && TYPE_OF(values + 1) == TYPE_BLOCK)
        code->w1 += 2;

    cell name = word::load("do");
    source_file_guard source(file);
    directory_guard directory(path);
    // As try/all: return, exit and throw cannot leave the script; they become errors.
    stack::mark_try_all(&name);
    if (uint32_t exit = eval_block(code, true)) raise_exit(exit);
    stack::unwind();
    return 0;
}

std::string error_report() {
    uint32_t code = last_raised_error().code;
    cell* saved = stack::top;
    cell* report = string::make_at(stack::push_cell(), 64);
    // Forming a field may itself raise (a field changed to a value that cannot be formed, no
    // memory left): the report then falls back to the code alone.
    bool formed = TYPE_OF(&last_error) == TYPE_ERROR && catch_exit(LEVEL_ALL, [report] {
        cell* error = stack::push(&last_error);
        error::form(error, report, nullptr, INT32_MAX);
    }) == 0;
    if (!formed) return plain_report(code);
    std::string text;
    series_buffer* b = string::buffer_of(report);
    uint32_t unit = b->unit();
    for (const uint8_t* p = string::ks_head(report); p < b->tail; p += unit) {
        uint32_t cp = unit == 1 ? *p : unit == 2 ? *reinterpret_cast<const uint16_t*>(p) : *reinterpret_cast<const uint32_t*>(p);
        uint8_t bytes[4];
        text.append(reinterpret_cast<char*>(bytes), utf8_encode_char(cp, bytes));
    }
    stack::top = saved;
    return text;
}

void exit_on_uncaught_error(bool on_error_output) {
    std::string report = error_report() + "\n";
    if (on_error_output) standard_error_write(report.data(), report.size());
    else standard_output_write(report.data(), report.size());
    heap_release_all();
    std::fflush(nullptr);
    _exit(UNCAUGHT_ERROR_STATUS);
}

}  // namespace kel
