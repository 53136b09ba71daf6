// The natives io defines: compression, the environment list and child processes, and the
// words and schemes they need, put into the natives table before the image's natives are
// made.
#pragma once

namespace kel {

void install_io_natives();

}  // namespace kel
