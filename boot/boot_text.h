// The text of the boot .kel files, embedded in the program by the build: specs.kel (the
// action and native spec blocks) first, then the stage files in their start-up order.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel {

struct boot_text_file {
    const char* name;  // relative to boot/, as "stages/03-constants.kel"
    const uint8_t* text;
    size_t length;     // bytes, without the terminating 0
};

extern const boot_text_file boot_text_files[];
extern const uint32_t boot_text_file_count;

}  // namespace kel
