#include "datatypes/handle.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "runtime/stack.h"

namespace kel::handle {

namespace {

const char* const class_names[] = {nullptr, "fd", "monitor", "window", "font", "rich-text"};

void hex_text(const cell* value, char (&out)[10]) {
    std::snprintf(out, sizeof out, "%08Xh", value->w2);
}

}  // namespace

void init() {
    register_datatype(TYPE_HANDLE, TYPE_INTEGER, "handle!", {
        0, 0, 0, 0, entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), 0, 0, entry<ACT_COMPARE>(compare), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

cell* make_at(cell* slot, uint32_t value, uint32_t klass) {
    slot->header = (slot->header & ~0xFFu) | TYPE_HANDLE;
    slot->w1 = klass;
    slot->w2 = value;
    slot->w3 = static_cast<uint32_t>(-1);
    return slot;
}

cell* box(uint32_t value, uint32_t klass) {
    stack::arguments->header = TYPE_HANDLE;
    return make_at(stack::arguments, value, klass);
}

cell* make_in(const cell* block, uint32_t value, uint32_t klass) {
    cell* slot = kel::alloc_tail(block);
    slot->header = TYPE_HANDLE;
    return make_at(slot, value, klass);
}

cell* push(uint32_t value, uint32_t klass) {
    cell* slot = stack::push_cell();
    slot->header = TYPE_HANDLE;
    return make_at(slot, value, klass);
}

cell* push_null() { return push(0, CLASS_NULL); }

int32_t form(cell* value, cell* buffer, cell*, int32_t part) {
    char hex[10];
    hex_text(value, hex);
    return string::form_text(buffer, hex, part);
}

int32_t mold(cell* value, cell* buffer, bool, bool all, bool, cell*, int32_t part, int32_t) {
    if (!all) return string::form_text(buffer, "handle!", part);
    char hex[10];
    hex_text(value, hex);
    string::concat_cstr(buffer, "#[handle! ");
    string::concat_cstr(buffer, hex);
    part -= 9 + 11;
    const char* name = value->w1 < std::size(class_names) ? class_names[value->w1] : nullptr;
    if (name) {
        string::concat_cstr(buffer, " ");
        string::concat_cstr(buffer, name);
        part -= static_cast<int32_t>(std::strlen(name)) + 1;
    }
    string::concat_cstr(buffer, "]");
    return part;
}

int32_t compare(cell* value1, cell* value2, int32_t) {
    if (TYPE_OF(value2) != TYPE_HANDLE) return 1;
    return compare_sign(static_cast<int64_t>(static_cast<int32_t>(value1->w2)) -
                        static_cast<int32_t>(value2->w2));
}

}  // namespace kel::handle
