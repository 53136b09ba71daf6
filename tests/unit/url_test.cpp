// url!: escapes, locators built from blocks, path access, and requests forwarded to the
// HTTP service or a port.
#include <algorithm>
#include <cstring>
#include <vector>

#include "tests/unit/text_types_fixture.h"

namespace kel::testing {
namespace {

using Url = TextTypesTest;

TEST_F(Url, EscapeTables) {
    const char* strict_kept = "-._~";
    const char* general_marks = " \"%;<>[\\]^`{|}";
    for (uint32_t b = 0; b < 256; b++) {
        SCOPED_TRACE(b);
        bool control = b < 0x20 || b >= 0x7F;
        bool alnum = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
        bool kept = alnum || (b && std::strchr(strict_kept, static_cast<int>(b)));
        bool marked = b && std::strchr(general_marks, static_cast<int>(b));
        EXPECT_EQ(url::escaped_q(url::ESCAPE_STRICT, static_cast<uint8_t>(b)), !kept);
        EXPECT_EQ(url::escaped_q(0, static_cast<uint8_t>(b)), control || marked);
    }
}

TEST_F(Url, EncodeStringByMode) {
    struct row {
        const char* text;
        uint32_t mode;
        const char* encoded;
    } rows[] = {
        {"a b/c~é", url::ESCAPE_STRICT, "a%20b%2Fc~%C3%A9"},
        {"a b/c~é", 255, "a%20b/c~%C3%A9"},
        {"k=v&w?#", url::ESCAPE_STRICT, "k%3Dv%26w%3F%23"},
        {"k=v&w?#", 255, "k=v&w?#"},
        {"100%\t€", 255, "100%25%09%E2%82%AC"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        cell* target = string::make_at(stack::push_cell(), 4);
        url::encode_string(str(r.text), target, r.mode);
        EXPECT_EQ(utf8(target), r.encoded);
    }
}

TEST_F(Url, DecodeString) {
    struct row {
        const char* text;
        const char* decoded;
    } rows[] = {
        {"%41%42", "AB"},
        {"%C3%A9", "é"},
        {"%e2%82%ac!", "€!"},
        {"%F0%9F%98%80", "😀"},
        {"100%", "100%"},
        {"%4", "%4"},
        {"%zz%2", "%zz%2"},
        {"a%20é%20b", "a é b"},
        // A lead byte without its continuation stays a character of its own value.
        {"%C3", "Ã"},
        {"%C3%41", "ÃA"},
        {"%E2%82", "â\u0082"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        cell* target = string::make_at(stack::push_cell(), 4);
        url::decode_string(str(r.text), target);
        EXPECT_EQ(utf8(target), r.decoded);
    }
    cell* loaded = url::load_decoded(reinterpret_cast<const uint8_t*>("x%2Fy%20é"), std::strlen("x%2Fy%20é"));
    EXPECT_EQ(TYPE_OF(loaded), TYPE_STRING);
    EXPECT_EQ(utf8(loaded), "x/y é");
}

TEST_F(Url, MoldEscapesWithoutSigil) {
    struct row {
        const char* text;
        const char* molded;
    } rows[] = {
        {"http://host/a b", "http://host/a%20b"},
        {"http://host/é", "http://host/%C3%A9"},
        {"http://h/?q=1&r=#x", "http://h/?q=1&r=#x"},
        {"a%b<c>\x7F", "a%25b%3Cc%3E%7F"},
        {"|é>:x/|é>", "|é>:x/%7C%C3%A9%3E"},
        {"", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        cell* u = str(r.text, TYPE_URL);
        EXPECT_EQ(molded(u), r.molded);
        EXPECT_EQ(formed(u), r.text);
    }
    int32_t left = 0;
    EXPECT_EQ(molded_part(str("a b c", TYPE_URL), 4, &left), "a%20");
    EXPECT_EQ(left, 0);
    EXPECT_EQ(molded_part(str("a b c", TYPE_URL), 2, &left), "a%");
    EXPECT_EQ(left, 0);
    EXPECT_EQ(molded_part(str("ab", TYPE_URL), 10, &left), "ab");
    EXPECT_EQ(left, 8);
}

TEST_F(Url, ToFromABlockOfParts) {
    cell proto{TYPE_DATATYPE, TYPE_URL, 0, 0};
    cell* scheme = word_of("scheme");
    cell* host = word_of("host");
    cell* port = num(8080);
    cell* a = word_of("a");
    cell* b = word_of("b");
    cell* frag = issue_of("frag");
    cell* spaced = str("p q");
    struct row {
        std::vector<const cell*> parts;
        const char* molded;
    } rows[] = {
        {{scheme, host, port, a, b}, "scheme://host:8080/a/b"},
        {{scheme, host, port}, "scheme://host:8080"},
        {{scheme, host, a, frag}, "scheme://host/a#frag"},
        {{scheme, host, frag}, "scheme://host#frag"},
        {{scheme, host, a, port}, "scheme://host/a/8080"},
        {{scheme, host}, "scheme://host"},
        {{scheme}, "scheme://"},
        {{scheme, host, spaced}, "scheme://host/p%20q"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.molded);
        cell* block = block_of(r.parts);
        cell* made = stack::push(to_dispatch(&proto, block, TYPE_URL));
        EXPECT_EQ(TYPE_OF(made), TYPE_URL);
        EXPECT_EQ(molded(made), r.molded);
        set_type(block, TYPE_PAREN);
        EXPECT_EQ(molded(make_dispatch(&proto, block, TYPE_URL)), r.molded);
    }
    cell* empty = block_of({});
    EXPECT_EQ(raised_code([&] { to_dispatch(&proto, empty, TYPE_URL); }), code_of(script_error::bad_to_arg));
    // Any other spec is the string conversion.
    EXPECT_EQ(molded(to_dispatch(&proto, str("a b"), TYPE_URL)), "a%20b");
    const cell* sized = make_dispatch(&proto, num(10), TYPE_URL);
    EXPECT_EQ(TYPE_OF(sized), TYPE_URL);
    EXPECT_EQ(string::ks_length(sized), 0u);
}

TEST_F(Url, PathAccessAppendsASegment) {
    cell* b = word_of("b");
    cell* slash_b = str("/b");
    cell* c = str("c");
    set_global("x", c);
    cell* x = word_of("x", TYPE_GET_WORD);
    cell* one = num(1);
    struct row {
        const char* locator;
        uint32_t type;
        const cell* selector;
        const char* molded;
    } rows[] = {
        {"http://a/", TYPE_URL, b, "http://a/b"},
        {"http://a/", TYPE_URL, slash_b, "http://a/b"},
        {"http://a", TYPE_URL, b, "http://a/b"},
        {"http://a", TYPE_URL, slash_b, "http://a/b"},
        {"http://a/", TYPE_URL, x, "http://a/c"},
        {"http://a/", TYPE_URL, one, "http://a/1"},
        {"dir/", TYPE_FILE, b, "%dir/b"},
        {"", TYPE_FILE, b, "%/b"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.molded);
        cell* locator = str(r.locator, r.type);
        cell* selector = stack::push(r.selector);
        const cell* result = act<ACT_EVAL_PATH>(locator, selector, nullptr, nullptr, nullptr, nullptr,
                                                0, false, false, false, false);
        EXPECT_EQ(TYPE_OF(result), r.type);
        EXPECT_EQ(molded(result), r.molded);
        EXPECT_EQ(utf8(locator), r.locator);
    }
    cell* locator = str("http://a/", TYPE_URL);
    EXPECT_EQ(raised_code([&] {
                  act<ACT_EVAL_PATH>(locator, b, c, nullptr, nullptr, nullptr, 0, false, false, false, false);
              }),
              code_of(script_error::bad_path_set));
}

// What the fake HTTP service saw.
struct request_seen {
    std::string method;
    uint32_t headers = 0;
    uint32_t body = 0;
    bool info = false;
    int calls = 0;
};
request_seen seen;
bool respond = true;

const cell* fake_read_url(cell* method, cell*, cell* headers, cell* body, bool, bool, bool info) {
    seen = {symbol::name_c_string(method->w2), TYPE_OF(headers), TYPE_OF(body), info, seen.calls + 1};
    return respond ? &true_value : &none_value;
}

TEST_F(Url, HttpReadGoesToTheService) {
    cell* locator = str("http://host/x", TYPE_URL);
    EXPECT_EQ(raised_code([&] { url::read(locator, nullptr, nullptr, false, false, false, nullptr); }),
              code_of(internal_error::feature_na));
    url::hooks.read_url = fake_read_url;
    respond = true;
    EXPECT_EQ(url::read(locator, nullptr, nullptr, false, false, true, nullptr), &true_value);
    EXPECT_EQ(seen.method, "get");
    EXPECT_EQ(seen.headers, TYPE_NONE);
    EXPECT_EQ(seen.body, TYPE_NONE);
    EXPECT_TRUE(seen.info);
    cell* given = num(1);
    for (int refinement = 0; refinement < 3; refinement++) {
        EXPECT_EQ(raised_code([&] {
                      url::read(locator, refinement == 0 ? given : nullptr, refinement == 1 ? given : nullptr,
                                false, false, false, refinement == 2 ? given : nullptr);
                  }),
                  code_of(internal_error::not_done));
    }
    respond = false;
    EXPECT_EQ(raised_code([&] { url::read(locator, nullptr, nullptr, false, false, false, nullptr); }),
              code_of(access_error::no_connect));
}

TEST_F(Url, HttpWriteDataDecidesTheRequest) {
    url::hooks.read_url = fake_read_url;
    respond = true;
    cell* locator = str("http://host/x", TYPE_URL);
    cell* put = word_of("put");
    cell* headers = block_of({});
    cell* body = str("b");
    cell* n = num(5);
    struct row {
        std::vector<const cell*> block;  // empty with data: the data itself
        const cell* data;
        const char* method;
        uint32_t headers;
        uint32_t body;
        uint32_t error;
    } rows[] = {
        {{}, body, "post", TYPE_NONE, TYPE_STRING, 0},
        {{}, headers, "get", TYPE_NONE, TYPE_NONE, 0},
        {{put}, nullptr, "put", TYPE_NONE, TYPE_NONE, 0},
        {{put, headers, body}, nullptr, "put", TYPE_BLOCK, TYPE_STRING, 0},
        {{put, headers, headers}, nullptr, "put", TYPE_BLOCK, TYPE_BLOCK, 0},
        {{n}, nullptr, "", 0, 0, code_of(script_error::invalid_arg)},
        {{put, n}, nullptr, "", 0, 0, code_of(script_error::invalid_arg)},
        {{put, headers, n}, nullptr, "", 0, 0, code_of(script_error::invalid_arg)},
        {{}, n, "", 0, 0, code_of(script_error::invalid_arg)},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(&r - rows);
        cell* data = r.data ? stack::push(r.data) : block_of(r.block);
        int calls = seen.calls;
        uint32_t error = raised_code([&] {
            url::write(locator, data, false, false, false, false, nullptr, nullptr, nullptr, nullptr);
        });
        EXPECT_EQ(error, r.error);
        if (r.error) {
            EXPECT_EQ(seen.calls, calls);
            continue;
        }
        EXPECT_EQ(seen.method, r.method);
        EXPECT_EQ(seen.headers, r.headers);
        EXPECT_EQ(seen.body, r.body);
    }
    EXPECT_EQ(raised_code([&] {
                  url::write(locator, body, false, false, false, false, nullptr, n, nullptr, nullptr);
              }),
              code_of(internal_error::not_done));
}

// A port! stand-in: make answers a port cell, read and write record the port they get.
cell parsed{TYPE_NONE, 0, 0, 0};
uint32_t port_calls = 0;
const cell* fake_parse_url(cell*) { return &parsed; }
const cell* fake_port_make(cell*, cell* spec, uint32_t type) {
    static cell port;
    port = cell{type, 0, spec->w2, 0};
    return &port;
}
const cell* fake_port_open(cell* port, bool, bool, bool, bool, cell*) {
    port_calls = port_calls * 10 + 1;
    return port;
}
const cell* fake_port_read(cell* port, cell*, cell*, bool, bool, bool, cell*) {
    port_calls = port_calls * 10 + 2;
    return port;
}

TEST_F(Url, OtherLocatorsGoThroughAPort) {
    cell* locator = str("ftp://host/x", TYPE_URL);
    auto read = [&] { return url::read(locator, nullptr, nullptr, false, false, false, nullptr); };
    EXPECT_EQ(raised_code(read), code_of(internal_error::feature_na));
    url::hooks.parse_url = fake_parse_url;
    EXPECT_EQ(raised_code(read), code_of(script_error::invalid_arg));
    parsed = cell{TYPE_OBJECT, 0, 42, 0};
    EXPECT_EQ(raised_code(read), code_of(internal_error::feature_na));

    action_entry* row = &type_actions[TYPE_PORT * TYPE_ROW];
    std::vector<action_entry> saved(row, row + TYPE_ROW);
    row[ACT_MAKE - 1] = entry<ACT_MAKE>(fake_port_make);
    row[ACT_OPEN - 1] = entry<ACT_OPEN>(fake_port_open);
    row[ACT_READ - 1] = entry<ACT_READ>(fake_port_read);
    port_calls = 0;
    const cell* port = read();
    EXPECT_EQ(TYPE_OF(port), TYPE_PORT);
    EXPECT_EQ(port->w2, 42u);
    EXPECT_EQ(port_calls, 2u);
    port_calls = 0;
    port = url::open(locator, false, true, false, false, nullptr);
    EXPECT_EQ(TYPE_OF(port), TYPE_PORT);
    EXPECT_EQ(port_calls, 1u);
    std::copy(saved.begin(), saved.end(), row);
}

TEST_F(Url, RegistrationRows) {
    struct row {
        uint32_t type;
        uint32_t slot;
        bool filled;
    } rows[] = {
        {TYPE_URL, ACT_OPEN, true},    {TYPE_FILE, ACT_OPEN, false},   {TYPE_URL, ACT_REFLECT, false},
        {TYPE_URL, ACT_TRIM, false},   {TYPE_URL, ACT_PUT, false},     {TYPE_FILE, ACT_DELETE, true},
        {TYPE_URL, ACT_DELETE, false}, {TYPE_TAG, ACT_FIND, true}   ,  {TYPE_TAG, ACT_TRIM, false},
        {TYPE_EMAIL, ACT_TRIM, false}, {TYPE_REF, ACT_TRIM, true},     {TYPE_REF, ACT_RANDOM, true},
        {TYPE_TAG, ACT_RANDOM, false}, {TYPE_FILE, ACT_APPEND, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.type * 100 + r.slot);
        EXPECT_EQ(type_action(r.type, r.slot) != nullptr, r.filled);
    }
    // Inherited entries are the parent's own.
    EXPECT_EQ(type_action(TYPE_FILE, ACT_TO), type_action(TYPE_URL, ACT_TO));
    EXPECT_EQ(type_action(TYPE_FILE, ACT_EVAL_PATH), type_action(TYPE_URL, ACT_EVAL_PATH));
    EXPECT_EQ(type_action(TYPE_URL, ACT_FORM), type_action(TYPE_STRING, ACT_FORM));
    EXPECT_STREQ(type_names[TYPE_FILE].name, "file!");
    EXPECT_STREQ(type_names[TYPE_URL].name, "url!");
}

}  // namespace
}  // namespace kel::testing
