// UDIM names and the tile a coordinate falls in.
#include "bake/udim.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "support/file_names.h"

namespace {

const char MARK[] = "<UDIM>";
constexpr size_t MARK_SIZE = sizeof MARK - 1;

// Four digits naming a tile of the grid, or 0.
int TileNumber(const std::string& text)
{
    if (text.size() != 4 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    const int n = std::stoi(text);
    return n >= FIRST_TILE ? n : 0;
}

}  // namespace

bool HasUdim(const std::string& name)
{
    return name.find(MARK) != std::string::npos;
}

std::string TileName(const std::string& pattern, int tile)
{
    std::string name = pattern;
    for (size_t at = name.find(MARK); at != std::string::npos; at = name.find(MARK, at))
        name.replace(at, MARK_SIZE, std::to_string(tile));
    return name;
}

bool FindTiles(const std::string& pattern, std::vector<int>* tiles, std::string* error)
{
    namespace fs = std::filesystem;
    tiles->clear();
    const fs::path path = PathOf(pattern);
    const std::string name = NameOf(path.filename());
    const size_t mark = name.find(MARK);
    if (mark == std::string::npos || HasUdim(NameOf(path.parent_path()))) {
        *error = QuotedName(pattern) + ": <UDIM> may stand only in the file's name, not its folder's";
        return false;
    }
    const std::string before = name.substr(0, mark), after = name.substr(mark + MARK_SIZE);
    if (HasUdim(after)) {
        *error = QuotedName(pattern) + ": <UDIM> may stand once in a name";
        return false;
    }
    const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    std::error_code failed;
    for (fs::directory_iterator entry(folder, failed), end; !failed && entry != end; entry.increment(failed)) {
        const std::string file = NameOf(entry->path().filename());
        if (file.size() <= before.size() + after.size() || file.compare(0, before.size(), before) != 0 ||
            file.compare(file.size() - after.size(), after.size(), after) != 0)
            continue;
        const std::string middle = file.substr(before.size(), file.size() - before.size() - after.size());
        const int tile = TileNumber(middle);
        if (tile == 0) {
            *error = QuotedName(NameOf(folder / entry->path().filename())) + " matches " + QuotedName(pattern) +
                     " but '" + middle + "' is not a tile number (four digits, 1001 or more)";
            return false;
        }
        tiles->push_back(tile);
    }
    std::sort(tiles->begin(), tiles->end());
    if (tiles->empty()) {
        *error = "no file matches " + QuotedName(pattern) +
                 (failed ? ": its folder cannot be read (" + failed.message() + ")" : "");
        return false;
    }
    return true;
}
