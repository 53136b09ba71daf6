// The interim start-up: until the boot image exists, the program lexes the boot text
// embedded in it, defines the datatype, action and native words, and runs the first
// library stages (constants, typesets, operators) with the interpreter.
#pragma once

namespace kel {

// After runtime_init: every word the first stages and scripts rely on, then the stages in
// order. A statement of a stage that names a word with no value yet (a function of a
// later stage, a datatype this build lacks) or a native still to be written is left out;
// any other error in a stage is raised. Turns the collector on before the stages.
void interim_startup();

}  // namespace kel
