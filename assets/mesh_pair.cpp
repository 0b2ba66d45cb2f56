// Mesh pair loader: one streaming pass per file, no line length limit.
#include "assets/mesh_pair.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "assets/large_block.h"
#include "support/file_names.h"
#include "support/log.h"
#include "support/parallel.h"

RemapTable remap_table;

namespace {

constexpr size_t READ_CHUNK = size_t(1) << 20;
constexpr uint32_t NO_TEXCOORD = 0;  // texture coordinate numbers start at 1

// Two files' shapes hashed side by side are compared as they go: each file marks its
// hash every MARK_ITEMS items of shape (a vertex line, a corner, a face's end), and a
// mark unlike the other file's at the same place shows that the whole hashes will
// differ, which stops both readings.
constexpr uint64_t MARK_ITEMS = uint64_t(1) << 16;
constexpr size_t MARKS = 1024;

struct ShapeRace {
    std::atomic<uint64_t> hashes[2][MARKS] = {};
    std::atomic<bool> marked[2][MARKS] = {};
    std::atomic<bool> differ{false};
};

// What one file gives: its texture coordinates, and for every triangle the three
// texture coordinate numbers of its corners (resolved to 1-based, 0 for none).
struct ObjFile {
    int64_t vertex_lines = 0;
    TexCoord* texcoords = nullptr;
    size_t texcoord_count = 0;
    size_t texcoord_capacity = 0;
    uint32_t* corners = nullptr;  // 3 per triangle, where the table is made
    size_t corner_count = 0;
    size_t corner_capacity = 0;
    int64_t triangles = 0;
    bool table = true;  // the triangles' texture coordinate numbers are kept for the table
    bool out_of_memory = false;
    int open_error = 0;  // errno when the file could not be opened
    // Read only for a surface (normal-map bakes); see MeshSurface.
    bool surface = false;
    bool normals = true;  // a surface keeps its normals: vn lines, and the corners' numbers of them
    MeshSurface faces{};
    bool hash_shape = false;  // else the shape's text is hashed, see LoadRemapMeshPair
    uint64_t shape_hash = 0;
    uint64_t shape_items = 0;
    ShapeRace* race = nullptr;  // with a hashed shape: where it is compared, as file `side`
    int side = 0;
    uint32_t group = 0;   // the smoothing group the next faces join
    // Numbers with more after them than a number has ("0,5" written with a decimal
    // comma), which read as 0: the lines that hold them, and the first one, found by
    // its place in the file (its line is counted only then, off the reading's path).
    const char* chunk = nullptr;  // the bytes being read, and where they start in the file
    int64_t chunk_offset = 0;
    int64_t bad_number_lines = 0;
    int64_t first_bad_offset = 0;
    int64_t first_bad_line = 0;
    char first_bad_word[40] = "";
};

int64_t TriangleCount(const ObjFile& file)
{
    return file.triangles;
}

// Empties the record for the next file; the arrays, already touched, are kept.
void ReuseObjFile(ObjFile& file)
{
    file.vertex_lines = 0;
    file.texcoord_count = 0;
    file.corner_count = 0;
    file.triangles = 0;
    file.open_error = 0;
    file.bad_number_lines = file.first_bad_offset = file.first_bad_line = 0;
    file.shape_hash = 0;
    file.shape_items = 0;
}

// Makes room for `needed` elements, at least doubling; false when memory runs out.
template <typename T>
bool Reserve(T*& array, size_t& capacity, size_t needed)
{
    if (needed <= capacity)
        return true;
    size_t grown = capacity < 16384 ? 16384 : capacity * 2;
    if (grown < needed)
        grown = needed;
    if (grown > SIZE_MAX / sizeof(T) / 2)
        return false;
    void* block = LargeResize(array, capacity * sizeof(T), grown * sizeof(T));
    if (!block)
        return false;
    array = static_cast<T*>(block);
    capacity = grown;
    return true;
}

void FreeSurfaceArrays(MeshSurface& surface)
{
    LargeFree(surface.positions, surface.position_capacity * sizeof(float));
    LargeFree(surface.normals, surface.normal_capacity * sizeof(float));
    LargeFree(surface.corners, surface.corner_capacity * sizeof(uint32_t));
    LargeFree(surface.face_start, surface.face_capacity * sizeof(uint32_t));
    LargeFree(surface.smoothing, surface.smoothing_capacity * sizeof(uint32_t));
    surface = MeshSurface{};
}

void FreeObjFile(ObjFile& file)
{
    LargeFree(file.texcoords, file.texcoord_capacity * sizeof(TexCoord));
    LargeFree(file.corners, file.corner_capacity * sizeof(uint32_t));
    FreeSurfaceArrays(file.faces);
    file = ObjFile{};
}

// Lines are parsed in place up to their line feed, which the reader guarantees, so
// the inner loops need no end checks. The scans test one table entry per character.
constexpr uint8_t BLANK = 1, WORD_END = 2, SLASH = 4;

constexpr std::array<uint8_t, 256> CharClasses()
{
    std::array<uint8_t, 256> classes{};
    for (const unsigned char c : {' ', '\t', '\r'})
        classes[c] = BLANK | WORD_END;
    // A '#' begins a comment wherever it stands: it ends the word and the line's content.
    for (const unsigned char c : {'\n', '#'})
        classes[c] = WORD_END;
    classes['/'] = SLASH;
    return classes;
}

constexpr std::array<uint8_t, 256> CHAR_CLASSES = CharClasses();

bool Is(char c, uint8_t classes)
{
    return (CHAR_CLASSES[static_cast<unsigned char>(c)] & classes) != 0;
}

bool IsBlank(char c)
{
    return Is(c, BLANK);
}

bool EndsWord(char c)
{
    return Is(c, WORD_END);
}

const char* SkipBlanks(const char* p)
{
    while (IsBlank(*p))
        ++p;
    return p;
}

const char* NextLine(const char* p, const char* end)
{
    return static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p))) + 1;
}

// Mixes bytes into a hash, eight at a time, then the count (which ends the field).
uint64_t HashBytes(uint64_t hash, const char* p, size_t n)
{
    const uint64_t prime = 0x100000001B3u;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, p + i, 8);
        hash = (hash ^ word) * prime;
        hash ^= hash >> 29;
    }
    for (; i < n; ++i)
        hash = (hash ^ static_cast<unsigned char>(p[i])) * prime;
    return (hash ^ n) * prime;
}

// Marks the hash for the other file to compare, and compares it with the other's mark
// at the same place where that is made (both store before they load: one of the two
// sees the other's).
void MarkShape(ObjFile& file)
{
    const uint64_t k = file.shape_items / MARK_ITEMS - 1;
    if (k >= MARKS)
        return;
    ShapeRace& race = *file.race;
    race.hashes[file.side][k].store(file.shape_hash);
    race.marked[file.side][k].store(true);
    const int other = 1 - file.side;
    if (race.marked[other][k].load() && race.hashes[other][k].load() != file.shape_hash)
        race.differ.store(true);
}

void MixShape(ObjFile& file, uint64_t hash)
{
    file.shape_hash = hash;
    if (++file.shape_items % MARK_ITEMS == 0 && file.race)
        MarkShape(file);
}

// Notes a line with a word that should have been a number.
void NoteBadNumber(ObjFile& file, const char* word)
{
    if (file.bad_number_lines++ > 0)
        return;
    size_t n = 0;
    while (n + 1 < sizeof file.first_bad_word && !EndsWord(word[n]))
        ++n;
    std::memcpy(file.first_bad_word, word, n);
    file.first_bad_word[n] = '\0';
    file.first_bad_offset = file.chunk_offset + (word - file.chunk);
}

// A word of up to 19 digits with one sign and one point at most and no exponent, as
// exporters write numbers, read by integer arithmetic: the digits over a power of ten
// both exact in double precision give the nearest double, whose nearest float is the
// word's nearest float unless it lies halfway between two floats (or below their normal
// range, or above it). Returns the word's end, or null for every other word, which
// from_chars then reads.
const char* ReadPlainDecimal(const char* p, float* value)
{
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    uint64_t digits = 0;  // a digit at a time: fewer steps than eight at once for such short runs
    const char* end = p;
    for (; static_cast<unsigned>(*end - '0') < 10; ++end)
        digits = digits * 10 + static_cast<uint64_t>(*end - '0');
    int count = int(end - p), scale = 0;
    if (*end == '.') {
        const char* fraction = end + 1;
        for (end = fraction; static_cast<unsigned>(*end - '0') < 10; ++end)
            digits = digits * 10 + static_cast<uint64_t>(*end - '0');
        scale = int(end - fraction);
        count += scale;
    }
    if (!EndsWord(*end) || count == 0 || count > 19 || digits >= (uint64_t(1) << 53) || scale > 22)
        return nullptr;
    static const double POWERS[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                      1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const double nearest = double(digits) / POWERS[scale];
    uint64_t bits;
    std::memcpy(&bits, &nearest, sizeof bits);
    const bool halfway = (bits & 0x1FFFFFFF) == 0x10000000;  // the 29 bits a float drops
    if (digits != 0 && (halfway || nearest < 0x1p-126 || nearest >= 0x1p127))
        return nullptr;
    *value = negative ? -float(nearest) : float(nearest);
    return end;
}

// The next word as a decimal float, 0 when it is not one whole (*bad then points at
// the first such word of the line); returns where reading goes on, or null when the
// rest of the line holds no more words.
const char* ParseFloat(const char* p, float* value, const char** bad)
{
    *value = 0.0f;
    p = SkipBlanks(p);
    if (EndsWord(*p))
        return nullptr;
    if (const char* end = ReadPlainDecimal(p, value))
        return end;
    const char* word_end = p;
    while (!EndsWord(*word_end))
        ++word_end;
    const char* digits = *p == '+' ? p + 1 : p;  // from_chars takes no plus sign
    const auto result = std::from_chars(digits, word_end, *value);
    if (result.ec != std::errc() || result.ptr != word_end) {
        *value = 0.0f;
        *bad = *bad ? *bad : p;
    }
    return word_end;
}

void ReadTexcoordLine(ObjFile& file, const char* p)
{
    if (!Reserve(file.texcoords, file.texcoord_capacity, file.texcoord_count + 1)) {
        file.out_of_memory = true;
        return;
    }
    float u, v = 0.0f;
    const char* bad = nullptr;
    p = ParseFloat(p, &u, &bad);
    if (p)
        ParseFloat(p, &v, &bad);
    file.texcoords[file.texcoord_count++] = TexCoord{u, 1.0f - v};
    if (bad)
        NoteBadNumber(file, bad);
}

// A number of a corner token ("7", or "-2" for the one before the last of the `so_far`
// read), resolved to 1-based; NO_TEXCOORD when there is none or it is not one whole
// number, which is up to the next slash or the end of the token; and where its digits end.
struct Number {
    uint32_t value;
    const char* end;
};

Number ReadNumber(const char* p, size_t so_far)
{
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    const char* digits = p;
    uint64_t n = 0;
    for (; static_cast<unsigned>(*p - '0') < 10; ++p)
        if (n <= UINT32_MAX)  // past the largest number, it is held there
            n = n * 10 + static_cast<uint64_t>(*p - '0');
    if (p == digits || !Is(*p, WORD_END | SLASH))
        return {NO_TEXCOORD, p};
    if (!negative)
        return {n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n), p};  // checked later
    return {n != 0 && n <= so_far ? static_cast<uint32_t>(so_far + 1 - n) : NO_TEXCOORD, p};
}

const char* SkipToSlash(const char* p)
{
    while (!Is(*p, WORD_END | SLASH))
        ++p;
    return p;
}

// One corner token, position/texcoord/normal: numbers[1] is its texture coordinate
// number; for a surface numbers[0] and [2] are its position and normal numbers.
// Returns the end of the token.
const char* ReadCorner(ObjFile& file, const char* p, uint32_t numbers[3])
{
    numbers[0] = numbers[1] = numbers[2] = NO_TEXCOORD;
    if (file.surface) {
        const Number position = ReadNumber(p, file.faces.position_count);
        numbers[0] = position.value;
        p = position.end;
    }
    const char* start = p;
    p = SkipToSlash(p);
    if (file.hash_shape)
        MixShape(file, HashBytes(file.shape_hash, start, static_cast<size_t>(p - start)));
    if (*p == '/') {
        const Number texcoord = ReadNumber(p + 1, file.texcoord_count);
        numbers[1] = texcoord.value;
        p = SkipToSlash(texcoord.end);
        if (*p == '/' && file.surface && file.normals) {
            const Number normal = ReadNumber(p + 1, file.faces.normal_count);
            numbers[2] = normal.value;
            p = normal.end;
        }
    }
    while (!EndsWord(*p))
        ++p;
    return p;
}

// A surface keeps each face of three corners or more whole, with its smoothing group.
void KeepCorner(ObjFile& file, const uint32_t numbers[3], int corner)
{
    MeshSurface& f = file.faces;
    const size_t first = f.face_count == 0 ? 0 : f.face_start[f.face_count];
    if (!Reserve(f.corners, f.corner_capacity, (first + size_t(corner) + 1) * 3) ||
        !Reserve(f.face_start, f.face_capacity, size_t(f.face_count) + 2)) {
        file.out_of_memory = true;
        return;
    }
    if (f.face_count == 0)
        f.face_start[0] = 0;
    std::memcpy(f.corners + (first + size_t(corner)) * 3, numbers, 3 * sizeof(uint32_t));
}

void KeepFace(ObjFile& file, int corners)
{
    MeshSurface& f = file.faces;
    if (corners < 3 || file.out_of_memory)
        return;
    if (!Reserve(f.smoothing, f.smoothing_capacity, size_t(f.face_count) + 1)) {
        file.out_of_memory = true;
        return;
    }
    f.smoothing[f.face_count] = file.group;
    f.face_start[f.face_count + 1] = f.face_start[f.face_count] + uint32_t(corners);
    ++f.face_count;
}

// Returns the start of the next line.
const char* ReadFaceLine(ObjFile& file, const char* p, const char* end)
{
    uint32_t first = NO_TEXCOORD, previous = NO_TEXCOORD, numbers[3];
    int corners = 0;
    for (;;) {
        p = SkipBlanks(p);
        if (EndsWord(*p)) {
            if (file.surface)
                KeepFace(file, corners);
            if (file.hash_shape)
                MixShape(file, (file.shape_hash ^ static_cast<uint64_t>(corners)) * 0x9E3779B97F4A7C15u);
            return NextLine(p, end);
        }
        p = ReadCorner(file, p, numbers);
        if (file.surface)
            KeepCorner(file, numbers, corners);
        const uint32_t texcoord = numbers[1];
        ++corners;
        if (corners == 1) {
            first = texcoord;
        } else if (corners > 2) {
            ++file.triangles;
            // Fanned from the first corner: (0, 1, 2), (0, 2, 3), ...
            if (file.table && !Reserve(file.corners, file.corner_capacity, file.corner_count + 3)) {
                file.out_of_memory = true;
                return NextLine(p, end);
            }
            if (file.table) {
                uint32_t* triangle = file.corners + file.corner_count;
                triangle[0] = first;
                triangle[1] = previous;
                triangle[2] = texcoord;
                file.corner_count += 3;
            }
        }
        previous = texcoord;
    }
}

// Three numbers of a "v" or "vn" line onto `values`; missing ones read as 0.
void ReadTriple(ObjFile& file, const char* p, float*& values, size_t& capacity, uint32_t& count)
{
    if (!Reserve(values, capacity, (size_t(count) + 1) * 3)) {
        file.out_of_memory = true;
        return;
    }
    float* out = values + size_t(count) * 3;
    out[0] = out[1] = out[2] = 0.0f;
    const char* bad = nullptr;
    for (int i = 0; i < 3 && p; ++i)
        p = ParseFloat(p, &out[i], &bad);
    ++count;
    if (bad)
        NoteBadNumber(file, bad);
}

// "s off" and "s 0" end smoothing; any other group is its number (a name counts as 1).
void ReadSmoothingLine(ObjFile& file, const char* p)
{
    p = SkipBlanks(p);
    uint64_t n = 0;
    const char* digits = p;
    for (; *p >= '0' && *p <= '9' && n <= UINT32_MAX; ++p)
        n = n * 10 + static_cast<uint64_t>(*p - '0');
    const bool number = p != digits && EndsWord(*p);
    const bool off = std::strncmp(digits, "off", 3) == 0 && EndsWord(digits[3]);
    file.group = off || EndsWord(*digits) ? 0 : number ? uint32_t(std::min<uint64_t>(n, UINT32_MAX)) : 1;
}

// One line, ended by a line feed; returns the start of the next. The keyword is the
// first word, matched whole.
const char* ReadLine(ObjFile& file, const char* p, const char* end)
{
    p = SkipBlanks(p);
    if (p[0] == 'f' && EndsWord(p[1]))
        return ReadFaceLine(file, p + 1, end);
    if (p[0] == 'v') {
        if (EndsWord(p[1])) {
            ++file.vertex_lines;
            if (file.surface)
                ReadTriple(file, p + 1, file.faces.positions, file.faces.position_capacity, file.faces.position_count);
            if (file.hash_shape) {
                const char* next = NextLine(p, end);
                MixShape(file, HashBytes(file.shape_hash, p + 1, static_cast<size_t>(next - p - 2)));
                return next;
            }
        } else if (p[1] == 't' && EndsWord(p[2])) {
            ReadTexcoordLine(file, p + 2);
        } else if (p[1] == 'n' && EndsWord(p[2]) && file.surface && file.normals) {
            ReadTriple(file, p + 2, file.faces.normals, file.faces.normal_capacity, file.faces.normal_count);
        }
    } else if (p[0] == 's' && EndsWord(p[1]) && file.surface) {
        ReadSmoothingLine(file, p + 1);
    }
    return NextLine(p, end);
}

// Reads the lines of [p, end); every one must end with a line feed.
void ReadCompleteLines(ObjFile& file, const char* p, const char* end)
{
    while (p < end && !file.out_of_memory)
        p = ReadLine(file, p, end);
}

// Reads the complete lines of [p, end); returns where the unfinished rest begins.
const char* ReadLines(ObjFile& file, const char* p, const char* end)
{
    const char* rest = end;
    while (rest > p && rest[-1] != '\n')
        --rest;
    ReadCompleteLines(file, p, rest);
    return rest;
}

// The hashes of the shape's items (a vertex line's text, a face's position numbers as
// written and its corner count) among the last TAIL bytes of a file, in order; the
// first line is skipped where the bytes begin within it.
constexpr size_t TAIL = 65536;

std::vector<uint64_t> TailItems(const char* path)
{
    std::vector<uint64_t> items;
    std::ifstream in(PathOf(path), std::ios::binary);
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (!in || size <= 0)
        return items;
    const std::streamoff length = std::min<std::streamoff>(size, std::streamoff(TAIL));
    std::string bytes(size_t(length) + 1, '\n');  // a last line always ends
    in.seekg(size - length);
    if (!in.read(&bytes[0], length))
        return items;
    const char* p = bytes.data();
    const char* end = p + bytes.size();
    if (length < size)
        p = NextLine(p, end);
    for (; p < end; p = NextLine(p, end)) {
        const char* word = SkipBlanks(p);
        if (word[0] == 'v' && EndsWord(word[1])) {
            const char* next = NextLine(word, end);
            items.push_back(HashBytes(0, word + 1, static_cast<size_t>(next - word - 2)));
        } else if (word[0] == 'f' && EndsWord(word[1])) {
            uint64_t hash = 0;
            int corners = 0;
            for (const char* c = SkipBlanks(word + 1); !EndsWord(*c); c = SkipBlanks(c), ++corners) {
                const char* field = c;
                c = SkipToSlash(c);
                hash = HashBytes(hash, field, static_cast<size_t>(c - field));
                while (!EndsWord(*c))
                    ++c;
            }
            items.push_back(hash ^ static_cast<uint64_t>(corners));
        }
    }
    return items;
}

enum class ReadResult { OK, NOT_FOUND, NOT_OPENED, READ_ERROR, OUT_OF_MEMORY };

// The line feeds in the first `offset` bytes of the stream, read again from its start:
// only a file with a word that is not a number needs them.
int64_t LinesBefore(FILE* stream, int64_t offset)
{
    char buffer[1 << 16];
    int64_t lines = 0;
    std::rewind(stream);
    while (offset > 0) {
        const size_t got = std::fread(buffer, 1, size_t(std::min<int64_t>(offset, sizeof buffer)), stream);
        if (got == 0)
            break;
        lines += std::count(buffer, buffer + got, '\n');
        offset -= int64_t(got);
    }
    return lines;
}

ReadResult ReadStream(ObjFile& file, FILE* stream)
{
    size_t capacity = READ_CHUNK;
    char* buffer = static_cast<char*>(std::malloc(capacity));
    if (!buffer)
        return ReadResult::OUT_OF_MEMORY;
    size_t kept = 0;  // an unfinished line carried over from the last read
    ReadResult result = ReadResult::OK;
    file.chunk = buffer;
    file.chunk_offset = 0;
    for (;;) {
        if (file.race && file.race->differ)
            break;  // the shapes differ: the caller reads the files again, whole
        if (kept == capacity) {  // one line fills the buffer: make it larger
            char* larger = capacity <= SIZE_MAX / 2
                               ? static_cast<char*>(std::realloc(buffer, capacity * 2))
                               : nullptr;
            if (!larger) {
                result = ReadResult::OUT_OF_MEMORY;
                break;
            }
            buffer = larger;
            file.chunk = buffer;
            capacity *= 2;
        }
        const size_t got = std::fread(buffer + kept, 1, capacity - kept, stream);
        if (got == 0) {
            if (std::ferror(stream)) {
                file.open_error = errno;
                result = ReadResult::READ_ERROR;  // not the end: what was read is not the file
                break;
            }
            // The end: a last line without a line feed gets one, in the room kept free.
            if (kept > 0) {
                buffer[kept] = '\n';
                ReadCompleteLines(file, buffer, buffer + kept + 1);
            }
            break;
        }
        const char* end = buffer + kept + got;
        const char* rest = ReadLines(file, buffer, end);
        if (file.out_of_memory)
            break;
        kept = static_cast<size_t>(end - rest);
        file.chunk_offset += rest - buffer;
        std::memmove(buffer, rest, kept);
    }
    std::free(buffer);
    if (file.bad_number_lines > 0 && result == ReadResult::OK)
        file.first_bad_line = LinesBefore(stream, file.first_bad_offset) + 1;
    return file.out_of_memory ? ReadResult::OUT_OF_MEMORY : result;
}

// Bytes in memory; a last line without a line feed is read from a copy that has one.
ReadResult ReadBytes(ObjFile& file, const char* bytes, size_t size)
{
    file.chunk = bytes;
    file.chunk_offset = 0;
    const char* rest = ReadLines(file, bytes, bytes + size);
    const size_t left = static_cast<size_t>(bytes + size - rest);
    if (left > 0 && !file.out_of_memory) {
        char* last = static_cast<char*>(std::malloc(left + 1));
        if (!last)
            return ReadResult::OUT_OF_MEMORY;
        std::memcpy(last, rest, left);
        last[left] = '\n';
        file.chunk = last;
        file.chunk_offset = rest - bytes;
        ReadCompleteLines(file, last, last + left + 1);
        std::free(last);
    }
    if (file.bad_number_lines > 0)
        file.first_bad_line = std::count(bytes, bytes + file.first_bad_offset, '\n') + 1;
    return file.out_of_memory ? ReadResult::OUT_OF_MEMORY : ReadResult::OK;
}

// Where a mesh comes from: a file by name, or bytes in memory when `bytes` is set.
struct MeshInput {
    const char* name;
    const char* bytes;
    size_t size;
};

ReadResult ReadMesh(const MeshInput& input, ObjFile& file)
{
    if (input.bytes)
        return ReadBytes(file, input.bytes, input.size);
    std::error_code ignored;
    if (std::filesystem::is_directory(PathOf(input.name), ignored)) {
        file.open_error = EISDIR;
        return ReadResult::NOT_OPENED;
    }
    errno = 0;
    FILE* stream = OpenFile(input.name, "rb");
    if (!stream) {
        file.open_error = errno;
        return file.open_error == ENOENT || file.open_error == 0 ? ReadResult::NOT_FOUND
                                                                 : ReadResult::NOT_OPENED;
    }
    const ReadResult result = ReadStream(file, stream);
    std::fclose(stream);
    return result;
}

int ClampToInt(int64_t n)
{
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

void LogCounts(const ObjFile& file, const char* name)
{
    LogMessage("%i vertices, %i triangles", ClampToInt(file.vertex_lines), ClampToInt(TriangleCount(file)));
    LogMessage("%i texcoords", ClampToInt(static_cast<int64_t>(file.texcoord_count)));
    if (file.bad_number_lines > 0)
        LogMessage("warning: %s line %lld: %s is not a number and reads as 0 (%lld lines have such numbers)",
                   QuotedName(name).c_str(), static_cast<long long>(file.first_bad_line),
                   QuotedName(file.first_bad_word).c_str(), static_cast<long long>(file.bad_number_lines));
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
    auto* triangles = static_cast<RemapTriangle*>(LargeResize(nullptr, 0, n * sizeof(RemapTriangle)));
    auto* drawable = static_cast<uint8_t*>(std::malloc(n));
    if (!triangles || !drawable) {
        LargeFree(triangles, n * sizeof(RemapTriangle));
        std::free(drawable);
        return false;
    }
    remap_table = RemapTable{static_cast<int32_t>(count), triangles, drawable, 0};
    return true;
}

void FillSourceHalves(const ObjFile& source)
{
    int64_t undrawable = 0;
    for (int32_t i = 0; i < remap_table.count; ++i) {
        RemapTriangle& record = remap_table.triangles[i];
        const bool valid = ResolveTriangle(source, static_cast<size_t>(i), record.source);
        if (!valid) {
            std::memset(record.source, 0, sizeof record.source);
            ++undrawable;
        }
        std::memset(record.target, 0, sizeof record.target);
        remap_table.drawable[i] = valid;
    }
    LogUndrawable(undrawable);
}

// Records from `first` on have no target face.
void MarkUndrawableFrom(int64_t first)
{
    for (int64_t i = first; i < remap_table.count; ++i)
        remap_table.drawable[i] = 0;
}

void FillTargetHalves(const ObjFile& target)
{
    const int64_t paired = TriangleCount(target) < remap_table.count ? TriangleCount(target) : remap_table.count;
    int64_t undrawable = 0;
    for (int32_t i = 0; i < paired; ++i) {
        RemapTriangle& record = remap_table.triangles[i];
        if (!ResolveTriangle(target, static_cast<size_t>(i), record.target)) {
            ++undrawable;
            record = RemapTriangle{};
            remap_table.drawable[i] = 0;
        }
    }
    MarkUndrawableFrom(paired);
    LogUndrawable(undrawable);
}

MeshLoad FailForMemory(const char* name)
{
    ClearRemapTable();
    LogMessage("not enough memory for the mesh %s", QuotedName(name).c_str());
    return MeshLoad::NO_MEMORY;
}

// A file that cannot be read fails the load like a missing one: nothing of the pair
// is drawn.
MeshLoad FailForFile(const char* name, ReadResult read, int open_error)
{
    if (read == ReadResult::OUT_OF_MEMORY)
        return FailForMemory(name);
    const std::string quoted = QuotedName(name);
    if (read == ReadResult::NOT_FOUND)
        LogMessage("%s not found", quoted.c_str());
    else if (open_error != 0)
        LogMessage("%s could not be read: %s", quoted.c_str(), std::strerror(open_error));
    else
        LogMessage("%s could not be read", quoted.c_str());
    MarkUndrawableFrom(0);
    return MeshLoad::UNREADABLE;
}

// With two threads both files are read at once, each into its own record; with one,
// the target reuses the source's record. The log is the same either way.
MeshLoad LoadPairInto(ObjFile files[2], const MeshInput inputs[2], int threads, uint64_t hashes[2])
{
    LogMessage("loading OBJ files");
    LogMessage("%s", QuotedName(inputs[0].name).c_str());
    ClearRemapTable();
    const bool together = threads > 1;
    const bool apart = together || files[0].surface;  // each file in its own record
    ReadResult reads[2] = {ReadResult::OK, ReadResult::OK};
    if (together)
        ParallelFor(2, 2, [&](int64_t job, int) { reads[job] = ReadMesh(inputs[job], files[job]); });
    else
        reads[0] = ReadMesh(inputs[0], files[0]);
    if (reads[0] != ReadResult::OK)
        return FailForFile(inputs[0].name, reads[0], files[0].open_error);
    if (files[0].race && files[0].race->differ)
        return MeshLoad::SHAPES_DIFFER;
    LogCounts(files[0], inputs[0].name);
    const int64_t source_triangles = TriangleCount(files[0]);
    const bool table = files[0].table;
    if (table && !AllocateTable(source_triangles))
        return FailForMemory(inputs[0].name);
    if (table)
        FillSourceHalves(files[0]);
    hashes[0] = files[0].shape_hash;

    LogMessage("%s", QuotedName(inputs[1].name).c_str());
    ObjFile& target = apart ? files[1] : files[0];
    if (!together) {
        if (!apart)
            ReuseObjFile(target);
        target.side = 1;
        reads[1] = ReadMesh(inputs[1], target);
    }
    if (reads[1] != ReadResult::OK)
        return FailForFile(inputs[1].name, reads[1], target.open_error);
    if (target.race && target.race->differ) {
        ClearRemapTable();
        return MeshLoad::SHAPES_DIFFER;
    }
    LogCounts(target, inputs[1].name);
    if (TriangleCount(target) != source_triangles)
        LogMessage("triangle counts differ: %i in %s, %i in %s", ClampToInt(source_triangles),
                   QuotedName(inputs[0].name).c_str(), ClampToInt(TriangleCount(target)),
                   QuotedName(inputs[1].name).c_str());
    if (table) {
        FillTargetHalves(target);
        remap_table.target_count = ClampToInt(TriangleCount(target));
    }
    hashes[1] = target.shape_hash;
    LogMessage("done");
    return MeshLoad::OK;
}

// Hands a file's surface, texture coordinates included, over to `surface`.
void TakeSurface(ObjFile& file, MeshSurface* surface)
{
    *surface = file.faces;
    surface->texcoords = file.texcoords;
    surface->texcoord_count = uint32_t(std::min<size_t>(file.texcoord_count, UINT32_MAX));
    surface->texcoord_capacity = file.texcoord_capacity;
    file.faces = MeshSurface{};
    file.texcoords = nullptr;
    file.texcoord_capacity = 0;
}

MeshLoad LoadPair(const MeshInput& source_input, const MeshInput& target_input, int threads,
                  MeshSurface* surfaces = nullptr, uint64_t* shape_hashes = nullptr, bool table = true,
                  bool source_normals = true)
{
    ObjFile files[2];
    files[0].surface = files[1].surface = surfaces != nullptr;
    files[0].normals = source_normals;
    files[0].table = files[1].table = table;
    files[0].hash_shape = files[1].hash_shape = !surfaces && shape_hashes;
    ShapeRace race;
    for (int i = 0; i < 2 && files[i].hash_shape; ++i) {
        files[i].race = &race;
        files[i].side = i;
    }
    const MeshInput inputs[2] = {source_input, target_input};
    uint64_t hashes[2] = {0, 0};
    const MeshLoad loaded = LoadPairInto(files, inputs, threads, hashes);
    for (int i = 0; i < 2 && surfaces && loaded == MeshLoad::OK; ++i)
        TakeSurface(files[i], &surfaces[i]);
    for (int i = 0; i < 2 && shape_hashes; ++i)
        shape_hashes[i] = hashes[i];
    FreeObjFile(files[0]);
    FreeObjFile(files[1]);
    return loaded;
}

}  // namespace

bool ShapeTailsDiffer(const char* source_path, const char* target_path)
{
    const std::vector<uint64_t> a = TailItems(source_path), b = TailItems(target_path);
    const size_t n = std::min(a.size(), b.size());
    return !std::equal(a.end() - std::ptrdiff_t(n), a.end(), b.end() - std::ptrdiff_t(n));
}

void ClearRemapTable()
{
    LargeFree(remap_table.triangles, static_cast<size_t>(remap_table.count) * sizeof(RemapTriangle));
    std::free(remap_table.drawable);
    remap_table = RemapTable{};
}

bool LoadRemapMeshes(const char* source_path, const char* target_path)
{
    return LoadRemapMeshPair(source_path, target_path, 1) == MeshLoad::OK;
}

MeshLoad LoadRemapMeshPair(const char* source_path, const char* target_path, int threads, MeshSurface* surfaces,
                           uint64_t* shape_hashes)
{
    return LoadPair(MeshInput{source_path, nullptr, 0}, MeshInput{target_path, nullptr, 0}, threads, surfaces,
                    shape_hashes);
}

MeshLoad LoadSurfacePair(const char* source_path, const char* target_path, int threads, MeshSurface surfaces[2],
                         bool source_normals)
{
    return LoadPair(MeshInput{source_path, nullptr, 0}, MeshInput{target_path, nullptr, 0}, threads, surfaces,
                    nullptr, false, source_normals);
}

bool RemapTableFromSurfaces(const MeshSurface surfaces[2])
{
    int64_t counts[2] = {0, 0};
    for (int i = 0; i < 2; ++i)
        for (uint32_t f = 0; f < surfaces[i].face_count; ++f)
            counts[i] += surfaces[i].face_start[f + 1] - surfaces[i].face_start[f] - 2;
    if (!AllocateTable(counts[0]))
        return false;
    int64_t undrawable[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        const MeshSurface& s = surfaces[i];
        int64_t t = 0;
        for (uint32_t f = 0; f < s.face_count && t < remap_table.count; ++f)
            for (uint32_t k = s.face_start[f] + 1; k + 1 < s.face_start[f + 1] && t < remap_table.count; ++k, ++t) {
                RemapTriangle& record = remap_table.triangles[t];
                TexCoord* half = i == 0 ? record.source : record.target;
                bool valid = true;
                for (int c = 0; c < 3; ++c) {
                    const uint32_t n = s.corners[size_t(c == 0 ? s.face_start[f] : k + uint32_t(c) - 1) * 3 + 1];
                    valid = valid && n != NO_TEXCOORD && n <= s.texcoord_count;
                    half[c] = valid ? s.texcoords[n - 1] : TexCoord{0, 0};
                }
                // As the reading fills it: a source triangle without coordinates is cleared
                // and skipped, and a target one clears its record.
                if (i == 0) {
                    std::memset(record.target, 0, sizeof record.target);
                    if (!valid)
                        std::memset(record.source, 0, sizeof record.source);
                    remap_table.drawable[t] = valid;
                } else if (!valid) {
                    record = RemapTriangle{};
                    remap_table.drawable[t] = 0;
                }
                undrawable[i] += !valid;
            }
        if (i == 1)
            MarkUndrawableFrom(std::min(counts[1], int64_t(remap_table.count)));
        LogUndrawable(undrawable[i]);
    }
    remap_table.target_count = ClampToInt(counts[1]);
    return true;
}

void FreeMeshSurface(MeshSurface* surface)
{
    LargeFree(surface->texcoords, surface->texcoord_capacity * sizeof(TexCoord));
    FreeSurfaceArrays(*surface);
}

bool LoadRemapMeshesFromBytes(const char* source_name, const char* source, size_t source_size,
                              const char* target_name, const char* target, size_t target_size)
{
    // An empty input still counts as given: point at a valid empty range.
    static const char nothing[1] = {0};
    return LoadPair(MeshInput{source_name, source ? source : nothing, source_size},
                    MeshInput{target_name, target ? target : nothing, target_size}, 1) == MeshLoad::OK;
}
