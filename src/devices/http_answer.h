#pragma once
// A device's HTTP answer, read as it arrives, and what it turns into: the
// members of a 200 answer's JSON object, or "_error_" naming what went wrong.
#include <http_parser.h>

#include <cstddef>
#include <string>

#include "devices/devinfo.h"

namespace vemx_dev_detail::http_answer {

// Bodies beyond this end the request: a hostile device cannot make the
// client hold more.
inline constexpr size_t kMaxBody = size_t{1} << 20;

class answer_reader {
  public:
    answer_reader();
    answer_reader(const answer_reader&) = delete;
    answer_reader& operator=(const answer_reader&) = delete;

    // Feeds received bytes.  True once the answer is settled: `answer` then
    // holds the JSON members or "_error_", and the request is over.
    bool feed(const char* data, size_t size, vemx::devinfo::devinfo_t& answer);

    // http-parser's callbacks; parser->data is the reader.
    static int on_message_begin(http_parser* parser);
    static int on_status(http_parser* parser, const char* at, size_t length);
    static int on_body(http_parser* parser, const char* at, size_t length);
    static int on_message_complete(http_parser* parser);

  private:
    http_parser parser_;
    std::string status_;
    std::string body_;
    bool complete_ = false;
    bool too_large_ = false;
};

// Ends a request with "_error_" = text.
void set_error(vemx::devinfo::devinfo_t& answer, const char* text);

}  // namespace vemx_dev_detail::http_answer
