#include "datatypes/triple.h"

#include <cstdio>
#include <cstring>

#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"

namespace kel::triple {

void init() {
    register_datatype(TYPE_TRIPLE, 0, "triple!", {
        0, 0, 0, 0, entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

int32_t form(cell* value, cell* buffer, cell*, int32_t part) {
    char text[64] = "make triple! [";
    const uint32_t words[3] = {value->w1, value->w2, value->w3};
    for (int i = 0; i < 3; i++) {
        size_t n = std::strlen(text);
        std::snprintf(text + n, sizeof text - n, i < 2 ? "%s " : "%s]",
                      form_signed(static_cast<int32_t>(words[i])));
    }
    return string::form_text(buffer, text, part);
}

int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell* arg, int32_t part, int32_t) {
    return form(value, buffer, arg, part);
}

}  // namespace kel::triple
