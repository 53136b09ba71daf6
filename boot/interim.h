// Until the boot image exists, the program lexes the boot text embedded in it to make what
// the image will define: the datatype words, none, true and false, the action and native
// words with their specs, and the typesets those specs name.
#pragma once

namespace kel {

// After runtime_init, before the first stage.
void define_boot_words();

}  // namespace kel
