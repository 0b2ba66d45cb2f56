// WindowState: the window's placement and the main loop's counters, shared program-wide.
#pragma once

#include <cstdint>

struct WindowState {
    int32_t window_width;      // client width in pixels: also the viewport and projection width
    int32_t window_height;     // client height in pixels
    int32_t window_x;          // screen position of the outer window's left edge
    int32_t window_y;          // screen position of the outer window's top edge
    int32_t window_maximized;  // non-zero while (or when last) maximized
    bool close_requested;      // set by WM_CLOSE, never cleared
    int32_t paint_count;       // WM_PAINT messages since the main loop last drew
    int32_t idle_count;        // main-loop passes since the last pointer movement
};

extern WindowState window_state;
