#include "taluna.h"

extern "C" TL_API int tlSaveEXR(const char* path, int width, int height, const float* rgba) {
    (void)path, (void)width, (void)height, (void)rgba;
    return 1;  // not implemented yet
}
