// Encoded audio is judged by the ffmpeg tool's decoders, which we did not
// write: a 1 kHz tone must come back at 1 kHz, at its level and length.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio/mediaencoder.h"
#include "common/log_capture.h"
#include "vemx/vemx_mediaencoder.h"

using vemx::mediaencoder::AudioEncoder;
using vemx::mediaencoder::MediaEncoder;
using vemx_test::LogCapture;
using vemx_test::TempDir;

namespace {

struct Settings {
    const char* codec;
    int rate, channels, bit_rate;
    const char *container /* for the decoder's sake */, *fmt = "s16";
};

void* make(const char* codec, int rate, int channels, int bit_rate = 0, const char* fmt = "s16") {
    void* h = vemx_mediaencoder_new();
    vemx_mediaencoder_set_codec_name(h, codec);
    vemx_mediaencoder_set_format_name(h, fmt);
    vemx_mediaencoder_set_sample_rate(h, rate);
    vemx_mediaencoder_set_channels(h, channels);
    vemx_mediaencoder_set_bit_rate(h, bit_rate);
    return h;
}

AVCodecContext* context_of(void* h) {
    auto* enc = dynamic_cast<AudioEncoder*>(vemx::frame::FromHandle<MediaEncoder>(h)->encoder());
    return enc ? enc->context() : nullptr;
}

// What encode1 and encode_more hand out.
struct Out {
    const uint8_t* data = nullptr;
    int64_t size = 0, pts = 0, dts = 0;
};
int encode1(void* h, const void* pcm, size_t bytes, int64_t time, Out& o) {
    return vemx_mediaencoder_encode1(h, static_cast<const uint8_t*>(pcm), int(bytes), time, &o.data,
                                     &o.size, &o.pts, &o.dts);
}
int encode_more(void* h, Out& o) {
    return vemx_mediaencoder_encode_more(h, &o.data, &o.size, &o.pts, &o.dts);
}

int frame_size_of(void* h) {
    int n = -1;
    vemx_mediaencoder_get_frame_size(h, &n);
    return n;
}

// Interleaved s16, every channel the same sine.
std::vector<int16_t> tone(int rate, int channels, int samples, double freq = 1000,
                          double dbfs = -6) {
    const double amp = std::pow(10.0, dbfs / 20) * 32767;
    std::vector<int16_t> pcm(size_t(samples) * channels);
    for (int i = 0; i < samples; ++i)
        for (int c = 0; c < channels; ++c)
            pcm[size_t(i) * channels + c] =
                int16_t(std::lround(amp * std::sin(2 * M_PI * freq * i / rate)));
    return pcm;
}

struct Packet {
    int64_t pts, dts;
    std::vector<uint8_t> data;
};

// Feeds whole frames (the last one padded with silence) through encode1 and
// collects the rest with encode_more.
std::vector<Packet> encode_all(void* h, const std::vector<uint8_t>& pcm, int rate, int block,
                               uint8_t silence) {
    const size_t chunk = size_t(frame_size_of(h)) * block;
    std::vector<Packet> packets;
    Out o;
    auto keep = [&] {
        packets.push_back({o.pts, o.dts, std::vector<uint8_t>(o.data, o.data + o.size)});
    };
    std::vector<uint8_t> buf(chunk);
    for (size_t pos = 0; pos < pcm.size(); pos += chunk) {
        const size_t n = std::min(chunk, pcm.size() - pos);
        std::fill(std::copy_n(pcm.begin() + long(pos), n, buf.begin()), buf.end(), silence);
        if (encode1(h, buf.data(), chunk, int64_t(pos / block) * 10000000 / rate, o)) keep();
    }
    while (encode_more(h, o)) keep();
    return packets;
}

// Stores the packets in a container with libavformat so that a stock
// decoder can read them.
bool mux(const std::string& file, const AVCodecContext* ctx, const std::vector<Packet>& packets) {
    AVFormatContext* oc = nullptr;
    if (avformat_alloc_output_context2(&oc, nullptr, nullptr, file.c_str()) < 0) return false;
    AVStream* st = avformat_new_stream(oc, nullptr);
    avcodec_parameters_from_context(st->codecpar, ctx);
    st->time_base = AVRational{1, ctx->sample_rate};
    bool ok = avio_open(&oc->pb, file.c_str(), AVIO_FLAG_WRITE) >= 0 &&
              avformat_write_header(oc, nullptr) >= 0;
    AVPacket* pkt = av_packet_alloc();
    for (const auto& p : packets) {
        if (!ok) break;
        av_new_packet(pkt, int(p.data.size()));
        std::memcpy(pkt->data, p.data.data(), p.data.size());
        pkt->pts = p.pts;
        pkt->dts = p.dts;
        av_packet_rescale_ts(pkt, AVRational{1, 10000000}, st->time_base);
        ok = av_interleaved_write_frame(oc, pkt) >= 0;
    }
    av_packet_free(&pkt);
    if (ok) ok = av_write_trailer(oc) >= 0;
    avio_closep(&oc->pb);
    avformat_free_context(oc);
    return ok;
}

// The first channel of the decoded file, as the ffmpeg tool decodes it.
std::vector<int16_t> decode_first_channel(const std::string& file, int channels,
                                          std::string& errors) {
    const std::string pcm = vemx_test::run_command(
        "ffmpeg -v error -i '" + file + "' -f s16le -acodec pcm_s16le - 2>'" + file + ".err'");
    errors = vemx_test::read_file(file + ".err");
    std::vector<int16_t> out(pcm.size() / 2 / channels);
    for (size_t i = 0; i < out.size(); ++i) std::memcpy(&out[i], pcm.data() + i * 2 * channels, 2);
    return out;
}

// Of 8192 samples from the middle: the share of their power that a 1 kHz
// sine holds (a tone off by a few hertz drifts out of phase and holds
// almost none), and their level in dBFS of a sine's peak.
struct Level {
    double tone_share, dbfs;
};
Level analyse(const std::vector<int16_t>& s, int rate) {
    const size_t n = 8192, start = s.size() > n ? (s.size() - n) / 2 : 0;
    double c = 0, q = 0, sum = 0;
    for (size_t i = start; i < std::min(s.size(), start + n); ++i) {
        const double v = s[i] / 32768.0, a = 2 * M_PI * 1000.0 * double(i) / rate;
        sum += v * v, c += v * std::cos(a), q += v * std::sin(a);
    }
    return {2 * (c * c + q * q) / n / sum, 20 * std::log10(std::sqrt(2 * sum / n))};
}

}  // namespace

class ToneRoundTrip : public ::testing::TestWithParam<Settings> {};

TEST_P(ToneRoundTrip, DecodesToTheSameToneLevelAndLength) {
    const Settings s = GetParam();
    TempDir dir;
    void* h = make(s.codec, s.rate, s.channels, s.bit_rate, s.fmt);
    vemx_mediaencoder_set_global_header(h, 1);
    ASSERT_EQ(vemx_mediaencoder_init(h), 1);
    const int fs = frame_size_of(h);
    ASSERT_GT(fs, 0);
    const int samples = s.rate * 2;
    const auto pcm = tone(s.rate, s.channels, samples);
    std::vector<uint8_t> bytes(pcm.size() * 2);
    std::memcpy(bytes.data(), pcm.data(), bytes.size());
    const bool u8 = std::string(s.fmt) == "u8";
    if (u8) {
        bytes.resize(pcm.size());
        for (size_t i = 0; i < pcm.size(); ++i) bytes[i] = uint8_t((pcm[i] >> 8) + 128);
    }
    const auto packets = encode_all(h, bytes, s.rate, s.channels * (u8 ? 1 : 2), u8 ? 128 : 0);
    ASSERT_FALSE(packets.empty());
    for (size_t i = 1; i < packets.size(); ++i) ASSERT_GT(packets[i].pts, packets[i - 1].pts);

    const std::string file = dir.path() + "/tone." + s.container;
    ASSERT_TRUE(mux(file, context_of(h), packets));
    vemx_mediaencoder_release(h);

    std::string errors;
    const auto decoded = decode_first_channel(file, s.channels, errors);
    EXPECT_EQ(errors, "");
    EXPECT_NEAR(double(decoded.size()), double(samples), double(fs));
    const Level level = analyse(decoded, s.rate);
    EXPECT_GT(level.tone_share, 0.9);
    EXPECT_NEAR(level.dbfs, -6.0, 1.0);
}

INSTANTIATE_TEST_SUITE_P(EightCodecs, ToneRoundTrip,
                         ::testing::Values(Settings{"aac", 48000, 2, 128000, "mp4"},
                                           Settings{"OPUS", 48000, 2, 96000, "mp4"},
                                           Settings{"ac3", 48000, 2, 192000, "mp4"},
                                           Settings{"eac3", 48000, 2, 192000, "mp4"},
                                           Settings{"mp3", 44100, 2, 128000, "mp4"},
                                           Settings{"Mp2", 48000, 2, 192000, "mp4"},
                                           Settings{"g722", 16000, 1, 64000, "wav"},
                                           Settings{"g726", 8000, 1, 32000, "wav"},
                                           Settings{"mp2", 48000, 1, 128000, "mp4", "u8"}),
                         [](const auto& info) {
                             std::string n = info.param.codec + std::string("_") + info.param.fmt;
                             for (auto& c : n) c = char(std::tolower(c));
                             return n;
                         });

TEST(MediaEncoder, LayerTwoBitRateRule) {
    struct Case {
        int rate, bit_rate, expected;
        bool logs_new_rate;
    };
    const Case cases[] = {
        {48000, 100000, 112000, true},  {48000, 500000, 384000, true},
        {24000, 100000, 112000, true},  {22050, 200000, 160000, true},
        {44100, 128000, 128000, false}, {16000, 1, 8000, true},
        {32000, 32000, 32000, false},
    };
    for (const auto& c : cases) {
        LogCapture log;
        void* h = make("MP2", c.rate, 2, c.bit_rate);
        ASSERT_EQ(vemx_mediaencoder_init(h), 1) << c.rate << " " << c.bit_rate;
        EXPECT_EQ(context_of(h)->bit_rate, c.expected) << c.rate << " " << c.bit_rate;
        EXPECT_EQ(log.count_containing("INFO[vemx|mediaencoder] --> new bit rate = " +
                                       std::to_string(c.expected) + "\n"),
                  c.logs_new_rate ? 1u : 0u);
        vemx_mediaencoder_release(h);
    }

    LogCapture log;
    void* h = make("mp2", 11025, 2, 64000);
    EXPECT_EQ(vemx_mediaencoder_init(h), 0);
    const auto errors = log.lines_starting("ERROR[vemx|mediaencoder] ");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(
        errors[0].rfind("ERROR[vemx|mediaencoder] vemx::mediaencoder::MediaEncoder::Init(", 0), 0u);
    EXPECT_NE(errors[0].find("): Sampling rate 11025 is not allowed in mp2\n"), std::string::npos);
    EXPECT_EQ(log.lines_starting("[vemx][ERROR]: mediaencoder(").size(), 1u);  // the COM error line

    // With bit rate 0 the rule is skipped and the encoder itself judges the rate.
    log.clear();
    vemx_mediaencoder_set_bit_rate(h, 0);
    EXPECT_EQ(vemx_mediaencoder_init(h), 0);
    EXPECT_EQ(log.count_containing("is not allowed in mp2"), 0u);
    EXPECT_EQ(log.count_containing("avcodec_open2 failed, Invalid argument(err=-22)\n"), 1u);
    vemx_mediaencoder_release(h);
}

TEST(MediaEncoder, InitLogsAndAppliesEverySettingAndMayBeRepeated) {
    LogCapture log;
    void* h = make("mp2", 48000, 2, 192000);
    vemx_mediaencoder_set_profile(h, "none");
    ASSERT_EQ(vemx_mediaencoder_init(h), 1);
    vemx_mediaencoder_release(h);
    const std::string I = "INFO[vemx|mediaencoder] ";
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  I + ".codecName = mp2\n", I + ".formatName = s16\n", I + ".sampleRate = 48000\n",
                  I + ".channels = 2\n", I + ".bitRate = 192000\n", I + ".profile = none\n",
                  I + ".globalHeader = 0\n",
                  I + "Audio encoder: mp2 s16/s16 48000Hz 2ch/stereo 192000bps 1/48000, "
                      "(frame_size=1152, useResampler=0, blockAlign=4)\n"}));

    // An encoder that takes only planar float gets converted input.
    log.clear();
    h = make("aac", 44100, 0, 96000, "U8");
    vemx_mediaencoder_set_channel_layout_name(h, "stereo");
    ASSERT_EQ(vemx_mediaencoder_init(h), 1);
    EXPECT_EQ(log.lines().back(), I + "Audio encoder: aac u8/fltp 44100Hz 2ch/stereo 96000bps "
                                      "1/44100, (frame_size=1024, useResampler=1, blockAlign=2)\n");

    // Options, profile and global header reach the codec; a second init
    // replaces the encoder (the first is freed: ASan watches).
    EXPECT_EQ(vemx_mediaencoder_set_option(h, "cutoff", "15000"), 0);
    EXPECT_EQ(vemx_mediaencoder_set_option(h, nullptr, "1"), AVERROR(EINVAL));
    vemx_mediaencoder_set_profile(h, "main");
    vemx_mediaencoder_set_global_header(h, 1);
    ASSERT_EQ(vemx_mediaencoder_init(h), 1);
    EXPECT_EQ(context_of(h)->cutoff, 15000);
    EXPECT_EQ(context_of(h)->profile, FF_PROFILE_AAC_MAIN);
    EXPECT_TRUE(context_of(h)->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
    EXPECT_GT(context_of(h)->extradata_size, 0);
    vemx_mediaencoder_set_profile(h, "no-such-profile");
    vemx_mediaencoder_set_option(h, "cutoff", nullptr);
    ASSERT_EQ(vemx_mediaencoder_init(h), 1);
    EXPECT_EQ(context_of(h)->profile, FF_PROFILE_AAC_LOW);
    EXPECT_NE(context_of(h)->cutoff, 15000);
    vemx_mediaencoder_addref(h);
    vemx_mediaencoder_release(h);
    EXPECT_EQ(frame_size_of(h), 1024);
    vemx_mediaencoder_release(h);
}

TEST(MediaEncoder, BadSettingsFailInitWithTheirTextAndTheHandleStaysUsable) {
    struct Case {
        const char *codec, *fmt;
        int rate, channels;
        const char *layout, *text;  // text: as it ends the report line
    };
    const Case cases[] = {
        {"vorbis", "s16", 48000, 2, "", "unknown encoder name: vorbis\n"},
        {"aac", "f32", 48000, 2, "", "unexpected format name = f32\n"},
        {"aac", "s16", 48000, 0, "", "channels == 0 && channelLayoutName is empty\n"},
        {"aac", "s16", 48000, 0, "stereo-ish", "unknown channel layout name = stereo-ish\n"},
        {"opus", "s16", 44100, 2, "", "avcodec_open2 failed, Invalid argument(err=-22)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        void* h = make(c.codec, c.rate, c.channels, 0, c.fmt);
        vemx_mediaencoder_set_channel_layout_name(h, c.layout);
        EXPECT_EQ(vemx_mediaencoder_init(h), 0);
        EXPECT_EQ(log.count_containing(c.text), 1u);
        if (c.text == cases[0].text) {
            ASSERT_EQ(log.lines().size(), 1u);
            EXPECT_EQ(log.lines()[0].rfind("[vemx][ERROR]: mediaencoder(", 0), 0u);
            EXPECT_NE(log.lines()[0].find("): [vemx::mediaencoder::MediaEncoder::Init], 0x"),
                      std::string::npos);
        }
        // Nothing to encode with, and nothing to report.
        log.clear();
        EXPECT_EQ(frame_size_of(h), -1);
        EXPECT_EQ(log.lines(), log.lines_starting("ERROR[vemx|mediaencoder] vemx::mediaencoder::"
                                                  "MediaEncoder::GetFrameSize("));
        EXPECT_EQ(log.count_containing("): failed to cast to AudioEncoder\n"), 1u);
        Out o{reinterpret_cast<const uint8_t*>(h), 7, 7, 7};
        const std::vector<uint8_t> pcm(4096);
        vemx_mediaencoder_encode(h, pcm.data(), 4096, 0);
        EXPECT_EQ(encode1(h, pcm.data(), 4096, 0, o), 0);
        EXPECT_EQ(encode_more(h, o), 0);
        EXPECT_EQ(o.size, 7);

        // Corrected, the same handle opens.
        vemx_mediaencoder_set_codec_name(h, "mp2");
        vemx_mediaencoder_set_format_name(h, "s16");
        vemx_mediaencoder_set_sample_rate(h, 48000);
        vemx_mediaencoder_set_channels(h, 2);
        EXPECT_EQ(vemx_mediaencoder_init(h), 1);
        EXPECT_EQ(frame_size_of(h), 1152);
        vemx_mediaencoder_release(h);
    }
}

TEST(MediaEncoder, TimestampsBlockAlignmentAndPacketLifetime) {
    void* h = make("mp2", 48000, 2, 192000);
    ASSERT_EQ(vemx_mediaencoder_init(h), 1);
    // 1152 stereo samples plus 2 stray bytes: the remainder is ignored.
    const auto pcm = tone(48000, 2, 1152 * 17);
    std::vector<uint8_t> buf(1152 * 4 + 2);
    std::memcpy(buf.data(), pcm.data(), 1152 * 4);
    Out o;
    LogCapture log;
    // The encoder's packets lag its input by its delay, counted in samples.
    const int delay = context_of(h)->initial_padding;
    auto back = [&](int64_t samples) { return av_rescale(samples - delay, 10000000, 48000); };
    // One second is sample 48000; 1.0242 s is sample 49161.6, truncated.
    ASSERT_EQ(encode1(h, buf.data(), buf.size(), 10000000, o), 1);
    EXPECT_EQ(o.pts, back(48000));
    EXPECT_EQ(o.dts, back(48000));
    EXPECT_EQ(o.size, 1152 * 192000 / 8 / 48000);
    ASSERT_EQ(encode1(h, buf.data(), buf.size(), 10242000, o), 1);
    EXPECT_EQ(o.pts, back(49161));
    EXPECT_TRUE(log.lines().empty());

    // One sample too many is the encoder's error, reported and survived.
    const std::vector<uint8_t> big(1153 * 4);
    EXPECT_EQ(encode1(h, big.data(), big.size(), 0, o), 0);
    EXPECT_EQ(o.data, nullptr);
    EXPECT_EQ(o.size, 0);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("[vemx::mediaencoder::AudioEncoder::_DirectEncode], 0x"),
              std::string::npos);
    EXPECT_NE(log.lines()[0].find(" avcodec_encode_audio2: errno=-22\n"), std::string::npos);
    EXPECT_EQ(encode1(h, buf.data(), buf.size(), 20000000, o), 1);
    EXPECT_EQ(o.pts, back(96000));

    // Less than one sample frame, or no data: nothing happens.
    EXPECT_EQ(encode1(h, buf.data(), 3, 0, o), 0);
    EXPECT_EQ(encode1(h, nullptr, 4608, 0, o), 0);
    // Missing outputs are refused before anything is consumed.
    log.clear();
    EXPECT_EQ(vemx_mediaencoder_encode1(h, buf.data(), int(buf.size()), 0, nullptr, &o.size, &o.pts,
                                        &o.dts),
              0);
    EXPECT_EQ(vemx_mediaencoder_encode_more(h, &o.data, &o.size, nullptr, &o.dts), 0);
    vemx_mediaencoder_get_frame_size(h, nullptr);
    EXPECT_EQ(log.count_containing("): null pointer\n"), 3u);
    EXPECT_EQ(log.count_containing("MediaEncoder::GetFrameSize("), 1u);

    // A returned packet stays valid while fifteen more are returned.
    ASSERT_EQ(encode1(h, pcm.data(), 1152 * 4, 0, o), 1);
    const Out first = o;
    const std::vector<uint8_t> copy(o.data, o.data + o.size);
    std::vector<const uint8_t*> seen = {first.data};
    for (int i = 1; i <= 15; ++i) {
        ASSERT_EQ(encode1(h, pcm.data() + i * 1152 * 2, 1152 * 4, i * 240000, o), 1);
        for (const uint8_t* earlier : seen) EXPECT_NE(o.data, earlier);
        seen.push_back(o.data);
        ASSERT_EQ(std::memcmp(first.data, copy.data(), copy.size()), 0) << "after " << i;
    }
    vemx_mediaencoder_release(h);
}

TEST(MediaEncoder, CallbackEncodeDrainAndEncodeAgain) {
    std::vector<int64_t> got;
    void* h = make("aac", 48000, 2, 128000);
    vemx_mediaencoder_set_callback(
        h,
        [](int64_t pts, int64_t, const uint8_t* data, int64_t size, void* user) {
            ASSERT_NE(data, nullptr);
            ASSERT_GT(size, 0);
            static_cast<std::vector<int64_t>*>(user)->push_back(pts);
        },
        &got);
    ASSERT_EQ(vemx_mediaencoder_init(h), 1);
    const auto pcm = tone(48000, 2, 1024 * 10);
    LogCapture log;
    Out o;
    for (int64_t start : {0, 10000000}) {  // encoding goes on after a drain
        got.clear();
        for (int i = 0; i < 10; ++i)
            vemx_mediaencoder_encode(h, reinterpret_cast<const uint8_t*>(pcm.data() + i * 2048),
                                     4096, start + int64_t(i) * 1024 * 10000000 / 48000);
        // The encoder holds its look-ahead back until drained.
        const size_t before = got.size();
        EXPECT_LT(before, 10u);
        size_t drained = 0;
        while (encode_more(h, o)) ++drained;
        EXPECT_EQ(before + drained, 11u);  // ten frames and the priming frame
        EXPECT_EQ(encode_more(h, o), 0);
        EXPECT_EQ(o.data, nullptr);
        ASSERT_FALSE(got.empty());
        EXPECT_NEAR(double(got.front()), start - 1024 * 10000000.0 / 48000, 1.0);
    }
    EXPECT_TRUE(log.lines().empty()) << log.lines()[0];
    vemx_mediaencoder_release(h);
}

TEST(EncodeCommand, WavToAacInMp4AndToRawAc3) {
    TempDir dir;
    const std::string wav = dir.path() + "/tone.wav";
    vemx_test::run_command(
        "ffmpeg -v error -f lavfi -i 'sine=f=1000:r=44100,volume=-6dB' -ac 2 -t 1 -c:a pcm_s16le "
        "'" +
        wav + "'");
    const std::string tool = std::string("VEMX_LOG=off '") + VEMX_TOOL + "' encode ";
    for (const std::string out : {"tone.mp4", "tone.ac3"}) {
        const std::string codec = out == "tone.mp4" ? "aac" : "ac3";
        const std::string said = vemx_test::run_command(tool + "--codec " + codec + " '" + wav +
                                                        "' '" + dir.path() + "/" + out + "'");
        EXPECT_NE(said.find("encoded 44100 samples (44100 Hz, 2 ch) with " + codec),
                  std::string::npos)
            << said;
        std::string errors;
        const auto decoded = decode_first_channel(dir.path() + "/" + out, 2, errors);
        EXPECT_EQ(errors, "") << out;
        // The padded last frame, and for AAC the encoder's priming frame: the
        // writer makes the first packet time 0, so nothing trims it.
        EXPECT_NEAR(double(decoded.size()), 44100.0, 2048.0) << out;
        EXPECT_GT(analyse(decoded, 44100).tone_share, 0.9) << out;
    }
    // Wrong use and unreadable input are refused with a non-zero status.
    EXPECT_NE(std::system((tool + "--codec aac >/dev/null 2>&1").c_str()), 0);
    EXPECT_NE(std::system((tool + "--codec aac /nonexistent.wav out.mp2 2>/dev/null").c_str()), 0);
    EXPECT_NE(std::system((tool + "--codec vorbis '" + wav + "' out.ogg 2>/dev/null").c_str()), 0);
}
