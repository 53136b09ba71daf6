// The boot image: the action and native words with their specs, the datatype words and
// the typesets, then each start-up stage's file name and pre-lexed block, in KELBIN boot
// form. Made at build time by boot/tool/make_boot_image.cpp; only programs that start the
// language link it.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel {

extern const uint8_t boot_image[];
extern const size_t boot_image_size;

}  // namespace kel
