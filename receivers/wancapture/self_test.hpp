// `--self-test`: the fixed rules checked against known answers, without any network.
#pragma once

namespace tessaryn::wancapture {

// Prints one line per failure to standard error; returns the process's exit code (0 or 1).
int run_self_test();

}  // namespace tessaryn::wancapture
