// The device record: conversions between cell kinds, the text buffer rule,
// and the JSON forms that requests and answers take.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "devices/devinfo.h"
#include "devices/devinfo_json.h"
#include "vemx/vemx.h"

namespace {

using vemx::devinfo::cell_t;
using Cells = std::unordered_map<std::string, cell_t>;

struct Record {
    Record() : h(vemx_devinfo_new()) {}
    ~Record() { vemx_devinfo_release(h); }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    vemx::devinfo::devinfo_t& obj() { return *vemx::devinfo::from_handle(h); }
    void* h;
};

std::string get_str(void* h, const char* key, size_t capacity, size_t* size_out = nullptr) {
    std::string buf(capacity, '\x7f');
    size_t size = capacity;
    vemx_devinfo_get_str(h, key, buf.data(), &size);
    if (size_out) *size_out = size;
    return buf.c_str();
}

TEST(DevInfo, EveryStoredKindReadsAsEveryKind) {
    struct Row {
        const char* what;
        void (*set)(void* h);
        int32_t as_int;
        double as_double;
        const char* as_text;
    };
    const Row rows[] = {
        {"nothing", [](void*) {}, 0, 0.0, ""},
        {"int", [](void* h) { vemx_devinfo_set_i(h, "k", -7); }, -7, -7.0, "-7"},
        {"int max", [](void* h) { vemx_devinfo_set_i(h, "k", INT32_MAX); }, INT32_MAX, 2147483647.0,
         "2147483647"},
        {"double", [](void* h) { vemx_devinfo_set_d(h, "k", 2.5); }, 2, 2.5, "2.500000"},
        {"negative double", [](void* h) { vemx_devinfo_set_d(h, "k", -2.5); }, -2, -2.5,
         "-2.500000"},
        {"double at the low limit", [](void* h) { vemx_devinfo_set_d(h, "k", -2147483648.9); },
         INT32_MIN, -2147483648.9, "-2147483648.900000"},
        {"double too large", [](void* h) { vemx_devinfo_set_d(h, "k", 3e9); }, INT32_MIN, 3e9,
         "3000000000.000000"},
        {"NaN", [](void* h) { vemx_devinfo_set_d(h, "k", NAN); }, INT32_MIN, NAN, "nan"},
        {"huge double", [](void* h) { vemx_devinfo_set_d(h, "k", -1e300); }, INT32_MIN, -1e300,
         nullptr},
        {"number text", [](void* h) { vemx_devinfo_set_str(h, "k", "42abc"); }, 42, 42.0, "42abc"},
        {"spaced signed text", [](void* h) { vemx_devinfo_set_str(h, "k", " \t-17.5e1x"); }, -17,
         -175.0, " \t-17.5e1x"},
        {"plain text", [](void* h) { vemx_devinfo_set_str(h, "k", "abc"); }, 0, 0.0, "abc"},
        {"text beyond int", [](void* h) { vemx_devinfo_set_str(h, "k", "99999999999"); }, INT32_MAX,
         99999999999.0, "99999999999"},
        {"text below int", [](void* h) { vemx_devinfo_set_str(h, "k", "-99999999999"); }, INT32_MIN,
         -99999999999.0, "-99999999999"},
        {"null text", [](void* h) { vemx_devinfo_set_str(h, "k", nullptr); }, 0, 0.0, ""},
        {"overwritten",
         [](void* h) {
             vemx_devinfo_set_str(h, "k", "long text first");
             vemx_devinfo_set_i(h, "k", 5);
         },
         5, 5.0, "5"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Record r;
        row.set(r.h);
        int32_t i = 12345;
        double d = 12345;
        vemx_devinfo_get_i(r.h, "k", &i);
        vemx_devinfo_get_d(r.h, "k", &d);
        EXPECT_EQ(i, row.as_int);
        if (std::isnan(row.as_double)) {
            EXPECT_TRUE(std::isnan(d));
        } else {
            EXPECT_EQ(d, row.as_double);
        }
        const std::string text = get_str(r.h, "k", 512);
        if (row.as_text) {
            EXPECT_EQ(text, row.as_text);
        } else {
            EXPECT_EQ(text.size(), 309u);  // sign, 301 digits, point, six decimals
        }
    }
}

TEST(DevInfo, TextBufferTakesWholeTextOrCutsAndKeepsTheSize) {
    Record r;
    vemx_devinfo_set_i(r.h, "seven", 7);
    vemx_devinfo_set_str(r.h, "hello", "hello");
    size_t size = 0;
    EXPECT_EQ(get_str(r.h, "seven", 16, &size), "7");
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(get_str(r.h, "seven", 1, &size), "");
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(get_str(r.h, "hello", 4, &size), "hel");
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(get_str(r.h, "hello", 6, &size), "hello");
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(get_str(r.h, "missing", 8, &size), "");
    EXPECT_EQ(size, 1u);
    // Nothing is written past the capacity.
    char buf[4] = {'a', 'b', 'c', 'd'};
    size = 2;
    vemx_devinfo_get_str(r.h, "hello", buf, &size);
    EXPECT_EQ(std::string(buf, 4), std::string("h\0cd", 4));
}

TEST(DevInfoJson, AnswersFillOnlyTheOutermostScalars) {
    struct Row {
        const char* what;
        std::string json;
        bool valid;
        Cells cells;
    };
    const Row rows[] = {
        {"nested and arrays",
         R"({"a":1,"b":{"c":2},"d":[3,4],"e":-5,"f":"x"})",
         true,
         {{"a", 1.0}, {"d", 4.0}, {"e", int32_t{-5}}, {"f", std::string("x")}}},
        {"literals",
         R"( {"n":null,"t":true,"f":false} )",
         true,
         {{"n", int32_t{0}}, {"t", int32_t{1}}, {"f", int32_t{0}}}},
        {"numbers",
         R"({"min":-2147483648,"below":-2147483649,"zero":0,"max":2147483647,"u32":4294967295,)"
         R"("big":18446744073709551615,"frac":-0.25,"exp":1E3,"tiny":5e-324,"huge":1e308})",
         true,
         {{"min", int32_t{INT32_MIN}},
          {"below", -2147483649.0},
          {"zero", 0.0},
          {"max", 2147483647.0},
          {"u32", 4294967295.0},
          {"big", 18446744073709551615.0},
          {"frac", -0.25},
          {"exp", 1000.0},
          {"tiny", 5e-324},
          {"huge", 1e308}}},
        {"escapes",
         R"({"q":"a\"b\\c\/\n\u00e9\ud83d\ude00","k\u0041":"v","cut":"x\u0000y"})",
         true,
         {{"q", std::string("a\"b\\c/\n\xc3\xa9\xf0\x9f\x98\x80")},
          {"kA", std::string("v")},
          {"cut", std::string("x")}}},
        {"empty key stores nothing", R"({"":1,"a":[],"b":[{}]})", true, {}},
        {"array root", "[1,2,[3]]", true, {}},
        {"scalar root", "\"text\"", true, {}},
        {"last member wins", R"({"a":1,"a":"two"})", true, {{"a", std::string("two")}}},
        {"empty", "", false, {}},
        {"trailing garbage keeps what was read", R"({"a":1}x)", false, {{"a", 1.0}}},
        {"cut short", R"({"a":1,"b":)", false, {{"a", 1.0}}},
        {"NUL after the value", std::string("{}\0x", 4), false, {}},
        {"deep nesting", std::string(200000, '[') + std::string(200000, ']'), true, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Record r;
        EXPECT_EQ(vemx::devinfo_json::fill_from_json(r.obj(), row.json), row.valid);
        EXPECT_EQ(r.obj().cells(), row.cells);
    }
}

TEST(DevInfoJson, RequestBodyPutsTheNonceFirstAndWritesEveryKind) {
    Record r;
    vemx_devinfo_set_i(r.h, "i", -3);
    vemx_devinfo_set_d(r.h, "d", 2.5);
    vemx_devinfo_set_d(r.h, "inf", INFINITY);
    vemx_devinfo_set_str(r.h, "s", "q\"\n");
    int32_t unused;  // a getter leaves the key it asked for behind as null
    vemx_devinfo_get_i(r.h, "none", &unused);
    const std::map<std::string, std::string> member = {{"i", R"("i":-3)"},
                                                       {"d", R"("d":2.500000)"},
                                                       {"inf", R"("inf":null)"},
                                                       {"s", R"("s":"q\"\n")"},
                                                       {"none", R"("none":null)"}};
    std::string expected = R"({"xedaid":"0A1B")";
    for (const auto& [key, cell] : r.obj().cells()) expected += "," + member.at(key);
    EXPECT_EQ(vemx::devinfo_json::request_body(r.obj(), "0A1B"), expected + "}");
}

TEST(DevInfoJson, NonceIsMagicMarkedHexOfVaryingLength) {
    static const char kMagic[] = "XEDA";
    std::set<size_t> lengths;
    for (int n = 0; n < 400; ++n) {
        const std::string nonce = vemx::devinfo_json::make_nonce();
        ASSERT_TRUE(nonce.size() % 2 == 0 && nonce.size() >= 16 && nonce.size() <= 46) << nonce;
        ASSERT_EQ(nonce.find_first_not_of("0123456789ABCDEF"), std::string::npos) << nonce;
        lengths.insert(nonce.size());
        for (size_t i = 0; i < nonce.size() / 2; ++i) {
            const auto byte = static_cast<uint8_t>(std::stoi(nonce.substr(2 * i, 2), nullptr, 16));
            ASSERT_EQ(byte | static_cast<uint8_t>(kMagic[i % 4]), byte) << nonce;
        }
    }
    EXPECT_GT(lengths.size(), 10u);
}

}  // namespace
