// Build step: lexes boot/specs.kel and boot/stages/*.kel into the boot image and writes it
// as a C++ source that the kel program links.
//   make_boot_image BOOT_FOLDER OUT.cpp
// A syntax error fails the build at its file and line. The image depends on nothing but
// the text, so two builds give the same bytes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "boot/init.h"
#include "boot/script.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/event.h"
#include "datatypes/native.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "io/kelbin.h"
#include "io/natives.h"
#include "runtime/exits.h"
#include "runtime/stack.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

// Ends the tool without the leak report of a sanitizer build: nothing here is freed.
[[noreturn]] void finish(int status, const std::string& message = "") {
    std::fputs(message.c_str(), stderr);
    std::fflush(nullptr);
    _exit(status);
}

std::string read_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) finish(1, file.string() + ": cannot be read\n");
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The line number that a syntax error's report gives as "(line N)".
std::string line_of(const std::string& report) {
    size_t at = report.find("(line ");
    if (at == std::string::npos) return "1";
    at += 6;
    return report.substr(at, report.find(')', at) - at);
}

// The file's text as a block of global words, pushed.
cell* push_lexed(const fs::path& file) {
    std::string text = read_file(file);
    cell* block = stack::push(&none_value);
    if (catch_exit(LEVEL_ALL, [&] {
            load_global_text(block, reinterpret_cast<const uint8_t*>(text.data()), text.size());
        })) {
        std::string report = error_report();
        finish(1, file.string() + ":" + line_of(report) + ": " + report.substr(0, report.find('\n')) + "\n");
    }
    return block;
}

bool is_word(const cell* c, uint32_t type, const char* name) {
    return TYPE_OF(c) == type && symbol::resolve(c->w2) == symbol::resolve(symbol::find_cstr(name));
}

// The image's define pairs, each also set here: later definitions read earlier ones.
struct definitions {
    cell* block;

    void add(const char* name, const cell* value) {
        cell* saved = stack::top;
        cell* v = stack::push(value);
        cell* w = stack::push_cell();
        *w = word::load(name);
        add(w, v);
        stack::top = saved;
    }
    void add(const cell* word, const cell* value) {
        cell* saved = stack::top;
        cell* w = stack::push(word);
        cell* v = stack::push(value);
        _context::set(w, v);
        set_type(w, TYPE_WORD);
        block::ks_append(block, w);
        block::ks_append(block, v);
        stack::top = saved;
    }
};

// The datatype words, then none, true and false.
void define_core_values(definitions& d) {
    for (uint32_t t = 1; t <= highest_type; t++) {
        if (!type_names[t].name) continue;
        cell type{TYPE_DATATYPE, t, 0, 0};
        d.add(type_names[t].name, &type);
    }
    d.add("none", &none_value);
    cell truth{TYPE_LOGIC, 1, 0, 0}, falsity{TYPE_LOGIC, 0, 0, 0};
    d.add("true", &truth);
    d.add("false", &falsity);
}

// One expression of the typesets stage: `make typeset! [types]`, `union a b`, or the word
// of a typeset made before.
cell typeset_expression(cell* items, int32_t& i) {
    cell* c = items + i++;
    if (is_word(c, TYPE_WORD, "union")) {
        cell a = typeset_expression(items, i);
        cell b = typeset_expression(items, i);
        return cell{TYPE_TYPESET, a.w1 | b.w1, a.w2 | b.w2, a.w3 | b.w3};
    }
    cell result{TYPE_TYPESET, 0, 0, 0};
    if (is_word(c, TYPE_WORD, "make")) {
        cell* types = items + i + 1;
        i += 2;
        if (TYPE_OF(types) != TYPE_BLOCK) finish(1, "typesets stage: a block of types must follow make typeset!\n");
        series_buffer* b = series::buffer_of(types);
        for (cell* t = b->cells() + series_head(types); t < b->cells_tail(); t++) {
            cell* value = _context::get(t);
            if (TYPE_OF(value) == TYPE_DATATYPE) typeset_add(&result, value->w1);
        }
        return result;
    }
    cell* value = _context::get(c);
    if (TYPE_OF(value) != TYPE_TYPESET) finish(1, "typesets stage: not a typeset expression\n");
    return *value;
}

// The specs name typesets that their stage defines only later: the image defines the same
// ones first, read from that stage's text as data.
void define_spec_typesets(definitions& d, cell* stage) {
    int32_t i = series::head_of(stage), end = series::buffer_length(stage);
    while (i < end) {
        cell* items = block::ks_abs_at(stage, 0);
        if (TYPE_OF(items + i) != TYPE_SET_WORD) finish(1, "typesets stage: a set-word must start each typeset\n");
        cell* word = stack::push(items + i++);
        cell* value = stack::push_cell();
        *value = typeset_expression(items, i);
        d.add(word, value);
        stack::pop(2);
    }
}

// Each `name: make action! [spec index]` of specs.kel, made by its datatype directly.
void define_actions_and_natives(definitions& d, cell* specs) {
    for (int32_t i = series::head_of(specs); i + 4 <= series::buffer_length(specs); i += 4) {
        cell* saved = stack::top;
        cell* def = block::ks_abs_at(specs, i);
        if (TYPE_OF(def) != TYPE_SET_WORD || !is_word(def + 1, TYPE_WORD, "make") ||
            TYPE_OF(def + 2) != TYPE_WORD || TYPE_OF(def + 3) != TYPE_BLOCK)
            finish(1, "specs.kel: each entry is name: make type [spec index]\n");
        cell* word = stack::push(def);
        cell* spec = stack::push(def + 3);
        uint32_t type = _context::get(def + 2)->w1;
        const cell* made = type == TYPE_NATIVE ? native_datatype::make(nullptr, spec, type)
                                               : action_datatype::make(nullptr, spec, type);
        d.add(word, made);
        stack::top = saved;
    }
}

// The image's literals: each stage's file name, then its block.
void add_stages(cell* literals, const fs::path& folder, std::vector<fs::path>& files) {
    for (const auto& entry : fs::directory_iterator(folder / "stages"))
        if (entry.path().extension() == ".kel") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        std::string name = file.filename().string();
        block::ks_append(literals, load_string_push(reinterpret_cast<const uint8_t*>(name.data()), name.size(), 0));
        stack::pop(1);
        block::ks_append(literals, push_lexed(file));
        stack::pop(1);
    }
}

// Decodes the image again, as start-up will, and compares its literals with the lexed ones.
void check(const cell* image, const cell* literals) {
    series_buffer* bytes = series::buffer_of(image);
    kelbin::load_boot(bytes->offset, bytes->used_bytes(), false);
    series_buffer* l = series::buffer_of(literals);
    uint32_t n = 0;
    cell* compare_word = stack::push_cell();
    *compare_word = word::load("strict-equal?");
    for (cell* c = l->cells(); c < l->cells_tail(); c++, n++) {
        cell* decoded = kelbin::literal_cell(n);
        if (!decoded || !fast_compare_values_cond(c, decoded, COMP_STRICT_EQUAL, compare_word, false))
            finish(1, "boot image: literal " + std::to_string(n) + " decodes differently\n");
    }
    if (kelbin::literal_cell(n)) finish(1, "boot image: more literals decoded than written\n");
}

void write_source(const fs::path& out, const cell* image) {
    series_buffer* bytes = series::buffer_of(image);
    const uint8_t* p = bytes->offset;
    size_t n = bytes->used_bytes();
    std::ostringstream s;
    s << "// Generated by make_boot_image from boot/*.kel.\n#include \"boot/image.h\"\n\nnamespace kel {\n\n"
      << "alignas(16) const uint8_t boot_image[] = {";
    for (size_t i = 0; i < n; i++) s << (i % 24 ? "" : "\n   ") << ' ' << unsigned{p[i]} << ',';
    s << "\n};\nconst size_t boot_image_size = " << n << ";\n\n}  // namespace kel\n";
    std::ofstream file(out, std::ios::binary);
    file << s.str();
    if (!file.flush()) finish(1, out.string() + ": cannot be written\n");
}

int run(int argc, char** argv) {
    if (argc != 3) finish(2, "usage: make_boot_image BOOT_FOLDER OUT.cpp\n");
    fs::path folder = argv[1];
    runtime_init();
    install_io_natives();
    event::init();  // the image names it; start-up registers it last
    cell* defines = block::push_only(512);
    cell* literals = block::push_only(64);
    definitions d{defines};
    define_core_values(d);
    std::vector<fs::path> stages;
    add_stages(literals, folder, stages);
    for (size_t i = 0; i < stages.size(); i++)
        if (stages[i].filename().string().rfind("04-", 0) == 0) define_spec_typesets(d, block::ks_abs_at(literals, 2 * static_cast<int32_t>(i) + 1));
    define_actions_and_natives(d, push_lexed(folder / "specs.kel"));
    cell* image = kelbin::encode_boot(defines, literals);
    check(image, literals);
    write_source(argv[2], image);
    finish(0);
}

}  // namespace
}  // namespace kel

int main(int argc, char** argv) { return kel::run(argc, argv); }
