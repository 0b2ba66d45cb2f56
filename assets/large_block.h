// Large blocks that are filled once, front to back (the remap table, decoded images).
// On Linux they are mapped directly, so that they grow without a copy (mremap), in
// ordinary pages: huge pages were measured to make the bakes that hold most memory up
// to a quarter slower, where the system must find fresh 2 MB blocks for them. Elsewhere
// they come from the C heap. A block is resized and freed with its current size.
#pragma once

#include <cstddef>

// Whether a new block (from a null one) comes filled with zeros, as fresh pages from the
// system do: its users need not clear it, and so do not touch every page twice.
bool LargeBlocksComeZeroed();

// Null when memory runs out; `block` is then left as it was.
void* LargeResize(void* block, size_t old_bytes, size_t new_bytes);
void LargeFree(void* block, size_t bytes);
