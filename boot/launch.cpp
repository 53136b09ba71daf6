#include "boot/launch.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "boot/script.h"
#include "datatypes/block.h"
#include "datatypes/catalog.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/file.h"
#include "datatypes/object.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/transcode.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "runtime/console.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/os.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel {

namespace {

cell* field(const cell* object, const char* name) {
    if (TYPE_OF(object) != TYPE_OBJECT) return nullptr;
    int32_t i = object::field_index(object, symbol::make(name));
    return i < 0 ? nullptr : object::get_values(object) + i;
}

cell* system_field(const char* object, const char* name) {
    cell* o = field(&system_object, object);
    return o ? field(o, name) : nullptr;
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The raw text of the script's own arguments: past the switches and the script's name,
// as the split arguments were taken.
std::string script_arguments_text(const std::string& raw) {
    size_t i = 0, n = raw.size();
    auto skip_blanks = [&] { while (i < n && blank(raw[i])) i++; };
    skip_blanks();
    while (i < n) {
        if (raw.compare(i, 3, "\"--") == 0) {
            size_t close = raw.find('"', i + 1);
            i = close == std::string::npos ? n : close + 1;
        } else if (raw.compare(i, 2, "--") == 0) {
            bool bare = i + 2 >= n || blank(raw[i + 2]);
            while (i < n && !blank(raw[i])) i++;
            skip_blanks();
            if (bare) break;
            continue;
        } else {
            break;
        }
        skip_blanks();
    }
    bool quoted = false;
    for (; i < n && (quoted || !blank(raw[i])); i++)
        if (raw[i] == '"') quoted = !quoted;
    skip_blanks();
    return raw.substr(i);
}

std::string utf8_of(cell* string) {
    std::string text;
    series_buffer* b = string::buffer_of(string);
    uint32_t unit = b->unit();
    for (const uint8_t* p = string::ks_head(string); p < b->tail; p += unit) {
        uint32_t cp = unit == 1 ? *p : unit == 2 ? *reinterpret_cast<const uint16_t*>(p) : *reinterpret_cast<const uint32_t*>(p);
        uint8_t bytes[4];
        text.append(reinterpret_cast<char*>(bytes), utf8_encode_char(cp, bytes));
    }
    return text;
}

cell* push_text(const std::string& text) {
    return load_string_push(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 0);
}

// Takes the script's name out of system/options/args as the console does: switches
// ("--catch" sets catch) come first, a bare "--" ends them; they go with the name. Null when no script is named.
cell* take_script(bool& catch_q) {
    cell* args = system_field("options", "args");
    if (!args || TYPE_OF(args) != TYPE_BLOCK) return nullptr;
    int32_t length = series::buffer_length(args), i = series::head_of(args);
    for (; i < length; i++) {
        cell* item = block::ks_abs_at(args, i);
        if (TYPE_OF(item) != TYPE_STRING) return nullptr;
        std::string text = utf8_of(item);
        if (text.compare(0, 2, "--") != 0) break;
        if (i > series::head_of(args) && utf8_of(block::ks_abs_at(args, i - 1)) == "--") break;
        if (text == "--catch") catch_q = true;
    }
    if (i >= length) return nullptr;
    std::string name = utf8_of(block::ks_abs_at(args, i));
    cell* file = file::load(reinterpret_cast<const uint8_t*>(name.data()), name.size(), 0);
    *system_field("options", "script") = *file;
    // Only the script's own arguments stay. Appending allocates: the cells are read anew.
    cell* list = stack::push(system_field("options", "args"));
    cell* own = block::push_only(length - i - 1);
    for (int32_t k = i + 1; k < length; k++) {
        cell item = *block::ks_abs_at(list, k);
        block::ks_append(own, &item);
    }
    *system_field("options", "args") = *own;
    stack::pop(2);
    cell* raw = system_field("script", "args");
    if (raw && TYPE_OF(raw) == TYPE_STRING) {
        std::string rest = script_arguments_text(utf8_of(raw));
        *system_field("script", "args") = *push_text(rest);
        stack::pop(1);
    }
    return file;
}

void write_out(const std::string& text) { write_c_string_out(text.c_str()); }

// The text of the result: molded, a float formed; nothing for unset.
std::string result_text(cell* value) {
    cell* text = string::make_at(stack::push_cell(), 64);
    if (TYPE_OF(value) == TYPE_FLOAT) form_dispatch(value, text, nullptr, INT32_MAX);
    else mold_dispatch(value, text, false, false, false, nullptr, INT32_MAX, 0);
    std::string out = utf8_of(text);
    stack::pop(1);
    return out;
}

// The opening character of a construct the text leaves open, or 0. A missing "]" or ")"
// and an unclosed braced string ask for more lines; other syntax errors do not.
char open_construct(const std::string& text) {
    cell* saved = stack::top;
    cell* block = stack::push(&none_value);
    uint32_t code = catch_exit(LEVEL_ALL, [&] {
        load_text(block, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    });
    stack::top = saved;
    if (code != THROW_ERROR || TYPE_OF(&last_error) != TYPE_ERROR) return 0;
    const raised_error& e = last_raised_error();
    if (e.code == ERR_SYNTAX * 100 + static_cast<uint32_t>(syntax_error::missing)) {
        cell* closing = error::get_field(&last_error, error::FIELD_ARG2);
        if (TYPE_OF(closing) == TYPE_CHAR) return closing->w2 == ']' ? '[' : closing->w2 == ')' ? '(' : 0;
    }
    if (e.code == ERR_SYNTAX * 100 + static_cast<uint32_t>(syntax_error::invalid)) {
        cell* type = error::get_field(&last_error, error::FIELD_ARG2);
        cell* token = error::get_field(&last_error, error::FIELD_ARG3);
        if (TYPE_OF(type) == TYPE_DATATYPE && type->w1 == TYPE_STRING && TYPE_OF(token) == TYPE_STRING &&
            utf8_of(token).compare(0, 1, "{") == 0)
            return '{';
    }
    return 0;
}

// Loads and evaluates one command; prints its result or its error.
void do_command(const std::string& text) {
    cell* saved = stack::top;
    call_frame* frame = stack::ctop;
    cell* base = stack::arguments;
    cell name = word::load("console");
    uint32_t code = catch_exit(LEVEL_ALL, [&] {
        cell* code_block = stack::push(&none_value);
        load_global_text(code_block, reinterpret_cast<const uint8_t*>(text.data()), text.size());
        stack::mark_try_all(&name);
        if (uint32_t exit = eval_block(code_block, true)) raise_exit(exit);
        stack::unwind();
    });
    if (code == THROW_ERROR) {
        stack::unwind_down_to(frame);
        stack::arguments = base;
        write_out(error_report() + "\n\n");
    } else if (code) {
        raise_exit(code);
    } else if (TYPE_OF(stack::top - 1) != TYPE_UNSET) {
        write_out("== " + result_text(stack::top - 1) + "\n");
    }
    stack::top = saved;
}

bool read_line(std::string& line) {
    line.clear();
    char chunk[1024];
    while (std::fgets(chunk, sizeof chunk, stdin)) {
        line += chunk;
        if (line.back() == '\n') {
            line.pop_back();
            return true;
        }
    }
    return !line.empty();
}

void run(bool banner) {
    if (banner) {
        cell* field_value = field(&system_object, "version");
        // Forming allocates: the field's cell may move meanwhile.
        cell* version = stack::push(field_value ? field_value : &none_value);
        std::string text = TYPE_OF(version) == TYPE_STRING ? utf8_of(version) : result_text(version);
        stack::pop(1);
        write_out("--== Kel " + text + " ==--\nType HELP for starting information.\n\n");
    }
    std::string buffer, line, cue;
    for (;;) {
        write_out(cue.empty() ? ">> " : cue);
        std::fflush(stdout);
        if (!read_line(line)) break;
        if (cue.empty() && line.empty()) continue;
        buffer += line + "\n";
        if (char open = open_construct(buffer)) {
            cue = std::string(1, open) + "    ";
            continue;
        }
        cue.clear();
        do_command(buffer);
        buffer.clear();
    }
    write_out("\n");
}

}  // namespace

void launch() {
    bool catch_q = false;
    cell* saved = stack::top;
    cell* script = take_script(catch_q);
    if (!script) {
        run(true);
        return;
    }
    // do-file runs it, with the raw text of its arguments as the script's args.
    cell* code = block::push_only(4);
    cell name = word::load("do-file");
    block::ks_append(code, &name);
    block::ks_append(code, script);
    block::ks_append(code, &none_value);
    cell* field_value = system_field("script", "args");
    cell args = field_value ? *field_value : none_value;
    block::ks_append(code, &args);
    uint32_t pc = 0;
    exit_on_code(eval_expression(code, pc, 4, false, true));
    stack::top = saved;
    if (catch_q) run(false);
}

}  // namespace kel
