// The natives that reach the operating system: local file names, sleeping, the
// environment variables, the clock and the desktop's opener (list-env and call are io's).
#pragma once
#include <cstdint>

namespace kel {
namespace natives {

// Entries, in native index order. Refinements in spec order.
int32_t to_local_file(bool check, const int32_t* refinements);  // path /full
int32_t wait(bool check, const int32_t* refinements);           // value /all
int32_t set_env(bool check, const int32_t* refinements);        // var value
int32_t get_env(bool check, const int32_t* refinements);        // var
// /year /month /day /time /zone /date /weekday /yearday /precise /utc
int32_t now(bool check, const int32_t* refinements);
int32_t browse(bool check, const int32_t* refinements);  // url

}  // namespace natives
}  // namespace kel
