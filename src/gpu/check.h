// Turns a failed runtime call into the context's last-error text.
#pragma once

#include "gpu/runtime.h"

struct TLContext;

namespace tl {

// False when err is success. Otherwise stores "what: <runtime description>" in ctx (when non-null)
// and returns true; a runtime without a description for the code gives "what: error <code>". The
// reported error is consumed from the thread's pending error.
bool checkCuda(TLContext* ctx, gpu::Error err, const char* what);

}  // namespace tl
