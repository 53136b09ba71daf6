#include "io/clipboard.h"

#include <optional>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/file.h"
#include "datatypes/logic.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel::clipboard {

namespace {

// One entry per format, in reading order; UTF-8 text.
struct formats {
    std::optional<std::string> text;
    std::optional<std::vector<std::string>> files;
};
formats held;

std::string utf8_of(cell* text) {
    size_t length = 0;
    const char* bytes = to_utf8(text, -1, &length);
    return {bytes, length};
}

}  // namespace

cell* read() {
    if (held.text) return load_string_push(reinterpret_cast<const uint8_t*>(held.text->data()), held.text->size(), 0);
    if (held.files) {
        cell* result = block::push_only(static_cast<int32_t>(held.files->size()));
        for (const std::string& name : *held.files) {
            block::ks_append(result, file::load(reinterpret_cast<const uint8_t*>(name.data()), name.size(), 0));
            stack::pop(1);
        }
        return result;
    }
    return stack::push(&none_value);
}

bool write(cell* value) {
    formats prepared;
    switch (TYPE_OF(value)) {
        case TYPE_NONE:
            break;
        case TYPE_STRING:
            prepared.text = utf8_of(value);
            break;
        case TYPE_BLOCK: {
            prepared.files.emplace();
            int32_t n = block::ks_length_q(value);
            for (int32_t i = 0; i < n; i++) {
                cell* item = stack::push(block::ks_abs_at(value, series::head_of(value) + i));
                if (!any_string_q(TYPE_OF(item))) fire(script_error::invalid_arg, item);
                prepared.files->push_back(utf8_of(item));
                stack::pop(1);
            }
            break;
        }
        default:
            fire(script_error::invalid_arg, value);
    }
    held = std::move(prepared);
    return true;
}

}  // namespace kel::clipboard
