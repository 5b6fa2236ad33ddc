#include "taluna.h"

extern "C" TL_API int tlSavePNG(const char* path, int width, int height, const float* rgba, int sixteenBit) {
    (void)path, (void)width, (void)height, (void)rgba, (void)sixteenBit;
    return 1;  // not implemented yet
}
