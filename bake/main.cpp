// Entry point of texwarp-bake.
#include "bake/bake.h"

int main(int argc, char** argv)
{
    return RunBake(argc, argv);
}
