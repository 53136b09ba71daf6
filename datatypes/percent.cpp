#include "datatypes/percent.h"

#include "datatypes/float.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"

namespace kel::percent {

void init() {
    register_datatype(TYPE_PERCENT, TYPE_FLOAT, "percent!", {
        INHERIT, INHERIT, 0, INHERIT, entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), 0, 0,
        INHERIT, INHERIT,
        INHERIT, INHERIT, INHERIT, INHERIT, INHERIT, INHERIT, INHERIT, INHERIT, INHERIT, INHERIT,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

int32_t form(cell* value, cell* buffer, cell*, int32_t part) {
    return string::form_text(buffer, float_::form_float(cell_float(value) * 100.0, FORM_PERCENT),
                             part);
}

int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell* arg, int32_t part, int32_t) {
    return form(value, buffer, arg, part);
}

}  // namespace kel::percent
