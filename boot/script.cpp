#include "boot/script.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "datatypes/error.h"
#include "datatypes/string.h"
#include "platform/terminal.h"
#include "runtime/console.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/heap.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel {

namespace {

// The status of a process whose error nothing caught.
constexpr int UNCAUGHT_ERROR_STATUS = -2;

// "*** Error n", with the category's title and the id's word when the code has them.
std::string plain_report(uint32_t code) {
    std::string text = "*** Error " + std::to_string(code);
    const char* title = error_category_title(code / 100);
    const char* id = error_id_word(code / 100, code % 100);
    if (title && id) text += std::string(" (") + title + ": " + id + ")";
    return text;
}

}  // namespace

std::string error_report() {
    uint32_t code = last_raised_error().code;
    cell* saved = stack::top;
    cell* report = string::make_at(stack::push_cell(), 64);
    // Forming a field may itself raise (a field changed to a value that cannot be formed, no
    // memory left): the report then falls back to the code alone.
    bool formed = TYPE_OF(&last_error) == TYPE_ERROR && catch_exit(LEVEL_ALL, [report] {
        cell* error = stack::push(&last_error);
        error::form(error, report, nullptr, INT32_MAX);
    }) == 0;
    if (!formed) return plain_report(code);
    std::string text;
    series_buffer* b = string::buffer_of(report);
    uint32_t unit = b->unit();
    for (const uint8_t* p = string::ks_head(report); p < b->tail; p += unit) {
        uint32_t cp = unit == 1 ? *p : unit == 2 ? *reinterpret_cast<const uint16_t*>(p) : *reinterpret_cast<const uint32_t*>(p);
        uint8_t bytes[4];
        text.append(reinterpret_cast<char*>(bytes), utf8_encode_char(cp, bytes));
    }
    stack::top = saved;
    return text;
}

void exit_on_uncaught_error(bool on_error_output) {
    std::string report = error_report() + "\n";
    if (on_error_output) standard_error_write(report.data(), report.size());
    else standard_output_write(report.data(), report.size());
    heap_release_all();
    std::fflush(nullptr);
    _exit(UNCAUGHT_ERROR_STATUS);
}

}  // namespace kel
