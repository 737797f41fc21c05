// Colour conversion and procamp throughput at 1920x1080, on every SIMD path,
// beside libyuv and libswscale (when present), a plain copy of the bytes each
// conversion writes and, on AVX-512 machines, a kernel that reads exactly the
// source bytes of the conversion and writes its destination bytes with no
// arithmetic: the most the memory allows that conversion.
//
// hot:    one frame converted again and again (kernels, in cache)
// stream: a pool of frames visited in turn, larger than the last-level cache
//         (what a video stream meets)
//
// usage: bench_ccvt [pool_frames [name_part]]
//   pool_frames: default 12, each frame ~27 MB of buffers
//   name_part: run only the cases whose name contains it
#include <immintrin.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vemx/vemx_ccvt.h"
#include "vemx/vemx_procamp.h"
#include "video/ccvt.h"

#if defined(VEMX_HAVE_LIBYUV)
#include <libyuv.h>
#endif
#if defined(VEMX_HAVE_SWSCALE)
extern "C" {
#include <libswscale/swscale.h>
}
#endif

namespace {

constexpr int kW = 1920, kH = 1080;

struct Free {
    void operator()(uint8_t* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<uint8_t, Free>;

Buffer Alloc(size_t bytes, uint8_t seed) {
    Buffer b(static_cast<uint8_t*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64)));
    for (size_t i = 0; i < bytes; ++i)
        b.get()[i] = static_cast<uint8_t>(i * 131 + seed + (i >> 12));
    return b;
}

struct Frame {
    Buffer y = Alloc(size_t{kW} * kH, 1), u = Alloc(size_t{kW} * kH / 4, 2),
           v = Alloc(size_t{kW} * kH / 4, 3);
    Buffer yuy2 = Alloc(size_t{kW} * kH * 2, 4);
    Buffer out = Alloc(size_t{kW} * kH * 4, 5), scratch = Alloc(size_t{kW} * kH * 4, 6);
    Buffer oy = Alloc(size_t{kW} * kH, 7), ou = Alloc(size_t{kW} * kH / 4, 8),
           ov = Alloc(size_t{kW} * kH / 4, 9);
};

using Op = std::function<void(Frame&)>;

// One timed run of at least 0.2 s over the pool, in megapixels per second.
double MeasureOnce(std::vector<Frame>& frames, const std::function<void(Frame&)>& op) {
    const auto start = std::chrono::steady_clock::now();
    size_t calls = 0;
    double seconds = 0;
    do {
        for (auto& f : frames) op(f);
        calls += frames.size();
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } while (seconds < 0.2);
    return calls * double{kW} * kH / seconds / 1e6;
}

void Print(const std::string& name, double value, const char* unit) {
    std::printf("%s: %.0f %s\n", name.c_str(), value, unit);
    std::fflush(stdout);
}

void Ratio(const std::string& name, double ours, double peer) {
    if (peer > 0) std::printf("%s: %.2f x\n", name.c_str(), ours / peer);
}

Op Copy(size_t bytes_per_pixel_x4) {
    return [bytes_per_pixel_x4](Frame& f) {
        std::memcpy(f.out.get(), f.scratch.get(), size_t{kW} * kH * bytes_per_pixel_x4 / 4);
    };
}

// The memory traffic of a conversion without its arithmetic: source rows are
// loaded and ORed together (so no load is dropped), destination rows are
// written with the same non-temporal stores the kernels use.  Row pairs, as
// the YV12 kernels go; every row in the frames here is a multiple of 64 bytes.
enum class In { Yv12, Yuy2 };
enum class Out { Packed, Yv12 };

__attribute__((target("avx512f"))) __m512i Fold(const uint8_t* p, size_t n, __m512i acc) {
    for (size_t i = 0; i < n; i += 64)
        acc = _mm512_or_si512(acc, _mm512_load_si512(p + i));
    return acc;
}

__attribute__((target("avx512f"))) void Fill(uint8_t* p, size_t n, __m512i v) {
    for (size_t i = 0; i < n; i += 64) _mm512_stream_si512(reinterpret_cast<__m512i*>(p + i), v);
}

__attribute__((target("avx512f"))) void MoveBytes(Frame& f, In in, Out out, size_t out_bpp) {
    constexpr size_t w = kW, cw = kW / 2;
    for (size_t r = 0; r < kH; r += 2) {
        __m512i acc = _mm512_setzero_si512();
        if (in == In::Yv12) {
            acc = Fold(f.y.get() + r * w, 2 * w, acc);
            acc = Fold(f.u.get() + r / 2 * cw, cw, acc);
            acc = Fold(f.v.get() + r / 2 * cw, cw, acc);
        } else {
            acc = Fold(f.yuy2.get() + r * 2 * w, 4 * w, acc);
        }
        if (out == Out::Packed) {
            Fill(f.out.get() + r * w * out_bpp, 2 * w * out_bpp, acc);
        } else {
            Fill(f.oy.get() + r * w, 2 * w, acc);
            Fill(f.ou.get() + r / 2 * cw, cw, acc);
            Fill(f.ov.get() + r / 2 * cw, cw, acc);
        }
    }
    _mm_sfence();
}

Op Bytes(In in, Out out, size_t out_bpp) {
    return [in, out, out_bpp](Frame& f) { MoveBytes(f, in, out, out_bpp); };
}

#if defined(VEMX_HAVE_SWSCALE)
struct SwsFree {
    void operator()(SwsContext* c) const { sws_freeContext(c); }
};
Op Swscale(AVPixelFormat from, AVPixelFormat to, int out_bpp) {
    std::shared_ptr<SwsContext> ctx(
        sws_getContext(kW, kH, from, kW, kH, to, SWS_BILINEAR, nullptr, nullptr, nullptr),
        SwsFree{});
    return [ctx, from, out_bpp](Frame& f) {
        const uint8_t* src[4] = {f.y.get(), f.u.get(), f.v.get(), nullptr};
        int src_stride[4] = {kW, kW / 2, kW / 2, 0};
        if (from == AV_PIX_FMT_YUYV422) {
            src[0] = f.yuy2.get();
            src_stride[0] = kW * 2;
        }
        uint8_t* dst[4] = {f.out.get(), nullptr, nullptr, nullptr};
        const int dst_stride[4] = {kW * out_bpp, 0, 0, 0};
        sws_scale(ctx.get(), src, src_stride, 0, kH, dst, dst_stride);
    };
}
#endif

struct Case {
    std::string name;
    Op ours;
    std::string peer_name;  // libyuv function, if any
    Op libyuv;
    Op swscale;
    Op copy;
    Op bytes;
};

std::vector<Case> Cases(void* procamp) {
    std::vector<Case> cases;
    cases.push_back({
        "yv12_rgb32",
            [](Frame& f) {
                vemx_ccvt_yv12_rgb32(kW, kH, f.y.get(), f.u.get(), f.v.get(), kW, kW / 2, kW / 2,
                                     f.out.get(), kW * 4, 1);
            },
            "I420ToARGB",
#if defined(VEMX_HAVE_LIBYUV)
            [](Frame& f) {
                libyuv::I420ToARGB(f.y.get(), kW, f.u.get(), kW / 2, f.v.get(), kW / 2, f.out.get(),
                                   kW * 4, kW, kH);
            },
#else
            nullptr,
#endif
#if defined(VEMX_HAVE_SWSCALE)
            Swscale(AV_PIX_FMT_YUV420P, AV_PIX_FMT_BGRA, 4),
#else
            nullptr,
#endif
            Copy(16), Bytes(In::Yv12, Out::Packed, 4)
    });
    cases.push_back({
        "yv12_rgb24",
            [](Frame& f) {
                vemx_ccvt_yv12_rgb24(kW, kH, f.y.get(), f.u.get(), f.v.get(), kW, kW / 2, kW / 2,
                                     f.out.get(), kW * 3, 1);
            },
            "I420ToRGB24",
#if defined(VEMX_HAVE_LIBYUV)
            [](Frame& f) {
                libyuv::I420ToRGB24(f.y.get(), kW, f.u.get(), kW / 2, f.v.get(), kW / 2,
                                    f.out.get(), kW * 3, kW, kH);
            },
#else
            nullptr,
#endif
#if defined(VEMX_HAVE_SWSCALE)
            Swscale(AV_PIX_FMT_YUV420P, AV_PIX_FMT_RGB24, 3),
#else
            nullptr,
#endif
            Copy(12), Bytes(In::Yv12, Out::Packed, 3)
    });
    cases.push_back({
        "yuy2_rgb32",
            [](Frame& f) {
                vemx_ccvt_yuy2_rgb32(kW, kH, f.yuy2.get(), kW * 2, f.out.get(), kW * 4, 1);
            },
            "YUY2ToARGB",
#if defined(VEMX_HAVE_LIBYUV)
            [](Frame& f) { libyuv::YUY2ToARGB(f.yuy2.get(), kW * 2, f.out.get(), kW * 4, kW, kH); },
#else
            nullptr,
#endif
#if defined(VEMX_HAVE_SWSCALE)
            Swscale(AV_PIX_FMT_YUYV422, AV_PIX_FMT_BGRA, 4),
#else
            nullptr,
#endif
            Copy(16), Bytes(In::Yuy2, Out::Packed, 4)
    });
    cases.push_back({"yv12_rgb32_camera",
                     [](Frame& f) {
                         vemx_ccvt_yv12_rgb32_sony(kW, kH, f.y.get(), f.u.get(), f.v.get(), kW,
                                                   kW / 2, kW / 2, f.out.get(), kW * 4, 6);
                     },
                     "", nullptr, nullptr, Copy(16), Bytes(In::Yv12, Out::Packed, 4)});
    cases.push_back({"yv12_reencode_camera",
                     [](Frame& f) {
                         vemx_ccvt_yv12_sony(kW, kH, f.y.get(), f.u.get(), f.v.get(), kW, kW / 2,
                                             kW / 2, f.oy.get(), f.ou.get(), f.ov.get(), kW, kW / 2,
                                             kW / 2, 6);
                     },
                     "", nullptr, nullptr, Copy(6), Bytes(In::Yv12, Out::Yv12, 1)});
    cases.push_back({"yv12_reencode_bt2020",
                     [](Frame& f) {
                         vemx_ccvt_yv12_bt2020(kW, kH, f.y.get(), f.u.get(), f.v.get(), kW, kW / 2,
                                               kW / 2, f.oy.get(), f.ou.get(), f.ov.get(), kW,
                                               kW / 2, kW / 2, 4);
                     },
                     "", nullptr, nullptr, Copy(6), Bytes(In::Yv12, Out::Yv12, 1)});
    cases.push_back({"procamp_yv12",
                     [procamp](Frame& f) {
                         vemx_procamp_adjust_yv12(procamp, kW, kH, f.y.get(), f.u.get(), f.v.get(),
                                                  kW, kW / 2, kW / 2, f.oy.get(), f.ou.get(),
                                                  f.ov.get(), kW, kW / 2, kW / 2);
                     },
                     "", nullptr, nullptr, Copy(6), Bytes(In::Yv12, Out::Yv12, 1)});
    cases.push_back({"procamp_yuy2",
                     [procamp](Frame& f) {
                         vemx_procamp_adjust_yuy2(procamp, kW, kH, f.yuy2.get(), kW * 2,
                                                  f.out.get(), kW * 2);
                     },
                     "", nullptr, nullptr, Copy(8), Bytes(In::Yuy2, Out::Packed, 2)});
    return cases;
}

struct Contender {
    std::string label;
    std::function<void(Frame&)> op;
    double best = 0;
};

// The contenders of a case take turns, round after round, and each keeps its
// best round: load from other processes on the machine then falls on all of
// them alike instead of on whichever happened to run during a busy second.
constexpr int kRounds = 5;

void RunMode(const char* mode, std::vector<Frame>& frames, const std::vector<Case>& cases,
             const std::string& only) {
    const bool avx512 = vemx::ccvt::CpuHasAvx512();
    const bool avx2 = vemx::ccvt::CpuHasAvx2();
    const bool ssse3 = vemx::ccvt::CpuHasSsse3();
    for (const Case& c : cases) {
        if (c.name.find(only) == std::string::npos) continue;
        const std::string base = std::string(mode) + "." + c.name + ".";
        auto on_path = [&c](vemx::ccvt::SimdPath path) {
            return [&c, path](Frame& f) {
                vemx::ccvt::SelectPath(path);
                c.ours(f);
            };
        };
        std::vector<Contender> all;
        all.push_back({"vemx_sse2", on_path(vemx::ccvt::SimdPath::Sse2)});
        if (ssse3) all.push_back({"vemx_ssse3", on_path(vemx::ccvt::SimdPath::Ssse3)});
        if (avx2) all.push_back({"vemx_avx2", on_path(vemx::ccvt::SimdPath::Avx2)});
        if (avx512) all.push_back({"vemx_avx512", on_path(vemx::ccvt::SimdPath::Avx512)});
        if (c.libyuv) all.push_back({"libyuv_" + c.peer_name, c.libyuv});
#if defined(VEMX_HAVE_LIBYUV)
        // libyuv held to its 128-bit rows: the like-for-like peer of our
        // 128-bit path (the plain figure above is libyuv at its best).
        if (c.libyuv) {
            all.push_back({"libyuv_ssse3_" + c.peer_name, [&c](Frame& f) {
                               libyuv::MaskCpuFlags(~(libyuv::kCpuHasAVX | libyuv::kCpuHasAVX2 |
                                                      libyuv::kCpuHasAVX512BW));
                               c.libyuv(f);
                               libyuv::MaskCpuFlags(-1);
                           }});
        }
#endif
        if (c.swscale) all.push_back({"swscale", c.swscale});
        all.push_back({"copy", c.copy});
        if (avx512) all.push_back({"bytes", c.bytes});
        for (auto& k : all) {
            for (auto& f : frames) k.op(f);
        }
        for (int round = 0; round < kRounds; ++round) {
            for (auto& k : all) k.best = std::max(k.best, MeasureOnce(frames, k.op));
        }
        // "sse" is the 128-bit path the library picks on a processor without
        // AVX2: the SSSE3 one wherever SSSE3 exists.
        double sse = 0, wide = 0, widest = 0, yuv = 0, yuv128 = 0, sws = 0, bytes = 0;
        for (const auto& k : all) {
            Print(base + k.label, k.best, "Mpix/s");
            if (k.label == "vemx_sse2" && sse == 0) sse = k.best;
            if (k.label == "vemx_ssse3") sse = k.best;
            if (k.label == "vemx_avx2") wide = k.best;
            if (k.label == "vemx_avx512") widest = k.best;
            if (k.label == "bytes") bytes = k.best;
            if (k.label == "swscale") sws = k.best;
            if (k.label.rfind("libyuv_ssse3_", 0) == 0)
                yuv128 = k.best;
            else if (k.label.rfind("libyuv_", 0) == 0)
                yuv = k.best;
        }
        Ratio(base + "sse_vs_libyuv", sse, yuv);
        Ratio(base + "avx2_vs_libyuv", wide, yuv);
        Ratio(base + "sse_vs_libyuv_ssse3", sse, yuv128);
        Ratio(base + "sse_vs_swscale", sse, sws);
        Ratio(base + "avx2_vs_swscale", wide, sws);
        Ratio(base + "avx512_vs_libyuv", widest, yuv);
        Ratio(base + "avx512_vs_avx2", widest, wide);
        Ratio(base + "avx512_vs_bytes", widest, bytes);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int pool = argc > 1 ? std::max(2, std::atoi(argv[1])) : 12;
    const std::string only = argc > 2 ? argv[2] : "";
    void* procamp = vemx_procamp_new();
    vemx_procamp_update(procamp, 1.2, 0.45, 0.3, 1.1);
    const auto cases = Cases(procamp);
    {
        std::vector<Frame> one(1);
        RunMode("hot", one, cases, only);
    }
    {
        std::vector<Frame> many(pool);
        Print("stream.pool_frames", pool, "frames");
        RunMode("stream", many, cases, only);
    }
    vemx_procamp_release(procamp);
    return 0;
}
