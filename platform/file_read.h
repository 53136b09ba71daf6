// Whole-file reads for services that take a file's bytes at once.
#pragma once
#include <cstdint>
#include <vector>

namespace kel::platform {

// False when the file cannot be opened or read, or is a directory.
bool read_file(const char* path, std::vector<uint8_t>& out);

}  // namespace kel::platform
