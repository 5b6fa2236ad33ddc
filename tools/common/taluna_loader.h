// Loads one of the taluna libraries at run time and resolves its thirteen functions, so that a program
// can choose the GPU or the CPU library (or test both) without linking either.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "taluna.h"

namespace taluna {

struct Api {
    void* handle = nullptr;
    std::string path;
    int (*apiVersion)(void) = nullptr;
    TLContext* (*create)(int) = nullptr;
    void (*destroy)(TLContext*) = nullptr;
    const char* (*lastError)(TLContext*) = nullptr;
    int (*deviceInfo)(TLContext*, char*, int) = nullptr;
    int (*reserve)(TLContext*, uint64_t, int) = nullptr;
    int (*upload)(TLContext*, const TLV3*, const TLUChar4*, const TLV3*, uint64_t, uint64_t) = nullptr;
    int (*setCount)(TLContext*, uint64_t) = nullptr;
    uint64_t (*getCount)(TLContext*) = nullptr;
    int (*generateTestCloud)(TLContext*, uint64_t, uint32_t, int) = nullptr;
    int (*render)(TLContext*, const TLCamera*, const TLRenderSettings*, const TLLight*, int, TLUChar4*, TLFloat4*,
                  float*) = nullptr;
    int (*savePNG)(const char*, int, int, const float*, int) = nullptr;
    int (*saveEXR)(const char*, int, int, const float*) = nullptr;
    // Functions beyond the thirteen: null when the library predates them.
    int (*accumulate)(TLContext*, const TLCamera*, const TLRenderSettings*, uint64_t, TLFloat4*) = nullptr;
    int (*resolve)(int, int, float, const TLFloat4*, TLUChar4*, TLFloat4*) = nullptr;
    int (*generateTestCloudRange)(TLContext*, uint64_t, uint64_t, uint32_t, int) = nullptr;
    int (*deviceMemory)(TLContext*, uint64_t*, uint64_t*) = nullptr;

    Api() = default;
    Api(const Api&) = delete;
    Api& operator=(const Api&) = delete;
    ~Api() { unload(); }

    void unload() {
        if (handle) dlclose(handle);
        handle = nullptr;
    }

    // Loads the library at `file`; on failure returns false and describes why in *error.
    bool load(const std::string& file, std::string* error) {
        unload();
        // Never unmapped: both libraries' runtimes keep worker threads alive after an unload.
        handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (!handle) {
            if (error) *error = dlerror();
            return false;
        }
        path = file;
        bool ok = true;
        auto get = [&](auto& fn, const char* name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(handle, name));
            if (!fn) {
                ok = false;
                if (error) *error = std::string("missing symbol ") + name + " in " + file;
            }
        };
        get(apiVersion, "tlApiVersion");
        get(create, "tlCreate");
        get(destroy, "tlDestroy");
        get(lastError, "tlLastError");
        get(deviceInfo, "tlDeviceInfo");
        get(reserve, "tlReserve");
        get(upload, "tlUpload");
        get(setCount, "tlSetCount");
        get(getCount, "tlGetCount");
        get(generateTestCloud, "tlGenerateTestCloud");
        get(render, "tlRender");
        get(savePNG, "tlSavePNG");
        get(saveEXR, "tlSaveEXR");
        auto optional = [&](auto& fn, const char* name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(handle, name));
        };
        optional(accumulate, "tlAccumulate");
        optional(resolve, "tlResolve");
        optional(generateTestCloudRange, "tlGenerateTestCloudRange");
        optional(deviceMemory, "tlDeviceMemory");
        if (!ok) unload();
        return ok;
    }

    // The first of the functions of frames as sums the library lacks, or null when it has them all.
    const char* missingSums() const {
        return !accumulate               ? "tlAccumulate"
               : !resolve                ? "tlResolve"
               : !generateTestCloudRange ? "tlGenerateTestCloudRange"
               : !deviceMemory           ? "tlDeviceMemory"
                                         : nullptr;
    }
};

// Folder of the running executable ("" when unknown).
inline std::string executableDir() {
    char buf[PATH_MAX];
    ssize_t len = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (len <= 0) return "";
    std::string p(buf, static_cast<size_t>(len));
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "" : p.substr(0, slash);
}

// Where to look for a library named `name` (e.g. "libtaluna.so"): beside the executable, in ../lib
// (the build tree), in the installed library folder, then the dynamic loader's own search path.
inline std::vector<std::string> libraryCandidates(const std::string& name) {
    std::vector<std::string> out;
    std::string dir = executableDir();
    if (!dir.empty()) {
        out.push_back(dir + "/" + name);
        out.push_back(dir + "/../lib/" + name);
#if defined(TALUNA_TOOL_TO_LIBDIR)
        out.push_back(dir + "/" TALUNA_TOOL_TO_LIBDIR "/" + name);
#endif
    }
    out.push_back(name);
    return out;
}

inline bool loadByName(Api& api, const std::string& name, std::string* error) {
    for (const std::string& candidate : libraryCandidates(name)) {
        if (candidate.find('/') != std::string::npos && access(candidate.c_str(), R_OK) != 0) continue;
        if (api.load(candidate, error)) return true;
    }
    return false;
}

}  // namespace taluna
