// libFuzzer target: the settings reader, on the input as the whole config.txt.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "support/settings.h"
#include "support/window_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    window_state = WindowState{950, 650, 0, 0, 1, false, 0, 0};
    static const char empty[1] = {0};
    FILE* file = size ? fmemopen(const_cast<uint8_t*>(data), size, "r")
                      : fmemopen(const_cast<char*>(empty), 1, "r");
    if (!file)
        return 0;
    ReadConfigFrom(file);
    std::fclose(file);
    return 0;
}
