// Kel functions watching and steering the lexer through its events.
#include <cstring>
#include <string>

#include "datatypes/binary.h"
#include "datatypes/lexer_callback.h"
#include "datatypes/pair.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "tests/unit/interp_fixture.h"

namespace kel {
namespace {

using testing::raised_code;

class LexerCallbackTest : public testing::InterpTest {
protected:
    void SetUp() override {
        InterpTest::SetUp();
        pair::init();
        binary::init();
        lexer_callback_init();
        define_native("either", "[cond true-blk [block!] false-blk [block!]]", 3);
        define_native("equal?", "[value1 value2]", 25);
        define_op("=", "equal?");
        // Stands in for transcode: the text scanned again under a callback.
        native_entries[105] = stand_in_scan;
        define_native("scan", "[text [string!] callback]", 106);
        run("log: make block! 10");
    }

    static int32_t stand_in_scan(bool, const int32_t*) {
        cell* base = stack::arguments;
        cell* out = stack::push_cell();
        transcode_string(out, base, -1, false, true, true, true, nullptr, base + 1,
                         lexer_callback_events(base + 1));
        *base = *out;
        stack::top = base + 1;
        return 0;
    }

    static cell* global(const char* name) {
        cell w = word::load(name);
        return stack::push(_context::get(&w));
    }

    // A callback of the usual spec with the body given, pushed.
    static cell* callback(const std::string& body) {
        EXPECT_EQ(run("cb: make function! [[event input type line token] [" + body + "]] 0"), "0");
        return global("cb");
    }

    // The text scanned under the callback, molded.
    static std::string scan(const std::string& text, const cell* cb) {
        cell* src = load_string_push(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 0);
        cell* out = stack::push_cell();
        transcode_string(out, src, -1, false, true, true, true, nullptr, cb,
                         lexer_callback_events(cb));
        return molded(out);
    }

    // Each event's arguments as the callback logged them: "event index type line token".
    static std::string logged() {
        cell* log = global("log");
        std::string text;
        for (int32_t i = 0; i + 5 <= block::ks_length_q(log); i += 5) {
            const cell* e = block::ks_head(log) + i;
            text += formed(e) + " " + std::to_string(series_head(e + 1)) + " " + molded(e + 2) +
                    " " + molded(e + 3) + " " + molded(e + 4) + "\n";
            e = block::ks_head(log) + i;
        }
        return text;
    }
};

constexpr const char* LOG_ALL =
    "append/only log event append/only log input append/only log type "
    "append/only log line append/only log token true";

TEST_F(LexerCallbackTest, EventsArriveInOrderWithTheirArguments) {
    // Indexes count characters: the comment holds a two-byte one.
    EXPECT_EQ(scan(";\xC3\xA9\na [1]", callback(LOG_ALL)), "[\n    a [1]\n]");
    // The input stands at the token's end, at its start for open and for an untyped
    // prescan; a type-less token is named by its class.
    EXPECT_EQ(logged(),
              "prescan 0 comment 1 1x3\n"
              "scan 2 comment 1 1x3\n"
              "prescan 4 word! 2 4x5\n"
              "scan 4 word! 2 4x5\n"
              "load 4 word! 2 a\n"
              "prescan 5 block! 2 6x6\n"
              "open 5 block! 2 6x6\n"
              "prescan 7 integer! 2 7x8\n"
              "scan 7 integer! 2 7x8\n"
              "load 7 integer! 2 1\n"
              "prescan 7 block! 2 8x8\n"
              "close 7 block! 2 8x8\n");
}

TEST_F(LexerCallbackTest, BinarySourcesCountBytesAfterTheByteOrderMark) {
    cell* cb = callback("[load] " + std::string(LOG_ALL));
    const char text[] = "\xEF\xBB\xBF\xC3\xA9 b";
    cell* src = binary::make_at(stack::push_cell(), sizeof text);
    series_buffer* b = node_buffer(series_node(src));
    std::memcpy(b->offset, text, sizeof text - 1);
    b->tail = b->offset + sizeof text - 1;
    cell* out = stack::push_cell();
    transcode_binary(out, src, -1, false, true, true, true, nullptr, cb, lexer_callback_events(cb));
    EXPECT_EQ(logged().substr(logged().find('\n') + 1), "load 7 word! 1 b\n");
}

TEST_F(LexerCallbackTest, AFalseResultSkipsTheStep) {
    struct row {
        const char* body;
        const char* text;
        const char* made;
    };
    const row rows[] = {
        {"[scan] either type = integer! [false] [true]", "a 1 b 2", "[a b]"},
        {"[load] either token = 1 [false] [true]", "a 1 b 2", "[a b 2]"},
        {"[load] either type = string! [false] [true]", "a {s} \"t\" b", "[a b]"},
        {"[load] either token = 'p [false] [true]", "p/q/r p", "[q/r]"},
        {"[prescan] either type = block! [false] [true]", "a [b] c", "[a b c]"},
        {"[open] false", "a (b #[c", "[a b c]"},
        {"[scan load open close prescan] true", "a [b {c}]", "[a [b \"c\"]]"},
        // Filters name only events; other words and an empty filter take none.
        {"[foo] false", "a 1", "[a 1]"},
    };
    for (const row& r : rows) EXPECT_EQ(scan(r.text, callback(r.body)), r.made) << r.body;
}

TEST_F(LexerCallbackTest, AnErrorOnlyCallbackDecidesWhetherTheErrorIsRaised) {
    cell* refuse = callback("[error] append log type false");
    EXPECT_EQ(scan("a [1 1''0 b", refuse), "[a [1]]");
    EXPECT_EQ(molded(global("log")), "[integer!]");
    cell* accept = callback("[error] true");
    EXPECT_EQ(raised_code([&] { scan("a 1''0", accept); }),
              error_code(ERR_SYNTAX, static_cast<uint32_t>(syntax_error::invalid)));
    EXPECT_EQ(lexer_current_state, nullptr);
}

TEST_F(LexerCallbackTest, ExitsFromTheCallbackPassThroughAndUnlinkTheScan) {
    struct row {
        const char* body;
        uint32_t code;
    };
    const row rows[] = {
        {"[load] either token = 2 [1 / 0] [true]", THROW_ERROR},
        // From a scan nested in the callback: both scans are unlinked.
        {"[load] scan \"x y\" :inner", THROW_ERROR},
    };
    run("inner: make function! [[event input type line token] [[load] 1 / 0]] 0");
    for (const row& r : rows) {
        cell* cb = callback(r.body);
        uint32_t code = catch_exit(LEVEL_ALL, [&] { scan("1 [2 3]", cb); });
        EXPECT_EQ(code, r.code) << r.body;
        EXPECT_EQ(lexer_current_state, nullptr) << r.body;
    }
    // A break crosses the scan to the loop around it.
    callback("[load] break");
    EXPECT_EQ(run("loop 1 [scan \"1 [2 3]\" :cb] 0"), "0");
    EXPECT_EQ(lexer_current_state, nullptr);
    EXPECT_EQ(scan("1 [2 3]", callback("[load] true")), "[1 [2 3]]");
}

TEST_F(LexerCallbackTest, ACallbackMovesTheScanThroughItsInput) {
    // After the word a (index 6, in characters), scanning resumes at index 9.
    cell* cb = callback("[load] append log input either token = 'a [input: next next next input] [] true");
    EXPECT_EQ(scan("; \xC3\xA9\xC3\xA9\na xy b", cb), "[\n    a b\n]");
    EXPECT_EQ(series_head(block::ks_head(global("log"))), 6u);
}

// Every allocation of the callback may collect, a nested scan included: the values made
// so far, the source and the output must survive.
TEST_F(LexerCallbackTest, ACallbackThatAllocatesLeavesTheOutputIntact) {
    std::string text;
    for (int i = 0; i < 40; i++)
        text += "[w" + std::to_string(i) + " \"s\" " + std::to_string(i) + " (p q)] ";
    cell* plain = callback("[] true");
    std::string expected = scan(text, plain);
    run("inner: make function! [[event input type line token] [append log make block! 50 true]] 0");
    cell* busy = callback("append log scan \"a [b] c\" :inner loop 3 [append log copy [x y z]] true");
    EXPECT_EQ(scan(text, busy), expected);
    EXPECT_EQ(lexer_current_state, nullptr);
}


}  // namespace
}  // namespace kel
