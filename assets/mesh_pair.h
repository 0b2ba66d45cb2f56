// Mesh pair loader: reads a source and a target Wavefront OBJ file that list the same
// faces in the same order into the RemapTable, which pairs the n-th triangle of the
// source with the n-th triangle of the target (texture coordinates only, v flipped).
#pragma once

#include <cstddef>
#include <cstdint>

struct TexCoord {
    float u;  // as in the file
    float v;  // 1 - the file's value: 0 is the image's top row
};

struct RemapTriangle {
    TexCoord source[3];  // where the corners sample the texture
    TexCoord target[3];  // where the corners are drawn
};
static_assert(sizeof(RemapTriangle) == 48, "twelve floats");

// Faces of n corners become n - 2 records, fanned from the first corner. Records
// the view must skip have drawable[i] == 0: a corner without a valid texture
// coordinate in either file, no target face for it (the target file is shorter), or
// every record when the target file is missing. Their coordinates are not to be used.
struct RemapTable {
    int32_t count;             // records, one per source triangle
    RemapTriangle* triangles;  // count records; null while empty
    uint8_t* drawable;         // count flags: 1 = draw the record, 0 = skip it
    int32_t target_count;      // triangles the target file held (0 when it was not read)
};

extern RemapTable remap_table;

// Reads both files (opened as passed) into remap_table, replacing what it held.
// False when either file cannot be opened or read, or memory runs out; logs its
// progress. Nothing of the pair is drawn after a file that could not be read.
bool LoadRemapMeshes(const char* source_path, const char* target_path);

enum class MeshLoad {
    OK,
    UNREADABLE,
    NO_MEMORY,
    SHAPES_DIFFER,  // asked for shape hashes: the shapes were seen to differ part way, and
                    // the reading stopped there; the table is empty, and the lines logged
                    // since the start are to be dropped
};

// What a normal-map bake needs of one file besides the table: its positions, normals and
// texture coordinates, and its faces of three corners or more as they stand (face f
// gives the table's next n - 2 records, fanned from its first corner).
struct MeshSurface {
    float* positions;        // 3 per position, in file order
    uint32_t position_count;
    float* normals;          // 3 per normal
    uint32_t normal_count;
    TexCoord* texcoords;     // as in the table: v is 1 - the file's
    uint32_t texcoord_count;
    uint32_t* corners;       // 3 per face corner: position, texcoord and normal numbers,
                             // 1-based, 0 for none; check them against the counts
    uint32_t* face_start;    // face_count + 1 offsets into the corners (in corners)
    uint32_t* smoothing;     // per face: its smoothing group, 0 for none
    uint32_t face_count;
    // The arrays' room, for releasing them.
    size_t position_capacity, normal_capacity, texcoord_capacity, corner_capacity, face_capacity,
        smoothing_capacity;
};

// The same, saying why it failed; with `threads` > 1 the two files are read at once.
// The log is the same as LoadRemapMeshes's. With `surfaces` set, each file's surface
// is kept there too (source, then target), to be released with FreeMeshSurface. Else
// with `shape_hashes` set, each file's hash of its positions and of its faces'
// position numbers and corner counts, all as written: two files with one hash list
// the same faces in the same places. Hashes that are seen to differ before the end stop
// the reading with SHAPES_DIFFER.
MeshLoad LoadRemapMeshPair(const char* source_path, const char* target_path, int threads,
                           MeshSurface* surfaces = nullptr, uint64_t* shape_hashes = nullptr);
void FreeMeshSurface(MeshSurface* surface);
// The two files' surfaces, read and logged as LoadRemapMeshPair reads them, with the
// table left empty: for bakes that may not pair faces at all. RemapTableFromSurfaces
// then makes the table the pair loader makes, from the surfaces (false when memory runs
// out). Without `source_normals` the source keeps none (no normals, its corners' normal
// numbers 0): bakes that make no normal map never read them.
MeshLoad LoadSurfacePair(const char* source_path, const char* target_path, int threads, MeshSurface surfaces[2],
                         bool source_normals = true);
bool RemapTableFromSurfaces(const MeshSurface surfaces[2]);
// Whether the two files' last lines of shape (vertex lines as written, faces' position
// numbers as written and corner counts), matched from the ends, already differ: then so
// do their shape hashes. Reads only the files' ends; false where they cannot be read.
bool ShapeTailsDiffer(const char* source_path, const char* target_path);

// The same reading from bytes in memory (for fuzzing and tests); the names are only logged.
bool LoadRemapMeshesFromBytes(const char* source_name, const char* source, size_t source_size,
                              const char* target_name, const char* target, size_t target_size);

// Releases the table's memory and leaves it empty.
void ClearRemapTable();
