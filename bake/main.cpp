// Entry point of texwarp-bake: the arguments as UTF-8, whatever the system gave.
#include <string>
#include <vector>

#include "bake/bake.h"
#include "support/file_names.h"

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments = CommandArguments(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments)
        pointers.push_back(argument.c_str());
    return RunBake(int(pointers.size()), pointers.data());
}
