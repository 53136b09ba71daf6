#include "datatypes/frames.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/dispatch.h"
#include "datatypes/error.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace kel {

namespace {

inline bool anonymous_q(const call_frame* f) {
    return f->symbol == runtime_words[W_BODY].w2 || f->symbol == runtime_words[W_ANON].w2;
}

// The frame's naming word as a word of its context (the global one when it has none).
cell frame_word(const call_frame* f) {
    return word::word_for_symbol(f->word_ctx ? f->word_ctx : global_context, f->symbol);
}

}  // namespace

namespace stack {

cell caller_name() {
    call_frame* f = throw_origin ? throw_origin : ctop - 1;
    throw_origin = nullptr;
    for (; f >= cbottom; f--)
        if (!anonymous_q(f)) return frame_word(f);
    return runtime_words[W_NOT_FOUND];
}

void collect_calls(cell* block) {
    for (call_frame* f = ctop - 1; f > cbottom; f--) {
        if (anonymous_q(f)) continue;
        cell w = frame_word(f);
        block::ks_append(block, &w);
        cell base = integer_value(static_cast<int32_t>(f->base));
        block::ks_append(block, &base);
    }
}

namespace {

// Calls f with each selected frame word, bottom up to end.
template <class F>
void each_traced(int32_t level, const call_frame* end, F&& f) {
    if (!end) end = ctop - 1;
    for (const call_frame* r = cbottom; r <= end && r < ctop; r++) {
        if (anonymous_q(r)) continue;
        cell w = frame_word(r);
        if (level <= 1) {
            int32_t i = static_cast<int32_t>(w.w3);
            const cell* v = i >= 0 && w.w1 ? _context::values(ctx_cell(w.w1)) : nullptr;
            if (!v || TYPE_OF(v + i) != TYPE_FUNCTION) continue;
        }
        if (!f(w)) break;
    }
}

}  // namespace

void trace_words(int32_t level, cell* block, const call_frame* end) {
    each_traced(level, end, [block](cell& w) {
        block::ks_append(block, &w);
        return true;
    });
}

int32_t trace_form(int32_t level, cell* out, const call_frame* end, int32_t limit) {
    each_traced(level, end, [out, &limit](cell& w) {
        cell* kept = push(&w);
        limit = form_dispatch(kept, out, nullptr, limit);
        pop(1);
        limit = string::form_text(out, " ", limit);
        limit--;
        return limit > 0;
    });
    return limit;
}

void set_error_frame(cell* e) {
    cell* field = error::get_field(e, error::FIELD_STACK);
    if (TYPE_OF(field) == TYPE_BLOCK) return;
    *field = integer_value(static_cast<int32_t>(ctop - cbottom));
}

}  // namespace stack
}  // namespace kel
