// texwarp-bake: the texture re-laid-out for the target layout, written to PNG files
// with no window. RunBake is the whole command line; main() only calls it.
#pragma once

#include "bake/options.h"

enum BakeExit {
    BAKE_DONE = 0,
    BAKE_USAGE = 2,
    BAKE_INPUT = 3,   // an input cannot be read
    BAKE_OUTPUT = 4,  // an output cannot be written, or memory runs out
    // 5 meant "no usable OpenGL" while the bake drew with GL; it is not given again.
};

// Runs the command line and returns the process exit code (BakeExit).
int RunBake(int argc, const char* const* argv);
