#include "datatypes/registry.h"

#include <cstdio>

#include "runtime/console.h"
#include "runtime/error_catalog.h"
#include <cstdlib>
#include <cstring>

namespace kel {

namespace {
void print_typed_line(const char* label, uint32_t number) {
    char line[80];
    int n = std::snprintf(line, sizeof line, "%s%u", label, number);
    write_latin1_line(line, static_cast<size_t>(n));
}
}  // namespace

void raise_invalid_type(uint32_t type) {
    cell t = datatype_of(type);
    fire(script_error::invalid_type, &t);
}

void raise_bad_to_arg(uint32_t type, const cell* value) {
    cell t = datatype_of(type);
    fire(script_error::bad_to_arg, &t, value);
}

type_name_record type_names[TYPE_ROW];
action_entry type_actions[TYPE_ROW * TYPE_ROW];
uint32_t highest_type = 0;
type_word_loader load_type_word = nullptr;

void register_datatype(uint32_t type, uint32_t parent, const char* name,
                       std::initializer_list<action_entry> entries) {
    if (entries.size() != ACTIONS_COUNT) {
        print_typed_line("*** Datatype Error: invalid actions count for type: ", type);
        print_typed_line("*** Found: ", static_cast<uint32_t>(entries.size()));
        print_typed_line("*** Expected: ", ACTIONS_COUNT);
        // A malformed table is a build fault: never let the process report success.
        std::exit(EXIT_FAILURE);
    }
    if (type > highest_type) highest_type = type;

    type_name_record& record = type_names[type];
    record.name = name;
    record.length = static_cast<uint32_t>(std::strlen(name)) - 1;
    if (load_type_word) load_type_word(name, &record.word);

    action_entry* row = &type_actions[type * TYPE_ROW];
    const action_entry* parent_row = &type_actions[parent * TYPE_ROW];
    uint32_t slot = 0;
    for (action_entry e : entries) {
        // Without a parent there is nothing to inherit: the slot stays empty.
        if (e == INHERIT) e = parent ? parent_row[slot] : nullptr;
        row[slot++] = e;
    }
}

}  // namespace kel
