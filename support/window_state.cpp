// The one WindowState of the program.
#include "support/window_state.h"

WindowState window_state;
