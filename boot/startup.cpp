#include "boot/startup.h"

#include "runtime/exits.h"
#include "runtime/init.h"
#include "runtime/os.h"

namespace kel {

int program_entry(int argc, char** argv) {
    install_fault_handlers();
    parse_command_line(argc, argv);
    uint32_t code = catch_exit(LEVEL_ALL, [] {
        runtime_init();
        raise_exit(EXIT_PLAIN);
    });
    top_catch_handler(code);
}

}  // namespace kel
