#include "evaluator/natives.h"

#include "evaluator/checksum.h"
#include "evaluator/comparison.h"
#include "evaluator/control.h"
#include "evaluator/system.h"
#include "evaluator/throw.h"
#include "evaluator/values.h"

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
    using namespace natives;
    static const native_code list[NATIVES_COUNT] = {
        if_, unless, either, any, all,                                              // 1
        while_, until, loop, repeat, forever,                                       // 6
        foreach, forall, remove_each, func, function_,                              // 11
        does, has, switch_, case_, do_,                                             // 16
        get, set, print, prin, equal_q,                                             // 21
        not_equal_q, strict_equal_q, lesser_q, greater_q, lesser_or_equal_q,        // 26
        greater_or_equal_q, same_q, not_, type_q, reduce,                           // 31
        compose, stats, bind, in, nullptr,                                          // 36 parse
        nullptr, nullptr, nullptr, nullptr, nullptr,                                // 41 union intersect unique difference exclude
        nullptr, nullptr, nullptr, nullptr, nullptr,                                // 46 complement? dehex enhex negative? positive?
        nullptr, nullptr, nullptr, nullptr, nullptr,                                // 51 max min shift to-hex sine
        nullptr, nullptr, nullptr, nullptr, nullptr,                                // 56 cosine tangent arcsine arccosine arctangent
        nullptr, nullptr, nullptr, nullptr, nullptr,                                // 61 arctangent2 NaN? log-2 log-10 log-e
        nullptr, nullptr, construct, value_q, try_,                                 // 66 exp square-root
        uppercase, lowercase, as_pair, as_point2D, as_point3D,                      // 71
        as_money, break_, continue_, exit_, return_,                                // 76
        throw_, catch_, extend, nullptr, to_local_file,                             // 81 debase
        wait, checksum, nullptr, nullptr, nullptr,                                  // 86 unset new-line new-line?
        nullptr, nullptr, set_env, get_env, list_env,                               // 91 enbase context?
        now, nullptr, nullptr, call, nullptr,                                       // 96 sign? as zero?
        size_q, browse, nullptr, nullptr, nullptr,                                  // 101 recycle; compress and decompress install from io
        nullptr, nullptr,                                                           // 106 transcode apply
    };
    native_fill_index = 1;
    fill_native_table(NATIVES_COUNT, list);
    print_buffer_init();
}

}  // namespace kel
