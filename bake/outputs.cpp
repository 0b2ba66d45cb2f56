// The bake's outputs, checked before any work.
#include "bake/outputs.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "assets/large_block.h"
#include "bake/udim.h"
#include "support/file_names.h"
#include "support/safe_write.h"

namespace fs = std::filesystem;

namespace {

std::string Reason(int error)
{
    // The system's words, but for the one the C library of some systems lacks.
    return error == ELOOP ? "too many levels of symbolic links" : std::strerror(error);
}

// A folder the bake can create files in; false with the reason.
bool CanCreateIn(const fs::path& folder, std::string* reason)
{
    std::error_code error;
    const fs::path where = folder.empty() ? fs::path(".") : folder;
    if (!fs::is_directory(where, error)) {
        *reason = fs::exists(where, error) ? "not a folder" : "no such folder";
        return false;
    }
    // The only sure test of being allowed to write is writing: the temporary file an
    // output would get there, made and removed at once.
    SafeFile probe;
    int failure = 0;
    if (!OpenSafeFile(NameOf(where / "probe").c_str(), true, &probe, &failure)) {
        *reason = Reason(failure);
        return false;
    }
    DiscardSafeFile(&probe);
    return true;
}

// One output file: its links lead somewhere, to a regular file or to nothing yet, by a
// name the system takes, in a folder that takes new files. *probed is the last folder
// found to take them (empty at first), which is not tried again.
int CheckOutputFile(const std::string& out, std::string* probed, std::string* message)
{
    std::string resolved;
    int failure = 0;
    if (!ResolveLinks(out, &resolved, &failure)) {
        *message = QuotedName(out) + " cannot be written: " + Reason(failure);
        return BAKE_OUTPUT;
    }
    std::error_code error;
    const fs::file_status status = fs::status(PathOf(resolved), error);
    if (status.type() != fs::file_type::not_found && error) {  // a name too long, say
        *message = QuotedName(out) + " cannot be written: " + Reason(error.value());
        return BAKE_OUTPUT;
    }
    if (status.type() == fs::file_type::directory) {
        *message = QuotedName(out) + " is a folder: one image needs an output file";
        return BAKE_OUTPUT;
    }
    if (status.type() != fs::file_type::not_found && status.type() != fs::file_type::regular) {
        // Replacing a device, a FIFO or a socket with a file would break what uses it.
        *message = QuotedName(out) + " is not a regular file (a device, FIFO or socket); '-o -' writes to "
                                     "standard output";
        return BAKE_OUTPUT;
    }
    const fs::path parent = PathOf(resolved).parent_path(), folder = parent.empty() ? fs::path(".") : parent;
    std::string reason;
    if (NameOf(folder) != *probed && !CanCreateIn(folder, &reason)) {
        *message = QuotedName(out) + " cannot be written: " + reason;
        return BAKE_OUTPUT;
    }
    *probed = NameOf(folder);
    return BAKE_DONE;
}

// Makes the folder and the missing ones above it, each noted in *made, outermost first.
bool MakeFolder(const fs::path& folder, std::vector<std::string>* made, std::error_code* error)
{
    std::vector<fs::path> missing;
    for (fs::path at = folder; !at.empty() && !fs::exists(at, *error); at = at.parent_path()) {
        missing.push_back(at);
        if (at == at.parent_path())
            break;
    }
    for (auto at = missing.rbegin(); at != missing.rend(); ++at) {
        if (!fs::create_directory(*at, *error) && *error)
            return false;
        made->push_back(NameOf(*at));
    }
    return fs::is_directory(folder, *error);
}

}  // namespace

bool ToStandardOutput(const BakeOptions& options)
{
    return options.out == "-";
}

std::string OutputPath(const BakeOptions& options, const std::string& image)
{
    if (options.images.size() == 1)
        return options.out;
    return NameOf(PathOf(options.out) / PathOf(image).filename());
}

namespace {

int PrepareImageOutputs(const BakeOptions& options, std::vector<std::string>* made, std::string* message)
{
    if (ToStandardOutput(options)) {
        if (options.images.size() == 1)
            return BAKE_DONE;
        *message = "standard output ('-o -') takes one image, not " + std::to_string(options.images.size());
        return BAKE_USAGE;
    }
    std::string probed;
    if (options.images.size() == 1)
        return CheckOutputFile(TileName(options.out, FIRST_TILE), &probed, message);
    for (size_t i = 0; i < options.images.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (SameFileName(OutputPath(options, options.images[i]), OutputPath(options, options.images[j]))) {
                *message = "two images would be written to " + QuotedName(OutputPath(options, options.images[i]));
                return BAKE_USAGE;
            }
    std::error_code error;
    if (!MakeFolder(PathOf(options.out), made, &error)) {
        *message = QuotedName(options.out) + " is not a folder that can be written to: " +
                   (error ? Reason(error.value()) : "not a folder");
        return BAKE_OUTPUT;
    }
    for (const std::string& image : options.images) {
        const int code = CheckOutputFile(TileName(OutputPath(options, image), FIRST_TILE), &probed, message);
        if (code != BAKE_DONE)
            return code;
    }
    return BAKE_DONE;
}

}  // namespace

int PrepareOutputs(const BakeOptions& options, std::vector<std::string>* made, std::string* message)
{
    const int code = PrepareImageOutputs(options, made, message);
    if (code != BAKE_DONE || options.misses.empty())
        return code;
    // Tiles out get a mask each, named by the same tile.
    if (HasUdim(OutputPath(options, options.images[0])) != HasUdim(options.misses)) {
        *message = "--misses must have <UDIM> in its name exactly when the first image's output has";
        return BAKE_USAGE;
    }
    for (const std::string& image : options.images)
        if (!ToStandardOutput(options) && SameFileName(options.misses, OutputPath(options, image))) {
            *message = "--misses would be written over the output " + QuotedName(options.misses);
            return BAKE_USAGE;
        }
    std::string probed;
    return CheckOutputFile(TileName(options.misses, FIRST_TILE), &probed, message);
}

int CheckSizeFits(const BakeOptions& options, int bits, std::string* message)
{
    if (options.width == 0)
        return BAKE_DONE;
    // Per pixel: the drawing, its coverage, and the compressed output the writer holds
    // until it is written (as large as the pixels where they do not compress).
    const uint64_t pixel = uint64_t(bits / 8) * 4;
    const uint64_t bytes = uint64_t(options.width) * uint64_t(options.height) * (2 * pixel + 1);
    void* block = bytes <= SIZE_MAX ? LargeResize(nullptr, 0, size_t(bytes)) : nullptr;
    if (!block) {
        *message = "not enough memory for a " + std::to_string(options.width) + " x " +
                   std::to_string(options.height) + " output (" + std::to_string(bytes >> 20) + " MB)";
        return BAKE_OUTPUT;
    }
    LargeFree(block, size_t(bytes));
    return BAKE_DONE;
}

void RemoveMadeFolders(const std::vector<std::string>& made)
{
    std::error_code ignored;
    for (auto folder = made.rbegin(); folder != made.rend(); ++folder)
        if (fs::is_empty(PathOf(*folder), ignored))
            fs::remove(PathOf(*folder), ignored);
}
