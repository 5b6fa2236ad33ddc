#include "gpu/check.h"

#include <string>

#include "api/context.h"

namespace tl {

bool checkCuda(TLContext* ctx, gpu::Error err, const char* what) {
    if (err == gpu::kSuccess) return false;
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
