// scripts/gpu-check.sh builds and runs this before the long build: can a kernel run on device 0?
// Prints the driver's and the runtime's CUDA versions and the device; on failure the last line is
// "probe: FAIL: <reason>" and the exit status 1.
#include <cstdio>

#include <cuda_runtime.h>

__global__ void touch(int* out) { *out = 42; }

namespace {

int driverVersion = 0, runtimeVersion = 0;

int fail(const char* what, cudaError_t e) {
    const char* text = cudaGetErrorString(e);
    if (driverVersion == 0)
        std::printf("probe: FAIL: no CUDA device: no NVIDIA driver answers; %s: %s\n", what, text);
    else if (e == cudaErrorInsufficientDriver || driverVersion < runtimeVersion)
        std::printf("probe: FAIL: driver too old: it supports CUDA %d.%d, the runtime is CUDA %d.%d; %s: %s\n",
                    driverVersion / 1000, driverVersion % 1000 / 10, runtimeVersion / 1000,
                    runtimeVersion % 1000 / 10, what, text);
    else if (e == cudaErrorNoDevice)
        std::printf("probe: FAIL: no CUDA device; %s: %s\n", what, text);
    else
        std::printf("probe: FAIL: %s: %s (%s)\n", what, text, cudaGetErrorName(e));
    return 1;
}

}  // namespace

int main() {
    cudaDriverGetVersion(&driverVersion);  // 0 where no driver is installed
    cudaRuntimeGetVersion(&runtimeVersion);
    if (driverVersion == 0)
        std::printf("probe: no NVIDIA driver found; runtime is CUDA %d.%d\n", runtimeVersion / 1000,
                    runtimeVersion % 1000 / 10);
    else
        std::printf("probe: driver supports CUDA %d.%d, runtime is CUDA %d.%d\n", driverVersion / 1000,
                    driverVersion % 1000 / 10, runtimeVersion / 1000, runtimeVersion % 1000 / 10);
    int count = 0;
    cudaError_t e = cudaGetDeviceCount(&count);
    if (e != cudaSuccess) return fail("cudaGetDeviceCount", e);
    if (count == 0) return fail("cudaGetDeviceCount", cudaErrorNoDevice);
    cudaDeviceProp p{};
    e = cudaGetDeviceProperties(&p, 0);
    if (e != cudaSuccess) return fail("cudaGetDeviceProperties", e);
    std::printf("probe: device 0 of %d: %s, compute capability %d.%d, %.1f GiB\n", count, p.name, p.major, p.minor,
                p.totalGlobalMem / 1073741824.0);
    int* out = nullptr;
    e = cudaMalloc(&out, sizeof(int));
    if (e != cudaSuccess) return fail("cudaMalloc", e);
    touch<<<1, 1>>>(out);
    e = cudaGetLastError();
    if (e == cudaSuccess) e = cudaDeviceSynchronize();
    if (e == cudaErrorNoKernelImageForDevice) {
        std::printf("probe: FAIL: no kernel image for compute capability %d.%d (%s)\n", p.major, p.minor,
                    cudaGetErrorString(e));
        return 1;
    }
    if (e != cudaSuccess) return fail("kernel launch", e);
    int value = 0;
    e = cudaMemcpy(&value, out, sizeof(int), cudaMemcpyDeviceToHost);
    if (e != cudaSuccess) return fail("cudaMemcpy", e);
    if (value != 42) {
        std::printf("probe: FAIL: the kernel wrote %d instead of 42\n", value);
        return 1;
    }
    std::printf("probe: a kernel ran\n");
    return 0;
}
