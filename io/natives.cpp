#include "io/natives.h"

#include "datatypes/native.h"
#include "io/compress.h"
#include "io/http.h"
#include "io/os_info.h"
#include "io/process.h"

namespace kel {

void install_io_natives() {
    init_compression_words();
    install_compression_natives();
    set_native(95, natives::list_env);
    set_native(99, natives::call);
    install_http();
}

}  // namespace kel
