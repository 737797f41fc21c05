// How the configuration shows in the stream: identifiers, services, header
// options, and the reports of configurations that cannot be muxed.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <regex>

#include "common/log_capture.h"
#include "mpegts/tsmux.h"
#include "mpegts/tsmux_support.h"

using namespace tsmux_test;
using vemx_test::LogCapture;
using vemx_test::TempDir;

namespace {

// Muxes one second of H.264 + AAC on the single streams, and of every
// (PID, kind) in `keyed` on the PID-keyed ones, after `configure` ran.
template <class F>
std::string MuxWith(F&& configure,
                    const std::vector<std::pair<unsigned, std::string>>& keyed = {}) {
    void* mux = vemx_tsmux_new();
    Capture cap;
    vemx_tsmux_set_callbacks(mux, &Capture::OnPacket, &cap);
    vemx_tsmux_set_video_property(mux, "h264", 160, 96, "yv12", 25, 1);
    vemx_tsmux_set_audio_property(mux, "adts", 2, "s16", 48000);
    configure(mux);
    EXPECT_EQ(vemx_tsmux_init(mux), 1);
    std::vector<std::tuple<int64_t, unsigned, std::string, Frame>> all;
    for (const auto& [pid, kind] : keyed)
        for (auto& f : EsFrames(kind)) all.emplace_back(f.dts, pid, kind, f);
    for (const std::string kind : {"h264", "adts"})
        for (auto& f : EsFrames(kind)) all.emplace_back(f.dts, 0, kind, f);
    std::stable_sort(all.begin(), all.end(),
                     [](const auto& x, const auto& y) { return std::get<0>(x) < std::get<0>(y); });
    for (const auto& [dts, pid, kind, f] : all) {
        const auto* d = reinterpret_cast<const uint8_t*>(f.bytes.data());
        const int n = static_cast<int>(f.bytes.size());
        if (pid && IsVideo(kind))
            vemx_tsmux_write_video_frame3(mux, pid, f.pts, f.dts, d, n, f.key);
        else if (pid)
            vemx_tsmux_write_audio_frame3(mux, pid, f.pts, f.dts, d, n);
        else if (IsVideo(kind))
            vemx_tsmux_write_video_frame(mux, f.pts, d, n, f.key);
        else
            vemx_tsmux_write_audio_frame(mux, f.pts, d, n);
    }
    vemx_tsmux_release(mux);
    return cap.Bytes();
}

rapidjson::Document Probe(const std::string& ts) {
    std::FILE* f = std::fopen("probe.ts", "wb");
    std::fwrite(ts.data(), 1, ts.size(), f);
    std::fclose(f);
    std::string json;
    if (std::FILE* p =
            popen("ffprobe -v error -show_programs -show_streams -of json probe.ts", "r")) {
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) json.append(buf, n);
        pclose(p);
    }
    rapidjson::Document doc;
    doc.Parse(json.c_str());
    return doc;
}

// A report line with its source line number masked.
std::string Masked(const std::string& line) {
    return std::regex_replace(line, std::regex(R"(tsmux\(\d+\))"), "tsmux(N)");
}

std::string Address(void* p) {
    char s[32];
    std::snprintf(s, sizeof s, "0x%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return s;
}

}  // namespace

TEST(TsMuxConfig, DefaultsGiveOneNamedHdtvServiceAndTheMuxersOwnIds) {
    TempDir dir;
    TsScan scan(MuxWith([](void*) {}));
    ASSERT_EQ(scan.error, "");
    EXPECT_EQ(scan.tsid, 1);
    EXPECT_EQ(scan.onid, 0xff01);
    EXPECT_EQ(scan.pmt_pid, (std::map<int, int>{{1, 0x1000}}));
    EXPECT_EQ(scan.streams[1], (std::vector<std::pair<int, int>>{{0x1b, 0x100}, {0x0f, 0x101}}));
    EXPECT_EQ(scan.service[1], (std::pair<int, std::string>{0x11, "Dovrex/Program"}));
    EXPECT_FALSE(scan.per_pid.count(0x1fff)) << "no padding without a mux rate";

    // Zero and negative values pass nothing: the same stream comes out.
    const std::string plain = MuxWith([](void*) {});
    const std::string zeros = MuxWith([](void* m) {
        vemx_tsmux_set_mux_rate(m, 0);
        vemx_tsmux_set_start_pid(m, -1);
        vemx_tsmux_set_pmt_start_pid(m, 0);
        vemx_tsmux_set_service_id(m, -1);
        vemx_tsmux_set_transport_stream_id(m, 0);
        vemx_tsmux_set_original_network_id(m, -1);
        vemx_tsmux_set_pcr_period(m, 0);
    });
    EXPECT_EQ(plain, zeros);
}

TEST(TsMuxConfig, HeaderOptionsReachTheStream) {
    TempDir dir;
    TsScan scan(MuxWith([](void* m) {
        vemx_tsmux_set_start_pid(m, 256 + 0x20);
        vemx_tsmux_set_pmt_start_pid(m, 0x1100);
        vemx_tsmux_set_service_id(m, 7);
        vemx_tsmux_set_transport_stream_id(m, 0x1234);
        vemx_tsmux_set_original_network_id(m, 0x4321);
        vemx_tsmux_set_service_name(m, "Nachrichten");
        vemx_tsmux_set_service_provider(m, "Studio");
        vemx_tsmux_set_mux_rate(m, 2000);
    }));
    ASSERT_EQ(scan.error, "");
    EXPECT_EQ(scan.tsid, 0x1234);
    EXPECT_EQ(scan.onid, 0x4321);
    EXPECT_EQ(scan.pmt_pid, (std::map<int, int>{{7, 0x1100}}));
    EXPECT_EQ(scan.streams[7], (std::vector<std::pair<int, int>>{{0x1b, 0x120}, {0x0f, 0x121}}));
    EXPECT_EQ(scan.service[7].second, "Studio/Nachrichten");

    // 2000 kbit/s means 2000K: the PCR clock and the byte count agree on it.
    const auto& pcr = scan.pcr[0x120];
    ASSERT_GE(pcr.size(), 2u);
    size_t n = 0;
    for (const auto& [pid, count] : scan.per_pid) n += count;
    const double seconds = (pcr.back() - pcr.front()) / 27e6;
    const double rate = n * 188 * 8 / seconds;
    EXPECT_NEAR(rate, 2e6, 2e5);
    EXPECT_GT(scan.per_pid[0x1fff], 0u);
}

TEST(TsMuxConfig, PcrPeriodSpacesTheClockReferences) {
    TempDir dir;
    auto gap = [](const std::string& ts) {
        TsScan scan(ts);
        const auto& pcr = scan.pcr[0x100];
        return pcr.size() < 2 ? 0.0 : (pcr.back() - pcr.front()) / 27e3 / double(pcr.size() - 1);
    };
    const double normal = gap(MuxWith([](void*) {}));
    const double slow = gap(MuxWith([](void* m) { vemx_tsmux_set_pcr_period(m, 200); }));
    EXPECT_GT(normal, 0);
    EXPECT_GT(slow, 150);
    EXPECT_LT(normal, 100);
}

TEST(TsMuxConfig, ProgramsAsFfprobeSeesThem) {
    TempDir dir;
    const std::string ts = MuxWith(
        [](void* m) {
            vemx_tsmux_set_video_property(m, "", 0, 0, "", 0, 0);
            vemx_tsmux_set_audio_property(m, "", 0, "", 0);
            vemx_tsmux_set_service_name(m, "Fallback");
            vemx_tsmux_set_video_property1(m, 0x300, "mpeg2video", 160, 96, "yv12", 25, 1);
            vemx_tsmux_set_audio_property2(m, 0x201, "ac3", 2, "s16", 48000, 6);
            vemx_tsmux_set_video_property1(m, 0x200, "hevc", 160, 96, "yv12", 25, 1);
            vemx_tsmux_program_add_stream(m, 2, 0x201);
            vemx_tsmux_program_add_stream(m, 2, 0x200);
            vemx_tsmux_program_add_stream(m, 2, 0x201);
            vemx_tsmux_program_add_stream(m, 2, 0x999);
            vemx_tsmux_program_set_service_name(m, 2, "Zwei");
            vemx_tsmux_program_set_service_provider(m, 2, "Haus");
            vemx_tsmux_program_add_stream(m, 1, 0x300);
        },
        {{0x300, "mpeg2video"}, {0x201, "ac3"}, {0x200, "hevc"}});
    const auto doc = Probe(ts);
    ASSERT_TRUE(doc.IsObject() && doc.HasMember("programs"));
    const auto& programs = doc["programs"];
    ASSERT_EQ(programs.Size(), 2u);
    const auto& p1 = programs[0];
    const auto& p2 = programs[1];
    EXPECT_EQ(p1["program_id"].GetInt(), 1);
    EXPECT_STREQ(p1["tags"]["service_name"].GetString(), "Fallback");
    EXPECT_STREQ(p1["tags"]["service_provider"].GetString(), "Dovrex");
    ASSERT_EQ(p1["streams"].Size(), 1u);
    EXPECT_STREQ(p1["streams"][0]["id"].GetString(), "0x300");
    EXPECT_STREQ(p1["streams"][0]["codec_name"].GetString(), "mpeg2video");
    EXPECT_EQ(p2["program_id"].GetInt(), 2);
    EXPECT_STREQ(p2["tags"]["service_name"].GetString(), "Zwei");
    EXPECT_STREQ(p2["tags"]["service_provider"].GetString(), "Haus");
    // Stream order follows ascending PIDs, whatever the order of set-up;
    // the duplicate and the unknown PID leave no trace.
    ASSERT_EQ(p2["streams"].Size(), 2u);
    EXPECT_STREQ(p2["streams"][0]["id"].GetString(), "0x200");
    EXPECT_STREQ(p2["streams"][0]["codec_name"].GetString(), "hevc");
    EXPECT_STREQ(p2["streams"][1]["id"].GetString(), "0x201");
    EXPECT_STREQ(p2["streams"][1]["codec_name"].GetString(), "ac3");
}

TEST(TsMuxConfig, FormatContextCarriesDelayMetadataAndStreamType) {
    auto* mux = new vemx::tsmux::TsMux;
    mux->SetAudioProperty("adts", 2, "s16", 48000);
    mux->SetAudioProperty2(0x101, "mp2", 2, "s16", 48000, 6);
    mux->SetMaxDelay(250);
    ASSERT_EQ(mux->Init(), 1);
    const AVFormatContext* fc = mux->format_context();
    ASSERT_NE(fc, nullptr);
    EXPECT_EQ(fc->max_delay, 250000);
    EXPECT_STREQ(av_dict_get(fc->metadata, "service_name", nullptr, 0)->value, "Program");
    EXPECT_STREQ(av_dict_get(fc->metadata, "service_provider", nullptr, 0)->value, "Dovrex");
    ASSERT_EQ(fc->nb_streams, 2u);
    EXPECT_EQ(fc->streams[0]->codecpar->codec_id, AV_CODEC_ID_AAC);
    EXPECT_EQ(fc->streams[0]->codecpar->ch_layout.nb_channels, 2);
    EXPECT_EQ(av_dict_get(fc->streams[0]->metadata, "stream_type", nullptr, 0), nullptr);
    EXPECT_STREQ(av_dict_get(fc->streams[1]->metadata, "stream_type", nullptr, 0)->value, "6");
    mux->Uninit();
    EXPECT_EQ(mux->format_context(), nullptr);
    mux->Release();
}

TEST(TsMuxConfig, UnmuxableConfigurationsAreReportedAndInitFails) {
    TempDir dir;
    LogCapture log;
    void* mux = vemx_tsmux_new();
    const std::string head = "[vemx][ERROR]: tsmux(N): [vemx::tsmux::TsMux::";
    const std::string tail = "], " + Address(mux) + " ";
    struct Case {
        std::function<void()> set;
        std::string line;
    };
    const std::vector<Case> cases = {
        {[&] { vemx_tsmux_set_video_property(mux, "vp8", 160, 96, "yv12", 25, 1); },
         head + "SetupVideoStream" + tail + "unsupported video_type=vp8\n"},
        {[&] { vemx_tsmux_set_video_property(mux, "HEVC", 160, 96, "nv12", 25, 1); },
         head + "SetupVideoStream" + tail + "unsupported pix_fmt=nv12\n"},
        {[&] {
             vemx_tsmux_set_video_property(mux, "", 0, 0, "", 0, 0);
             vemx_tsmux_set_audio_property1(mux, 0x40, "opus", 2, "s16", 48000);
         },
         head + "SetupAudioStream" + tail + "unsupported audio_type=opus\n"},
        {[&] { vemx_tsmux_set_audio_property1(mux, 0x40, "EAC3", 2, "flt", 48000); },
         head + "SetupAudioStream" + tail + "unsupported sample_fmt=flt\n"},
        {[&] {
             vemx_tsmux_set_audio_property1(mux, 0x40, "ac3", 2, "u8", 48000);
             vemx_tsmux_set_audio_property1(mux, 0x1fff, "ac3", 2, "u8", 48000);
         },
         head + "Init" + tail + "avformat_write_header, err=-22\n"},
    };
    for (const auto& c : cases) {
        log.clear();
        c.set();
        EXPECT_EQ(vemx_tsmux_init(mux), 0);
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u) << c.line;
        EXPECT_EQ(Masked(lines[0]), c.line);
    }
    // Fixed, the same object muxes again.
    vemx_tsmux_set_audio_property1(mux, 0x1fff, "", 0, "", 0);
    EXPECT_EQ(vemx_tsmux_init(mux), 1);
    vemx_tsmux_addref(mux);
    vemx_tsmux_release(mux);
    vemx_tsmux_release(mux);
}
