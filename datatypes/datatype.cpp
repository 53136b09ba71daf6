#include "datatypes/datatype.h"

#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "runtime/stack.h"

namespace kel::datatype {

void init() {
    register_datatype(TYPE_DATATYPE, 0, "datatype!", {
        0, 0, 0, 0, entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), 0, 0,
        entry<ACT_COMPARE>(compare), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

void names_init() {
    for (uint32_t type = 1; type <= highest_type; type++) {
        type_name_record& record = type_names[type];
        if (record.name) load_type_word(record.name, &record.word);
    }
}

cell* push(uint32_t type) {
    cell* c = stack::push_cell();
    *c = cell{TYPE_DATATYPE, type, 0, 0};
    return c;
}

cell* alloc_tail(const cell* block, uint32_t type) {
    cell* c = kel::alloc_tail(block);
    *c = cell{TYPE_DATATYPE, type, 0, 0};
    return c;
}

int32_t form(cell* value, cell* buffer, cell*, int32_t part) {
    const type_name_record& record = type_names[value->w1];
    string::concat_bytes(buffer, record.name, record.length);
    return part - static_cast<int32_t>(record.length);
}

int32_t mold(cell* value, cell* buffer, bool, bool all, bool, cell*, int32_t part, int32_t) {
    const type_name_record& record = type_names[value->w1];
    int32_t appended = static_cast<int32_t>(record.length) + 1;
    if (all) string::concat_cstr(buffer, "#(");
    string::concat_bytes(buffer, record.name, appended);
    if (all) {
        string::concat_cstr(buffer, ")");
        appended += 3;
    }
    return part - appended;
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    switch (op) {
        case COMP_EQUAL:
        case COMP_NOT_EQUAL:
        case COMP_STRICT_EQUAL:
        case COMP_SAME:
        case COMP_FIND:
            return TYPE_OF(value2) == TYPE_DATATYPE && value2->w1 == value1->w1 ? 0 : 1;
        default:
            return INCOMPARABLE;  // types have no order
    }
}

}  // namespace kel::datatype
