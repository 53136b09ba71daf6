// The headless launch: runs the script the command line names, or else reads lines from
// standard input, evaluates them and prints the results, until the input ends.
#pragma once

namespace kel {

// Returns when the script or the input is done; errors in the script pass on.
void launch();

}  // namespace kel
