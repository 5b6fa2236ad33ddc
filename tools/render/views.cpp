#include "render/views.h"

#include <algorithm>
#include <cmath>

namespace taluna::render {
namespace {

struct D3 {
    double x, y, z;
};
D3 d3(TLV3 v) { return {v.x, v.y, v.z}; }
D3 operator+(D3 a, D3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
D3 operator-(D3 a, D3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
D3 operator*(D3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double dot(D3 a, D3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
D3 cross(D3 a, D3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
double length(D3 a) { return std::sqrt(dot(a, a)); }
TLV3 tl(D3 v) { return TLV3{static_cast<float>(v.x), static_cast<float>(v.y), static_cast<float>(v.z)}; }

constexpr double kRadians = 3.14159265358979323846 / 180.0;

}  // namespace

TLCamera fitCamera(const TLCamera& camera, TLV3 lo, TLV3 hi, float aspect) {
    TLCamera c = camera;
    const D3 centre = (d3(lo) + d3(hi)) * 0.5;
    double radius = length(d3(hi) - d3(lo)) * 0.55;  // half the diagonal and a tenth more as a margin
    if (!(radius > 0.0)) radius = 1.0;  // a single point: any distance shows it
    D3 back = d3(camera.eye) - d3(camera.target);
    const double backLength = length(back);
    back = backLength > 0.0 ? back * (1.0 / backLength) : D3{0.0, 0.0, 1.0};
    const double halfY = 0.5 * camera.fovY * kRadians;
    const double halfX = std::atan(std::tan(halfY) * aspect);
    const double distance = radius / std::sin(std::min(halfY, halfX));
    c.target = tl(centre);
    c.eye = tl(centre + back * distance);
    return c;
}

bool fixUp(TLCamera& camera) {
    const D3 view = d3(camera.target) - d3(camera.eye), up = d3(camera.up);
    const double viewLength = length(view), upLength = length(up);
    if (!(viewLength > 0.0) || std::isinf(viewLength)) return false;  // no direction to be parallel to
    if (upLength > 0.0 && length(cross(view, up)) > 1e-3 * viewLength * upLength) return false;
    const double a[3] = {std::fabs(view.x), std::fabs(view.y), std::fabs(view.z)};
    const int axis = a[0] <= a[1] && a[0] <= a[2] ? 0 : a[1] <= a[2] ? 1 : 2;
    camera.up = TLV3{axis == 0 ? 1.0f : 0.0f, axis == 1 ? 1.0f : 0.0f, axis == 2 ? 1.0f : 0.0f};
    return true;
}

TLCamera orbitCamera(const TLCamera& camera, double degrees) {
    TLCamera c = camera;
    if (degrees == 0.0) return c;
    D3 axis = d3(camera.up);
    const double axisLength = length(axis);
    if (!(axisLength > 0.0)) return c;
    axis = axis * (1.0 / axisLength);
    // Rodrigues' rotation of the eye's offset from the target.
    const D3 v = d3(camera.eye) - d3(camera.target);
    const double a = degrees * kRadians;
    const D3 turned = v * std::cos(a) + cross(axis, v) * std::sin(a) + axis * (dot(axis, v) * (1.0 - std::cos(a)));
    c.eye = tl(d3(camera.target) + turned);
    return c;
}

}  // namespace taluna::render
