// The public header next to CUDA's vector types: no name clashes, and the pixel layouts agree.
#include <vector_types.h>

#include <taluna.h>

static_assert(sizeof(TLUChar4) == sizeof(uchar4), "8-bit pixels match uchar4");
static_assert(sizeof(TLFloat4) == sizeof(float4), "float pixels match float4");
