// Arbitrary bytes through the image loader: each input gives none (an unknown signature), an
// image, or access/bad-media; any other error, a crash or a sanitizer report is a finding.
#include <cstdint>
#include <cstdlib>

#include "boot/init.h"
#include "datatypes/binary.h"
#include "datatypes/error.h"
#include "datatypes/image.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/stack.h"
#include "tests/fuzz/fuzz_runtime.h"

using namespace kel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_runtime_ready();
    cell* top = stack::top;
    cell* bytes = binary::load(data, size);
    try {
        const cell* result = image::load_binary(bytes);
        if (TYPE_OF(result) == TYPE_IMAGE && image::pixel_count(result) == 0) std::abort();
        if (TYPE_OF(result) != TYPE_IMAGE && TYPE_OF(result) != TYPE_NONE) std::abort();
    } catch (const kel_exit& e) {
        pending_code = 0;
        if (e.code != THROW_ERROR || last_raised_error().code != error_code(ERR_ACCESS, uint32_t(access_error::bad_media))) std::abort();
    }
    stack::top = top;
    return 0;
}
