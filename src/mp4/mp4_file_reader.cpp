#include "mp4/mp4_file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>

extern "C" {
#include <libavutil/mathematics.h>
}

#include "frame/log.h"
#include "mp4/mp4_box.h"
#include "mp4/mp4_fragment.h"
#include "mp4/mp4_reader.h"

namespace vemx::mp4file {

using mp4box::BoxError;
using mp4box::FourCC;
using mp4movie::Kind;
using mp4movie::Track;
using namespace mp4reader;

namespace {

constexpr int64_t kUnitsPerSecond = 10000000;
// Boxes read whole.  A moov with the largest tables a stream may have
// (SampleTable::kMaxSamples) stays below the first; fragments are far smaller.
constexpr size_t kMaxMoov = size_t(1) << 30;
constexpr size_t kMaxMoof = size_t(1) << 26;

int64_t ToUnits(int64_t t, uint32_t timescale) {
    return av_rescale(t, kUnitsPerSecond, timescale);
}

// The latest track time whose 100-ns value (rounded as ToUnits rounds) is at
// or before `units`, so that a time handed out by this reader finds its own
// sample again.
int64_t FromUnits(int64_t units, uint32_t timescale) {
    const __int128 num = (__int128(units) * 2 + 1) * timescale - 1;
    const __int128 den = 2 * kUnitsPerSecond;
    __int128 q = num / den;
    if (num % den != 0 && num < 0) --q;
    if (q > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
    if (q < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
    return int64_t(q);
}

int64_t SecondsToUnits(double seconds) {
    const double units = seconds * double(kUnitsPerSecond);
    if (!(units > -9.0e18)) return std::numeric_limits<int64_t>::min();
    if (units > 9.0e18) return std::numeric_limits<int64_t>::max();
    return int64_t(units + (units < 0 ? -0.5 : 0.5));
}

// What an MP4 or QuickTime file can start with.
bool IsTopLevel(uint32_t type) {
    for (const uint32_t t :
         {FourCC("ftyp"), FourCC("moov"), FourCC("mdat"), FourCC("free"), FourCC("skip"),
          FourCC("wide"), FourCC("pnot"), FourCC("uuid"), FourCC("styp")})
        if (type == t) return true;
    return false;
}

}  // namespace

std::unique_ptr<FileReader> FileReader::Open(const std::string& path, std::string& reason) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<FileReader> reader(new FileReader(path, fd));
    try {
        reader->Scan();
    } catch (const std::exception& e) {
        reason = e.what();
        return nullptr;
    }
    const mp4movie::Movie& m = reader->movie_;
    if (!reader->have_movie_) {
        reason = "no moov box";
        return nullptr;
    }
    if (!m.video && !m.audio) {
        reason = "no video or audio track";
        return nullptr;
    }
    const size_t samples =
        (m.video ? m.video->samples.count() : 0) + (m.audio ? m.audio->samples.count() : 0);
    if (samples == 0 && !m.fragmented) {
        reason = "no samples";
        return nullptr;
    }
    return reader;
}

FileReader::~FileReader() {
    ::close(fd_);
}

void FileReader::ReadAt(uint64_t offset, uint8_t* out, size_t n) const {
    while (n > 0) {
        const ssize_t got = ::pread(fd_, out, n, off_t(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw std::system_error(errno, std::generic_category(), "read");
        if (got == 0) throw std::system_error(EIO, std::generic_category(), "file shrank");
        out += got;
        n -= size_t(got);
        offset += uint64_t(got);
    }
}

// Top-level boxes are visited by their headers only; moov is read whole, and
// in fragmented files every moof.  A box that runs past the end of the file
// ends the walk: before moov that is a truncated file, after it the part of a
// recording not yet written, which a later Refresh picks up.
void FileReader::Scan() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) throw std::system_error(errno, std::generic_category(), "stat");
    file_size_ = uint64_t(st.st_size);
    while (file_size_ - scan_offset_ >= 8) {
        uint8_t raw[16];
        const size_t want = file_size_ - scan_offset_ >= 16 ? 16 : 8;
        ReadAt(scan_offset_, raw, want);
        mp4box::Cursor c(raw, want);
        uint64_t total = c.U32();
        const uint32_t type = c.U32();
        if (total == 1 && want == 16)
            total = c.U64();
        else if (total == 0)
            total = file_size_ - scan_offset_;
        if (scan_offset_ == 0 && !IsTopLevel(type)) throw BoxError("not an MP4 file");
        const uint32_t header = uint32_t(c.position());
        if (total < header)
            throw BoxError("box '" + mp4box::TypeName(type) + "' smaller than its header");
        const uint64_t payload = scan_offset_ + header;
        const size_t payload_size = size_t(total - header);
        if (total > file_size_ - scan_offset_) {
            if (!have_movie_)
                throw BoxError("box '" + mp4box::TypeName(type) +
                               "' runs past the end of the file");
            return;
        }
        if ((type == FourCC("moov") && payload_size > kMaxMoov) ||
            (type == FourCC("moof") && payload_size > kMaxMoof))
            throw BoxError("box '" + mp4box::TypeName(type) + "' too large");
        if (type == FourCC("moov") && !have_movie_) {
            std::vector<uint8_t> moov(payload_size);
            ReadAt(payload, moov.data(), moov.size());
            movie_ = mp4movie::ParseMovie(moov.data(), moov.size(), file_size_);
            have_movie_ = true;
        } else if (type == FourCC("moof") && have_movie_ && movie_.fragmented) {
            std::vector<uint8_t> moof(payload_size);
            ReadAt(payload, moof.data(), moof.size());
            if (!mp4fragment::AppendFragment(moof.data(), moof.size(), scan_offset_, file_size_,
                                             movie_))
                return;
        }
        scan_offset_ += total;
    }
}

void FileReader::Refresh() {
    if (!movie_.fragmented || scan_broken_) return;
    try {
        Scan();
    } catch (const std::exception& e) {
        scan_broken_ = true;
        frame::LogPrint("ERROR[vemx!mp4reader] ", "%s: fragment at %llu not taken in: %s",
                        path_.c_str(), static_cast<unsigned long long>(scan_offset_), e.what());
    }
}

Track* FileReader::TrackOf(Kind kind) const noexcept {
    return kind == Kind::kVideo ? movie_.video.get() : movie_.audio.get();
}

int FileReader::VideoFormat(unsigned long* codec, unsigned long* width, unsigned long* height,
                            unsigned long* bits, double* frame_rate) {
    std::lock_guard guard(lock_);
    const Track* t = movie_.video.get();
    if (!t) return kReaderFailed;
    if (codec) *codec = t->fourcc;
    if (width) *width = t->width;
    if (height) *height = t->height;
    if (bits) *bits = t->depth;
    if (frame_rate) {
        *frame_rate = 0;
        const auto& s = t->samples;
        if (s.count() > 0) {
            const int64_t first = s.pts(s.ShownAt(std::numeric_limits<int64_t>::min()));
            if (s.end_time() > first)
                *frame_rate = double(s.count()) * t->timescale / double(s.end_time() - first);
        }
    }
    return kReaderOk;
}

int FileReader::AudioFormat(unsigned long* codec, unsigned long* rate, unsigned long* channels,
                            unsigned long* bits) {
    std::lock_guard guard(lock_);
    const Track* t = movie_.audio.get();
    if (!t) return kReaderFailed;
    if (codec) *codec = t->fourcc;
    if (rate) *rate = t->rate;
    if (channels) *channels = t->channels;
    if (bits) *bits = t->bits;
    return kReaderOk;
}

int FileReader::Duration(double* seconds) {
    std::lock_guard guard(lock_);
    Refresh();
    double longest = 0;
    for (const Track* t : {movie_.video.get(), movie_.audio.get()}) {
        if (!t || t->samples.count() == 0) continue;
        longest = std::max(longest, double(ToUnits(t->samples.end_time(), t->timescale)) /
                                        double(kUnitsPerSecond));
    }
    if (seconds) *seconds = longest;
    return kReaderOk;
}

int FileReader::Counts(unsigned long* video, unsigned long* audio) {
    std::lock_guard guard(lock_);
    Refresh();
    if (video) *video = movie_.video ? movie_.video->samples.count() : 0;
    if (audio) *audio = movie_.audio ? movie_.audio->samples.count() : 0;
    return kReaderOk;
}

int FileReader::ReadSample(Kind kind, unsigned long id, unsigned char** data, unsigned int* size,
                           int64_t* decode_time, int64_t* presentation_time, int* key) {
    std::lock_guard guard(lock_);
    const Track* t = TrackOf(kind);
    if (!t || id == 0 || id > t->samples.count()) return kReaderNoSuchSample;
    const size_t i = id - 1;
    const auto& s = t->samples;
    if (decode_time) *decode_time = ToUnits(s.dts(i), t->timescale);
    if (presentation_time) *presentation_time = ToUnits(s.pts(i), t->timescale);
    if (key) *key = s.key(i) ? 1 : 0;
    if (!size) return data ? kReaderFailed : kReaderOk;

    scratch_.resize(s.size(i));
    try {
        ReadAt(s.offset(i), scratch_.data(), scratch_.size());
    } catch (const std::system_error&) {
        return kReaderIoError;
    }
    const int64_t needed =
        mp4sample::DeliveredSize(t->format, scratch_.data(), scratch_.size(), s.key(i));
    if (needed < 0 || needed > std::numeric_limits<unsigned int>::max()) return kReaderFailed;
    if (!data) {
        *size = unsigned(needed);
        return kReaderOk;
    }
    if (!*data || *size < needed) {
        *size = unsigned(needed);
        return kReaderBufferTooSmall;
    }
    mp4sample::Deliver(t->format, scratch_.data(), scratch_.size(), s.key(i), *data);
    *size = unsigned(needed);
    return kReaderOk;
}

int FileReader::SampleAt(Kind kind, double seconds, unsigned long* id) {
    std::lock_guard guard(lock_);
    const Track* t = TrackOf(kind);
    if (!t || t->samples.count() == 0) return kReaderNoSuchSample;
    if (id) *id = t->samples.ShownAt(FromUnits(SecondsToUnits(seconds), t->timescale)) + 1;
    return kReaderOk;
}

int FileReader::VideoTime(unsigned long id, double* seconds) {
    std::lock_guard guard(lock_);
    const Track* t = movie_.video.get();
    if (!t || id == 0 || id > t->samples.count()) return kReaderNoSuchSample;
    if (seconds) *seconds = double(ToUnits(t->samples.pts(id - 1), t->timescale)) / kUnitsPerSecond;
    return kReaderOk;
}

int FileReader::KeyFrame(unsigned long id, unsigned long* video_id, unsigned long* audio_id,
                         double* video_seconds, double* audio_seconds) {
    std::lock_guard guard(lock_);
    const Track* v = movie_.video.get();
    if (!v || id == 0 || id > v->samples.count()) return kReaderNoSuchSample;
    const size_t key = v->samples.KeyAtOrBefore(id - 1);
    const int64_t key_units = ToUnits(v->samples.pts(key), v->timescale);
    if (video_id) *video_id = key + 1;
    if (video_seconds) *video_seconds = double(key_units) / kUnitsPerSecond;
    // No audio: sample 0 at time 0.
    unsigned long audio = 0;
    double audio_time = 0;
    const Track* a = movie_.audio.get();
    if (a && a->samples.count() > 0) {
        const size_t i = a->samples.ShownAt(FromUnits(key_units, a->timescale));
        audio = i + 1;
        audio_time = double(ToUnits(a->samples.pts(i), a->timescale)) / kUnitsPerSecond;
    }
    if (audio_id) *audio_id = audio;
    if (audio_seconds) *audio_seconds = audio_time;
    return kReaderOk;
}

size_t FileReader::TableBytes() {
    std::lock_guard guard(lock_);
    size_t n = 0;
    for (const Track* t : {movie_.video.get(), movie_.audio.get()})
        if (t) n += t->samples.bytes();
    return n;
}

}  // namespace vemx::mp4file
