// Runtime initialisation: everything the language needs before its first statement runs.
#pragma once

namespace kel {

// Builds the runtime in its fixed order; the collector stays off throughout.
void runtime_init();

}  // namespace kel
