// Random rules over random input through PARSE: each run returns or raises a Kel error;
// any other exit, a crash, a hang or a sanitizer report is a finding.
//
// The bytes are a mode byte (bits 0-1: the input is a string, binary or lexed block; bit
// 2: /case), then the rule text, then after a 0 byte the input. The rules are lexed with
// their parens and paths dropped, so no code runs, and bound to a small context of their
// own: the sub-rule words a (the rules themselves) and b, the position words x and y, and
// some datatypes. A counting trace callback ends each parse after a step budget, so an
// endless `while` ends.
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
; Rules see only these words (and the keywords), so no rule can change the harness.
fuzz-types: [integer! char! string! binary! block! word! tag! none! paren! file! any-string!]
fuzz-ctx: copy [a: b: x: y: none]
foreach t fuzz-types [insert fuzz-ctx to set-word! t]
fuzz-ctx: make object! fuzz-ctx
foreach t fuzz-types [set in fuzz-ctx t get t]
fuzz-steps: 0
fuzz-step: func [event match? rule input stack] [
    fuzz-steps: fuzz-steps + 1
    fuzz-steps < 10000
]
fuzz-strip: func [b /local t] [
    while [not tail? b] [
        t: type? b/1
        either any [t = paren! t = path! t = set-path! t = get-path!] [remove b] [
            if block! = type? b/1 [fuzz-strip b/1]
            b: next b
        ]
    ]
]
fuzz-run: func [data /local mode at rules input] [
    if tail? data [exit]
    mode: data/1
    data: next data
    at: any [find data #{00} tail data]
    rules: transcode copy/part data at
    input: either tail? at [copy #{}] [copy next at]
    fuzz-strip rules
    bind rules fuzz-ctx
    fuzz-ctx/a: rules
    fuzz-ctx/b: [skip]
    fuzz-ctx/x: fuzz-ctx/y: none
    switch mode and 3 [0 [input: to string! input] 2 [input: transcode input]]
    fuzz-steps: 0
    either 0 = (mode and 4) [parse/trace input rules :fuzz-step] [parse/case/trace input rules :fuzz-step]
]
)";

void run_text(const std::string& text) {
    cell* top = stack::top;
    uint32_t rc = eval_kel_text(text);
    if (rc != 0 && rc != THROW_ERROR) std::abort();
    stack::top = top;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        runtime_init();
        run_stages();
        run_text(harness);
        return true;
    }();
    (void)ready;
    static const char hex[] = "0123456789ABCDEF";
    std::string call = "fuzz-run #{";
    for (size_t i = 0; i < size; i++) {
        call += hex[data[i] >> 4];
        call += hex[data[i] & 15];
    }
    run_text(call + "}");
    return 0;
}
