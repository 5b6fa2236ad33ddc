#include "gpu/check.h"

#include <string>

#include "api/context.h"

namespace tl {

bool checkCuda(TLContext* ctx, gpu::Error err, const char* what) {
    if (err == gpu::kSuccess) return false;
    // The runtime also keeps this error as the thread's pending error. It has been reported now, so
    // consume it: otherwise the next call's launch check would report it a second time, as its own.
    // (Errors the runtime keeps for good, such as a kernel fault, come back regardless.)
    gpu::getLastError();
    if (ctx) {
        const char* description = gpu::errorString(err);
        std::string text = what;
        text += ": ";
        if (description && *description) text += description;
        else text += "error " + std::to_string(err);
        setError(ctx, text);
    }
    return true;
}

}  // namespace tl
