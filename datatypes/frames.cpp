#include "datatypes/frames.h"

#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/dispatch.h"
#include "datatypes/error.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/collector.h"

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
        cell base = integer_value(static_cast<int32_t>(index_of(f->base)));
        block::ks_append(block, &base);
    }
}

namespace {

// The named frames of the last error raised, taken as it was raised: by the time a catcher
// keeps them or the error is formed, its records are unwound and may be reused. Their
// words are made only when asked for.
struct raised_frames {
    cell error = none_value;         // whose frames these are
    std::vector<call_frame> frames;  // bottom up, the named ones
};
raised_frames raised;

bool function_word_q(const cell& w) {
    int32_t i = static_cast<int32_t>(w.w3);
    const cell* v = i >= 0 && w.w1 ? _context::values(ctx_cell(w.w1)) : nullptr;
    return v && TYPE_OF(v + i) == TYPE_FUNCTION;
}

// The same error value; header flags (a new-line mark) aside.
bool same_value_q(const cell& a, const cell& b) {
    return TYPE_OF(&a) == TYPE_OF(&b) && a.w1 == b.w1 && a.w2 == b.w2 && a.w3 == b.w3;
}

// Calls f with each selected word of the error's frames, bottom up, until f answers false.
// Only the last error raised has them: the frames of one made by hand, or raised before
// it, are gone.
template <class F>
void each_traced(int32_t level, const cell* error, F&& f) {
    if (!same_value_q(*error, raised.error)) return;
    for (const call_frame& r : raised.frames) {
        cell w = frame_word(&r);
        if ((level > 1 || function_word_q(w)) && !f(w)) return;
    }
}

}  // namespace

void trace_words(int32_t level, cell* block, const cell* error) {
    each_traced(level, error, [block](const cell& w) {
        block::ks_append(block, &w);
        return true;
    });
}

int32_t trace_form(int32_t level, cell* out, const cell* error, int32_t limit) {
    each_traced(level, error, [out, &limit](const cell& w) {
        cell* kept = push(&w);
        limit = form_dispatch(kept, out, nullptr, limit);
        pop(1);
        limit = string::form_text(out, " ", limit);
        limit--;
        return limit > 0;
    });
    return limit;
}

void mark_raised_frames() {
    collector_mark_values(&raised.error, &raised.error + 1);
    for (call_frame& r : raised.frames)
        if (r.word_ctx) collector_mark_context(&r.word_ctx);
}

void set_error_frame(cell* e) {
    cell* field = error::get_field(e, error::FIELD_STACK);
    if (TYPE_OF(field) == TYPE_BLOCK) return;
    *field = integer_value(static_cast<int32_t>(ctop - cbottom));
    raised.error = *e;
    raised.frames.clear();
    for (const call_frame* r = cbottom; r < ctop; r++)
        if (!anonymous_q(r)) raised.frames.push_back(*r);
}

}  // namespace stack
}  // namespace kel
