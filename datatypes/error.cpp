#include "datatypes/error.h"

namespace kel {

namespace {
raised_error last_error;
}

void error_create(uint32_t category, uint32_t id, const cell* arg1, const cell* arg2,
                  const cell* arg3) {
    last_error.category = category;
    last_error.id = id;
    last_error.code = category * 100 + id;
    const cell* args[3] = {arg1, arg2, arg3};
    for (int i = 0; i < 3; i++) last_error.args[i] = args[i] ? *args[i] : cell{TYPE_NONE, 0, 0, 0};
}

const raised_error& last_raised_error() { return last_error; }

}  // namespace kel
