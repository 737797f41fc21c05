#include "devices/devinfo_json.h"

// RapidJSON 1.1's internal stack adds an offset to its still-null pointer
// before the first allocation; harmless, but clang's sanitizer stops every
// fuzzing run on it, so that one check is off inside RapidJSON.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((no_sanitize("pointer-overflow"))), apply_to = function)
#endif
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#if defined(__clang__)
#pragma clang attribute pop
#endif

#include <charconv>
#include <cmath>
#include <cstring>
#include <random>

namespace vemx::devinfo_json {

namespace {

using devinfo::devinfo_t;

// SAX events to cells: only values met at depth 1 under a non-empty key are
// kept, so nested objects vanish and an array leaves its last element.
class answer_handler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, answer_handler> {
  public:
    explicit answer_handler(devinfo_t& record) : record_(record) {}

    bool StartObject() {
        ++depth_;
        return true;
    }
    bool EndObject(rapidjson::SizeType) {
        --depth_;
        return true;
    }
    bool StartArray() { return true; }
    bool EndArray(rapidjson::SizeType) { return true; }
    bool Key(const char* str, rapidjson::SizeType length, bool) {
        // A key with an escaped NUL is cut there, as the C interface would see it.
        key_.assign(str, strnlen(str, length));
        return true;
    }

    bool Null() { return store(int32_t{0}); }
    bool Bool(bool b) { return store(int32_t{b ? 1 : 0}); }
    // Only negative numbers that fit 32 bits stay integers.
    bool Int(int i) { return i < 0 ? store(int32_t{i}) : store(static_cast<double>(i)); }
    bool Uint(unsigned u) { return store(static_cast<double>(u)); }
    bool Int64(int64_t i) { return store(static_cast<double>(i)); }
    bool Uint64(uint64_t u) { return store(static_cast<double>(u)); }
    bool Double(double d) { return store(d); }
    bool String(const char* str, rapidjson::SizeType length, bool) {
        return store(std::string(str, strnlen(str, length)));
    }

  private:
    bool store(devinfo::cell_t value) {
        if (depth_ == 1 && !key_.empty()) record_.cell(key_) = std::move(value);
        return true;
    }

    devinfo_t& record_;
    int depth_ = 0;
    std::string key_;
};

struct member_writer {
    rapidjson::Writer<rapidjson::StringBuffer>& w;

    void operator()(std::monostate) const { w.Null(); }
    void operator()(int32_t v) const { w.Int(v); }
    void operator()(double v) const {
        // JSON has no NaN or infinity.
        if (!std::isfinite(v)) {
            w.Null();
            return;
        }
        char buf[400];
        const auto end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6).ptr;
        w.RawValue(buf, static_cast<size_t>(end - buf), rapidjson::kNumberType);
    }
    void operator()(const std::string& v) const {
        w.String(v.data(), static_cast<rapidjson::SizeType>(v.size()));
    }
};

void write_members(rapidjson::Writer<rapidjson::StringBuffer>& writer, const devinfo_t& record) {
    for (const auto& [key, cell] : record.cells()) {
        writer.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
        std::visit(member_writer{writer}, cell);
    }
}

}  // namespace

bool fill_from_json(devinfo_t& record, std::string_view text) {
    rapidjson::MemoryStream stream(text.data(), text.size());
    answer_handler handler(record);
    rapidjson::Reader reader;
    // Iterative parsing keeps hostile nesting off the thread's stack.
    if (reader.Parse<rapidjson::kParseIterativeFlag>(stream, handler).IsError()) return false;
    // The reader takes a NUL byte for the end of the text; bytes after one
    // are trailing garbage too.
    return stream.Tell() == text.size();
}

std::string request_body(const devinfo_t& record, std::string_view nonce) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("xedaid");
    writer.String(nonce.data(), static_cast<rapidjson::SizeType>(nonce.size()));
    write_members(writer, record);
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string record_json(const devinfo_t& record) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    write_members(writer, record);
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string make_nonce() {
    thread_local std::mt19937 rng{std::random_device{}()};
    static constexpr char kMagic[] = "XEDA";
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const size_t n = 8 + rng() % 16;
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        const auto byte = static_cast<uint8_t>(rng() | static_cast<uint8_t>(kMagic[i % 4]));
        out += kDigits[byte >> 4];
        out += kDigits[byte & 15];
    }
    return out;
}

}  // namespace vemx::devinfo_json
