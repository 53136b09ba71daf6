// url!: a resource locator held as text, with percent-escape decoding and encoding, its
// own escaped mold, construction from a block of parts, path access that appends segments,
// and open/read/write through the HTTP service or a port.
//
// Cells passed in must stay put across allocation (argument-stack slots or root guards).
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kel {
namespace url {

// The escape table every mode but these two uses is the general one.
constexpr uint32_t ESCAPE_STRICT = 254;
// Mold's: the general table and the parens, which end a url when it is read back.
constexpr uint32_t ESCAPE_MOLD = 256;

// The byte must be written as "%XX" under the mode's table (every byte above 0x7F is).
bool escaped_q(uint32_t mode, uint8_t byte);

// Services of later modules, installed when they start. Until then a call that needs one
// raises internal/feature-na.
struct services {
    // The HTTP request: the response body (binary, lines or text), or with info a block of
    // status, headers and body; none when no response came. headers and body are none
    // when absent.
    const cell* (*read_url)(cell* method, cell* url, cell* headers, cell* body, bool binary, bool lines,
                            bool info);
    // The locator's parts as an object, or none when the text is no valid locator.
    const cell* (*parse_url)(cell* locator);
};
extern services hooks;

// The text at the address (NUL-terminated or long enough) is "%" and two hex digits;
// byte gets their value.
bool decode_escape(const uint8_t* address, uint8_t& byte);
// Appends the source's text from its head to the target with its escapes decoded; an
// escaped UTF-8 sequence becomes its one character.
void decode_string(cell* source, cell* target);
// The byte itself (length 1) when the mode's table lets it pass, else "%" and two upper-case
// hex digits (length 3) in a buffer shared until the next call.
const char* encode_byte(uint32_t mode, const uint8_t* address, uint32_t& length);
// Appends the source's UTF-8 bytes from its head to the target, each through encode_byte.
void encode_string(cell* source, cell* target, uint32_t mode);
// External UTF-8 text as a new string! on the stack, its escapes decoded.
cell* load_decoded(const uint8_t* bytes, size_t length);

// A port made from the parsed locator, pushed on the stack; opened with the refinements
// when open_q is set. A locator the parser rejects raises script/invalid-arg.
cell* make_port(cell* locator, bool open_q, bool new_q, bool read, bool write, bool seek,
                cell* allow);

void init();
const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* to(cell* proto, cell* spec, uint32_t type);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t index, bool case_q, bool get_q, bool tail_q,
                      bool evt_q);
const cell* open(cell* locator, bool new_q, bool read, bool write, bool seek, cell* allow);
const cell* read(cell* source, cell* part, cell* seek, bool binary, bool lines, bool info,
                 cell* as);
const cell* write(cell* destination, cell* data, bool binary, bool lines, bool info, bool append,
                  cell* part, cell* seek, cell* allow, cell* as);

}  // namespace url
}  // namespace kel
