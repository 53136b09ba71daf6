#include "datatypes/string.h"

#include <cstring>

#include "runtime/exits.h"

namespace kel::string {

cell* make_at(cell* value, uint32_t capacity) {
    node_id node = alloc_series(capacity ? capacity : 1, 1, 0);
    set_series_value(value, TYPE_STRING, node, 0);
    return value;
}

uint32_t ks_length(const cell* value) {
    series_buffer* buffer = node_buffer(series_node(value));
    size_t units = buffer->used_bytes() / buffer->unit();
    return units > series_head(value) ? static_cast<uint32_t>(units - series_head(value)) : 0;
}

series_buffer* append_char(series_buffer* buffer, uint32_t cp) {
    KEL_ASSERT(buffer->unit() == 1 && cp <= 0x7F);
    node_id node = buffer->node;
    *alloc_tail_bytes(buffer, 1) = static_cast<uint8_t>(cp);
    return node_buffer(node);
}

void concat_bytes(cell* value, const char* bytes, size_t n) {
    series_buffer* buffer = node_buffer(series_node(value));
    for (size_t i = 0; i < n; i++) buffer = append_char(buffer, static_cast<uint8_t>(bytes[i]));
}

void concat_cstr(cell* value, const char* text) {
    series_buffer* buffer = node_buffer(series_node(value));
    while (*text) buffer = append_char(buffer, static_cast<uint8_t>(*text++));
}

int32_t form_text(cell* value, const char* text, int32_t part) {
    size_t n = std::strlen(text);
    concat_bytes(value, text, n);
    return part - static_cast<int32_t>(n);
}

}  // namespace kel::string
