// The lexer's entry for text values: the source is staged as UTF-8 outside collected
// memory, so the scan can allocate at every value while the text stays put.
#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "runtime/cell.h"

namespace kel {

// A string! source: length characters from its head (-1: all). consumed gets characters.
// The cells passed in (and callback, into) must be on the argument stack; a function!
// callback takes the events lexer_callback_events gives for it. Returns the type of the
// last token, as lexer_scan does.
int32_t transcode_string(cell* out, const cell* source, int64_t length, bool one, bool scan,
                         bool make_values, bool wrap, size_t* consumed,
                         const cell* callback = nullptr, uint32_t event_mask = 0,
                         cell* into = nullptr);

// A binary! source: length bytes from its head (-1: all), a leading byte-order mark
// skipped. consumed gets bytes, the mark included.
int32_t transcode_binary(cell* out, const cell* source, int64_t length, bool one, bool scan,
                         bool make_values, bool wrap, size_t* consumed,
                         const cell* callback = nullptr, uint32_t event_mask = 0,
                         cell* into = nullptr);

// The first value the lexer loads from a text value's characters, pushed on the argument
// stack. Text that does not load as one of the types (malformed text included) raises script
// bad-to-arg with the target type and the text.
const cell* load_first_value(const cell* text, std::initializer_list<uint32_t> types,
                             uint32_t target);

// Every value of UTF-8 text that is not in collected memory, as a block! into out.
void load_text(cell* out, const uint8_t* bytes, size_t length);

// UTF-8 text loaded into out (an argument-stack cell) as a block whose words are those of
// the global context, added there when new.
void load_global_text(cell* out, const uint8_t* bytes, size_t length);
// Binds the words of a block made from text (the lexer leaves them unbound) to the global
// context, adding the new ones there. The block is an argument-stack cell.
void bind_global(cell* block);

}  // namespace kel
