// How the configuration shows in the stream: identifiers, services, header
// options, and the reports of configurations that cannot be muxed.
#include <gtest/gtest.h>

#include "mpegts/ts_support.h"
#include "mpegts/tsmux.h"

using namespace ts_test;
using vemx_test::LogCapture;
using vemx_test::TempDir;

namespace {

// One second of H.264 + AAC on the single streams plus `keyed`, muxed after
// `configure` ran.
std::string MuxWith(const std::function<void(void*)>& configure,
                    const std::vector<Input>& keyed = {}) {
    Mux m;
    vemx_tsmux_set_video_property(m.h, "h264", 160, 96, "yv12", 25, 1);
    vemx_tsmux_set_audio_property(m.h, "adts", 2, "s16", 48000);
    configure(m.h);
    EXPECT_EQ(vemx_tsmux_init(m.h), 1);
    std::vector<Input> all = {{"h264", 0, EsFrames("h264")}, {"adts", 0, EsFrames("adts")}};
    all.insert(all.end(), keyed.begin(), keyed.end());
    Feed(m.h, all);
    vemx_tsmux_uninit(m.h);
    return m.cap.Bytes();
}

double PcrGapMs(const TsScan& scan, int pid) {
    const auto& p = scan.pcr.at(pid);
    return p.size() < 2 ? 0 : (p.back().first - p.front().first) / 27e3 / double(p.size() - 1);
}

}  // namespace

TEST(TsMuxConfig, DefaultsAndHeaderOptionsAsTheStreamShowsThem) {
    TempDir dir;
    const std::string plain = MuxWith([](void*) {});
    TsScan scan(plain);
    ASSERT_EQ(scan.error, "");
    EXPECT_EQ(scan.tsid, 1);
    EXPECT_EQ(scan.onid, 0xff01);
    EXPECT_EQ(scan.pmt_pid, (std::map<int, int>{{1, 0x1000}}));
    EXPECT_EQ(scan.streams[1], (std::vector<std::pair<int, int>>{{0x1b, 0x100}, {0x0f, 0x101}}));
    EXPECT_EQ(scan.service[1],
              (std::pair<int, std::string>{0x11, "Dovrex/Program"}));  // HDTV service
    EXPECT_FALSE(scan.per_pid.count(0x1fff)) << "padding without a mux rate";
    EXPECT_LT(PcrGapMs(scan, 0x100), 100);

    // Zero and negative values pass nothing: the same stream comes out.
    EXPECT_EQ(plain, MuxWith([](void* m) {
                  vemx_tsmux_set_mux_rate(m, 0);
                  vemx_tsmux_set_start_pid(m, -1);
                  vemx_tsmux_set_pmt_start_pid(m, 0);
                  vemx_tsmux_set_service_id(m, -1);
                  vemx_tsmux_set_transport_stream_id(m, 0);
                  vemx_tsmux_set_original_network_id(m, -1);
                  vemx_tsmux_set_pcr_period(m, 0);
              }));

    scan = TsScan(MuxWith([](void* m) {
        vemx_tsmux_set_start_pid(m, 0x120);
        vemx_tsmux_set_pmt_start_pid(m, 0x1100);
        vemx_tsmux_set_service_id(m, 7);
        vemx_tsmux_set_transport_stream_id(m, 0x1234);
        vemx_tsmux_set_original_network_id(m, 0x4321);
        vemx_tsmux_set_service_name(m, "Nachrichten");
        vemx_tsmux_set_service_provider(m, "Studio");
        vemx_tsmux_set_mux_rate(m, 2000);
        vemx_tsmux_set_pcr_period(m, 200);
    }));
    ASSERT_EQ(scan.error, "");
    EXPECT_EQ(scan.tsid, 0x1234);
    EXPECT_EQ(scan.onid, 0x4321);
    EXPECT_EQ(scan.pmt_pid, (std::map<int, int>{{7, 0x1100}}));
    EXPECT_EQ(scan.streams[7], (std::vector<std::pair<int, int>>{{0x1b, 0x120}, {0x0f, 0x121}}));
    EXPECT_EQ(scan.service[7].second, "Studio/Nachrichten");
    EXPECT_GT(PcrGapMs(scan, 0x120), 150);
    // 2000 means kbit/s: the PCR clock and the byte count agree on 2 Mbit/s.
    const auto& pcr = scan.pcr[0x120];
    const double bits = (pcr.back().second - pcr.front().second) * 188 * 8.0;
    EXPECT_NEAR(bits / ((pcr.back().first - pcr.front().first) / 27e6), 2e6, 2e5);
}

TEST(TsMuxConfig, ProgramsAsFfprobeSeesThem) {
    TempDir dir;
    std::ofstream("probe.ts", std::ios::binary) << MuxWith(
        [](void* m) {
            vemx_tsmux_set_video_property(m, "", 0, 0, "", 0, 0);
            vemx_tsmux_set_audio_property(m, "", 0, "", 0);
            vemx_tsmux_set_service_name(m, "Fallback");
            vemx_tsmux_set_video_property1(m, 0x300, "mpeg2video", 160, 96, "yv12", 25, 1);
            vemx_tsmux_set_audio_property2(m, 0x201, "ac3", 2, "s16", 48000, 6);
            vemx_tsmux_set_video_property1(m, 0x200, "hevc", 160, 96, "yv12", 25, 1);
            for (unsigned pid : {0x201u, 0x200u, 0x201u, 0x999u})
                vemx_tsmux_program_add_stream(m, 2, pid);
            vemx_tsmux_program_set_service_name(m, 2, "Zwei");
            vemx_tsmux_program_set_service_provider(m, 2, "Haus");
            vemx_tsmux_program_add_stream(m, 1, 0x300);
        },
        {{"mpeg2video", 0x300, EsFrames("mpeg2video")},
         {"ac3", 0x201, EsFrames("ac3")},
         {"hevc", 0x200, EsFrames("hevc")}});
    // Per program: id, name, provider, then each stream's codec and PID.
    // Ascending PIDs, whatever the order of set-up; the duplicate and the
    // unknown PID leave no trace; empty names take the defaults.
    std::string text = vemx_test::run_command(
        "ffprobe -v error -show_entries program=program_id:program_tags=service_name,"
        "service_provider:program_stream=codec_name,id -of csv=p=0 probe.ts");
    std::replace(text.begin(), text.end(), '\n', ',');
    std::istringstream in(text);
    std::string fields;
    for (std::string f; std::getline(in, f, ',');)
        if (!f.empty()) fields += f + " ";
    EXPECT_EQ(fields, "1 Fallback Dovrex mpeg2video 0x300 2 Zwei Haus hevc 0x200 ac3 0x201 ");
}

// The stock muxer does not act on it, so only the stream can tell.
TEST(TsMuxConfig, StreamTypeIsKeptAsStreamMetadata) {
    auto* mux = new vemx::tsmux::TsMux;
    mux->SetAudioProperty("adts", 2, "s16", 48000);
    mux->SetAudioProperty2(0x101, "mp2", 2, "s16", 48000, 6);
    ASSERT_EQ(mux->Init(), 1);
    const AVFormatContext* fc = mux->format_context();
    ASSERT_EQ(fc->nb_streams, 2u);
    EXPECT_EQ(av_dict_get(fc->streams[0]->metadata, "stream_type", nullptr, 0), nullptr);
    EXPECT_STREQ(av_dict_get(fc->streams[1]->metadata, "stream_type", nullptr, 0)->value, "6");
    mux->Uninit();
    EXPECT_EQ(mux->format_context(), nullptr);
    mux->Release();
}

TEST(TsMuxConfig, UnmuxableConfigurationsAreReportedAndInitFails) {
    LogCapture log;
    void* mux = vemx_tsmux_new();
    char address[32];
    std::snprintf(address, sizeof address, "], 0x%016llX ",
                  static_cast<unsigned long long>(uintptr_t(mux)));
    const std::string video = "SetupVideoStream", audio = "SetupAudioStream";
    const std::vector<std::tuple<std::function<void()>, std::string, std::string>> cases = {
        {[&] { vemx_tsmux_set_video_property(mux, "vp8", 160, 96, "yv12", 25, 1); }, video,
         "unsupported video_type=vp8"},
        {[&] { vemx_tsmux_set_video_property(mux, "HEVC", 160, 96, "nv12", 25, 1); }, video,
         "unsupported pix_fmt=nv12"},
        {[&] {
             vemx_tsmux_set_video_property(mux, "", 0, 0, "", 0, 0);
             vemx_tsmux_set_audio_property1(mux, 0x40, "opus", 2, "s16", 48000);
         },
         audio, "unsupported audio_type=opus"},
        {[&] { vemx_tsmux_set_audio_property1(mux, 0x40, "EAC3", 2, "flt", 48000); }, audio,
         "unsupported sample_fmt=flt"},
        {[&] {
             vemx_tsmux_set_audio_property1(mux, 0x40, "ac3", 2, "u8", 48000);
             vemx_tsmux_set_audio_property1(mux, 0x1fff, "ac3", 2, "u8", 48000);
         },
         "Init", "avformat_write_header, err=-22"},
    };
    for (const auto& [set, function, text] : cases) {
        log.clear();
        set();
        EXPECT_EQ(vemx_tsmux_init(mux), 0);
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u) << text;
        // The source line number varies; everything else is fixed.
        const size_t open = lines[0].find("tsmux("), close = lines[0].find(')', open);
        ASSERT_NE(open, std::string::npos) << lines[0];
        EXPECT_EQ(
            lines[0].substr(0, open) + "tsmux(N" + lines[0].substr(close),
            "[vemx][ERROR]: tsmux(N): [vemx::tsmux::TsMux::" + function + address + text + "\n");
    }
    // Fixed, the same object muxes again.
    vemx_tsmux_set_audio_property1(mux, 0x1fff, "", 0, "", 0);
    EXPECT_EQ(vemx_tsmux_init(mux), 1);
    vemx_tsmux_addref(mux);
    vemx_tsmux_release(mux);
    vemx_tsmux_release(mux);
}
