// libFuzzer target: the mesh pair loader. One input holds both files, the target
// after a line "#--target--"; without that line both files are the whole input.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "assets/mesh_pair.h"

static const char SEPARATOR[] = "\n#--target--\n";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    const size_t separator_size = sizeof SEPARATOR - 1;
    size_t split = size;
    for (size_t i = 0; i + separator_size <= size; ++i) {
        if (std::memcmp(text + i, SEPARATOR, separator_size) == 0) {
            split = i;
            break;
        }
    }
    const char* target = split < size ? text + split + separator_size : text;
    const size_t target_size = split < size ? size - split - separator_size : size;
    LoadRemapMeshesFromBytes("source", text, split, "target", target, target_size);
    // Read every drawable record whole, as the view does, so a short table shows.
    float sum = 0;
    for (int32_t i = 0; i < remap_table.count; ++i) {
        if (!remap_table.drawable[i])
            continue;
        for (const TexCoord& corner : remap_table.triangles[i].target)
            sum += corner.u + corner.v;
    }
    volatile float sink = sum;
    static_cast<void>(sink);
    ClearRemapTable();
    return 0;
}
