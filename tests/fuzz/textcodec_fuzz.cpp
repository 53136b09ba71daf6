// Arbitrary bytes through the JSON and CSV decoders: each input gives a value, an error
// value, or one of the errors that untrusted text may raise; any other error, a crash, a
// hang or a sanitizer report is a finding.
//
// The first byte picks the decoder (bit 0: CSV) and, for CSV, the refinements (bits 1-6:
// /header, /as-columns, /as-records, /flat, /trim, /with #";"; bit 7: /quote #"'"); the
// rest, read as UTF-8, is the text. A JSON value that loads must be written and read back
// to an equal value. Each call also runs with the native loop declining, so that the Kel
// grammar or writer does it: both ways must give the same value or the same error.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "boot/init.h"
#include "boot/script.h"
#include "boot/startup.h"
#include "evaluator/interpreter.h"
#include "runtime/exits.h"
#include "runtime/stack.h"
#include "tests/fuzz/fuzz_runtime.h"

using namespace kel;

namespace {

const char harness[] = R"(
textcodec-allowed: [invalid-data parse-stack message out-of-range]
textcodec-ok?: func [result] [
    to logic! any [not error? :result find textcodec-allowed result/id]
]
textcodec-outcome: func [code /local result] [
    set/any 'result try code
    either error? :result [reduce [result/id result/arg1]] [mold/all/flat :result]
]
textcodec-same: func [support field stub code /local saved kel-only] [
    saved: get in support field
    set in support field :stub
    set/any 'kel-only textcodec-outcome code
    set in support field :saved
    kel-only = textcodec-outcome code
]
textcodec-reader: context? first find body-of :load-json 'fast-decode
textcodec-writer: context? first find body-of :to-json 'fast-encode
textcodec-csv-reader: context? first find body-of :load-csv 'quote-char
textcodec-json: func [text /local value again] [
    unless textcodec-same textcodec-reader 'fast-decode func [t i] [false] [load-json text] [return false]
    value: try [load-json text]
    unless textcodec-ok? :value [return false]
    if any [error? :value find mold :value "#INF"] [return true]
    unless textcodec-same textcodec-writer 'fast-encode func [d i a] [none] [to-json :value] [return false]
    again: try [load-json to-json :value]
    any [all [error? :again again/id = 'invalid-data] :again = :value]
]
textcodec-csv: func [mode text /local refs code] [
    refs: copy []
    foreach [bit ref] [2 header 4 as-columns 8 as-records 16 flat 32 trim 64 with 128 quote] [
        if 0 <> (mode and bit) [append refs ref]
    ]
    code: reduce [to path! append copy [load-csv] refs text]
    if 0 <> (mode and 64) [append code #";"]
    if 0 <> (mode and 128) [append code #"'"]
    unless textcodec-same textcodec-csv-reader 'fast-read func [t d q h s i] [none] code [return false]
    textcodec-ok? try code
]
textcodec-run: func [data /local mode text] [
    if tail? data [return true]
    mode: first data
    if error? text: try [to string! next data] [return true]
    either 0 = (mode and 1) [textcodec-json text] [textcodec-csv mode text]
]
)";

bool run_text(const std::string& text) {
    cell* top = stack::top;
    uint32_t rc = eval_kel_text(text);
    if (rc != 0) std::abort();
    // The block's value is pushed after it.
    const cell* result = stack::top - 1;
    bool ok = result > top && TYPE_OF(result) == TYPE_LOGIC && result->w1 != 0;
    stack::top = top;
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        runtime_init();
        run_stages();
        (void)run_text(harness);
        return true;
    }();
    (void)ready;
    static const char hex[] = "0123456789ABCDEF";
    std::string call = "textcodec-run #{";
    for (size_t i = 0; i < size; i++) {
        call += hex[data[i] >> 4];
        call += hex[data[i] & 15];
    }
    if (!run_text(call + "}")) std::abort();
    return 0;
}
