// vemx procamp: contrast, brightness, hue and saturation of a raw YUV picture.
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "options.h"
#include "picture_io.h"
#include "vemx/vemx.h"

namespace {

using vemx_tool::Plane;

constexpr char kUsage[] =
    "usage: vemx procamp --layout yv12|yuy2|yuv422p --size WxH\n"
    "                    [--contrast C] [--brightness B] [--hue RADIANS] [--saturation S]\n"
    "                    [--sliders c,b,h,s] IN OUT\n"
    "  Real controls default to 1.0, 0.5, 0.0, 1.0; --sliders takes positions\n"
    "  0..255 with 128 neutral instead.  IN and OUT are raw planes in the same\n"
    "  layout.  Columns beyond the last whole step (32 pixels, 16 for yuy2) are\n"
    "  copied through unchanged.\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

int RunProcamp(const std::vector<std::string>& args) {
    std::string layout, size, in, out, sliders;
    double contrast = 1.0, brightness = 0.5, hue = 0.0, saturation = 1.0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size();
        if (a == "--layout" && has_value) layout = args[++i];
        else if (a == "--size" && has_value) size = args[++i];
        else if (a == "--contrast" && has_value) contrast = vemx_tool::RealOption(kUsage, a, args[++i], 0, 8);
        else if (a == "--brightness" && has_value) brightness = vemx_tool::RealOption(kUsage, a, args[++i], -2, 2);
        else if (a == "--hue" && has_value) hue = vemx_tool::RealOption(kUsage, a, args[++i], -6.3, 6.3);
        else if (a == "--saturation" && has_value) saturation = vemx_tool::RealOption(kUsage, a, args[++i], 0, 8);
        else if (a == "--sliders" && has_value) sliders = args[++i];
        else if (!a.empty() && a[0] == '-') return Usage();
        else if (in.empty()) in = a;
        else if (out.empty()) out = a;
        else return Usage();
    }
    uint32_t w = 0, h = 0;
    if (in.empty() || out.empty() || !vemx_tool::ParseSize(size, w, h)) return Usage();
    if (layout != "yv12" && layout != "yuy2" && layout != "yuv422p") return Usage();

    struct Record {
        void* p = vemx_procamp_new();
        ~Record() { vemx_procamp_release(p); }
    } record;
    if (!record.p) return 1;
    if (!sliders.empty()) {
        int c, b, hu, s;
        if (std::sscanf(sliders.c_str(), "%d,%d,%d,%d", &c, &b, &hu, &s) != 4 || c < 0 || b < 0 || hu < 0 ||
            s < 0 || c > 255 || b > 255 || hu > 255 || s > 255) {
            std::fprintf(stderr, "vemx procamp: --sliders takes four positions 0..255\n");
            return 2;
        }
        vemx_procamp_update1(record.p, c, b, hu, s);
    } else {
        vemx_procamp_update(record.p, contrast, brightness, hue, saturation);
    }

    const uint32_t cw = (w + 1) / 2;
    // Adjusted in place, so untouched columns keep their input values.
    if (layout == "yuy2") {
        Plane pic(size_t{cw} * 4, h);
        if (!vemx_tool::ReadPlanes(in, {&pic})) return 1;
        vemx_procamp_adjust_yuy2(record.p, w, h, pic.data(), pic.stride(), pic.data(), pic.stride());
        return vemx_tool::WritePlanes(out, "", {&pic}) ? 0 : 1;
    }
    const bool yv12 = layout == "yv12";
    const uint32_t ch = yv12 ? (h + 1) / 2 : h;
    Plane y(w, h), u(cw, ch), v(cw, ch);
    if (!vemx_tool::ReadPlanes(in, {&y, &u, &v})) return 1;
    (yv12 ? vemx_procamp_adjust_yv12 : vemx_procamp_adjust_yuy2_p)(
        record.p, w, h, y.data(), u.data(), v.data(), y.stride(), u.stride(), v.stride(), y.data(), u.data(),
        v.data(), y.stride(), u.stride(), v.stride());
    return vemx_tool::WritePlanes(out, "", {&y, &u, &v}) ? 0 : 1;
}

}  // namespace

VEMX_TOOL_COMMAND("procamp", "contrast, brightness, hue, saturation of a raw YUV picture", RunProcamp);
