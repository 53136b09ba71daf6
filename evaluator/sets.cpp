#include "evaluator/sets.h"

#include <vector>

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/logic.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/text_compare.h"
#include "datatypes/typeset.h"
#include "datatypes/url.h"
#include "evaluator/natives.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"

namespace kel::natives {

namespace {

inline cell* arg(int32_t i) { return stack::arguments + i; }
inline bool block_or_hash_q(uint32_t t) { return t == TYPE_BLOCK || t == TYPE_HASH; }

int32_t set_entry(const int32_t* refinements, int32_t op) {
    set_operation(refinements, op);
    return 0;
}

// The /base argument, 64 when absent.
int32_t base_of(const int32_t* refinements) {
    return refinement_given(refinements, 0) ? int_of(arg(refinements[0])) : 64;
}

}  // namespace

void set_operation(const int32_t* refinements, int32_t op) {
    cell* first = arg(0);
    cell* second = arg(1);
    uint32_t t1 = TYPE_OF(first);
    if (op != series::SET_UNIQUE) {
        uint32_t t2 = TYPE_OF(second);
        if (block_or_hash_q(t1) ? !block_or_hash_q(t2) : t1 != t2) {
            cell type1{TYPE_DATATYPE, t1, 0, 0}, type2{TYPE_DATATYPE, t2, 0, 0};
            fire(script_error::expect_val, &type1, &type2);
        }
    }
    bool case_q = refinement_given(refinements, 0);
    cell* skip = refinement_given(refinements, 1) ? arg(refinements[1]) : nullptr;
    switch (t1) {
        case TYPE_BLOCK: case TYPE_HASH: block::set_operation(first, case_q, skip, op); break;
        case TYPE_STRING: string::set_operation(first, case_q, skip, op); break;
        case TYPE_TYPESET: typeset::do_bitwise(op); break;
        case TYPE_DATE: date::difference(first, second); break;
        case TYPE_BITSET: bitset::do_bitwise(op); break;
        default: fire(internal_error::not_done);
    }
}

int32_t union_(bool, const int32_t* refinements) { return set_entry(refinements, series::SET_UNION); }
int32_t intersect(bool, const int32_t* refinements) { return set_entry(refinements, series::SET_INTERSECT); }
int32_t unique(bool, const int32_t* refinements) { return set_entry(refinements, series::SET_UNIQUE); }
int32_t difference(bool, const int32_t* refinements) { return set_entry(refinements, series::SET_DIFFERENCE); }
int32_t exclude(bool, const int32_t* refinements) { return set_entry(refinements, series::SET_EXCLUDE); }

int32_t complement_q(bool, const int32_t*) {
    *stack::arguments = bitset::complemented_q(node_buffer(series_node(arg(0)))) ? true_value : false_value;
    return 0;
}

int32_t dehex(bool, const int32_t*) {
    cell* text = string::make_at(stack::push_cell(), string::ks_length(arg(0)));
    url::decode_string(arg(0), text);
    *stack::arguments = *text;
    return 0;
}

int32_t enhex(bool, const int32_t*) {
    uint32_t mode = TYPE_OF(arg(0)) == TYPE_STRING ? url::ESCAPE_STRICT : 0xFF;
    cell* text = string::make_at(stack::push_cell(), string::ks_length(arg(0)));
    url::encode_string(arg(0), text, mode);
    *stack::arguments = *text;
    return 0;
}

int32_t debase(bool, const int32_t* refinements) {
    int32_t base = base_of(refinements);
    cell* out = stack::push(&none_value);
    if (!binary::decode(base, arg(0), out)) *out = none_value;
    *stack::arguments = *out;
    return 0;
}

int32_t enbase(bool, const int32_t* refinements) {
    int32_t base = base_of(refinements);
    std::vector<uint8_t> bytes;
    binary::insert_value(arg(0), -1, bytes);
    cell* out = stack::push(&none_value);
    binary::encode(base, bytes.data(), bytes.size(), out);
    *stack::arguments = *out;
    return 0;
}

}  // namespace kel::natives
