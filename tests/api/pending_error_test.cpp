// A runtime error that no step examines (the device selection and memory query of a context whose
// device is gone) stays with the call that caused it: the next call on the thread, on any context,
// reports only its own failures.
#include <cstring>
#include <functional>
#include <vector>

#include "api/library_fixture.h"

class PendingErrorTest : public LibraryTest {};
INSTANTIATE_FOR_ALL_LIBRARIES(PendingErrorTest);

TEST_P(PendingErrorTest, UnexaminedFailuresOfAContextWithoutDeviceStayInTheirCall) {
    TLCamera camera;
    std::memset(&camera, 0, sizeof camera);
    camera.eye = TLV3{0.0f, 60.0f, 160.0f};
    camera.up = TLV3{0.0f, 1.0f, 0.0f};
    camera.fovY = 50.0f;
    TLRenderSettings s;
    std::memset(&s, 0, sizeof s);
    s.width = 8;
    s.height = 6;
    s.intensity = 1.0f;
    s.exposure = 1.0f;
    s.samples = 1;
    std::vector<TLUChar4> rgba(48);
    char line[128];

    TLContext* bad = api.create(64);
    ASSERT_NE(bad, nullptr);
    // Each call on the failed context, then the good context's next calls on the same thread.
    const std::function<void()> failures[] = {
        [] {},  // the failed creation itself
        [&] { EXPECT_EQ(api.reserve(bad, 1000, 1), 1); },
        [&] { EXPECT_EQ(api.deviceInfo(bad, line, sizeof line), 1); },
        [&] { EXPECT_EQ(api.generateTestCloud(bad, 100, 1, 0), 1); },
        [&] { EXPECT_EQ(api.render(bad, &camera, &s, nullptr, 0, rgba.data(), nullptr, nullptr), 1); },
    };
    for (size_t f = 0; f < sizeof failures / sizeof failures[0]; ++f) {
        failures[f]();
        EXPECT_EQ(api.generateTestCloud(ctx, 100, 1, 0), 0) << "after failure " << f << ": " << lastError();
        EXPECT_EQ(api.render(ctx, &camera, &s, nullptr, 0, rgba.data(), nullptr, nullptr), 0)
            << "after failure " << f << ": " << lastError();
        EXPECT_EQ(lastError(), "") << "after failure " << f;
    }
    api.destroy(bad);
}
