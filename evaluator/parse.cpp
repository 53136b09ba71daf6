#include "evaluator/parse.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/pair.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/transcode.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "runtime/case_folding.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/stack.h"

namespace kel {

namespace {

constexpr int32_t STACK_LIMIT = 10000;

// any through set stay adjacent: match_rule tells them from the rest with one range test.
enum keyword : int32_t {
    K_BAR, K_SKIP, K_ANY, K_SOME, K_OPT, K_COPY, K_SET, K_WHILE, K_TO, K_THRU, K_END, K_REMOVE,
    K_BREAK, K_REJECT, K_FAIL, K_NONE, K_NOT, K_AHEAD, K_INTO, K_QUOTE, K_IF, K_CASE, K_INSERT,
    K_CHANGE, K_KEEP, K_COLLECT, K_ONLY, K_PICK, K_AFTER, K_COUNT
};
const char* const KEYWORD_NAMES[K_COUNT] = {
    "|", "skip", "any", "some", "opt", "copy", "set", "while", "to", "thru", "end", "remove",
    "break", "reject", "fail", "none", "not", "ahead", "into", "quote", "if", "case", "insert",
    "change", "keep", "collect", "only", "pick", "after",
};

// Rule kind codes, as the rule stack shows them.
enum kind : int32_t {
    KIND_REPEAT = -1, KIND_TO = -2, KIND_THRU = -3, KIND_COPY = -4, KIND_SET = -5, KIND_NOT = -6,
    KIND_INTO = -7, KIND_REMOVE = -9, KIND_WHILE = -11, KIND_COLLECT = -12, KIND_KEEP = -13,
    KIND_KEEP_PAREN = -14, KIND_AHEAD = -16, KIND_CHANGE = -17, KIND_CHANGE_ONLY = -18, KIND_CASE = -19,
};

// Keyword by canonical symbol id: every rule word is looked up, so one read decides.
std::vector<int8_t> keyword_by_symbol;

void intern_keywords() {
    if (!keyword_by_symbol.empty()) return;
    uint32_t ids[K_COUNT];
    for (int32_t k = 0; k < K_COUNT; k++) ids[k] = symbol::resolve(symbol::make(KEYWORD_NAMES[k]));
    keyword_by_symbol.assign(*std::max_element(ids, ids + K_COUNT) + 1, -1);
    for (int32_t k = 0; k < K_COUNT; k++) keyword_by_symbol[ids[k]] = static_cast<int8_t>(k);
}

// The same by the id as spelled, case variants included, learnt as ids come: rule words
// are read over and over, and this skips the symbol table. -2: not learnt yet. Symbol ids
// are never reused, so an entry stays true.
std::vector<int8_t> keyword_by_id;

[[gnu::noinline]] int32_t learn_keyword(uint32_t id) {
    uint32_t s = symbol::resolve(id);
    int32_t k = s < keyword_by_symbol.size() ? keyword_by_symbol[s] : -1;
    if (id >= keyword_by_id.size()) keyword_by_id.resize(id + 256, -2);
    keyword_by_id[id] = static_cast<int8_t>(k);
    return k;
}

[[gnu::always_inline]] inline int32_t keyword_of(const cell* value) {
    if (TYPE_OF(value) != TYPE_WORD) return -1;
    uint32_t id = value->w2;
    if (id < keyword_by_id.size()) [[likely]] {
        int32_t k = keyword_by_id[id];
        if (k != -2) return k;
    }
    return learn_keyword(id);
}

enum family { BLOCKS, TEXT, BYTES };

// The text from the head as UTF-8: what a string rule matches in binary input.
std::string utf8_of(const cell* text) {
    std::string out;
    for (uint32_t i = series_head(text); i < string::ks_buffer_length(text); i++) {
        uint32_t c = string::char_at(text, i);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

family family_of(uint32_t type) {
    if (any_block_q(type)) return BLOCKS;
    return type == TYPE_BINARY ? BYTES : TEXT;
}

// Units are one byte or a cell almost always: spare those a division.
inline int32_t length_of(const cell* series) {
    series_buffer* b = series::buffer_of(series);
    size_t bytes = b->used_bytes();
    uint32_t unit = b->unit();
    if (unit == 1) return static_cast<int32_t>(bytes);
    if (unit == sizeof(cell)) return static_cast<int32_t>(bytes / sizeof(cell));
    return static_cast<int32_t>(bytes / unit);
}

// The stacks, shared by every parse: root blocks that nested parses use past their contents.
root_cell* rule_stack = nullptr;
root_cell* input_stack = nullptr;

void make_stacks() {
    if (rule_stack) return;
    rule_stack = new root_cell();
    block::make_at(&rule_stack->value, 100);
    input_stack = new root_cell();
    block::make_at(&input_stack->value, 8);
}

int32_t stack_length(const root_cell* s) {
    return static_cast<int32_t>(series::buffer_of(&s->value)->used_bytes() / sizeof(cell));
}

// A stack a callback shortened stays so: the engine never reads it back. An entry's pop
// from a stack cleared under it asks for a negative length: empty is as short as it gets.
[[gnu::always_inline]] inline void stack_truncate(root_cell* s, int32_t n) {
    if (stack_length(s) <= n) return;
    n = std::max(n, 0);
    series_buffer* b = series::buffer_of(&s->value);
    b->tail = reinterpret_cast<uint8_t*>(b->cells() + n);
}

[[gnu::noinline]] void stack_grow_push(root_cell* s, const cell& a, const cell& b, const cell& c) {
    root_cell keep_a(a), keep_b(b), keep_c(c);
    block::ks_append(&s->value, &keep_a.value);
    block::ks_append(&s->value, &keep_b.value);
    block::ks_append(&s->value, &keep_c.value);
}

// A stack past its limit fails the push to come.
inline void check_stack_room(root_cell* s) {
    if (series::buffer_of(&s->value)->used_bytes() > STACK_LIMIT * sizeof(cell)) fire(script_error::parse_stack);
}

// Answers the stack's length before the entry.
[[gnu::always_inline]] inline int32_t stack_push(root_cell* s, const cell& a, const cell& b, const cell& c) {
    series_buffer* buffer = series::buffer_of(&s->value);
    size_t used = buffer->used_bytes();
    if (used > STACK_LIMIT * sizeof(cell)) fire(script_error::parse_stack);
    if (buffer->data_end() - buffer->tail >= static_cast<ptrdiff_t>(3 * sizeof(cell))) [[likely]] {
        cell* at = buffer->cells_tail();
        at[0] = a, at[1] = b, at[2] = c;
        buffer->tail += 3 * sizeof(cell);
    } else {
        stack_grow_push(s, a, b, c);
    }
    return static_cast<int32_t>(used / sizeof(cell));
}

inline cell triple_of(int32_t a, int32_t b, int32_t c) {
    return cell{TYPE_TRIPLE, static_cast<uint32_t>(a), static_cast<uint32_t>(b), static_cast<uint32_t>(c)};
}

// A callback's false answer: the parse returns the match result as it stands.
struct stop_parse {
    bool result;
};

struct collect_target {
    cell* target;      // argument-stack cell: the block, or the into/after series
    int32_t at;        // insertion index in the target
    bool fresh;        // a new block, not an into/after series
};

// watched: a callback takes the events. Unwatched, the engine keeps no event state and
// takes the paths that skip the rule stack where nothing can read it.
template <bool watched>
class engine {
public:
    engine(cell* input, int32_t case_flag, int32_t limit, cell* callback)
        : case_q_(case_flag == PARSE_CASE_SENSITIVE), limit_(limit), callback_(callback) {
        set_input(input);
        pos_ = series::head_of(input);
    }

    cell* run(cell* rules) {
        cell* result = stack::push(&none_value);
        bool ok;
        try {
            ok = match_block(rules, true);
            ok = ok && pos() >= tail();
            emit("end", ok, rules, series::head_of(rules));
        } catch (const stop_parse& s) {
            ok = s.result;
        }
        *result = collected_ ? *collected_ : cell{TYPE_LOGIC, ok, 0, 0};
        return result;
    }

private:
    cell* input_;
    family family_;  // the input's, which most rules ask
    int32_t pos_;
    bool case_q_;
    int32_t limit_;  // -1: the tail
    int32_t length_;  // the input's, read again after code may have run (reread_length)
    cell* callback_;
    std::vector<collect_target> collects_;
    cell* collected_ = nullptr;
    int32_t leave_ = 0;  // 1 after break, 2 after reject, until the block ends
    bool stop_repeat_ = false;
    bool match_ = true;  // the last result, which events report

    // --- Input ---------------------------------------------------------------------------

    // Only code can change the input's length: a paren, a callback, an on-change* handler,
    // or the engine's own changes. Each of those reads it again; every rule else trusts it.
    void reread_length() { length_ = length_of(input_); }

    // Indexes held across a paren or a callback may lie past a shrunk input: clamp first.
    int32_t pos() {
        if (pos_ > length_) pos_ = length_;
        return pos_;
    }
    int32_t tail() { return limit_ >= 0 && limit_ < length_ ? limit_ : length_; }
    bool at_tail() { return pos() >= tail(); }
    family input_family() const { return family_; }

    // The input the rules run over, the whole parse's or the series an into entered.
    void set_input(cell* input) {
        input_ = input;
        family_ = family_of(TYPE_OF(input));
        reread_length();
    }

    uint32_t unit_at(int32_t i) {
        if (input_family() == BYTES) return series::buffer_of(input_)->offset[i];
        return string::char_at(input_, static_cast<uint32_t>(i));
    }
    // Bytes fold ASCII letters only: the rest may be parts of UTF-8 sequences.
    uint32_t fold(uint32_t c) const {
        if (case_q_) return c;
        if (input_family() == BYTES) return c >= 'a' && c <= 'z' ? c - 32 : c;
        return to_upper_char(c);
    }

    // The input as a series value at index i, pushed.
    cell* input_at(int32_t i) {
        cell* c = stack::push(input_);
        c->w1 = static_cast<uint32_t>(i);
        return c;
    }

    // --- Events --------------------------------------------------------------------------

    void emit(const char* event, bool match, cell* block, int32_t pc) {
        if constexpr (watched) {
            match_ = match;
            call_back(event, match, block, pc);
        }
    }

    bool note(bool ok) {
        if constexpr (watched) match_ = ok;
        return ok;
    }

    void call_back(const char* event, bool match, cell* block, int32_t pc) {
        cell* base = stack::top;
        cell* args = stack::push_cell();
        *args = word::load(event);
        *stack::push_cell() = cell{TYPE_LOGIC, match, 0, 0};
        cell* rules = stack::push(block);
        rules->w1 = static_cast<uint32_t>(std::clamp(pc, 0, length_of(block)));
        input_at(pos());
        stack::push(&rule_stack->value);
        uint32_t slots = ctx_slot_count(ctx_cell(callback_->w1));
        for (uint32_t i = 5; i < slots; i++) stack::push(&none_value);
        cell fn = *callback_;
        int32_t rule_cells = stack_length(rule_stack);
        object::call_handler(&fn, runtime_words[W_PARSE_CALLBACK].w2, args);
        stack_truncate(rule_stack, rule_cells);
        reread_length();
        bool go = value_true_q(args, false, nullptr);
        stack::top = base;
        if (!go) throw stop_parse{match};
    }

    // --- Rule stack entries ----------------------------------------------------------------

    // Takes an entry off on the way out, whichever: cells is the length before it.
    struct entry_guard {
        int32_t cells;
        explicit entry_guard(int32_t before) : cells(before) {}
        ~entry_guard() { stack_truncate(rule_stack, cells); }
    };

    [[gnu::always_inline]] void push_rule(const cell& head, cell* block, int32_t pc, int32_t kind_code,
                                          bool pick = false) {
        stack_push(rule_stack, head, triple_of(pc, pos(), length_), kind_cell(kind_code, pick));
        emit("push", match_, block, pc);
    }

    static cell kind_cell(int32_t kind_code, bool pick = false) {
        return cell{TYPE_PAIR, 0, static_cast<uint32_t>(kind_code), pick};
    }

    // --- Rule values -----------------------------------------------------------------------

    // One read of the buffer: a paren may have moved or cut it since the last rule.
    static cell* rule_at(cell* block, int32_t pc) { return rule_span(block).at(pc); }

    // A block's cells as they stand, for a rule that reads several and runs no code between.
    struct rule_span {
        cell* cells;
        int32_t count;
        explicit rule_span(cell* block) {
            series_buffer* b = series::buffer_of(block);
            cells = b->cells();
            count = static_cast<int32_t>(b->used_bytes() / sizeof(cell));
        }
        cell* at(int32_t pc) const { return pc < count ? cells + pc : nullptr; }
    };

    [[noreturn]] static void end_error(cell* block, int32_t pc) {
        cell word = *block::ks_abs_at(block, pc);
        fire(script_error::parse_end, &word);
    }

    // The value a rule word stands for; unset is no-value.
    static cell* word_value(const cell* word) {
        cell* v = _context::bound_value(word);
        if (!v) v = _context::get(word);
        if (TYPE_OF(v) == TYPE_UNSET) fire(script_error::no_value, word);
        return v;
    }

    // The cell after one whole rule from pc, without running it. A plain value or word, as
    // most operands are, is one cell.
    [[gnu::always_inline]] int32_t skip_rule(cell* block, int32_t pc) {
        cell* r = rule_at(block, pc);
        if (r && TYPE_OF(r) != TYPE_INTEGER && keyword_of(r) < 0) return pc + 1;
        return skip_compound_rule(block, pc);
    }

    [[gnu::noinline]] int32_t skip_compound_rule(cell* block, int32_t pc) {
        for (int32_t guard = 0; guard < STACK_LIMIT; guard++) {
            cell* r = rule_at(block, pc);
            if (!r) return pc;
            if (TYPE_OF(r) == TYPE_INTEGER) {
                cell* m = rule_at(block, pc + 1);
                pc += m && (TYPE_OF(m) == TYPE_INTEGER || integer_word_q(m)) ? 2 : 1;
                continue;
            }
            switch (keyword_of(r)) {
                case K_ANY: case K_SOME: case K_OPT: case K_WHILE: case K_TO: case K_THRU: case K_NOT:
                case K_AHEAD: case K_REMOVE:
                    pc++;
                    continue;
                case K_COPY: case K_SET: case K_CASE:
                    pc += 2;
                    continue;
                case K_INTO: case K_QUOTE: case K_IF:
                    return pc + 2;
                case K_KEEP:
                    pc += keyword_at(block, pc + 1) == K_PICK ? 2 : 1;
                    continue;
                case K_COLLECT: {
                    int32_t k = keyword_at(block, pc + 1);
                    pc += k == K_INTO || k == K_AFTER || k == K_SET ? 3 : 1;
                    continue;
                }
                case K_INSERT: {
                    pc++;
                    if (keyword_at(block, pc) == K_ONLY) pc++;
                    cell* w = rule_at(block, pc);
                    if (w && position_word_q(w) && rule_at(block, pc + 1)) pc++;
                    return pc + 1;
                }
                case K_CHANGE:
                    pc++;
                    if (keyword_at(block, pc) == K_ONLY) pc++;
                    return skip_rule(block, pc) + 1;
                default:
                    return pc + 1;
            }
        }
        fire(script_error::parse_stack);
    }

    // The upper count given by a word.
    static bool integer_word_q(const cell* m) {
        if (TYPE_OF(m) != TYPE_WORD || keyword_of(m) >= 0 || static_cast<int32_t>(m->w3) < 0) return false;
        return TYPE_OF(_context::get(m)) == TYPE_INTEGER;
    }

    int32_t keyword_at(cell* block, int32_t pc) {
        cell* r = rule_at(block, pc);
        return r ? keyword_of(r) : -1;
    }

    // A word or get-word naming a position in the input series.
    bool position_word_q(const cell* w) {
        if (TYPE_OF(w) != TYPE_GET_WORD && !(TYPE_OF(w) == TYPE_WORD && keyword_of(w) < 0)) return false;
        cell* v = _context::get(w);
        return TYPE_OF(v) == TYPE_OF(input_) && series_node(v) == series_node(input_);
    }

    int32_t position_of(const cell* w) {
        cell* v = _context::get(w);
        if (TYPE_OF(v) != TYPE_OF(input_) || series_node(v) != series_node(input_))
            fire(script_error::parse_invalid_ref, w);
        return std::min<int32_t>(series::head_of(v), length_);
    }

    // --- Blocks --------------------------------------------------------------------------

    // The rules of block from its head, alternatives separated by |.
    bool match_block(cell* block, bool top) {
        cell* base = stack::top;
        cell* rules = stack::push(block);
        int32_t start = pos();
        entry_guard entry(stack_push(rule_stack, none_value, triple_of(series::head_of(rules), start, length_), *rules));
        emit("push", match_, rules, series::head_of(rules));
        bool ok = true;
        int32_t pc = series::head_of(rules);
        while (cell* r = rule_at(rules, pc)) {
            int32_t k = keyword_of(r);
            if (k == K_BAR) {
                if (!rule_at(rules, pc + 1)) end_error(rules, pc);
                break;
            }
            emit("fetch", match_, rules, pc);
            stop_repeat_ = false;
            // The callback may have changed the rules: read the rule again after it.
            if constexpr (watched) ok = match_rule(rules, pc);
            else ok = match_rule(rules, pc, r, k);
            if (leave_) {
                ok = leave_ == 1;
                leave_ = 0;
                stop_repeat_ = true;
                break;
            }
            if (ok) continue;
            // The next alternative, from the position the block began at.
            pos_ = start;
            while ((r = rule_at(rules, pc)) && keyword_of(r) != K_BAR) pc++;
            if (!r) break;
            if (!rule_at(rules, pc + 1)) end_error(rules, pc);
            pc++;
            ok = true;
        }
        if (!top) emit("pop", ok, rules, pc);
        stack::top = base;
        return note(ok);
    }

    // --- Rules ---------------------------------------------------------------------------

    // One rule at pc (with its operands); pc moves past it whatever the result. A sub-block,
    // as a repetition's operand mostly is, goes straight to its loop.
    [[gnu::always_inline]] bool match_rule(cell* rules, int32_t& pc) {
        cell* r = rule_at(rules, pc);
        if (r && TYPE_OF(r) == TYPE_BLOCK) {
            pc++;
            return match_block(r, false);
        }
        return match_rule_at(rules, pc, r);
    }

    // The same for any rule read at pc, or none there.
    [[gnu::noinline]] bool match_rule_at(cell* rules, int32_t& pc, cell* r) {
        if (!r) end_error(rules, pc - 1);
        return match_rule(rules, pc, r, keyword_of(r));
    }

    // The same with the rule at pc already read, its keyword k or -1. The rules a text's
    // loops hold most stay here, small: a charset under any, some or opt, a capture and a paren.
    // Inlined into the block's loop, they skip a call per rule.
    [[gnu::always_inline]] bool match_rule(cell* rules, int32_t& pc, cell* r, int32_t k) {
        int32_t at = pc++;
        if (TYPE_OF(r) == TYPE_PAREN) {
            eval_paren(r);
            emit("paren", match_, rules, at);
            return true;
        }
        if (k >= K_ANY && k <= K_SET) {
            if (k >= K_COPY) return capture(rules, at, pc, k == K_COPY);
            // Over a charset: the loop right here, as repeat would run it.
            if (int32_t ok = charset_repeat(k, rule_at(rules, pc)); ok >= 0) {
                emit("match", ok, rules, pc++);
                return ok;
            }
        }
        return match_other(rules, at, pc, r, k);
    }

    // Any other rule at at, its keyword k or -1.
    [[gnu::noinline]] bool match_other(cell* rules, int32_t at, int32_t& pc, cell* r, int32_t k) {
        if (k >= 0) return match_keyword(k, rules, at, pc);
        switch (TYPE_OF(r)) {
            case TYPE_WORD:
                return match_value_of(word_value(r), rules, at);
            case TYPE_SET_WORD: {
                cell* word = stack::push(r);
                cell* here = input_at(pos());
                set_word(word, here);
                stack::pop(2);
                return true;
            }
            case TYPE_GET_WORD:
                pos_ = position_of(r);
                return true;
            case TYPE_INTEGER:
                return match_counts(rules, at, pc);
            case TYPE_BLOCK:
                return match_block(r, false);
            default:
                return match_value_of(r, rules, at);
        }
    }

    // A rule value: a block is a sub-rule, a word is looked up again, anything else is matched.
    bool match_value_of(cell* value, cell* rules, int32_t at) {
        for (int32_t depth = 0; TYPE_OF(value) == TYPE_WORD; depth++) {
            if (depth > STACK_LIMIT) fire(script_error::parse_stack);
            value = word_value(value);
        }
        if (TYPE_OF(value) == TYPE_BLOCK) return match_block(value, false);
        bool ok = match_here(value);
        emit("match", ok, rules, at);
        return ok;
    }

    cell* eval_paren(const cell* paren) {
        cell* code = stack::push(paren);
        if (uint32_t rc = eval_block_pushed(code)) raise_exit(rc);
        reread_length();
        // The result sits just above the code; keep it in the code's slot.
        *code = code[1];
        stack::top = code + 1;
        return code;
    }

    // A set that may run an object's on-change* handler, which may change the input.
    void set_word(cell* word, cell* value) {
        _context::set(word, value);
        reread_length();
    }

    bool match_keyword(int32_t k, cell* rules, int32_t at, int32_t& pc) {
        switch (k) {
            case K_SKIP: return matched(rules, at, !at_tail() && (pos_ = pos() + 1, true));
            case K_END: return matched(rules, at, at_tail());
            case K_NONE: return matched(rules, at, true);
            case K_FAIL: return matched(rules, at, false);
            case K_BREAK: leave_ = 1; return matched(rules, at, true);
            case K_REJECT: leave_ = 2; return matched(rules, at, false);
            case K_ANY: return repeat(rules, at, pc, 0, -1, KIND_REPEAT);
            case K_SOME: return repeat(rules, at, pc, 1, -1, KIND_REPEAT);
            case K_OPT: return repeat(rules, at, pc, 0, 1, KIND_REPEAT);
            case K_WHILE: return repeat(rules, at, pc, 0, -1, KIND_WHILE);
            case K_TO: case K_THRU: return search(rules, at, pc, k == K_THRU);
            case K_NOT: case K_AHEAD: {
                int32_t start = pos();
                need_operand(rules, at, pc);
                push_rule(triple_of(1, 1, 1), rules, at, k == K_NOT ? KIND_NOT : KIND_AHEAD);
                bool ok = match_rule(rules, pc);
                pos_ = start;
                return popped(rules, at, k == K_NOT ? !ok : ok);
            }
            case K_INTO: return into(rules, at, pc);
            case K_QUOTE: {
                cell* v = rule_at(rules, pc);
                if (!v) end_error(rules, at);
                pc++;
                return matched(rules, at, match_here(v));
            }
            case K_IF: {
                cell* p = rule_at(rules, pc);
                if (!p || TYPE_OF(p) != TYPE_PAREN) end_error(rules, at);
                pc++;
                cell* v = eval_paren(p);
                bool ok = value_true_q(v, false, nullptr);
                stack::pop(1);
                emit("paren", match_, rules, at);
                return matched(rules, at, ok);
            }
            case K_CASE: {
                cell* w = rule_at(rules, pc);
                if (!w || TYPE_OF(w) != TYPE_WORD) end_error(rules, at);
                pc++;
                bool saved = case_q_;
                case_q_ = value_true_q(word_value(w), false, nullptr);
                push_rule(triple_of(1, 1, 1), rules, at, KIND_CASE);
                bool ok;
                try {
                    ok = match_rule(rules, pc);
                } catch (...) {
                    case_q_ = saved;
                    throw;
                }
                case_q_ = saved;
                return popped(rules, at, ok);
            }
            case K_REMOVE: return remove(rules, at, pc);
            case K_INSERT: return insert(rules, at, pc);
            case K_CHANGE: return change(rules, at, pc);
            case K_KEEP: return keep(rules, at, pc);
            case K_COLLECT: return collect(rules, at, pc);
            default: {
                // only, pick and after out of place, and a | taken as a rule.
                cell word = *block::ks_abs_at(rules, at);
                fire(script_error::parse_rule, &word);
            }
        }
    }

    bool matched(cell* rules, int32_t at, bool ok) {
        emit("match", ok, rules, at);
        return ok;
    }

    [[gnu::always_inline]] bool popped(cell* rules, int32_t at, bool ok) {
        stack_truncate(rule_stack, stack_length(rule_stack) - 3);
        emit("pop", ok, rules, at);
        return note(ok);
    }

    void need_operand(cell* rules, int32_t at, int32_t pc) {
        if (!rule_at(rules, pc)) end_error(rules, at);
    }

    // --- Repetition ----------------------------------------------------------------------

    // Out of line: it crowded match_rule, which every rule goes through.
    [[gnu::noinline]] bool match_counts(cell* rules, int32_t at, int32_t& pc) {
        cell* r = rule_at(rules, at);
        int32_t min = int_of(r), max = min;
        if (min < 0) fire(script_error::out_of_range, r);
        cell* m = rule_at(rules, pc);
        if (m && integer_word_q(m))
            m = _context::get(m);
        else if (m && TYPE_OF(m) != TYPE_INTEGER)
            m = nullptr;
        if (m) {
            max = int_of(m);
            if (max < 0) fire(script_error::out_of_range, m);
            if (max < min) {
                cell rule = *rule_at(rules, at);
                fire(script_error::parse_rule, &rule);
            }
            pc++;
        }
        return repeat(rules, at, pc, min, max, KIND_REPEAT);
    }

    bool repeat(cell* rules, int32_t at, int32_t& pc, int32_t min, int32_t max, int32_t kind_code) {
        need_operand(rules, at, pc);
        int32_t operand = pc;
        // The loop's operand is one cell, a value or a plain word.
        if (int32_t done = max == 0 ? -1 : fast_repeat(rule_at(rules, operand), max); done >= 0) {
            pc = operand + 1;
            emit("match", done >= min, rules, operand);
            return done >= min;
        }
        pc = skip_rule(rules, operand);
        if (max == 0) return true;
        push_rule(triple_of(min, max, 1), rules, at, kind_code);
        int32_t count = 0;
        while (max < 0 || count < max) {
            int32_t before = pos(), length_before = length_;
            int32_t p = operand;
            bool ok = match_rule(rules, p);
            bool stop = stop_repeat_;
            stop_repeat_ = false;
            if (!ok) {
                pos_ = before;
                break;
            }
            count++;
            if (stop) break;
            if (kind_code == KIND_REPEAT && pos() == before && length_ == length_before) break;
            if (max >= 0 && count >= max) break;
            emit("iterate", true, rules, operand);
        }
        return popped(rules, at, count >= min);
    }

    // any, some or opt (k) over a char or bitset operand: 1 or 0 for the match, -1 when the
    // operand is another rule.
    [[gnu::always_inline]] int32_t charset_repeat(int32_t k, cell* operand) {
        if (!operand) return -1;
        int32_t done = fast_repeat(operand, k == K_OPT ? 1 : -1);
        return done < 0 ? -1 : done >= (k == K_SOME ? 1 : 0);
    }

    // A char, string or bitset under a repetition over text or bytes: one loop over the
    // units, no entry per pass. Answers the passes made, or -1 when the operand is another rule.
    [[gnu::always_inline]] int32_t fast_repeat(cell* r, int32_t max) {
        if (input_family() == BLOCKS) return -1;
        // Charsets are mostly named: a word for a char or bitset takes the loop too.
        if (TYPE_OF(r) == TYPE_WORD && r->w1 && static_cast<int32_t>(r->w3) >= 0 && keyword_of(r) < 0) {
            // The tests above are bound_value's; only the values are left to find (a call to
            // bound_value here went out of line).
            cell* values = _context::values(ctx_cell(r->w1));
            r = values ? values + r->w3 : _context::get(r);
        }
        uint32_t t = TYPE_OF(r);
        if (t != TYPE_CHAR && t != TYPE_BITSET) return -1;
        int32_t count = 0, end = tail();
        pos_ = pos();
        if (t == TYPE_CHAR) {
            uint32_t want = fold(r->w2);
            while ((max < 0 || count < max) && pos_ < end && fold(unit_at(pos_)) == want) pos_++, count++;
        } else if (series::buffer_of(input_)->unit() == 1) {
            count = bits_run(series::buffer_of(input_)->offset, end, max, node_buffer(series_node(r)));
        } else {
            series_buffer* bits = node_buffer(series_node(r));
            while ((max < 0 || count < max) && pos_ < end && bit_match(bits, unit_at(pos_))) pos_++, count++;
        }
        return count;
    }

    // The bitset loop over one-byte units, as most input is: the bytes and the set's bits
    // read straight. Answers the units matched.
    [[gnu::always_inline]] int32_t bits_run(const uint8_t* units, int32_t end, int32_t max, const series_buffer* bits) {
        int32_t start = pos_;
        if (max >= 0 && end - start > max) end = start + max;
        const uint8_t* set = bits->offset;
        size_t limit = bits->used_bytes() * 8;
        // One loop for each answer past the set's bits: the test per unit stays a bit read.
        int32_t p = bitset::complemented_q(bits) ? run_in<true>(units, start, end, set, limit)
                                                  : run_in<false>(units, start, end, set, limit);
        pos_ = p;
        return p - start;
    }

    // Where the units from p on leave the set, before end; units past its limit are in
    // it when beyond.
    template <bool beyond>
    static int32_t run_in(const uint8_t* units, int32_t p, int32_t end, const uint8_t* set, size_t limit) {
        for (; p < end; p++) {
            uint32_t c = units[p];
            if (c >= limit) {
                if (!beyond) break;
            } else if (!(set[c >> 3] & (0x80u >> (c & 7)))) {
                break;
            }
        }
        return p;
    }

    // Charsets name exact code points: no case folding.
    static bool bit_match(series_buffer* bits, uint32_t c) { return bitset::bit_q(bits, c); }

    // --- Matching one value at the position ----------------------------------------------

    bool match_here(cell* value) {
        int32_t p = pos();
        int32_t after = match_at(value, p);
        if (after < 0) return false;
        pos_ = after;
        return true;
    }

    // Where a match of the value at p ends, or -1.
    int32_t match_at(cell* value, int32_t p) {
        uint32_t t = TYPE_OF(value);
        int32_t end = tail();
        if (input_family() == BLOCKS) {
            if (t == TYPE_DATATYPE || t == TYPE_TYPESET) {
                if (p >= end) return -1;
                uint32_t it = TYPE_OF(block::ks_abs_at(input_, p));
                return (t == TYPE_DATATYPE ? value->w1 == it : typeset_has(value, it)) ? p + 1 : -1;
            }
            if (p >= end) return -1;
            int32_t op = t == TYPE_LIT_WORD || t == TYPE_LIT_PATH ? (case_q_ ? COMP_STRICT_MATCH : COMP_MATCH)
                                                                  : (case_q_ ? COMP_STRICT_EQUAL : COMP_EQUAL);
            cell item = *block::ks_abs_at(input_, p);
            cell rule = *value;
            if (t == TYPE_LIT_WORD) return any_word_q(TYPE_OF(&item)) && symbol_match(&item, &rule) ? p + 1 : -1;
            int32_t r = compare_dispatch(&item, &rule, op);
            return r == 0 ? p + 1 : -1;
        }
        if (t == TYPE_DATATYPE || t == TYPE_TYPESET) {
            if (input_family() == TEXT) fire(script_error::parse_unsupported);
            return scan_token(value, p, end);
        }
        if (p > end) return -1;
        switch (t) {
            case TYPE_CHAR:
                return p < end && fold(unit_at(p)) == fold(value->w2) ? p + 1 : -1;
            case TYPE_BITSET:
                return p < end && bit_match(node_buffer(series_node(value)), unit_at(p)) ? p + 1 : -1;
            case TYPE_BINARY:
                return match_units(binary::ks_head(value), binary::ks_length_q(value), 1, p, end, false);
            default:
                if (!any_string_q(t)) {
                    cell rule = *value;
                    fire(script_error::parse_rule, &rule);
                }
                return match_text(value, p, end);
        }
    }

    bool symbol_match(const cell* item, const cell* rule) {
        if (case_q_) return item->w2 == rule->w2;
        return symbol::resolve(item->w2) == symbol::resolve(rule->w2);
    }

    int32_t match_text(cell* text, int32_t p, int32_t end) {
        bool tag = TYPE_OF(text) == TYPE_TAG;
        if (tag) {
            if (p >= end || unit_at(p) != '<') return -1;
            p++;
        }
        int32_t n;
        if (input_family() == BYTES) {
            std::string bytes = utf8_of(text);
            n = match_units(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 1, p, end, true);
        } else {
            series_buffer* b = series::buffer_of(text);
            uint32_t h = series_head(text);
            uint32_t len = string::ks_length(text);
            if (p + static_cast<int64_t>(len) > end) return -1;
            for (uint32_t i = 0; i < len; i++) {
                uint32_t a = unit_at(p + static_cast<int32_t>(i));
                uint32_t c = string::get_char(b->offset + size_t{h + i} * b->unit(), b->unit());
                // Equal characters fold alike: only a difference asks the case table.
                if (a != c && fold(a) != fold(c)) return -1;
            }
            n = p + static_cast<int32_t>(len);
        }
        if (n < 0) return -1;
        if (tag) {
            if (n >= end || unit_at(n) != '>') return -1;
            n++;
        }
        return n;
    }

    // Bytes (or one-byte characters) at p; text rules over bytes fold ASCII case.
    int32_t match_units(const uint8_t* bytes, size_t n, uint32_t, int32_t p, int32_t end, bool text_rule) {
        if (p + static_cast<int64_t>(n) > end) return -1;
        for (size_t i = 0; i < n; i++) {
            uint32_t a = unit_at(p + static_cast<int32_t>(i)), b = bytes[i];
            if (input_family() == BYTES && !text_rule) {
                if (a != b) return -1;
            } else if (fold(a) != fold(b)) {
                return -1;
            }
        }
        return p + static_cast<int32_t>(n);
    }

    // One token of the lexer at p in binary input, never past the limit.
    int32_t scan_token(cell* type, int32_t p, int32_t end) {
        if (p >= end) return -1;
        cell wanted = *type;
        cell* source = input_at(p);
        cell* out = stack::push(&none_value);
        size_t consumed = 0;
        int32_t found = transcode_binary(out, source, end - p, true, false, false, false, &consumed);
        stack::pop(2);
        if (found <= 0 || consumed == 0) return -1;
        bool ok = TYPE_OF(&wanted) == TYPE_DATATYPE ? wanted.w1 == static_cast<uint32_t>(found)
                                                    : typeset_has(&wanted, static_cast<uint32_t>(found));
        return ok ? std::min<int32_t>(p + static_cast<int32_t>(consumed), end) : -1;
    }

    // --- to, thru ------------------------------------------------------------------------

    // What a to/thru operand over text or bytes matches at each position, when the scan
    // can run no code and report no step: the operand itself, or the value its word holds
    // while no callback watches (that path reports each position).
    bool scanned_value(cell* r, cell& value) {
        if (input_family() == BLOCKS) return false;
        uint32_t t = TYPE_OF(r);
        if (t == TYPE_WORD) {
            if (callback_ || keyword_of(r) >= 0) return false;
            r = word_value(r);
            t = TYPE_OF(r);
            if (t == TYPE_WORD) return false;
        } else if (t == TYPE_PAREN || t == TYPE_INTEGER) {
            return false;
        }
        if (t == TYPE_BLOCK) return false;
        value = *r;
        return true;
    }

    // The first position from p on where a match of a char or text can start, judged by its
    // first character over one-byte text; p itself when that can't be told cheaply. whole:
    // the target is that one character, found, so the match is known without matching.
    int32_t next_start(const cell& target, int32_t p, int32_t end, bool& whole) {
        uint32_t t = TYPE_OF(&target);
        whole = false;
        if (input_family() != TEXT || p >= end) return p;
        series_buffer* in = series::buffer_of(input_);
        if (in->unit() != 1) return p;
        uint32_t first;
        bool single = t == TYPE_CHAR;
        if (single) {
            first = target.w2;
        } else if (any_string_q(t) && t != TYPE_TAG && string::ks_length(&target) > 0) {
            first = string::char_at(&target, series_head(&target));
            single = string::ks_length(&target) == 1;
        } else {
            return p;
        }
        uint32_t want = fold(first);
        // Only ASCII folds to ASCII among one-byte characters.
        if (want > 0x7F && !(case_q_ && want <= 0xFF)) return p;
        uint32_t other = !case_q_ && want >= 'A' && want <= 'Z' ? want + 32 : want;
        p = find_unit(in->offset, p, end, want, other);
        whole = single && p < end;
        return p;
    }

    static int32_t find_unit(const uint8_t* units, int32_t p, int32_t end, uint32_t a, uint32_t b) {
        if (a == b) {
            const void* hit = std::memchr(units + p, static_cast<int>(a), static_cast<size_t>(end - p));
            return hit ? static_cast<int32_t>(static_cast<const uint8_t*>(hit) - units) : end;
        }
        while (p < end && units[p] != a && units[p] != b) p++;
        return p;
    }

    bool search(cell* rules, int32_t at, int32_t& pc, bool thru) {
        need_operand(rules, at, pc);
        int32_t operand = pc;
        pc = skip_rule(rules, operand);
        if (keyword_at(rules, operand) == K_END) {
            pos_ = tail();
            return matched(rules, at, true);
        }
        push_rule(triple_of(1, 1, 1), rules, at, thru ? KIND_THRU : KIND_TO);
        cell target;
        bool plain = scanned_value(rule_at(rules, operand), target);
        for (int32_t p = pos(); p <= tail(); p++) {
            int32_t after;
            if (plain) {
                bool whole;
                p = next_start(target, p, tail(), whole);
                after = whole ? p + 1 : match_at(&target, p);
            } else {
                pos_ = p;
                int32_t q = operand;
                after = match_rule(rules, q) ? pos() : -1;
            }
            if (after >= 0) {
                pos_ = thru ? after : p;
                return popped(rules, at, true);
            }
            if (p >= tail()) break;
        }
        return popped(rules, at, false);
    }

    // --- copy, set -----------------------------------------------------------------------

    // Out of line: inlined, it crowded match_rule.
    [[gnu::noinline]] bool capture(cell* rules, int32_t at, int32_t& pc, bool copy) {
        rule_span span(rules);
        cell* w = span.at(pc);
        if (!w || !any_word_q(TYPE_OF(w)) || !span.at(pc + 1)) end_error(rules, at);
        pc++;
        int32_t start = pos();
        // Without a callback nothing reads the rule stack while a charset run matches: the
        // rule's entry waits until code may run, in an object field's store.
        if constexpr (!watched) {
            check_stack_room(rule_stack);  // as the entry's push would
            if (int32_t run = charset_repeat_at(span, pc); run >= 0) {
                if (run == 0) return note(false);
                return capture_run(*w, rules, at, start, copy);
            }
        }
        cell* word = stack::push(w);
        set_type(word, TYPE_WORD);
        push_rule(*word, rules, at, copy ? KIND_COPY : KIND_SET);
        bool ok = capture_rule(rules, pc);
        if (ok) {
            cell value = captured(start, copy);
            if (!store_direct(word, value)) set_word(word, stack::push(&value));
        }
        stack::top = word;
        return popped(rules, at, ok);
    }

    // The rule a capture takes: a to or thru, as most are, goes straight to its scan.
    bool capture_rule(cell* rules, int32_t& pc) {
        int32_t k = keyword_at(rules, pc);
        if (k != K_TO && k != K_THRU) return match_rule(rules, pc);
        int32_t at = pc++;
        return search(rules, at, pc, k == K_THRU);
    }

    // The part from start to the position, or its first value (none if empty).
    cell captured(int32_t start, bool copy) {
        int32_t end = pos();
        int32_t from = std::min(start, end);
        cell value = none_value;
        if (copy) series::copy_range(input_, &value, from, end - from);
        else if (end > from) value = value_at(from);
        return value;
    }

    // A plain variable takes the value straight; an object's field goes through set_word.
    static bool store_direct(const cell* word, const cell& value) {
        cell* slot = _context::settable_value(word);
        if (slot) *slot = value;
        return slot;
    }

    // A charset run's capture, matched from start, stored into the word (any word type: it
    // is taken by value, as the copy may move the rules). Nothing allocates between the copy
    // and the store: the new series needs no root until it is stored.
    bool capture_run(cell word, cell* rules, int32_t at, int32_t start, bool copy) {
        cell value = captured(start, copy);
        if (store_direct(&word, value)) return note(true);
        // An object's field: its on-change* may run code, which sees the rule's entry.
        set_type(&word, TYPE_WORD);
        cell* base = stack::top;
        cell* word_cell = stack::push(&word);
        cell* value_cell = stack::push(&value);
        stack_push(rule_stack, word, triple_of(at, start, length_), kind_cell(copy ? KIND_COPY : KIND_SET));
        set_word(word_cell, value_cell);
        stack::top = base;
        return popped(rules, at, true);
    }

    // charset_repeat for an any, some or opt rule at pc, past which pc moves when it applies.
    int32_t charset_repeat_at(const rule_span& rules, int32_t& pc) {
        cell* r = rules.at(pc);
        int32_t k = r ? keyword_of(r) : -1;
        if (k < K_ANY || k > K_OPT) return -1;
        int32_t ok = charset_repeat(k, rules.at(pc + 1));
        if (ok >= 0) pc += 2;
        return ok;
    }

    // The input's value at i: the cell, the char! or the byte as integer!.
    cell value_at(int32_t i) {
        switch (input_family()) {
            case BLOCKS: return *block::ks_abs_at(input_, i);
            case BYTES: return integer_value(static_cast<int32_t>(unit_at(i)));
            default: return cell{TYPE_CHAR, 0, unit_at(i), 0};
        }
    }

    // --- into ----------------------------------------------------------------------------

    bool into(cell* rules, int32_t at, int32_t& pc) {
        if (input_family() != BLOCKS) fire(script_error::parse_block, input_);
        cell* r = rule_at(rules, pc);
        if (!r) end_error(rules, at);
        cell* sub = r;
        if (TYPE_OF(sub) == TYPE_WORD && keyword_of(sub) < 0) sub = word_value(sub);
        if (TYPE_OF(sub) != TYPE_BLOCK) end_error(rules, at);
        cell* block = stack::push(sub);
        pc++;
        bool ok = false;
        if (!at_tail()) {
            cell item = *block::ks_abs_at(input_, pos());
            if (series_type_q(TYPE_OF(&item)) && TYPE_OF(&item) != TYPE_VECTOR && TYPE_OF(&item) != TYPE_IMAGE) {
                push_rule(triple_of(1, 1, 1), rules, at, KIND_INTO);
                int32_t inputs = stack_length(input_stack);
                if (inputs > STACK_LIMIT) fire(script_error::parse_stack);
                stack_push(input_stack, item, none_value, none_value);
                cell* nested = stack::push(&item);
                cell* outer = input_;
                int32_t outer_pos = pos_, outer_limit = limit_;
                set_input(nested);
                pos_ = series::head_of(nested);
                limit_ = -1;
                try {
                    ok = match_block(block, false) && at_tail();
                } catch (...) {
                    set_input(outer);
                    pos_ = outer_pos, limit_ = outer_limit;
                    stack_truncate(input_stack, inputs);
                    throw;
                }
                set_input(outer);
                pos_ = outer_pos, limit_ = outer_limit;
                stack_truncate(input_stack, inputs);
                stack::pop(1);
                if (ok) pos_ = pos() + 1;
                stack::pop(1);
                return popped(rules, at, ok);
            }
        }
        stack::pop(1);
        return matched(rules, at, ok);
    }

    // --- Changing the input ----------------------------------------------------------------

    [[noreturn]] void rule_error(cell* rules, int32_t pc) {
        cell r = *rule_at(rules, pc);
        fire(script_error::parse_rule, &r);
    }

    bool remove(cell* rules, int32_t at, int32_t& pc) {
        cell* r = rule_at(rules, pc);
        if (!r) end_error(rules, at);
        if (any_path_q(TYPE_OF(r))) rule_error(rules, pc);
        if (TYPE_OF(r) == TYPE_GET_WORD || (TYPE_OF(r) == TYPE_WORD && keyword_of(r) < 0 && position_word_q(r))) {
            int32_t from = position_of(r);
            pc++;
            // Either order: the range between the word's position and the current one.
            int32_t lo = std::min(from, pos()), hi = std::max(from, pos());
            cut(lo, hi - lo);
            pos_ = lo;
            return matched(rules, at, true);
        }
        int32_t start = pos();
        push_rule(triple_of(1, 1, 1), rules, at, KIND_REMOVE);
        bool ok = match_rule(rules, pc);
        if (ok) {
            int32_t end = pos();
            int32_t lo = std::min(start, end);
            cut(lo, std::max(start, end) - lo);
            pos_ = lo;
        }
        return popped(rules, at, ok);
    }

    void cut(int32_t from, int32_t n) {
        if (n <= 0) return;
        cell* s = input_at(std::min(from, length_));
        cell part = integer_value(n);
        cell* p = stack::push(&part);
        remove_dispatch(s, p, static_cast<cell*>(nullptr));
        reread_length();
        stack::pop(2);
    }

    // The value a rule stands for when inserted: a paren's result, a word's value, else itself.
    cell* insertion_value(cell* rules, int32_t pc, int32_t at) {
        cell* v = rule_at(rules, pc);
        if (!v) end_error(rules, at);
        if (TYPE_OF(v) == TYPE_PAREN) {
            cell* result = eval_paren(v);
            emit("paren", match_, rules, pc);
            return result;
        }
        if (TYPE_OF(v) == TYPE_WORD) return stack::push(word_value(v));
        return stack::push(v);
    }

    // Inserts at i; answers the units inserted.
    int32_t put(int32_t i, cell* value, bool only, int32_t replace) {
        int32_t before = length_;
        cell* s = input_at(std::min(i, before));
        if (replace >= 0) change_dispatch(s, value, replace, only, 1);
        else insert_dispatch(s, value, -1, only, 1, false);
        reread_length();
        stack::pop(1);
        return length_ - before + std::max(replace, 0);
    }

    // Whether the operand at pc names a position (a get-word, or a word holding one); a
    // position with nothing after it to put there is a misused rule.
    bool position_operand_q(cell* rules, int32_t pc) {
        cell* w = rule_at(rules, pc);
        if (TYPE_OF(w) != TYPE_GET_WORD && !position_word_q(w)) return false;
        if (!rule_at(rules, pc + 1)) rule_error(rules, pc);
        return true;
    }

    bool insert(cell* rules, int32_t at, int32_t& pc) {
        bool only = keyword_at(rules, pc) == K_ONLY;
        if (only) pc++;
        cell* w = rule_at(rules, pc);
        if (!w) end_error(rules, at);
        if (any_path_q(TYPE_OF(w))) rule_error(rules, pc);
        int32_t where = pos();
        if (position_operand_q(rules, pc)) {
            where = position_of(w);
            pc++;
        }
        cell* value = insertion_value(rules, pc, at);
        pc++;
        int32_t n = put(where, value, only, -1);
        stack::pop(1);
        if (where <= pos()) pos_ = pos() + n;
        return matched(rules, at, true);
    }

    bool change(cell* rules, int32_t at, int32_t& pc) {
        bool only = keyword_at(rules, pc) == K_ONLY;
        if (only) pc++;
        need_operand(rules, at, pc);
        if (any_path_q(TYPE_OF(rule_at(rules, pc)))) rule_error(rules, pc);
        position_operand_q(rules, pc);
        int32_t start = pos();
        push_rule(triple_of(1, 1, 1), rules, at, only ? KIND_CHANGE_ONLY : KIND_CHANGE);
        bool ok = match_rule(rules, pc);
        if (!rule_at(rules, pc)) end_error(rules, at);
        if (ok) {
            int32_t end = pos();
            cell* value = insertion_value(rules, pc, at);
            int32_t lo = std::min(start, end);
            int32_t n = put(lo, value, only, std::max(start, end) - lo);
            stack::pop(1);
            pos_ = lo + n;
        }
        pc++;
        return popped(rules, at, ok);
    }

    // --- collect, keep -------------------------------------------------------------------

    bool collect(cell* rules, int32_t at, int32_t& pc) {
        cell* base = stack::top;
        int32_t option = keyword_at(rules, pc);
        cell* word = nullptr;
        bool fresh = true;
        cell* target;
        if (option == K_INTO || option == K_AFTER || option == K_SET) {
            cell* w = rule_at(rules, pc + 1);
            if (!w || TYPE_OF(w) != TYPE_WORD) end_error(rules, at);
            word = stack::push(w);
            pc += 2;
        } else {
            option = -1;
        }
        need_operand(rules, at, pc);
        if (option == K_INTO || option == K_AFTER) {
            target = stack::push(word_value(word));
            check_target(target);
            fresh = false;
        } else {
            target = block::push_only(8);
        }
        push_rule(triple_of(1, 1, 1), rules, at, KIND_COLLECT);
        collects_.push_back({target, fresh ? 0 : series::head_of(target), fresh});
        bool ok;
        try {
            ok = match_rule(rules, pc);
        } catch (...) {
            collects_.pop_back();
            throw;
        }
        collect_target done = collects_.back();
        collects_.pop_back();
        if (option == K_SET) {
            set_word(word, target);
        } else if (option == K_AFTER) {
            cell* moved = stack::push(target);
            moved->w1 = static_cast<uint32_t>(std::min(done.at, length_of(target)));
            set_word(word, moved);
            stack::pop(1);
        } else if (fresh) {
            if (collects_.empty()) collected_ = result_slot(target);
            else add_kept(collects_.back(), target, true);
        }
        stack::top = base;
        return popped(rules, at, ok);
    }

    // The collected block outlives this rule: kept in a cell below the rule's temporaries.
    cell* result_slot(cell* target) {
        if (!collected_) collected_ = collected_slot_;
        *collected_ = *target;
        return collected_;
    }

    void check_target(cell* target) {
        uint32_t t = TYPE_OF(target);
        bool ok = series_type_q(t) && t != TYPE_VECTOR && t != TYPE_IMAGE &&
                  (t == TYPE_OF(input_) || any_block_q(t) ||
                   (any_string_q(t) && input_family() != BLOCKS) || (t == TYPE_BINARY && input_family() == BYTES));
        if (!ok) fire(script_error::parse_into_type);
        if (series_node(target) == series_node(input_)) fire(script_error::parse_into_bad);
    }

    void add_kept(collect_target& c, cell* value, bool only) {
        if (c.fresh) {
            block::ks_append(c.target, value);
            return;
        }
        int32_t before = length_of(c.target);
        cell* s = stack::push(c.target);
        s->w1 = static_cast<uint32_t>(std::min(c.at, before));
        if (TYPE_OF(s) == TYPE_BINARY) {
            s->w1 = static_cast<uint32_t>(before);
            append_dispatch(s, value, -1, false, 1, true);
        } else {
            insert_dispatch(s, value, -1, only && any_block_q(TYPE_OF(s)), 1, false);
        }
        stack::pop(1);
        c.at += length_of(c.target) - before;
    }

    bool keep(cell* rules, int32_t at, int32_t& pc) {
        bool pick = keyword_at(rules, pc) == K_PICK;
        if (pick) pc++;
        need_operand(rules, at, pc);
        if (collects_.empty()) {
            cell word = *block::ks_abs_at(rules, at);
            fire(script_error::parse_keep, &word);
        }
        cell* r = rule_at(rules, pc);
        if (TYPE_OF(r) == TYPE_PAREN) {
            push_rule(triple_of(1, 1, 1), rules, at, KIND_KEEP_PAREN, pick);
            cell* value = eval_paren(r);
            emit("paren", match_, rules, pc);
            pc++;
            if (pick && any_block_q(TYPE_OF(value))) {
                for (int32_t i = series::head_of(value); i < length_of(value); i++) {
                    cell* item = stack::push(block::ks_abs_at(value, i));
                    add_kept(collects_.back(), item, true);
                    stack::pop(1);
                }
            } else {
                add_kept(collects_.back(), value, true);
            }
            stack::pop(1);
            return popped(rules, at, true);
        }
        int32_t start = pos();
        push_rule(triple_of(1, 1, 1), rules, at, KIND_KEEP, pick);
        bool ok = match_rule(rules, pc);
        if (ok) {
            int32_t end = pos();
            int32_t lo = std::min(start, end), n = std::max(start, end) - lo;
            if (pick || n == 1) {
                for (int32_t i = lo; i < lo + n; i++) {
                    cell* item = stack::push(&none_value);
                    *item = value_at(i);
                    add_kept(collects_.back(), item, true);
                    stack::pop(1);
                }
            } else if (n > 1) {
                cell* part = series::copy_range(input_, stack::push(&none_value), lo, n);
                add_kept(collects_.back(), part, true);
                stack::pop(1);
            }
        }
        return popped(rules, at, ok);
    }

public:
    cell* collected_slot_ = nullptr;
};

// One parse's share of both stacks: cleared on every way out, so an outer parse finds
// its entries as it left them and the next parse starts on empty stacks.
struct stacks_guard {
    int32_t rules = stack_length(rule_stack);
    int32_t inputs = stack_length(input_stack);
    ~stacks_guard() {
        stack_truncate(rule_stack, rules);
        stack_truncate(input_stack, inputs);
    }
};

template <bool watched>
cell run_engine(cell* input, cell* rules, int32_t case_flag, int32_t limit, cell* callback, cell* collected) {
    engine<watched> e(input, case_flag, limit, callback);
    e.collected_slot_ = collected;
    return *e.run(rules);
}

}  // namespace

cell* parse_rules(cell* input, cell* rules, int32_t case_flag, int32_t limit, cell* callback) {
    make_stacks();
    intern_keywords();
    stacks_guard guard;
    cell* base = stack::top;
    cell* collected = stack::push(&none_value);
    stack_push(input_stack, *input, none_value, none_value);
    cell result = callback ? run_engine<true>(input, rules, case_flag, limit, callback, collected)
                           : run_engine<false>(input, rules, case_flag, limit, callback, collected);
    stack::top = base;
    return stack::push(&result);
}

namespace natives {

int32_t parse(bool, const int32_t* refinements) {
    cell* input = stack::arguments;
    cell* rules = stack::arguments + 1;
    int32_t case_flag = refinement_given(refinements, 0) ? PARSE_CASE_SENSITIVE : PARSE_CASE_INSENSITIVE;
    int32_t limit = -1;
    if (refinement_given(refinements, 1)) {
        cell* part = stack::arguments + refinements[1];
        int32_t count;
        if (TYPE_OF(part) == TYPE_INTEGER) {
            count = int_of(part);
        } else if (TYPE_OF(part) == TYPE_FLOAT) {
            count = static_cast<int32_t>(cell_float(part));
        } else {
            if (TYPE_OF(part) != TYPE_OF(input) || series_node(part) != series_node(input)) {
                cell word = runtime_refinements[REF_PART];
                set_type(&word, TYPE_WORD);
                fire(script_error::invalid_refine_arg, &word, part);
            }
            count = series::head_of(part) - series::head_of(input);
        }
        if (count <= 0) {
            *stack::arguments = cell{TYPE_LOGIC, series::head_of(input) >= length_of(input), 0, 0};
            return 0;
        }
        limit = series::head_of(input) + count;
    }
    cell* callback = refinement_given(refinements, 2) ? stack::arguments + refinements[2] : nullptr;
    if (callback && TYPE_OF(callback) != TYPE_FUNCTION) callback = nullptr;
    cell* result = parse_rules(input, rules, case_flag, limit, callback);
    *stack::arguments = *result;
    stack::top = stack::arguments + 1;
    return 0;
}

}  // namespace natives

}  // namespace kel
