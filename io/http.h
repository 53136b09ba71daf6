// HTTP requests for the url! read and write actions, over libcurl opened on first use.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// One synchronous request. method is a word; headers a block of names and values or none
// (then the default headers go); body a string!, binary! or none. The body comes back as a
// binary!, a block of lines or a string! decoded from UTF-8; with info as a block
// [status headers body]. None when the request could not be made. The result is pushed.
const cell* read_url(cell* method, cell* url, cell* headers, cell* body, bool binary, bool lines, bool info);

// Response header lines to a map! of name words to values, a repeated name to a block of
// its values in order; the status line and lines without a colon are skipped. Pushed.
cell* parse_http_headers(const uint8_t* text, size_t length);

// Hands read_url to the url! actions.
void install_http();

}  // namespace kel
