// The natives of words, values, output and conversions, and the block evaluation that
// `do` shares with them.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {
namespace natives {

// The block print and prin reduce into, at its tail, cut back afterwards: nested prints
// share it. Made once at start-up.
extern cell print_buffer;
// Whether the last print or prin output ended with a line end.
extern bool last_lf_q;

void print_buffer_init();

// The value in slot 0 printed: a block reduced first, a string as it is, anything else
// formed; the text goes to standard output and to the value hooks. Slot 0 becomes unset.
[[nodiscard]] uint32_t print_value(bool line_feed);

// The words of a block (from its head) set from a value: element i of a block-like value
// unless only, else the value itself. any: unset values allowed; some: none values skipped.
void set_block_words(cell* words, cell* value, bool any, bool only, bool some);

// Composes block into out (both cells stay put): values are inserted at out's position,
// which moves past them.
[[nodiscard]] uint32_t compose_block(cell* block, bool deep, bool only, cell* out);

// Memory in use, mode 1: an integer! (a float! past 32 bits) pushed; mode 2: the block of
// node frames, series frames, big blocks, the total from the OS and the heap total.
cell* memory_stats(int32_t mode);

// The block case of do, the result in slot 0: the whole block, or with position (a word,
// null when absent) one expression, the word set to the block after it. With expand the
// preprocessor runs over the block first.
[[nodiscard]] uint32_t do_block_value(cell* block, bool expand, cell* position);

// Entries, in native index order. Refinements in spec order.
int32_t get(bool check, const int32_t* refinements);         // word /any /case
int32_t set(bool check, const int32_t* refinements);         // word value /any /case /only /some
int32_t print(bool check, const int32_t* refinements);       // value
int32_t prin(bool check, const int32_t* refinements);        // value
int32_t not_(bool check, const int32_t* refinements);        // value
int32_t type_q(bool check, const int32_t* refinements);      // value /word
int32_t reduce(bool check, const int32_t* refinements);      // value /into out
int32_t compose(bool check, const int32_t* refinements);     // value /deep /only /into out
int32_t stats(bool check, const int32_t* refinements);       // /show /info
int32_t bind(bool check, const int32_t* refinements);        // word context /copy
int32_t in(bool check, const int32_t* refinements);          // object word
int32_t construct(bool check, const int32_t* refinements);   // block /with object /only
int32_t value_q(bool check, const int32_t* refinements);     // value
int32_t uppercase(bool check, const int32_t* refinements);   // string /part limit
int32_t lowercase(bool check, const int32_t* refinements);   // string /part limit
int32_t as_pair(bool check, const int32_t* refinements);     // x y
int32_t as_point2D(bool check, const int32_t* refinements);  // x y
int32_t as_point3D(bool check, const int32_t* refinements);  // x y z
int32_t as_money(bool check, const int32_t* refinements);    // currency amount
int32_t extend(bool check, const int32_t* refinements);      // obj spec /case
int32_t size_q(bool check, const int32_t* refinements);      // file

}  // namespace natives
}  // namespace kel
