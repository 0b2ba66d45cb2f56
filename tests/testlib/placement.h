// Test helper: the window placement the program keeps, as one comparable list.
#pragma once

#include <vector>

#include "support/window_state.h"

// Width, height, x, y, maximized.
inline std::vector<int> Placement()
{
    return {window_state.window_width, window_state.window_height, window_state.window_x, window_state.window_y,
            window_state.window_maximized};
}
