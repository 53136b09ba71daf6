// The process's command line as one text, rebuilt from argv.
#pragma once
#include <string>

namespace kel {

// Joins the arguments with single blanks. An argument that is empty or holds a blank, a tab
// or a double quote is put in double quotes; a quote inside gets a backslash, and so do the
// backslashes right before a quote or the closing one.
std::string join_command_line(int argc, const char* const* argv);

}  // namespace kel
