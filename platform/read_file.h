// Reads a whole file into memory: the image decoder's file input.
#pragma once
#include <cstdint>
#include <vector>

namespace kel {

// False when the file cannot be opened or read.
bool read_whole_file(const char* path, std::vector<uint8_t>& out);

}  // namespace kel
