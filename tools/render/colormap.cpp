#include "render/colormap.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace taluna::render {
namespace {

// 16 evenly spaced entries (0, 17, 34, ..., 255) of the 256-entry tables of the perceptually uniform
// colormaps viridis, magma, inferno, plasma and cividis, as matplotlib publishes them under CC0;
// the colours between them are interpolated linearly.
struct Anchors {
    const char* name;
    float rgb[16][3];
};
const Anchors kMaps[] = {
    {"viridis",
     {
      {0.267004, 0.004874, 0.329415}, {0.282656, 0.100196, 0.422160}, {0.277134, 0.185228, 0.489898},
      {0.253935, 0.265254, 0.529983}, {0.221989, 0.339161, 0.548752}, {0.190631, 0.407061, 0.556089},
      {0.163625, 0.471133, 0.558148}, {0.139147, 0.533812, 0.555298}, {0.120565, 0.596422, 0.543611},
      {0.134692, 0.658636, 0.517649}, {0.208030, 0.718701, 0.472873}, {0.327796, 0.773980, 0.406640},
      {0.477504, 0.821444, 0.318195}, {0.647257, 0.858400, 0.209861}, {0.824940, 0.884720, 0.106217},
      {0.993248, 0.906157, 0.143936}}},
    {"magma",
     {
      {0.001462, 0.000466, 0.013866}, {0.043830, 0.033830, 0.141886}, {0.123833, 0.067295, 0.295879},
      {0.232077, 0.059889, 0.437695}, {0.341482, 0.080564, 0.492631}, {0.445163, 0.122724, 0.506901},
      {0.550287, 0.161158, 0.505719}, {0.658483, 0.196027, 0.490253}, {0.767398, 0.233705, 0.457755},
      {0.868793, 0.287728, 0.409303}, {0.944006, 0.377643, 0.365136}, {0.981000, 0.498428, 0.369734},
      {0.994738, 0.624350, 0.427397}, {0.997228, 0.747981, 0.516859}, {0.993170, 0.870024, 0.626189},
      {0.987053, 0.991438, 0.749504}}},
    {"inferno",
     {
      {0.001462, 0.000466, 0.013866}, {0.046915, 0.030324, 0.150164}, {0.142378, 0.046242, 0.308553},
      {0.258234, 0.038571, 0.406485}, {0.366529, 0.071579, 0.431994}, {0.472328, 0.110547, 0.428334},
      {0.578304, 0.148039, 0.404411}, {0.682656, 0.189501, 0.360757}, {0.780517, 0.243327, 0.299523},
      {0.865006, 0.316822, 0.226055}, {0.929644, 0.411479, 0.145367}, {0.970919, 0.522853, 0.058367},
      {0.987622, 0.645320, 0.039886}, {0.978806, 0.774545, 0.176037}, {0.950018, 0.903409, 0.380271},
      {0.988362, 0.998364, 0.644924}}},
    {"plasma",
     {
      {0.050383, 0.029803, 0.527975}, {0.200445, 0.017902, 0.593364}, {0.312543, 0.008239, 0.635700},
      {0.417642, 0.000564, 0.658390}, {0.517933, 0.021563, 0.654109}, {0.610667, 0.090204, 0.619951},
      {0.692840, 0.165141, 0.564522}, {0.764193, 0.240396, 0.502126}, {0.826588, 0.315714, 0.441316},
      {0.881443, 0.392529, 0.383229}, {0.928329, 0.472975, 0.326067}, {0.965024, 0.559118, 0.268513},
      {0.988260, 0.652325, 0.211364}, {0.994141, 0.753137, 0.161404}, {0.977995, 0.861432, 0.142808},
      {0.940015, 0.975158, 0.131326}}},
    {"cividis",
     {
      {0.000000, 0.135112, 0.304751}, {0.000000, 0.181610, 0.421859}, {0.117612, 0.225935, 0.434308},
      {0.208926, 0.272546, 0.424809}, {0.279411, 0.318677, 0.423031}, {0.342246, 0.364939, 0.428559},
      {0.401418, 0.411790, 0.440708}, {0.458366, 0.459552, 0.460457}, {0.517920, 0.508454, 0.472707},
      {0.582087, 0.558670, 0.468118}, {0.648222, 0.610553, 0.454801}, {0.716177, 0.664384, 0.432386},
      {0.785965, 0.720438, 0.399613}, {0.857809, 0.778969, 0.353259}, {0.932180, 0.840159, 0.285880},
      {0.995737, 0.909344, 0.217772}}},
};

}  // namespace

const std::vector<std::string>& colormapNames() {
    static const std::vector<std::string> names = {"viridis", "magma", "inferno", "plasma", "cividis", "gray"};
    return names;
}

bool isColormap(const std::string& name) {
    const auto& names = colormapNames();
    return std::find(names.begin(), names.end(), name) != names.end();
}

ColorMapping::ColorMapping(const std::string& colormap, bool log, double lo, double hi) : log_(log) {
    const Anchors* anchors = nullptr;
    for (const Anchors& a : kMaps)
        if (colormap == a.name) anchors = &a;
    for (int i = 0; i < 256; ++i) {
        float rgb[3] = {i / 255.0f, i / 255.0f, i / 255.0f};  // gray, and the fallback for an unknown name
        if (anchors) {
            const int k = std::min(i / 17, 14);
            const float t = (i - 17 * k) / 17.0f;
            for (int c = 0; c < 3; ++c) rgb[c] = anchors->rgb[k][c] + t * (anchors->rgb[k + 1][c] - anchors->rgb[k][c]);
        }
        auto byte = [](float v) { return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f)); };
        table_[i] = TLUChar4{byte(rgb[0]), byte(rgb[1]), byte(rgb[2]), 255};
    }
    if (log) {
        lo = lo > 0.0 ? std::log10(lo) : 0.0;
        hi = hi > 0.0 ? std::log10(hi) : lo;
    }
    lo_ = lo;
    scale_ = hi != lo ? 1.0 / (hi - lo) : 0.0;
    if (!std::isfinite(scale_)) scale_ = 0.0;
}

TLUChar4 ColorMapping::operator()(float value) const {
    if (std::isnan(value) || (log_ && !(value > 0.0f))) return table_[0];
    const double f = log_ ? std::log10(static_cast<double>(value)) : static_cast<double>(value);
    const double t = scale_ != 0.0 ? (f - lo_) * scale_ : 0.5;
    return table_[static_cast<int>(std::lround(std::clamp(t, 0.0, 1.0) * 255.0))];
}

double percentile(std::vector<float>& values, double p) {
    if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
    const double rank = std::clamp(p, 0.0, 100.0) / 100.0 * static_cast<double>(values.size() - 1);
    const size_t below = static_cast<size_t>(rank);
    std::nth_element(values.begin(), values.begin() + below, values.end());
    const double a = values[below];
    if (below + 1 >= values.size()) return a;
    const double b = *std::min_element(values.begin() + below + 1, values.end());
    return a + (rank - static_cast<double>(below)) * (b - a);
}

bool percentileRange(const std::vector<float>& sample, bool log, double* lo, double* hi) {
    std::vector<float> usable;
    for (float v : sample)
        if (std::isfinite(v) && (!log || v > 0.0f)) usable.push_back(log ? std::log10(v) : v);
    if (usable.empty()) return false;
    *lo = percentile(usable, 1.0);
    *hi = percentile(usable, 99.0);
    if (log) *lo = std::pow(10.0, *lo), *hi = std::pow(10.0, *hi);
    return true;
}

}  // namespace taluna::render
