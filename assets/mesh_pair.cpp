// Mesh pair loader: one streaming pass per file, no line length limit.
#include "assets/mesh_pair.h"

#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef __linux__
#include <sys/mman.h>
#endif

#include "support/log.h"

RemapTable remap_table;

namespace {

constexpr size_t READ_CHUNK = size_t(1) << 20;
constexpr uint32_t NO_TEXCOORD = 0;  // texture coordinate numbers start at 1

// What one file gives: its texture coordinates, and for every triangle the three
// texture coordinate numbers of its corners (resolved to 1-based, 0 for none).
struct ObjFile {
    int64_t vertex_lines = 0;
    TexCoord* texcoords = nullptr;
    size_t texcoord_count = 0;
    size_t texcoord_capacity = 0;
    uint32_t* corners = nullptr;  // 3 per triangle
    size_t corner_count = 0;
    size_t corner_capacity = 0;
    bool out_of_memory = false;

    ObjFile() = default;
    ObjFile(const ObjFile&) = delete;
    ObjFile& operator=(const ObjFile&) = delete;
    ~ObjFile()
    {
        std::free(texcoords);
        std::free(corners);
    }
    int64_t Triangles() const { return static_cast<int64_t>(corner_count / 3); }
};

// Large arrays are touched once, front to back: huge pages make that first touch
// many times faster where the kernel offers them.
void AdviseHugePages(void* block, size_t bytes)
{
#ifdef __linux__
    constexpr uintptr_t HUGE_PAGE = uintptr_t(2) << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(HUGE_PAGE - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)block;
    (void)bytes;
#endif
}

// Makes room for `needed` elements, at least doubling; false when memory runs out.
template <typename T>
bool Reserve(T*& array, size_t& capacity, size_t needed)
{
    if (needed <= capacity)
        return true;
    size_t grown = capacity < 4096 ? 4096 : capacity * 2;
    if (grown < needed)
        grown = needed;
    if (grown > SIZE_MAX / sizeof(T))
        return false;
    void* block = std::realloc(array, grown * sizeof(T));
    if (!block)
        return false;
    AdviseHugePages(block, grown * sizeof(T));
    array = static_cast<T*>(block);
    capacity = grown;
    return true;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

const char* SkipBlanks(const char* p, const char* end)
{
    while (p < end && IsBlank(*p))
        ++p;
    return p;
}

// A decimal float; false (and 0) when none stands at p.
const char* ParseFloat(const char* p, const char* end, float* value)
{
    *value = 0.0f;
    p = SkipBlanks(p, end);
    const char* digits = p < end && *p == '+' ? p + 1 : p;
    if (digits < end && *digits == '-' && digits != p)
        return end;  // "+-" is no number
    const auto result = std::from_chars(digits, end, *value);
    if (result.ec == std::errc::result_out_of_range)
        return result.ptr;  // keeps from_chars' value unless it is garbage
    if (result.ec != std::errc())
        return end;  // stop reading this line: later numbers stay 0
    return result.ptr;
}

void ReadTexcoordLine(ObjFile& file, const char* p, const char* end)
{
    if (!Reserve(file.texcoords, file.texcoord_capacity, file.texcoord_count + 1)) {
        file.out_of_memory = true;
        return;
    }
    float u, v;
    p = ParseFloat(p, end, &u);
    ParseFloat(p, end, &v);
    file.texcoords[file.texcoord_count++] = TexCoord{u, 1.0f - v};
}

// The texture coordinate number of one corner token (between its first and second
// slash), resolved against the texture coordinates read so far.
uint32_t CornerTexcoord(const char* p, const char* end, size_t texcoords_so_far)
{
    while (p < end && *p != '/')
        ++p;
    if (p == end)
        return NO_TEXCOORD;
    ++p;
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+'))
        ++p;
    const char* digits = p;
    uint64_t n = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        if (n <= UINT32_MAX)
            n = n * 10 + static_cast<uint64_t>(*p - '0');
    }
    if (p == digits || (p < end && *p != '/'))
        return NO_TEXCOORD;
    if (!negative)
        return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);  // checked at the end
    if (n == 0 || n > texcoords_so_far)
        return NO_TEXCOORD;  // before the first texture coordinate
    return static_cast<uint32_t>(texcoords_so_far + 1 - n);
}

void ReadFaceLine(ObjFile& file, const char* p, const char* end)
{
    uint32_t first = NO_TEXCOORD, previous = NO_TEXCOORD;
    int corners = 0;
    for (;;) {
        p = SkipBlanks(p, end);
        if (p == end)
            break;
        const char* token = p;
        while (p < end && !IsBlank(*p))
            ++p;
        const uint32_t texcoord = CornerTexcoord(token, p, file.texcoord_count);
        ++corners;
        if (corners == 1) {
            first = texcoord;
        } else if (corners > 2) {
            // Fanned from the first corner: (0, 1, 2), (0, 2, 3), ...
            if (!Reserve(file.corners, file.corner_capacity, file.corner_count + 3)) {
                file.out_of_memory = true;
                return;
            }
            uint32_t* triangle = file.corners + file.corner_count;
            triangle[0] = first;
            triangle[1] = previous;
            triangle[2] = texcoord;
            file.corner_count += 3;
        }
        previous = texcoord;
    }
}

// One line without its line feed. The keyword is the first word, matched whole.
void ReadLine(ObjFile& file, const char* p, const char* end)
{
    p = SkipBlanks(p, end);
    if (p == end)
        return;
    const char* after = p + 1;
    if (*p == 'f' && (after == end || IsBlank(*after))) {
        ReadFaceLine(file, after, end);
    } else if (*p == 'v') {
        if (after == end || IsBlank(*after))
            ++file.vertex_lines;
        else if (*after == 't' && (after + 1 == end || IsBlank(after[1])))
            ReadTexcoordLine(file, after + 1, end);
    }
}

// Reads every line of [p, end) that ends in a line feed, and the rest as a last line
// when `final`. Returns where the unread rest begins.
const char* ReadLines(ObjFile& file, const char* p, const char* end, bool final)
{
    while (p < end && !file.out_of_memory) {
        const char* line_end = static_cast<const char*>(std::memchr(p, '\n', end - p));
        if (!line_end) {
            if (!final)
                return p;
            line_end = end;
        }
        ReadLine(file, p, line_end);
        p = line_end == end ? end : line_end + 1;
    }
    return p;
}

bool ReadStream(ObjFile& file, FILE* stream)
{
    size_t capacity = READ_CHUNK;
    char* buffer = static_cast<char*>(std::malloc(capacity));
    if (!buffer)
        return false;
    size_t kept = 0;  // an unfinished line carried over from the last read
    for (;;) {
        if (kept == capacity) {  // one line fills the buffer: make it larger
            char* larger = capacity <= SIZE_MAX / 2
                               ? static_cast<char*>(std::realloc(buffer, capacity * 2))
                               : nullptr;
            if (!larger) {
                std::free(buffer);
                return false;
            }
            buffer = larger;
            capacity *= 2;
        }
        const size_t got = std::fread(buffer + kept, 1, capacity - kept, stream);
        const bool final = got == 0;  // end of file or a read error: the rest is the last line
        const char* end = buffer + kept + got;
        const char* rest = ReadLines(file, buffer, end, final);
        if (final || file.out_of_memory)
            break;
        kept = static_cast<size_t>(end - rest);
        std::memmove(buffer, rest, kept);
    }
    std::free(buffer);
    return !file.out_of_memory;
}

// Where a mesh comes from: a file by name, or bytes in memory when `bytes` is set.
struct MeshInput {
    const char* name;
    const char* bytes;
    size_t size;
};

enum class ReadResult { OK, NOT_FOUND, OUT_OF_MEMORY };

ReadResult ReadMesh(const MeshInput& input, ObjFile& file)
{
    if (input.bytes) {
        ReadLines(file, input.bytes, input.bytes + input.size, true);
        return file.out_of_memory ? ReadResult::OUT_OF_MEMORY : ReadResult::OK;
    }
    FILE* stream = std::fopen(input.name, "rb");
    if (!stream)
        return ReadResult::NOT_FOUND;
    const bool read = ReadStream(file, stream);
    std::fclose(stream);
    return read ? ReadResult::OK : ReadResult::OUT_OF_MEMORY;
}

int ClampToInt(int64_t n)
{
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

void LogCounts(const ObjFile& file)
{
    LogMessage("%i vertices, %i triangles", ClampToInt(file.vertex_lines), ClampToInt(file.Triangles()));
    LogMessage("%i texcoords", ClampToInt(static_cast<int64_t>(file.texcoord_count)));
}

// Copies the triangle's three texture coordinates into `out`; false when one is not
// in the file's list.
bool ResolveTriangle(const ObjFile& file, size_t triangle, TexCoord out[3])
{
    const uint32_t* numbers = file.corners + triangle * 3;
    for (int c = 0; c < 3; ++c) {
        if (numbers[c] == NO_TEXCOORD || numbers[c] > file.texcoord_count)
            return false;
        out[c] = file.texcoords[numbers[c] - 1];
    }
    return true;
}

void LogUndrawable(int64_t undrawable)
{
    if (undrawable > 0)
        LogMessage("%i triangles without valid texcoords, not drawn", ClampToInt(undrawable));
}

bool AllocateTable(int64_t count)
{
    ClearRemapTable();
    if (count <= 0)
        return true;
    if (count > INT32_MAX)
        return false;
    const size_t n = static_cast<size_t>(count);
    if (n > SIZE_MAX / sizeof(RemapTriangle))
        return false;
    auto* triangles = static_cast<RemapTriangle*>(std::malloc(n * sizeof(RemapTriangle)));
    auto* drawable = static_cast<uint8_t*>(std::malloc(n));
    if (!triangles || !drawable) {
        std::free(triangles);
        std::free(drawable);
        return false;
    }
    AdviseHugePages(triangles, n * sizeof(RemapTriangle));
    remap_table = RemapTable{static_cast<int32_t>(count), triangles, drawable};
    return true;
}

void FillSourceHalves(const ObjFile& source)
{
    int64_t undrawable = 0;
    for (int32_t i = 0; i < remap_table.count; ++i) {
        RemapTriangle& record = remap_table.triangles[i];
        const bool valid = ResolveTriangle(source, static_cast<size_t>(i), record.source);
        if (!valid) {
            record = RemapTriangle{};
            ++undrawable;
        }
        std::memset(record.target, 0, sizeof record.target);
        remap_table.drawable[i] = valid;
    }
    LogUndrawable(undrawable);
}

void FillTargetHalves(const ObjFile& target)
{
    const int64_t paired = target.Triangles() < remap_table.count ? target.Triangles() : remap_table.count;
    int64_t undrawable = 0;
    for (int32_t i = 0; i < paired; ++i) {
        RemapTriangle& record = remap_table.triangles[i];
        if (!ResolveTriangle(target, static_cast<size_t>(i), record.target)) {
            ++undrawable;
            record = RemapTriangle{};
            remap_table.drawable[i] = 0;
        }
    }
    std::memset(remap_table.drawable + paired, 0, static_cast<size_t>(remap_table.count - paired));
    LogUndrawable(undrawable);
}

bool FailForMemory()
{
    ClearRemapTable();
    LogMessage("not enough memory for the meshes");
    return false;
}

bool LoadPair(const MeshInput& source_input, const MeshInput& target_input)
{
    LogMessage("loading OBJ files");
    LogMessage("'%s'", source_input.name);
    int64_t source_triangles = 0;
    {
        ObjFile source;
        const ReadResult read = ReadMesh(source_input, source);
        if (read == ReadResult::NOT_FOUND) {
            LogMessage("'%s' not found", source_input.name);
            return false;
        }
        if (read == ReadResult::OUT_OF_MEMORY)
            return FailForMemory();
        LogCounts(source);
        source_triangles = source.Triangles();
        if (!AllocateTable(source_triangles))
            return FailForMemory();
        FillSourceHalves(source);
    }

    LogMessage("'%s'", target_input.name);
    ObjFile target;
    // The common case is a target as long as the source: no regrowth then.
    if (!Reserve(target.corners, target.corner_capacity, static_cast<size_t>(source_triangles) * 3))
        return FailForMemory();
    const ReadResult read = ReadMesh(target_input, target);
    if (read == ReadResult::NOT_FOUND) {
        LogMessage("'%s' not found", target_input.name);
        if (remap_table.count > 0)
            std::memset(remap_table.drawable, 0, static_cast<size_t>(remap_table.count));
        return false;
    }
    if (read == ReadResult::OUT_OF_MEMORY)
        return FailForMemory();
    LogCounts(target);
    if (target.Triangles() != source_triangles)
        LogMessage("triangle counts differ: %i in '%s', %i in '%s'", ClampToInt(source_triangles),
                   source_input.name, ClampToInt(target.Triangles()), target_input.name);
    FillTargetHalves(target);
    LogMessage("done");
    return true;
}

}  // namespace

void ClearRemapTable()
{
    std::free(remap_table.triangles);
    std::free(remap_table.drawable);
    remap_table = RemapTable{};
}

bool LoadRemapMeshes(const char* source_path, const char* target_path)
{
    return LoadPair(MeshInput{source_path, nullptr, 0}, MeshInput{target_path, nullptr, 0});
}

bool LoadRemapMeshesFromBytes(const char* source_name, const char* source, size_t source_size,
                              const char* target_name, const char* target, size_t target_size)
{
    // An empty input still counts as given: point at a valid empty range.
    static const char nothing[1] = {0};
    return LoadPair(MeshInput{source_name, source ? source : nothing, source_size},
                    MeshInput{target_name, target ? target : nothing, target_size});
}
