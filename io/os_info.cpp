#include "io/os_info.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/native.h"
#include "datatypes/map.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "runtime/stack.h"

extern char** environ;

namespace kel {

namespace {

void append_set_word(cell* block, const char* name) {
    cell word = word::load(name);
    set_type(&word, TYPE_SET_WORD);
    block::ks_append(block, &word);
}

const char* arch_name(const char* machine) {
    if (!std::strcmp(machine, "x86_64")) return "x86-64";
    if (!std::strcmp(machine, "aarch64")) return "ARM64";
    if (!std::strcmp(machine, "i686") || !std::strcmp(machine, "i386")) return "x86-32";
    if (!std::strncmp(machine, "arm", 3)) return "ARM";
    return "Unknown";
}

// Every environment variable, name to value, as a map! of strings.
cell* list_env_block() {
    cell* pairs = block::push_only(100);
    for (char** entry = environ; entry && *entry; entry++) {
        // A name may begin with "=": the separator is the first "=" after it.
        const char* text = *entry;
        const char* equal = text[0] ? std::strchr(text + 1, '=') : nullptr;
        if (!equal) continue;
        load_string_tail(reinterpret_cast<const uint8_t*>(text), static_cast<size_t>(equal - text), pairs, 0);
        load_string_tail(reinterpret_cast<const uint8_t*>(equal + 1), std::strlen(equal + 1), pairs, 0);
    }
    cell* result = map::make_at(stack::push_cell(), pairs, block::ks_length_q(pairs) / 2);
    *pairs = *result;
    stack::pop(1);
    return pairs;
}

}  // namespace

cell* get_OS_info() {
    struct utsname system;
    if (uname(&system) != 0) std::memset(&system, 0, sizeof system);
    std::string name = std::string(system.sysname) + " " + system.release;
    uint32_t version[3] = {0, 0, 0};
    const char* p = system.release;
    for (int i = 0; i < 3 && *p; i++) {
        char* end;
        version[i] = static_cast<uint32_t>(std::strtoul(p, &end, 10)) & 0xFF;
        if (end == p || *end != '.') break;
        p = end + 1;
    }
    cell* spec = block::push_only(8);
    append_set_word(spec, "name");
    load_string_tail(reinterpret_cast<const uint8_t*>(name.data()), name.size(), spec, 0);
    append_set_word(spec, "arch");
    cell arch = word::load(arch_name(system.machine));
    block::ks_append(spec, &arch);
    append_set_word(spec, "version");
    block::ks_append(spec, tuple::push(3, version[0] | version[1] << 8 | version[2] << 16, 0, 0));
    stack::pop(1);
    append_set_word(spec, "build");
    cell build = integer_value(0);
    block::ks_append(spec, &build);
    cell* result = object::make_from_spec(const_cast<cell*>(&none_value), spec, true);
    *spec = *result;
    stack::pop(1);
    return spec;
}

namespace natives {

int32_t list_env(bool, const int32_t*) {
    *stack::arguments = *list_env_block();
    return 0;
}

}  // namespace natives
}  // namespace kel
