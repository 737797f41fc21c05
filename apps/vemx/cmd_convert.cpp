// vemx convert: raw YV12 or YUY2 pictures to packed RGB/BGR, or YV12
// re-encoded to another colour matrix.
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
    "usage: vemx convert --from yv12|yuy2 --to rgb24|rgb32|bgr24|bgr32|yv12 --size WxH\n"
    "                    [--matrix N] [--camera] IN OUT\n"
    "  IN   raw picture: yv12 = Y, Cb, Cr planes (Cb, Cr at half width and height);\n"
    "       yuy2 = bytes Y0 Cb Y1 Cr\n"
    "  OUT  raw pixels, or a binary PPM when it ends in .ppm (rgb24 only)\n"
    "  --matrix 0..6 (default 1, BT.601 limited range); --camera uses the camera\n"
    "  coefficients (matrix 6).  --to yv12 re-encodes: --camera, or --matrix 4\n"
    "  for BT.2020 to BT.709 (full range).\n"
    "  Columns beyond the last whole group of 32 pixels (16 for yuy2 to 32-bit)\n"
    "  are written as 0.\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

int RunConvert(const std::vector<std::string>& args) {
    std::string from, to, size, in, out;
    int matrix = 1;
    bool camera = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size();
        if (a == "--from" && has_value) from = args[++i];
        else if (a == "--to" && has_value) to = args[++i];
        else if (a == "--size" && has_value) size = args[++i];
        else if (a == "--matrix" && has_value) matrix = int(vemx_tool::IntOption(kUsage, a, args[++i], 0, 6));
        else if (a == "--camera") camera = true;
        else if (!a.empty() && a[0] == '-') return Usage();
        else if (in.empty()) in = a;
        else if (out.empty()) out = a;
        else return Usage();
    }
    uint32_t w = 0, h = 0;
    if (in.empty() || out.empty() || !vemx_tool::ParseSize(size, w, h) || (from != "yv12" && from != "yuy2"))
        return Usage();
    if (camera) matrix = 6;
    if (matrix < 0 || matrix > 6) {
        std::fprintf(stderr, "vemx convert: --matrix must be 0..6\n");
        return 2;
    }
    const uint32_t cw = (w + 1) / 2, ch = (h + 1) / 2;

    if (to == "yv12") {
        if (from != "yv12" || (!camera && matrix != 4)) {
            std::fprintf(stderr, "vemx convert: --to yv12 needs --from yv12 and --camera or --matrix 4\n");
            return 2;
        }
        Plane y(w, h), cb(cw, ch), cr(cw, ch), oy(w, h), ocb(cw, ch), ocr(cw, ch);
        if (!vemx_tool::ReadPlanes(in, {&y, &cb, &cr})) return 1;
        (camera ? vemx_ccvt_yv12_sony : vemx_ccvt_yv12_bt2020)(w, h, y.data(), cb.data(), cr.data(), y.stride(),
                                                             cb.stride(), cr.stride(), oy.data(), ocb.data(),
                                                             ocr.data(), oy.stride(), ocb.stride(), ocr.stride(),
                                                             matrix);
        return vemx_tool::WritePlanes(out, "", {&oy, &ocb, &ocr}) ? 0 : 1;
    }

    const bool bgr = to == "bgr24" || to == "bgr32";
    const int bpp = to == "rgb24" || to == "bgr24" ? 3 : to == "rgb32" || to == "bgr32" ? 4 : 0;
    if (bpp == 0) return Usage();
    const bool ppm = vemx_tool::EndsWith(out, ".ppm");
    if (ppm && to != "rgb24") {
        std::fprintf(stderr, "vemx convert: a .ppm output needs --to rgb24\n");
        return 2;
    }
    Plane dst(size_t{w} * bpp, h);
    // [camera][bgr][32-bit]
    using Yv12Fn = void (*)(uint32_t, uint32_t, const uint8_t*, const uint8_t*, const uint8_t*, int32_t, int32_t,
                            int32_t, uint8_t*, int32_t, int32_t);
    using Yuy2Fn = void (*)(uint32_t, uint32_t, const uint8_t*, int32_t, uint8_t*, int32_t, int32_t);
    static const Yv12Fn yv12[2][2][2] = {
        {{vemx_ccvt_yv12_rgb24, vemx_ccvt_yv12_rgb32}, {vemx_ccvt_yv12_bgr24, vemx_ccvt_yv12_bgr32}},
        {{vemx_ccvt_yv12_rgb24_sony, vemx_ccvt_yv12_rgb32_sony},
         {vemx_ccvt_yv12_bgr24_sony, vemx_ccvt_yv12_bgr32_sony}}};
    static const Yuy2Fn yuy2[2][2][2] = {
        {{vemx_ccvt_yuy2_rgb24, vemx_ccvt_yuy2_rgb32}, {vemx_ccvt_yuy2_bgr24, vemx_ccvt_yuy2_bgr32}},
        {{vemx_ccvt_yuy2_rgb24_sony, vemx_ccvt_yuy2_rgb32_sony},
         {vemx_ccvt_yuy2_bgr24_sony, vemx_ccvt_yuy2_bgr32_sony}}};
    if (from == "yv12") {
        Plane y(w, h), cb(cw, ch), cr(cw, ch);
        if (!vemx_tool::ReadPlanes(in, {&y, &cb, &cr})) return 1;
        yv12[camera][bgr][bpp == 4](w, h, y.data(), cb.data(), cr.data(), y.stride(), cb.stride(), cr.stride(),
                                    dst.data(), dst.stride(), matrix);
    } else {
        Plane src(size_t{cw} * 4, h);
        if (!vemx_tool::ReadPlanes(in, {&src})) return 1;
        yuy2[camera][bgr][bpp == 4](w, h, src.data(), src.stride(), dst.data(), dst.stride(), matrix);
    }
    const std::string header = ppm ? "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n" : "";
    return vemx_tool::WritePlanes(out, header, {&dst}) ? 0 : 1;
}

}  // namespace

VEMX_TOOL_COMMAND("convert", "YV12/YUY2 to RGB/BGR, or YV12 colour re-encoding (raw files)", RunConvert);
