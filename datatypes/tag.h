// tag!, email! and ref!: text datatypes that differ from string! only in how they are
// written out and, for email!, in path access. A tag's content excludes its angle
// brackets, a ref's its "@".
//
// Cells passed in must stay put across allocation (argument-stack slots or root guards).
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

namespace tag {
void init();
// A copy of the value on the argument stack.
cell* push(const cell* value);
// Form and mold are one: the text between "<" and ">", without escapes.
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
}  // namespace tag

namespace email {
void init();
// The plain text.
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
// An integer picks or pokes a character; user and host read or replace the text before and
// after the first "@".
const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t index, bool case_q, bool get_q, bool tail_q,
                      bool evt_q);
}  // namespace email

namespace ref {
void init();
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
}  // namespace ref

// A copy of the value on the argument stack.
cell* ref_push(const cell* value);

}  // namespace kel
