// One image argument baked into its outputs: a single image or a UDIM set drawn (for an
// output with <UDIM>, once for each tile the target layout covers), padded, composed
// and written.
#pragma once

#include <string>
#include <vector>

#include "assets/png_decode.h"
#include "bake/images.h"
#include "bake/options.h"
#include "bake/render.h"
#include "bake/report.h"
#include "bake/surface_match.h"

// The lowest tile of `tiles` (a set's, ascending) that a source triangle reaches and the
// set lacks, or 0: the drawable records' source coordinates, or with a surface
// transfer every source triangle's, which any ray may hit. Read on `threads` workers.
int MissingSourceTile(const std::vector<int>& tiles, const SurfaceTransfer* transfer, int threads);

// Draws, pads, composes and writes; `input` is released once drawn. `mapping` is set for
// a normal map; the misses' mask is written where `write_misses`.
int BakeImage(const BakeOptions& options, const std::string& path, InputImages& input, const NormalMapping* mapping,
              const SurfaceTransfer* transfer, bool write_misses, Reporter& report);
