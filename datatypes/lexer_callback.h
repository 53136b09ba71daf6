// Language code watching the lexer: a function! called for each event it asks for, with
// the event word, the source at the token, the token's type, the line and the token.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// The events a callback takes: when its body starts with a block, the event words in that
// block; otherwise all of them.
uint32_t lexer_callback_events(const cell* callback);

// A token type as the callback and transcode's scan modes give it: a datatype for a type
// id, none for 0, the exit state's datatype or word for -k.
cell lexer_type_value(int32_t type);

// Installs the lexer's event hook; once at start-up.
void lexer_callback_init();

}  // namespace kel
