#include "boot/startup.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "boot/build_facts.h"
#include "boot/image.h"
#include "boot/init.h"
#include "boot/launch.h"
#include "boot/routines.h"
#include "boot/script.h"
#include "datatypes/block.h"
#include "datatypes/catalog.h"
#include "datatypes/context.h"
#include "datatypes/event.h"
#include "datatypes/handle.h"
#include "datatypes/locale.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "io/kelbin.h"
#include "io/natives.h"
#include "platform/terminal.h"
#include "runtime/collector.h"
#include "runtime/exits.h"
#include "runtime/os.h"
#include "runtime/stack.h"

namespace kel {

namespace {

// The value is copied first: it may lie in a context that the put's allocation moves.
void put(node_id ctx, const char* name, const cell* value) {
    cell copy = *value;
    _context::put_value(ctx, symbol::make(name), &copy);
}

cell* push_string(const char* text) {
    return load_string_push(reinterpret_cast<const uint8_t*>(text), std::strlen(text), 0);
}

// What the runtime owns and the system object stage takes over, under names that stages
// bind to this context (the global context never sees them).
cell* push_handover() {
    cell* handover = object::make_at(stack::push_cell(), 16);
    node_id ctx = handover->w1;
    cell* mark = stack::top;
    put(ctx, "error-catalog", catalog::errors_object());
    put(ctx, "error-prototype", catalog::error_prototype());
    cell* currencies = block::push_only(static_cast<int32_t>(locale::currency_count()));
    for (uint32_t i = 1; i <= locale::currency_count(); i++) word::make_in(currencies, symbol::make(locale::currency_code(i)));
    put(ctx, "currency-list", currencies);
    cell* months = block::push_only(locale::MONTHS_COUNT);
    for (uint32_t m = 1; m <= locale::MONTHS_COUNT; m++) {
        block::ks_append(months, push_string(locale::month_name(m)));
        stack::pop(1);
    }
    put(ctx, "month-names", months);
    put(ctx, "command-line", push_string(command_line_args().raw));
    put(ctx, "commit-id", push_string(build_facts::commit));
    put(ctx, "commit-message", push_string(build_facts::message));
    cell seconds = integer_value(build_facts::commit_seconds), commits = integer_value(build_facts::commits);
    put(ctx, "commit-seconds", &seconds);
    put(ctx, "commit-count", &commits);
    stack::top = mark;
    return handover;
}

// An error in a stage ends start-up: nothing after it could stand.
[[noreturn]] void stage_failed(const std::string& name) {
    std::string where = "*** Start-up stage: " + name + "\n";
    standard_error_write(where.data(), where.size());
    exit_on_uncaught_error(true);
}

std::string text_of(const cell* name) {
    std::string text;
    for (int32_t i = series::head_of(name); i < series::buffer_length(name); i++)
        text += static_cast<char>(string::char_at(name, static_cast<uint32_t>(i)));
    return text;
}

// The runtime reads the system object from here on.
void adopt_system_object() {
    cell system = *_context::value_of_symbol(global_context, runtime_symbols[SYM_SYSTEM]);
    KEL_ASSERT(TYPE_OF(&system) == TYPE_OBJECT);
    system_object = system;
    locale::adopt(&system_object);
}

// The system object's stage reads the runtime's data from the hand-over; the codec stages take
// the routines that have no global word from it. Binding the others would only cost start-up.
bool takes_handover(const std::string& name) {
    for (const char* prefix : {"07-", "09-", "16-", "17-"})
        if (name.starts_with(prefix)) return true;
    return false;
}

void run_stage(const std::string& name, const cell* block, node_id handover) {
    cell* saved = stack::top;
    cell* stage = stack::push(block);
    if (takes_handover(name)) _context::bind(stage, handover, false);
    if (name.starts_with("02-")) {
        routines::define(stage, handover);
    } else {
        uint32_t code = catch_exit(LEVEL_ALL, [&] { return eval_block(stage, false); });
        if (code == THROW_ERROR) stage_failed(name);
        if (code) top_catch_handler(code);
    }
    stack::top = saved;
    if (name.starts_with("07-")) adopt_system_object();
    if (name.starts_with("14-")) event::init();
}

}  // namespace

void run_stages() { run_stages(boot_image, boot_image_size); }

void run_stages(const uint8_t* image, size_t size) {
    install_io_natives();
    kelbin::load_boot(image, size, false);
    // A handle has no record in the image.
    cell* w = stack::push_cell();
    *w = word::load("null-handle");
    _context::set(w, handle::push_null());
    stack::pop(2);
    collector_enabled = true;
    collector_stress = std::getenv("KEL_STRESS_START_UP") != nullptr;
    root_cell handover(*push_handover());
    stack::pop(1);
    for (uint32_t i = 0; const cell* name = kelbin::literal_cell(i); i += 2)
        run_stage(text_of(name), kelbin::literal_cell(i + 1), handover.value.w1);
    collector_stress = true;
}

int program_entry(int argc, char** argv) {
    install_fault_handlers();
    parse_command_line(argc, argv);
    // Deep recursion must meet the interpreter's own limits before the machine stack's.
    run_on_interpreter_thread([] {
        install_fault_handlers();
        uint32_t code = catch_exit(LEVEL_ALL, [] {
            runtime_init();
            run_stages();
            launch();
            raise_exit(EXIT_PLAIN);
        });
        if (code == THROW_ERROR) exit_on_uncaught_error(false);
        top_catch_handler(code);
    });
    return 0;
}

}  // namespace kel
