// Test helper: runs texwarp-bake's command line from one string, split at spaces (the
// tests' paths have none).
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "bake/bake.h"

inline int Bake(const std::string& line)
{
    std::vector<std::string> words = {"texwarp-bake"};
    std::istringstream in(line);
    for (std::string word; in >> word;)
        words.push_back(word);
    std::vector<const char*> argv;
    for (const std::string& word : words)
        argv.push_back(word.c_str());
    return RunBake(int(argv.size()), argv.data());
}
