#include "platform/command_line.h"

namespace kel {

namespace {

void append_quoted(std::string& line, const char* arg) {
    line += '"';
    size_t backslashes = 0;
    for (const char* c = arg; *c; c++) {
        if (*c == '\\') {
            backslashes++;
            continue;
        }
        if (*c == '"') line.append(backslashes * 2 + 1, '\\');
        else line.append(backslashes, '\\');
        backslashes = 0;
        line += *c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

bool needs_quotes(const char* arg) {
    if (!*arg) return true;
    for (const char* c = arg; *c; c++)
        if (*c == ' ' || *c == '\t' || *c == '"') return true;
    return false;
}

}  // namespace

std::string join_command_line(int argc, const char* const* argv) {
    std::string line;
    for (int i = 0; i < argc; i++) {
        if (i) line += ' ';
        if (needs_quotes(argv[i])) append_quoted(line, argv[i]);
        else line += argv[i];
    }
    return line;
}

}  // namespace kel
