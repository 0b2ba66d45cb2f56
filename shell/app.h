// Start-up, main loop and shutdown: the program's run from defaults to exit code.
// WinMain (shell/main.cpp) calls RunProgram; the pieces are open to the tests.
#pragma once

#include <windows.h>

constexpr int DEFAULT_WIDTH = 950;
constexpr int DEFAULT_HEIGHT = 650;
constexpr int IDLE_THRESHOLD = 30;  // passes without pointer movement before pacing sleeps
constexpr int IDLE_SLEEP_MS = 10;

// The whole run; returns the process exit code.
int RunProgram();

// Placement to open with: the defaults for a maximized start, and for a stored
// placement that is not usable (no client area, larger than the system's largest
// window, or on no monitor).
void ChooseStartPlacement();
// One pass of the main loop's pacing and message pump; false once the loop must end.
// Sets *quit_code when a WM_QUIT ended it.
bool RunLoopPass(int* quit_code, bool* quit);
// A rectangle in workspace coordinates (from GetWindowPlacement) in screen coordinates,
// given its monitor's work area and full area.
RECT WorkspaceToScreen(const RECT& rect, const RECT& work_area, const RECT& monitor);
// Records the placement to store: the last normal one when the window is minimized.
void RecordExitPlacement();
