#include "datatypes/tag.h"

#include <algorithm>

#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"

namespace kel {

namespace tag {

void init() {
    const action_entry I = INHERIT;
    register_datatype(TYPE_TAG, TYPE_STRING, "tag!", {
        I, 0, I, I, entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), I, 0, I, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, I, I, I, I, I, I,
        I, I, I, I, I, I, I, I, I, I,
        I, I, I, I, I, I, I, I, I, I,
        0, 0, 0, 0, I, 0, 0, 0, 0, 0,
        0, 0,
    });
}

cell* push(const cell* value) { return stack::push(value); }

int32_t form(cell* value, cell* buffer, cell* arg, int32_t part) {
    string::concat_cstr(buffer, "<");
    int32_t left = string::form(value, buffer, arg, part - 1);
    string::concat_cstr(buffer, ">");
    return left - 1;
}

int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell* arg, int32_t part, int32_t) {
    return form(value, buffer, arg, part);
}

}  // namespace tag

namespace email {

void init() {
    const action_entry I = INHERIT;
    register_datatype(TYPE_EMAIL, TYPE_STRING, "email!", {
        I, 0, I, I, I, entry<ACT_MOLD>(mold), entry<ACT_EVAL_PATH>(eval_path), 0, I, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, I, I, I, I, I, I,
        I, I, I, I, I, I, I, I, I, I,
        I, I, I, I, I, I, I, I, I, I,
        0, 0, 0, 0, I, 0, 0, 0, 0, 0,
        0, 0,
    });
}

int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell* arg, int32_t part, int32_t) {
    return string::form(value, buffer, arg, part);
}

const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t index, bool case_q, bool get_q, bool tail_q,
                      bool evt_q) {
    uint32_t et = TYPE_OF(element);
    if (et == TYPE_INTEGER)
        return string::eval_path(parent, element, value, path, prev_value, prev_element, index,
                                 case_q, get_q, tail_q, evt_q);
    uint32_t symbol = et == TYPE_WORD ? symbol::resolve(element->w2) : 0;
    bool user = symbol && symbol == sym(SYM_USER);
    bool host = symbol && symbol == sym(SYM_HOST);
    if (!user && !host) fire(script_error::invalid_path, path, element);

    string::ks_head(parent);
    uint32_t length = string::ks_length(parent);
    int32_t found = string::find_char(parent, '@');
    uint32_t at = found < 0 ? length : static_cast<uint32_t>(found);
    // Without an "@" the host is the empty text at the tail.
    uint32_t start = user ? 0 : std::min(at + 1, length);
    uint32_t count = user ? at : length - start;
    uint32_t head = series_head(parent);
    if (!value) {
        cell* part = series::copy_range(parent, stack::push_cell(), static_cast<int32_t>(head + start),
                                        static_cast<int32_t>(count));
        set_type(part, TYPE_STRING);
        return part;
    }
    // A host set on an email without "@" gets one before it, or it would join the user.
    if (host && found < 0) {
        string::append_char(string::buffer_of(parent), '@');
        start = length + 1;
    }
    cell* position = stack::push(parent);
    position->w1 = head + start;
    string::change(position, value, static_cast<int32_t>(count), false, 1);
    stack::pop(1);
    return value;
}

}  // namespace email

namespace ref {

void init() {
    const action_entry I = INHERIT;
    register_datatype(TYPE_REF, TYPE_STRING, "ref!", {
        I, I, I, I, I, entry<ACT_MOLD>(mold), I, I, I, I,
        I, I, I, I, I, I, I, I, I, I,
        I, I, I, I, I, I, I, I, I, I,
        I, I, I, I, I, I, I, I, I, I,
        I, I, I, I, I, I, I, I, I, I,
        I, I, I, I, I, I, I, I, I, I,
        I, I,
    });
}

int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell* arg, int32_t part, int32_t) {
    string::concat_cstr(buffer, "@");
    return string::form(value, buffer, arg, part - 1);
}

}  // namespace ref

cell* ref_push(const cell* value) { return stack::push(value); }

}  // namespace kel
