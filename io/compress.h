// The compress and decompress natives over the deflate codec and its framings.
#pragma once
#include <cstdint>

namespace kel {

void init_compression_words();
// Puts compress and decompress into the natives table.
void install_compression_natives();

namespace natives {
int32_t compress(bool check, const int32_t* refinements);
int32_t decompress(bool check, const int32_t* refinements);
}  // namespace natives

}  // namespace kel
