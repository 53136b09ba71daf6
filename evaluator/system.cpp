#include "evaluator/system.h"

#include <time.h>

#include <cstring>
#include <string>

#include "datatypes/date.h"
#include "datatypes/file.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/time.h"
#include "datatypes/word.h"
#include "evaluator/natives.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "runtime/error_catalog.h"
#include "runtime/os.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel::natives {

namespace {

inline cell* arg(int32_t i) { return stack::arguments + i; }
inline cell* refinement_arg(const int32_t* refinements, uint32_t k) {
    return refinement_given(refinements, k) ? arg(refinements[k]) : nullptr;
}

// A variable's name: a string's text or a word's spelling; null when it holds a NUL, which
// no name can.
const char* env_name(cell* var) {
    cell* text = any_word_type_q(TYPE_OF(var)) ? word::push_spelling(var) : var;
    return string::find_char(text, 0) >= 0 ? nullptr : to_utf8(text);
}

}  // namespace

int32_t to_local_file(bool, const int32_t* refinements) {
    cell* result = string::make_at(stack::push_cell(), string::ks_length(arg(0)));
    file::to_local_path(arg(0), result, refinement_given(refinements, 0));
    *stack::arguments = *result;
    return 0;
}

int32_t wait(bool, const int32_t*) {
    cell* value = arg(0);
    switch (TYPE_OF(value)) {
        case TYPE_INTEGER:
            os_sleep(integer::get(value));
            break;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME:
            os_sleep(cell_float(value));
            break;
        default:
            fire(script_error::invalid_arg, value);
    }
    // The pass over pending window events comes with the GUI.
    *stack::arguments = unset_value;
    return 0;
}

int32_t set_env(bool, const int32_t*) {
    const char* name = env_name(arg(0));
    if (!name || !*name || std::strchr(name, '=')) fire(script_error::invalid_arg, arg(0));
    std::string kept = name;
    if (TYPE_OF(arg(1)) == TYPE_NONE) {
        os_set_env(kept.c_str(), nullptr);
    } else {
        if (string::find_char(arg(1), 0) >= 0) fire(script_error::invalid_arg, arg(1));
        os_set_env(kept.c_str(), to_utf8(arg(1)));
    }
    *stack::arguments = *arg(1);
    return 0;
}

int32_t get_env(bool, const int32_t*) {
    const char* name = env_name(arg(0));
    size_t size = name ? os_get_env(name, nullptr, 0) : 0;
    if (size == 0) {
        *stack::arguments = none_value;
        return 0;
    }
    std::string value(size, '\0');
    os_get_env(name, value.data(), size);
    *stack::arguments = *load_string_push(reinterpret_cast<const uint8_t*>(value.data()), size - 1, 0);
    return 0;
}

int32_t now(bool, const int32_t* refinements) {
    enum { YEAR, MONTH, DAY, TIME, ZONE, DATE, WEEKDAY, YEARDAY, PRECISE, UTC };
    int picks = 0;
    for (int k = YEAR; k <= PRECISE; k++) picks += refinement_given(refinements, k);
    bool precise_time = picks == 2 && refinement_given(refinements, TIME) && refinement_given(refinements, PRECISE);
    if (picks > 1 && !precise_time) fire(script_error::bad_refines);

    wall_time clock = clock_now();
    int32_t zone = refinement_given(refinements, UTC) ? 0 : calendar_today(false).zone_minutes;
    time_t local = static_cast<time_t>(clock.seconds + int64_t{zone} * 60);
    struct tm fields;
    gmtime_r(&local, &fields);
    double time = fields.tm_hour * 3600.0 + fields.tm_min * 60 + fields.tm_sec;
    if (refinement_given(refinements, PRECISE)) time += clock.nanoseconds / 1e9;

    cell* result = stack::arguments;
    *result = cell{TYPE_DATE, 0, 0, 0};
    bool date_only = refinement_given(refinements, DATE);
    date::make_at(result, fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, date_only ? 0 : time,
                  zone / 60, zone % 60, !date_only);
    static const int32_t picked[] = {date::FIELD_YEAR, date::FIELD_MONTH, date::FIELD_DAY, date::FIELD_TIME,
                                     date::FIELD_ZONE, 0, date::FIELD_WEEKDAY, date::FIELD_YEARDAY};
    for (int k = YEAR; k <= YEARDAY; k++)
        if (picked[k] && refinement_given(refinements, k)) *result = *date::get_field(result, picked[k]);
    return 0;
}

int32_t browse(bool, const int32_t*) {
    cell* target = arg(0);
    spawn_detached({"xdg-open", TYPE_OF(target) == TYPE_FILE ? file::to_OS_path(target) : to_utf8(target)});
    *stack::arguments = unset_value;
    return 0;
}

}  // namespace kel::natives
