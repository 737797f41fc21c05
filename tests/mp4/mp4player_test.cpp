// The player is judged against the reader (every sample once, in storage
// order, with the reader's times and bytes) and against ffmpeg, which decodes
// what the callbacks delivered.  Inputs are made by the ffmpeg tool.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "mp4/mp4_inputs.h"
#include "vemx/qvmp4fileplayer.h"
#include "vemx/vemx_mp4filewriter.h"
#include "vemx/vemx_mp4reader.h"

using namespace std::chrono_literals;
using vemx_test::LogCapture;
using vemx_test::run_command;
using vemx_test::TempDir;
using vemx_test_mp4::Frame;
using vemx_test_mp4::input;
using vemx_test_mp4::kSecond;
using vemx_test_mp4::read_samples;

namespace {

struct Sample {
    bool video;
    int64_t time;
    uint64_t id;
    uint64_t size;
    bool key, preroll;
    std::vector<uint8_t> data;
};

// Everything the callbacks received, in arrival order.
class Recorder {
  public:
    static void OnVideo(int64_t time, uint64_t id, const uint8_t* data, uint64_t size, uint8_t key,
                        uint8_t preroll, void* ctx) {
        static_cast<Recorder*>(ctx)->Add(
            {true, time, id, size, key != 0, preroll != 0,
             data ? std::vector<uint8_t>(data, data + size) : std::vector<uint8_t>()},
            !data);
    }
    static void OnAudio(int64_t time, uint64_t id, const uint8_t* data, uint64_t size, void* ctx) {
        static_cast<Recorder*>(ctx)->Add(
            {false, time, id, size, true, false,
             data ? std::vector<uint8_t>(data, data + size) : std::vector<uint8_t>()},
            !data);
    }

    // Waits until `ends` end-of-stream calls have arrived, or `count`
    // calls, or video sample `id`.
    bool WaitEnds(int ends) {
        return Wait([&] { return ends_ >= ends; });
    }
    bool WaitCount(size_t count) {
        return Wait([&] { return samples_.size() >= count; });
    }
    bool WaitVideo(uint64_t id) {
        return Wait([&] {
            return std::any_of(samples_.begin(), samples_.end(),
                               [&](const Sample& s) { return s.video && s.id == id; });
        });
    }
    std::vector<Sample> Take() {
        std::lock_guard guard(lock_);
        return std::exchange(samples_, {});
    }
    // Delivered samples of one kind, without the end-of-stream calls.
    std::vector<Sample> Samples(bool video) {
        std::lock_guard guard(lock_);
        std::vector<Sample> out;
        for (const auto& s : samples_)
            if (s.video == video && !s.data.empty()) out.push_back(s);
        return out;
    }
    std::vector<Sample> Ends() {
        std::lock_guard guard(lock_);
        std::vector<Sample> out;
        for (const auto& s : samples_)
            if (s.data.empty() && s.size == 0) out.push_back(s);
        return out;
    }

  private:
    template <typename Pred>
    bool Wait(Pred done) {
        std::unique_lock lock(lock_);
        return cv_.wait_for(lock, 20s, done);
    }
    void Add(Sample s, bool end) {
        std::lock_guard guard(lock_);
        samples_.push_back(std::move(s));
        if (end) ++ends_;
        cv_.notify_all();
    }
    std::mutex lock_;
    std::condition_variable cv_;
    std::vector<Sample> samples_;
    int ends_ = 0;
};

double DurationOf(const std::string& path) {
    void* r = vemx_mp4reader_open(path.c_str());
    double seconds = 0;
    vemx_mp4reader_get_duration(r, &seconds);
    vemx_mp4reader_release(r);
    return seconds;
}

struct Player {
    explicit Player(const std::string& path, Recorder& recorder) : handle(qvmp4fileplayer_new()) {
        qvmp4fileplayer_set_filename(handle, path.c_str());
        qvmp4fileplayer_set_callbacks(handle, &Recorder::OnVideo, &Recorder::OnAudio, &recorder);
    }
    ~Player() { qvmp4fileplayer_release(handle); }
    operator void*() const { return handle; }
    void* handle;
};

// Each sample once, in storage order, as the reader has it.  `dropped`
// samples may be missing: audio that a stalled machine made too late.
void ExpectStorageOrder(const std::vector<Sample>& got, const std::vector<Frame>& stored,
                        bool video, size_t dropped = 0) {
    ASSERT_EQ(got.size() + dropped, stored.size()) << (video ? "video" : "audio");
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(testing::Message() << (video ? "video " : "audio ") << got[i].id);
        if (dropped == 0) {
            EXPECT_EQ(got[i].id, i + 1);
        } else if (i > 0) {
            EXPECT_GT(got[i].id, got[i - 1].id);
        }
        ASSERT_LE(got[i].id, stored.size());
        const Frame& s = stored[got[i].id - 1];
        EXPECT_EQ(got[i].time, s.pts);
        EXPECT_EQ(got[i].key, s.key);
        EXPECT_FALSE(got[i].preroll);
        EXPECT_EQ(got[i].data, s.data);
    }
}

}  // namespace

TEST(MP4Player, NullHandlesAndArgumentsAreReportedOnce) {
    LogCapture log;
    qvmp4fileplayer_add_ref(nullptr);
    qvmp4fileplayer_release(nullptr);
    qvmp4fileplayer_set_filename(nullptr, "x");
    qvmp4fileplayer_set_handle(nullptr, nullptr);
    qvmp4fileplayer_set_time_shift_mode(nullptr, 1);
    qvmp4fileplayer_set_buffer_size(nullptr, 1);
    qvmp4fileplayer_set_callbacks(nullptr, nullptr, nullptr, nullptr);
    qvmp4fileplayer_init(nullptr);
    qvmp4fileplayer_reset(nullptr);
    qvmp4fileplayer_play(nullptr);
    qvmp4fileplayer_pause(nullptr);
    qvmp4fileplayer_stop(nullptr);
    qvmp4fileplayer_seek(nullptr, 0);
    qvmp4fileplayer_seek_by_frame(nullptr, 1);
    EXPECT_EQ(qvmp4fileplayer_get_pts(nullptr), -1);
    EXPECT_EQ(qvmp4fileplayer_get_frame_number(nullptr), 0u);
    EXPECT_EQ(qvmp4fileplayer_get_state(nullptr), -1);
    qvmp4fileplayer_set_rate(nullptr, 1.0);
    EXPECT_EQ(qvmp4fileplayer_get_rate(nullptr), 0.0);
    qvmp4fileplayer_update_duration(nullptr);
    // One report per export, each in the function-report layout.
    ASSERT_EQ(log.lines().size(), 20u);
    EXPECT_EQ(log.lines_starting("[vemx][ERROR]: qvmp4fileplayer(").size(), 20u);
    std::istringstream names(
        "add_ref release set_filename set_handle set_time_shift_mode set_buffer_size set_callbacks "
        "init reset play pause stop seek seek_by_frame get_pts get_frame_number get_state set_rate "
        "get_rate update_duration");
    for (std::string name; names >> name;)
        EXPECT_EQ(log.count_containing("): [qvmp4fileplayer_" + name + "] null pointer\n"), 1u)
            << name;

    log.clear();
    void* p = qvmp4fileplayer_new();
    ASSERT_EQ(log.count_containing("[vemx::detail::MP4FilePlayer::MP4FilePlayer], 0x"), 1u);
    qvmp4fileplayer_set_filename(p, nullptr);
    qvmp4fileplayer_set_buffer_size(p, 0);
    qvmp4fileplayer_set_rate(p, 0.0005);
    qvmp4fileplayer_set_rate(p, -1);
    EXPECT_EQ(log.count_containing("[qvmp4fileplayer_set_filename] null pointer\n"), 1u);
    EXPECT_EQ(log.count_containing("[qvmp4fileplayer_set_buffer_size] size = 0\n"), 1u);
    EXPECT_EQ(log.count_containing("[qvmp4fileplayer_set_rate] playback rate is too small or "
                                   "negative\n"),
              2u);
    EXPECT_EQ(qvmp4fileplayer_get_rate(p), 1.0);
    qvmp4fileplayer_set_rate(p, 0.001);
    EXPECT_EQ(qvmp4fileplayer_get_rate(p), 0.001);
    // Before the first init nothing is known; the open sets the position.
    EXPECT_EQ(qvmp4fileplayer_get_pts(p), 0);
    EXPECT_EQ(qvmp4fileplayer_get_frame_number(p), 0u);
    qvmp4fileplayer_add_ref(p);
    qvmp4fileplayer_release(p);
    EXPECT_EQ(log.count_containing("~MP4FilePlayer"), 0u);
    qvmp4fileplayer_release(p);
    EXPECT_EQ(log.count_containing("[vemx::detail::MP4FilePlayer::~MP4FilePlayer], 0x"), 1u);
}

TEST(MP4Player, DeliversEverySampleOnceInStorageOrderAndEndsAtTheDuration) {
    LogCapture log;
    Recorder rec;
    const std::string path = input("av.mp4");
    const auto video = read_samples(path, true);
    const auto audio = read_samples(path, false);
    ASSERT_EQ(video.size(), 75u);
    ASSERT_GT(audio.size(), 100u);
    ASSERT_TRUE(std::any_of(video.begin(), video.end(), [](const Frame& s) {
        return s.pts != s.dts;
    })) << "the input should have B-frames";
    {
        Player p(path, rec);
        qvmp4fileplayer_init(p);
        EXPECT_EQ(qvmp4fileplayer_get_pts(p), 0);
        EXPECT_EQ(qvmp4fileplayer_get_frame_number(p), 1u);
        EXPECT_EQ(
            log.count_containing("Samples: Video=75, Audio=" + std::to_string(audio.size()) + "\n"),
            1u);
        qvmp4fileplayer_play(p);
        EXPECT_EQ(qvmp4fileplayer_get_state(p), 2);
        ASSERT_TRUE(rec.WaitEnds(2));
        const auto duration = static_cast<int64_t>(DurationOf(path) * kSecond);
        EXPECT_EQ(qvmp4fileplayer_get_pts(p), duration);
        EXPECT_EQ(qvmp4fileplayer_get_frame_number(p), 75u);
        const auto ends = rec.Ends();
        ASSERT_EQ(ends.size(), 2u);
        for (const auto& e : ends) {
            EXPECT_EQ(e.time, duration);
            EXPECT_EQ(e.id, e.video ? 75u : audio.size());
        }
    }
    ExpectStorageOrder(rec.Samples(true), video, true);
    ExpectStorageOrder(rec.Samples(false), audio, false, log.count_containing("Audio drop, "));

    // The samples, written out in the order they came, decode to every frame.
    TempDir scratch;
    {
        std::ofstream out("out.h264", std::ios::binary);
        for (const auto& s : rec.Samples(true))
            out.write(reinterpret_cast<const char*>(s.data.data()),
                      static_cast<std::streamsize>(s.data.size()));
    }
    EXPECT_EQ(run_command("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                          "stream=nb_read_frames -of csv=p=0 out.h264 2>&1"),
              "75\n");
    EXPECT_EQ(run_command("ffmpeg -v error -i out.h264 -f null - 2>&1"), "");
}

TEST(MP4Player, RatesPaceVideoAndPlayAudioOnlyAtOne) {
    struct Case {
        const char* file;
        double rate;
        double min_seconds, max_seconds;
        bool audio;
    };
    for (const Case& c : {Case{"v.mp4", 0.5, 1.5, 6.0, false}, Case{"av.mp4", 2.0, 1.0, 3.5, false},
                          Case{"a.m4a", 1.0, 0.6, 4.0, true}}) {
        SCOPED_TRACE(std::string(c.file) + " at " + std::to_string(c.rate));
        Recorder rec;
        Player p(input(c.file), rec);
        qvmp4fileplayer_set_rate(p, c.rate);
        qvmp4fileplayer_init(p);
        const auto start = std::chrono::steady_clock::now();
        qvmp4fileplayer_play(p);
        ASSERT_TRUE(rec.WaitEnds(1));
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GT(elapsed, c.min_seconds);
        EXPECT_LT(elapsed, c.max_seconds);
        EXPECT_EQ(qvmp4fileplayer_get_rate(p), c.rate);
        const size_t audio = rec.Samples(false).size();
        EXPECT_EQ(audio > 0, c.audio);
        if (c.audio) {
            // Audio alone leaves the video position where the open put it.
            EXPECT_EQ(qvmp4fileplayer_get_pts(p), 0);
        } else {
            ExpectStorageOrder(rec.Samples(true), read_samples(input(c.file), true), true);
        }
    }
}

TEST(MP4Player, AudioTakesUpAtThePicturesWhenTheRateReturnsToOne) {
    Recorder rec;
    Player p(input("av.mp4"), rec);
    qvmp4fileplayer_set_rate(p, 2.0);
    qvmp4fileplayer_init(p);
    qvmp4fileplayer_play(p);
    ASSERT_TRUE(rec.WaitVideo(30));
    qvmp4fileplayer_set_rate(p, 1.0);
    ASSERT_TRUE(rec.WaitEnds(2));
    // Audio starts with the picture the rate change walked to.
    const auto got = rec.Take();
    const auto first_audio =
        std::find_if(got.begin(), got.end(), [](const Sample& s) { return !s.video; });
    ASSERT_NE(first_audio, got.end());
    const auto shown = std::find_if(std::make_reverse_iterator(first_audio), got.rend(),
                                    [](const Sample& s) { return !s.preroll; });
    ASSERT_NE(shown, got.rend());
    EXPECT_GT(shown->id, 30u);
    EXPECT_GT(first_audio->time, shown->time - kSecond / 5);
    EXPECT_LT(first_audio->time, shown->time + kSecond / 5);
}

TEST(MP4Player, SeeksWalkFromThePreviousKeyFrameWithPreroll) {
    const std::string path = input("av.mp4");
    const auto video = read_samples(path, true);
    Recorder rec;
    Player p(path, rec);
    qvmp4fileplayer_init(p);
    // Commands that do nothing in these states.
    qvmp4fileplayer_seek(p, 2 * kSecond);
    qvmp4fileplayer_seek_by_frame(p, 10);
    EXPECT_TRUE(rec.Take().empty());

    // Pause from stopped shows the frame at the position: the first one.
    qvmp4fileplayer_pause(p);
    EXPECT_EQ(qvmp4fileplayer_get_state(p), 1);
    auto got = rec.Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].id, 1u);
    EXPECT_FALSE(got[0].preroll);

    // The second key frame (at 2 s) and the frame shown 3 frames later.
    const auto key = static_cast<uint64_t>(
        std::find_if(video.begin() + 1, video.end(), [](const Frame& s) { return s.key; }) -
        video.begin() + 1);
    const int64_t target_time = 2 * kSecond + 3 * kSecond / 25;
    uint64_t target = 0;
    for (size_t i = 0; i < video.size(); ++i)
        if (video[i].pts == target_time) target = i + 1;
    ASSERT_GT(target, key);
    auto expect_walk = [&](const std::vector<Sample>& walk) {
        ASSERT_EQ(walk.size(), target - key + 1);
        for (size_t i = 0; i < walk.size(); ++i) {
            EXPECT_EQ(walk[i].id, key + i);
            EXPECT_EQ(walk[i].preroll, i + 1 < walk.size());
            EXPECT_EQ(walk[i].time, video[key + i - 1].pts);
        }
        EXPECT_EQ(qvmp4fileplayer_get_frame_number(p), target);
        EXPECT_EQ(qvmp4fileplayer_get_pts(p), video[target - 1].pts);
    };
    qvmp4fileplayer_seek(p, target_time + kSecond / 100);
    expect_walk(rec.Take());
    qvmp4fileplayer_seek_by_frame(p, target);
    expect_walk(rec.Take());

    // Past the end: the frame shown last (the end of the stream follows
    // when it is also the last stored).
    const auto last_shown = static_cast<uint64_t>(
        std::max_element(video.begin(), video.end(),
                         [](const Frame& a, const Frame& b) { return a.pts < b.pts; }) -
        video.begin() + 1);
    qvmp4fileplayer_seek(p, 3600 * kSecond);
    got = rec.Take();
    while (!got.empty() && got.back().data.empty()) got.pop_back();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().id, last_shown);
    EXPECT_FALSE(got.back().preroll);

    // Seeking while playing goes on from the target; seek by frame does not act.
    qvmp4fileplayer_seek(p, 0);
    rec.Take();
    qvmp4fileplayer_play(p);
    qvmp4fileplayer_seek_by_frame(p, 60);
    qvmp4fileplayer_seek(p, target_time);
    ASSERT_TRUE(rec.WaitEnds(2));
    got = rec.Take();
    const auto from = std::find_if(got.begin(), got.end(), [&](const Sample& s) {
        return s.video && s.id == key && s.preroll;
    });
    ASSERT_NE(from, got.end());
    uint64_t next = key;
    for (auto it = from; it != got.end(); ++it) {
        if (it->video && !it->data.empty()) {
            EXPECT_EQ(it->id, next++);
        }
    }
    EXPECT_EQ(next, video.size() + 1);
}

TEST(MP4Player, PauseAndResumeLoseAndRepeatNothing) {
    LogCapture log;
    const std::string path = input("av.mp4");
    const auto video = read_samples(path, true);
    const auto audio = read_samples(path, false);
    Recorder rec;
    Player p(path, rec);
    qvmp4fileplayer_init(p);
    qvmp4fileplayer_play(p);
    for (size_t shown : {10u, 30u, 50u}) {
        ASSERT_TRUE(rec.WaitCount(shown));
        qvmp4fileplayer_pause(p);
        EXPECT_EQ(qvmp4fileplayer_get_state(p), 1);
        const size_t held = rec.Samples(true).size() + rec.Samples(false).size();
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(rec.Samples(true).size() + rec.Samples(false).size(), held);
        qvmp4fileplayer_play(p);
    }
    ASSERT_TRUE(rec.WaitEnds(2));
    uint64_t next = 1;
    for (const auto& s : rec.Samples(true)) {
        if (!s.preroll) {
            EXPECT_EQ(s.id, next++);
        }
    }
    EXPECT_EQ(next, video.size() + 1);
    // Audio comes back exactly where it stopped, unless a stalled machine
    // made some of it too late, which is reported.
    const auto got = rec.Samples(false);
    for (size_t i = 1; i < got.size(); ++i) EXPECT_GT(got[i].id, got[i - 1].id);
    EXPECT_EQ(got.size() + log.count_containing("Audio drop, "), audio.size());
}

TEST(MP4Player, BadInputNeitherCrashesNorStalls) {
    TempDir scratch;
    std::ofstream("text.mp4") << "not a movie at all\n";
    for (const char* name : {"missing.mp4", "text.mp4"}) {
        SCOPED_TRACE(name);
        LogCapture log;
        Recorder rec;
        Player p(name, rec);
        qvmp4fileplayer_init(p);
        EXPECT_EQ(log.count_containing("Samples: Video=0, Audio=0\n"), 1u);
        qvmp4fileplayer_play(p);
        qvmp4fileplayer_seek(p, kSecond);
        qvmp4fileplayer_pause(p);
        qvmp4fileplayer_seek_by_frame(p, 3);
        qvmp4fileplayer_play(p);
        qvmp4fileplayer_stop(p);
        EXPECT_TRUE(rec.Take().empty());
        EXPECT_EQ(qvmp4fileplayer_get_state(p), 0);
    }

    // Key frames too large for the buffer are reported once each and skipped.
    const std::string path = input("v.mp4");
    const auto video = read_samples(path, true);
    size_t largest_other = 0, keys = 0;
    for (const auto& s : video) {
        if (s.key)
            ++keys;
        else
            largest_other = std::max(largest_other, s.data.size());
    }
    ASSERT_LT(largest_other, video[0].data.size());
    LogCapture log;
    Recorder rec;
    Player p(path, rec);
    qvmp4fileplayer_set_buffer_size(p, largest_other);
    qvmp4fileplayer_init(p);
    qvmp4fileplayer_play(p);
    ASSERT_TRUE(rec.WaitEnds(1));
    EXPECT_EQ(rec.Samples(true).size(), video.size() - keys);
    EXPECT_EQ(log.count_containing("; skipped\n"), keys);
}

TEST(MP4Player, CommandsFromManyThreadsResetAndReleaseWhilePlaying) {
    const std::string path = input("av.mp4");
    Recorder rec;
    void* p = qvmp4fileplayer_new();
    qvmp4fileplayer_set_filename(p, path.c_str());
    qvmp4fileplayer_set_callbacks(p, &Recorder::OnVideo, &Recorder::OnAudio, &rec);
    qvmp4fileplayer_init(p);
    using Command = void (*)(void*, std::mt19937&);
    const Command commands[] = {
        [](void* p, std::mt19937&) { qvmp4fileplayer_play(p); },
        [](void* p, std::mt19937&) { qvmp4fileplayer_pause(p); },
        [](void* p, std::mt19937&) { qvmp4fileplayer_stop(p); },
        [](void* p, std::mt19937& r) { qvmp4fileplayer_seek(p, int64_t(r() % 40) * kSecond / 10); },
        [](void* p, std::mt19937& r) { qvmp4fileplayer_seek_by_frame(p, r() % 80); },
        [](void* p, std::mt19937& r) { qvmp4fileplayer_set_rate(p, 0.5 + (r() % 4) * 0.5); },
        [](void* p, std::mt19937&) { qvmp4fileplayer_update_duration(p); },
        [](void* p, std::mt19937&) {
            qvmp4fileplayer_get_pts(p), qvmp4fileplayer_get_frame_number(p);
        },
        [](void*, std::mt19937& r) {
            std::this_thread::sleep_for(std::chrono::milliseconds(r() % 20));
        },
    };
    std::atomic<bool> go{true};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(t);
            while (go) commands[rng() % std::size(commands)](p, rng);
        });
    }
    std::this_thread::sleep_for(1500ms);
    go = false;
    for (auto& t : threads) t.join();

    // A reset while playing keeps the state; the next init plays nothing
    // until stopped.
    qvmp4fileplayer_set_rate(p, 1.0);
    qvmp4fileplayer_stop(p);
    qvmp4fileplayer_play(p);
    qvmp4fileplayer_reset(p);
    EXPECT_EQ(qvmp4fileplayer_get_state(p), 2);
    qvmp4fileplayer_init(p);
    rec.Take();
    qvmp4fileplayer_play(p);
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(rec.Take().empty());
    qvmp4fileplayer_stop(p);
    qvmp4fileplayer_play(p);
    ASSERT_TRUE(rec.WaitCount(5));
    qvmp4fileplayer_release(p);  // while playing
}

TEST(MP4Player, PlaysAReaderHandleThatStaysTheCallers) {
    const std::string path = input("v.mp4");
    void* reader = vemx_mp4reader_open(path.c_str());
    ASSERT_NE(reader, nullptr);
    {
        Recorder rec;
        Player p("", rec);
        qvmp4fileplayer_set_handle(p, reader);
        qvmp4fileplayer_init(p);
        qvmp4fileplayer_update_duration(p);
        qvmp4fileplayer_play(p);
        ASSERT_TRUE(rec.WaitEnds(1));
        EXPECT_EQ(rec.Samples(true).size(), 25u);
        qvmp4fileplayer_reset(p);
    }
    uint32_t v = 0, a = 0;
    EXPECT_EQ(vemx_mp4reader_get_sample_counts(reader, &v, &a), 0);
    EXPECT_EQ(v, 25u);
    vemx_mp4reader_release(reader);
}

TEST(MP4Player, TimeShiftFollowsARecordingAsItIsWritten) {
    // The samples of av.mp4 in decode order, recorded again by our writer in
    // fragments (one per 2 s GOP) while the player follows the file.
    const auto video = read_samples(input("av.mp4"), true);
    const auto audio = read_samples(input("av.mp4"), false);
    std::vector<Frame> frames = video;
    for (const auto& a : audio)
        if (a.pts >= 0) frames.push_back(a);
    std::stable_sort(frames.begin(), frames.end(),
                     [](const Frame& a, const Frame& b) { return a.dts < b.dts; });

    TempDir scratch;
    const std::string path = "live.mp4";
    void* w = vemx_mp4filewriter_new();
    vemx_mp4filewriter_set_video_property(w, "h264", 160, 120, "yv12", 25, 1);
    vemx_mp4filewriter_set_audio_property(w, "aac", 1, "s16", 48000);
    vemx_mp4filewriter_set_filename(w, path.c_str());
    vemx_mp4filewriter_set_fragmented(w, 1);
    ASSERT_EQ(vemx_mp4filewriter_init(w), 1);
    auto write_until = [&](int64_t dts, size_t& next) {
        for (; next < frames.size() && frames[next].dts < dts; ++next)
            vemx_test_mp4::write_frame(w, frames[next]);
    };

    Recorder rec;
    {
        // Opened before the first fragment is out: the player opens again
        // when the file grows.
        Player p(path, rec);
        qvmp4fileplayer_set_time_shift_mode(p, 1);
        qvmp4fileplayer_init(p);
        qvmp4fileplayer_play(p);
        size_t next = 0;
        write_until(2 * kSecond + kSecond / 10, next);  // the first GOP's fragment closes
        ASSERT_TRUE(rec.WaitVideo(10));
        // The last fragment goes out while the first still plays: it is
        // taken in when the player gets there.
        write_until(INT64_MAX, next);
        vemx_mp4filewriter_release(w);
        ASSERT_TRUE(rec.WaitVideo(video.size()));
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(qvmp4fileplayer_get_frame_number(p), video.size());
    }
    uint64_t next = 1;
    for (const auto& s : rec.Samples(true)) EXPECT_EQ(s.id, next++);
    EXPECT_EQ(next, video.size() + 1);
    EXPECT_TRUE(rec.Ends().empty());  // the file may still grow
    EXPECT_GT(rec.Samples(false).size(), audio.size() / 2);
}

TEST(MP4Player, ACallbackThatCommandsResetsOrReleasesIsReportedNotStuck) {
    LogCapture log;
    struct Context {
        void* player;
        std::atomic<int> frames{0};
    } ctx{qvmp4fileplayer_new()};
    auto on_video = [](int64_t, uint64_t, const uint8_t*, uint64_t, uint8_t, uint8_t, void* c) {
        auto* x = static_cast<Context*>(c);
        if (++x->frames != 3) return;
        qvmp4fileplayer_pause(x->player);
        qvmp4fileplayer_reset(x->player);
        qvmp4fileplayer_release(x->player);
    };
    const std::string path = input("v.mp4");
    qvmp4fileplayer_set_filename(ctx.player, path.c_str());
    qvmp4fileplayer_set_callbacks(ctx.player, on_video, nullptr, &ctx);
    qvmp4fileplayer_init(ctx.player);
    qvmp4fileplayer_play(ctx.player);
    for (int i = 0; i < 200 && !log.count_containing("~MP4FilePlayer"); ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(log.count_containing("[vemx::detail::MP4FilePlayer::~MP4FilePlayer]"), 1u);
    EXPECT_EQ(log.count_containing("command 2 from inside a callback ignored"), 1u);
    EXPECT_EQ(log.count_containing("[vemx::detail::MP4FilePlayer::Reset], 0x"), 1u);
    EXPECT_EQ(log.count_containing("last reference released on the object's own thread"), 1u);
}
