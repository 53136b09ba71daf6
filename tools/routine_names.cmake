# Writes a C++ header listing the routine names of the routines stage, in order, so that
# boot/routines.cpp can check at compile time that names and entries match one to one.
#   cmake -DSTAGE=<02-routines.kel> -DOUT=<routine_names.h> -P routine_names.cmake
# A name starts a line and is followed by its spec block. CMake lists do not survive
# unbalanced brackets, so the brackets become other characters first.
file(READ ${STAGE} text)
string(REPLACE "[" "<" text "${text}")
string(REPLACE "]" ">" text "${text}")
string(REGEX MATCHALL "\n[A-Za-z][^ \n;:]*:? <" heads "\n${text}")
set(rows "")
foreach(head IN LISTS heads)
  string(REGEX REPLACE "^\n([^ :]+).*" "\\1" name "${head}")
  string(APPEND rows "    \"${name}\",\n")
endforeach()
set(source "// Generated from boot/stages/02-routines.kel by tools/routine_names.cmake.
#pragma once
#include <string_view>

namespace kel {

constexpr std::string_view routine_names[] = {
${rows}};

}  // namespace kel
")
include(${CMAKE_CURRENT_LIST_DIR}/write_if_changed.cmake)
write_if_changed(${OUT} "${source}")
