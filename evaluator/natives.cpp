#include "evaluator/natives.h"

#include "evaluator/throw.h"

namespace kel {

native_code native_entries[NATIVES_COUNT];
uint32_t native_fill_index = 1;

void fill_native_table(uint32_t count, const native_code* list) {
    for (uint32_t i = 0; i < count && native_fill_index <= NATIVES_COUNT; i++)
        native_entries[native_fill_index++ - 1] = list[i];
}

void register_natives() {
    // In native index order; an empty entry is a native still to be written, and raises
    // internal not-done when called.
    static const native_code list[NATIVES_COUNT] = {
        nullptr, nullptr, nullptr, nullptr, nullptr,          // if unless either any all
        nullptr, nullptr, nullptr, nullptr, nullptr,          // while until loop repeat forever
        nullptr, nullptr, nullptr, nullptr, nullptr,          // foreach forall remove-each func function
        nullptr, nullptr, nullptr, nullptr, nullptr,          // does has switch case do
        nullptr, nullptr, nullptr, nullptr, nullptr,          // get set print prin equal?
        nullptr, nullptr, nullptr, nullptr, nullptr,          // not-equal? strict-equal? lesser? greater? lesser-or-equal?
        nullptr, nullptr, nullptr, nullptr, nullptr,          // greater-or-equal? same? not type? reduce
        nullptr, nullptr, nullptr, nullptr, nullptr,          // compose stats bind in parse
        nullptr, nullptr, nullptr, nullptr, nullptr,          // union intersect unique difference exclude
        nullptr, nullptr, nullptr, nullptr, nullptr,          // complement? dehex enhex negative? positive?
        nullptr, nullptr, nullptr, nullptr, nullptr,          // max min shift to-hex sine
        nullptr, nullptr, nullptr, nullptr, nullptr,          // cosine tangent arcsine arccosine arctangent
        nullptr, nullptr, nullptr, nullptr, nullptr,          // arctangent2 NaN? log-2 log-10 log-e
        nullptr, nullptr, nullptr, nullptr, natives::try_,    // exp square-root construct value? try
        nullptr, nullptr, nullptr, nullptr, nullptr,          // uppercase lowercase as-pair as-point2D as-point3D
        nullptr, natives::break_, natives::continue_, natives::exit_, natives::return_,  // as-money break continue exit return
        natives::throw_, natives::catch_, nullptr, nullptr, nullptr,  // throw catch extend debase to-local-file
        nullptr, nullptr, nullptr, nullptr, nullptr,          // wait checksum unset new-line new-line?
        nullptr, nullptr, nullptr, nullptr, nullptr,          // enbase context? set-env get-env list-env
        nullptr, nullptr, nullptr, nullptr, nullptr,          // now sign? as call zero?
        nullptr, nullptr, nullptr, nullptr, nullptr,          // size? browse compress decompress recycle
        nullptr, nullptr,                                     // transcode apply
    };
    native_fill_index = 1;
    fill_native_table(NATIVES_COUNT, list);
}

}  // namespace kel
