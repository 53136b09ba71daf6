// Arbitrary text through debase in every base and through dehex: each gives a value or
// none and never raises; any error, a crash or a sanitizer report is a finding. The text
// is the input read as UTF-8 (when it is not, as UTF-16LE), so all three string widths
// come up.
#include <cstdint>
#include <cstdlib>

#include "boot/init.h"
#include "datatypes/binary.h"
#include "datatypes/string.h"
#include "datatypes/url.h"
#include "runtime/collector.h"
#include "runtime/exits.h"
#include "runtime/stack.h"
#include "tests/fuzz/fuzz_runtime.h"

using namespace kel;

namespace {

cell* text_of(const uint8_t* bytes, size_t size) {
    for (int32_t encoding : {0, -1}) {
        try {
            return load_string_push(bytes, size, encoding);
        } catch (const kel_exit&) {
            pending_code = 0;
        }
    }
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_runtime_ready();
    cell* top = stack::top;
    cell* text = text_of(data, size);
    if (!text) return 0;
    try {
        for (int32_t base : {2, 16, 58, 64}) {
            cell* out = stack::push_cell();
            *out = none_value;
            if (binary::decode(base, text, out) && TYPE_OF(out) != TYPE_BINARY) std::abort();
        }
        cell* decoded = string::make_at(stack::push_cell(), static_cast<uint32_t>(size));
        url::decode_string(text, decoded);
        if (TYPE_OF(decoded) != TYPE_STRING) std::abort();
    } catch (const kel_exit&) {
        std::abort();
    }
    stack::top = top;
    return 0;
}
