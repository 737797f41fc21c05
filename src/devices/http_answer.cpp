#include "devices/http_answer.h"

#include "devices/devinfo_json.h"
#include "frame/log.h"

namespace vemx_dev_detail::http_answer {

namespace {

constexpr const char* kError = "ERROR[vemx!dev] ";

const http_parser_settings& settings() {
    static const http_parser_settings s = [] {
        http_parser_settings v{};
        v.on_message_begin = &answer_reader::on_message_begin;
        v.on_status = &answer_reader::on_status;
        v.on_body = &answer_reader::on_body;
        v.on_message_complete = &answer_reader::on_message_complete;
        return v;
    }();
    return s;
}

answer_reader& self(http_parser* parser) {
    return *static_cast<answer_reader*>(parser->data);
}

}  // namespace

void set_error(vemx::devinfo::devinfo_t& answer, const char* text) {
    answer.set_str("_error_", text);
}

answer_reader::answer_reader() {
    http_parser_init(&parser_, HTTP_RESPONSE);
    parser_.data = this;
}

int answer_reader::on_message_begin(http_parser* parser) {
    self(parser).status_.clear();
    self(parser).body_.clear();
    return 0;
}

int answer_reader::on_status(http_parser* parser, const char* at, size_t length) {
    self(parser).status_.append(at, length);
    return 0;
}

int answer_reader::on_body(http_parser* parser, const char* at, size_t length) {
    auto& r = self(parser);
    if (length > kMaxBody - r.body_.size()) {
        r.too_large_ = true;
        return 1;
    }
    r.body_.append(at, length);
    return 0;
}

int answer_reader::on_message_complete(http_parser* parser) {
    self(parser).complete_ = true;
    return 0;
}

bool answer_reader::feed(const char* data, size_t size, vemx::devinfo::devinfo_t& answer) {
    using vemx::frame::LogPrint;
    const size_t used = http_parser_execute(&parser_, &settings(), data, size);
    if (too_large_) {
        LogPrint(kError, "answer body larger than %zu bytes", kMaxBody);
        set_error(answer, "answer too large");
        return true;
    }
    if (parser_.upgrade) {
        LogPrint(kError, "HTTP upgrade, not support");
        set_error(answer, "HTTP upgrade is not supported");
        return true;
    }
    if (used != size) {
        LogPrint(kError, "http_parser_execute() failed, %d != %d", static_cast<int>(used),
                 static_cast<int>(size));
        set_error(answer, "HTTP parse failed");
        return true;
    }
    if (!complete_) return false;
    if (parser_.status_code == 200) {
        if (!vemx::devinfo_json::fill_from_json(answer, body_)) {
            LogPrint(kError, "invalid JSON format");
            set_error(answer, "invalid JSON format");
        }
        return true;
    }
    LogPrint(kError, "HTTP status code %d, %s", static_cast<int>(parser_.status_code),
             status_.c_str());
    set_error(answer, "unexpected HTTP status code");
    return true;
}

}  // namespace vemx_dev_detail::http_answer
