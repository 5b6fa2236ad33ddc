// The image writers behind tlSavePNG and tlSaveEXR: host only, no context. Both take linear,
// premultiplied float RGBA, row 0 at the top; both return 0 on success and 1 otherwise (a refusal
// before the file is opened leaves no file). They may throw std::bad_alloc.
#pragma once

namespace tl::io {

// 8-bit, or 16-bit when sixteenBit, straight-alpha gamma-encoded RGBA PNG.
int savePNG(const char* path, int width, int height, const float* rgba, bool sixteenBit);

// Uncompressed scan-line OpenEXR with four half channels.
int saveEXR(const char* path, int width, int height, const float* rgba);

}  // namespace tl::io
