#include "boot/startup.h"

namespace kel {

int program_entry(int, char**) { return 0; }

}  // namespace kel
