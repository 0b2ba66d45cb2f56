// Large blocks that are filled once, front to back (the remap table, decoded images).
// On Linux they are mapped directly, so that they grow without a copy (mremap), and
// those of 8 MB or more come in huge pages where the machine fills those faster (found
// out once, on first need, in a few milliseconds). Elsewhere they come from the C heap.
// A block is resized and freed with its current size.
#pragma once

#include <cstddef>

// Whether a new block (from a null one) comes filled with zeros, as fresh pages from the
// system do: its users need not clear it, and so do not touch every page twice.
bool LargeBlocksComeZeroed();

// Null when memory runs out; `block` is then left as it was.
void* LargeResize(void* block, size_t old_bytes, size_t new_bytes);
void LargeFree(void* block, size_t bytes);

// A new block whose bytes are left as they were, for an array its caller fills whole
// or clears: while freed blocks are kept (below), one of them when it is large enough
// and the request is a megabyte or more. Freed with LargeFree; null when memory runs
// out. With `threads`, the system gives every page of it at once (Linux only; elsewhere,
// or where the system cannot, pages come as they are first written): one request for
// each stretch of pages where writing would fault on each, on as many workers, each
// taking whole huge pages, so that no two clear a page for the same place. `zeroed`,
// where given, tells whether the block reads as zeros (new pages, LargeBlocksComeZeroed).
void* LargeTake(size_t bytes, int threads = 0, bool* zeroed = nullptr);

// Between LargeKeepFreed(true) and LargeKeepFreed(false), blocks of a megabyte or more
// that are freed are kept, a few hundred megabytes at most, for LargeTake to hand out
// again: a stage that frees one large array and fills another then reuses pages already
// there, where the system would give fresh ones a page at a time, a fault each.
// LargeKeepFreed(false) releases what is kept. Only Linux keeps any.
void LargeKeepFreed(bool keep);
