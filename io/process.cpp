#include "io/process.h"

#include <string>

#include "datatypes/binary.h"
#include "datatypes/file.h"
#include "datatypes/integer.h"
#include "datatypes/native.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "platform/process.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel {

namespace {

// The stream's source or target as the launcher takes it; path keeps a file's OS path alive.
void redirect(cell* value, process_stream& stream, std::string& path, bool input) {
    if (!value) return;
    uint32_t type = TYPE_OF(value);
    if (type == TYPE_FILE) {
        path = file::to_OS_path(value);
        stream.file = path.c_str();
        return;
    }
    stream.memory = true;
    if (!input) return;
    if (type == TYPE_BINARY) {
        stream.bytes = binary::ks_head(value);
        stream.size = binary::ks_length_q(value);
    } else {
        size_t length = 0;
        stream.bytes = reinterpret_cast<const uint8_t*>(to_utf8(value, -1, &length));
        stream.size = length;
    }
}

void decode_process_output(cell* target, const std::vector<uint8_t>& bytes) {
    if (!target || TYPE_OF(target) == TYPE_FILE || bytes.empty()) return;
    if (TYPE_OF(target) == TYPE_BINARY) {
        binary::ks_insert(target, series_head(target), bytes.data(), bytes.size());
        return;
    }
    cell* text = load_string_push(bytes.data(), bytes.size(), 0);
    string::concat_value(target, text);
    stack::pop(1);
}

// in, out and err are null when not redirected. 0 on success, -1 on failure, the exit code
// when waiting (forced by any redirection), else the process id. /console is refused.
int32_t call_process(cell* cmd, bool wait, bool, bool console, bool shell, cell* in, cell* out, cell* err) {
    if (console) fire(internal_error::not_done);
    if (string::ks_length(cmd) == 0) return 0;
    process_request request;
    request.shell = shell;
    request.wait = wait;
    std::string in_path, out_path, err_path;
    // The paths first: the input's text must be the last export before the launch.
    redirect(out, request.output, out_path, false);
    redirect(err, request.error, err_path, false);
    request.command = TYPE_OF(cmd) == TYPE_FILE ? file::to_OS_path(cmd) : to_utf8(cmd);
    if (TYPE_OF(cmd) == TYPE_FILE) request.args = {request.command};
    else request.args = split_command_line(request.command);
    redirect(in, request.input, in_path, true);
    bool shell_used = false;
    int32_t result = launch_process(request, &shell_used);
    decode_process_output(out, request.output.captured);
    decode_process_output(err, request.error.captured);
    return result;
}

}  // namespace

namespace natives {

int32_t call(bool, const int32_t* refinements) {
    auto given = [&](uint32_t k) { return refinement_given(refinements, k); };
    auto arg_of = [&](uint32_t k) { return given(k) ? stack::arguments + refinements[k] : nullptr; };
    int32_t result = call_process(stack::arguments, given(0), given(1), given(2), given(3), arg_of(4), arg_of(5),
                                  arg_of(6));
    *stack::arguments = integer_value(result);
    return 0;
}

}  // namespace natives
}  // namespace kel
