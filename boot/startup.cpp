#include "boot/startup.h"

#include <cstring>

#include "boot/interim.h"
#include "boot/script.h"
#include "datatypes/file.h"
#include "evaluator/interpreter.h"
#include "evaluator/stack.h"
#include "runtime/exits.h"
#include "runtime/init.h"
#include "runtime/os.h"

namespace kel {

int program_entry(int argc, char** argv) {
    install_fault_handlers();
    parse_command_line(argc, argv);
    const char* script = argc > 1 ? argv[1] : nullptr;
    // Deep recursion must meet the interpreter's own limits before the machine stack's.
    run_on_interpreter_thread([script] {
        install_fault_handlers();
        uint32_t code = catch_exit(LEVEL_ALL, [script] {
            runtime_init();
            interim_startup();
            if (script) {
                cell* file = file::load(reinterpret_cast<const uint8_t*>(script), std::strlen(script), 0);
                exit_on_code(do_script_file(file));
            }
            raise_exit(EXIT_PLAIN);
        });
        if (code == THROW_ERROR) exit_on_uncaught_error();
        top_catch_handler(code);
    });
    return 0;
}

}  // namespace kel
