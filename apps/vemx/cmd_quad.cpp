// vemx quad: maps points between two quadrilaterals by perspective.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "command.h"
#include "vemx/vemx.h"

namespace {

constexpr const char* kUsage =
    "usage: vemx quad [--b2a] QUAD_A QUAD_B X,Y [X,Y ...]\n"
    "  QUAD_A, QUAD_B: x0,y0,x1,y1,x2,y2,x3,y3 (corner i of A corresponds to corner i of B)\n"
    "  maps each point from A to B, or from B to A with --b2a\n";

// Exactly count comma-separated numbers.
bool ParseFloats(const std::string& text, size_t count, std::vector<float>& out) {
    out.clear();
    const char* p = text.c_str();
    while (out.size() < count) {
        char* end = nullptr;
        const float v = std::strtof(p, &end);
        if (end == p) return false;
        out.push_back(v);
        p = end;
        if (*p == ',')
            ++p;
        else
            break;
    }
    return out.size() == count && *p == '\0';
}

int RunQuad(const std::vector<std::string>& args) {
    size_t first = 0;
    bool b2a = false;
    if (!args.empty() && args[0] == "--b2a") b2a = true, first = 1;
    if (args.size() < first + 3) {
        std::fprintf(stderr, "%s", kUsage);
        return 2;
    }
    std::vector<float> a, b, point;
    if (!ParseFloats(args[first], 8, a) || !ParseFloats(args[first + 1], 8, b)) {
        std::fprintf(stderr, "vemx quad: a quadrilateral needs 8 comma-separated numbers\n%s",
                     kUsage);
        return 2;
    }
    void* mapping = vemx_quadmapping_new();
    if (!mapping) {
        std::fprintf(stderr, "vemx quad: out of memory\n");
        return 1;
    }
    vemx_quadmapping_init(mapping, a.data(), b.data());
    int status = 0;
    for (size_t i = first + 2; i < args.size(); ++i) {
        if (!ParseFloats(args[i], 2, point)) {
            std::fprintf(stderr, "vemx quad: a point is X,Y: '%s'\n", args[i].c_str());
            status = 2;
            break;
        }
        float result[2];
        if (b2a)
            vemx_quadmapping_B2A(mapping, point.data(), result);
        else
            vemx_quadmapping_A2B(mapping, point.data(), result);
        std::printf("%g,%g -> %.6g,%.6g\n", point[0], point[1], result[0], result[1]);
        if (!std::isfinite(result[0]) || !std::isfinite(result[1])) status = 1;
    }
    vemx_quadmapping_release(mapping);
    if (status == 1)
        std::fprintf(
            stderr,
            "vemx quad: non-finite result (degenerate quadrilateral or a point at infinity)\n");
    return status;
}

}  // namespace

VEMX_TOOL_COMMAND("quad", "[--b2a] QUAD_A QUAD_B X,Y...: map points between quadrilaterals",
                  RunQuad);
