#include "evaluator/natives.h"

#include "evaluator/checksum.h"
#include "evaluator/comparison.h"
#include "evaluator/control.h"
#include "evaluator/math.h"
#include "evaluator/parse.h"
#include "evaluator/runtime_natives.h"
#include "evaluator/sets.h"
#include "evaluator/system.h"
#include "evaluator/throw.h"
#include "evaluator/values.h"

namespace kel {

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
        compose, stats, bind, in, parse,                                            // 36
        union_, intersect, unique, difference, exclude,                             // 41
        complement_q, dehex, enhex, negative_q, positive_q,                         // 46
        max, min, shift, to_hex, sine,                                              // 51
        cosine, tangent, arcsine, arccosine, arctangent,                            // 56
        arctangent2, NaN_q, log_2, log_10, log_e,                                   // 61
        exp, square_root, construct, value_q, try_,                                 // 66
        uppercase, lowercase, as_pair, as_point2D, as_point3D,                      // 71
        as_money, break_, continue_, exit_, return_,                                // 76
        throw_, catch_, extend, debase, to_local_file,                              // 81
        wait, checksum, unset, new_line, new_line_q,                                // 86
        enbase, context_q, set_env, get_env, nullptr,                               // 91 list-env from io
        now, sign_q, as, nullptr, zero_q,                                           // 96 call from io
        size_q, browse, nullptr, nullptr, recycle,                                  // 101 compress and decompress from io
        transcode, apply,                                                           // 106
    };
    native_fill_index = 1;
    fill_native_table(NATIVES_COUNT, list);
    print_buffer_init();
}

}  // namespace kel
