#include "boot/startup.h"

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/paren.h"
#include "datatypes/path.h"
#include "datatypes/series.h"
#include "datatypes/unset.h"
#include "evaluator/stack.h"
#include "runtime/cycles.h"
#include "runtime/exits.h"
#include "runtime/handle_table.h"
#include "runtime/memory.h"
#include "runtime/os.h"
#include "runtime/output_hooks.h"

namespace kel {

namespace {

// Brings up what the runtime has so far, in start-up order.
void runtime_init() {
    output_hooks_init();
    platform_init();
    init_memory();
    init_handle_table();
    cycles_init();
    datatype::init();
    unset::init();
    none::init();
    logic::init();
    series::init();
    block::init();
    paren::init();
    path::init();
    stack::init();
    externals_init();
}

}  // namespace

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
