# Writes a C++ source holding the text of the boot .kel files: specs.kel first, then the
# stage files in name order, so the output depends on nothing but their content.
#   cmake -DROOT=<boot folder> -DOUT=<file.cpp> -P embed_boot_text.cmake
file(GLOB stages RELATIVE ${ROOT} ${ROOT}/stages/*.kel)
list(SORT stages)
set(names specs.kel ${stages})

set(arrays "")
set(rows "")
set(i 0)
foreach(name IN LISTS names)
  file(READ ${ROOT}/${name} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR length "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){20})" "\\1\n    " bytes "${bytes}")
  string(APPEND arrays "const uint8_t text_${i}[] = {\n    ${bytes}0};\n")
  string(APPEND rows "    {\"${name}\", text_${i}, ${length}},\n")
  math(EXPR i "${i} + 1")
endforeach()

set(source "// Generated from boot/*.kel by tools/embed_boot_text.cmake.
#include \"boot/boot_text.h\"

namespace kel {

namespace {

${arrays}
}  // namespace

const boot_text_file boot_text_files[] = {
${rows}};
const uint32_t boot_text_file_count = ${i};

}  // namespace kel
")
include(${CMAKE_CURRENT_LIST_DIR}/write_if_changed.cmake)
write_if_changed(${OUT} "${source}")
