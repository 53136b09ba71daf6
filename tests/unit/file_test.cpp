// file!: its mold, the path handed to the OS, and the file actions forwarded to the simple
// file I/O.
#include <unistd.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>

#include "runtime/exits.h"
#include "tests/unit/text_types_fixture.h"

namespace kel::testing {
namespace {

using File = TextTypesTest;

std::string cwd() {
    char dir[PATH_MAX];
    return getcwd(dir, sizeof dir) ? dir : "";
}

TEST_F(File, Mold) {
    struct row {
        const char* text;
        const char* molded;
    } rows[] = {
        {"", "%\"\""},
        {"a.txt", "%a.txt"},
        {"a b", "%\"a b\""},
        {"é", "%é"},
        {"say\"hi\"", "%\"say^(22)hi^(22)\""},
        {"dir/sub/", "%dir/sub/"},
        {"a;b", "%\"a;b\""},
        {"a\tb", "%\"a^-b\""},
        {"x^y", "%\"x^^y\""},
        {"50%", "%\"50%\""},
        {"#~!$&", "%#~!$&"},
        {"a@b", "%\"a@b\""},
        {"a:b", "%\"a:b\""},
        {"(a)", "%\"(a)\""},
        {"a\x7F", "%a\x7F"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(molded(str(r.text, TYPE_FILE)), r.molded);
        EXPECT_EQ(formed(str(r.text, TYPE_FILE)), r.text);
    }
    cell* proto = stack::push_cell();
    *proto = cell{TYPE_DATATYPE, TYPE_FILE, 0, 0};
    EXPECT_EQ(molded(to_dispatch(proto, str("a b"), TYPE_FILE)), "%\"a b\"");
    // Only the url! type builds a locator from a block.
    EXPECT_EQ(molded(to_dispatch(proto, block_of({str("a"), str("b")}), TYPE_FILE)), "%ab");
}

TEST_F(File, MoldPartAndHead) {
    struct row {
        const char* text;
        int32_t part;
        const char* molded;
        int32_t left;
    } rows[] = {
        {"a b c", 1, "%a", -1},
        {"a b c", 3, "%\"a b\"", -3},
        {"abc", 10, "%abc", 6},
        {"abc", -2, "%\"\"", -5},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.molded);
        int32_t left = 0;
        EXPECT_EQ(molded_part(str(r.text, TYPE_FILE), r.part, &left), r.molded);
        EXPECT_EQ(left, r.left);
    }
    cell* moved = str("ab cd", TYPE_FILE);
    moved->w1 = 3;
    EXPECT_EQ(molded(moved), "%cd");
    moved->w1 = 9;
    EXPECT_EQ(molded(moved), "%\"\"");
}

TEST_F(File, LocalPathIsThePosixPath) {
    std::string here = cwd();
    ASSERT_FALSE(here.empty());
    if (here.back() != '/') here += '/';
    struct row {
        const char* text;
        bool full;
        std::string local;
    } rows[] = {
        {"/c/Users/", false, "/c/Users/"},
        {"/c", true, "/c"},
        {"//server/share", false, "//server/share"},
        {"dir/sub", false, "dir/sub"},
        {"dir/sub", true, here + "dir/sub"},
        {"", true, here},
        {"a\\b", false, "a\\b"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.local);
        cell* destination = string::make_at(stack::push_cell(), 4);
        file::to_local_path(str(r.text, TYPE_FILE), destination, r.full);
        EXPECT_EQ(utf8(destination), r.local);
    }
}

TEST_F(File, OSPathRefusesANul) {
    EXPECT_STREQ(file::to_OS_path(str("dir/é.txt", TYPE_FILE)), "dir/é.txt");
    cell* embedded = str(std::string("a\0b", 3), TYPE_FILE);
    EXPECT_EQ(raised_code([&] { file::to_OS_path(embedded); }), code_of(access_error::cannot_open));
}

TEST_F(File, CurrentDirEndsWithOneSlash) {
    std::string here = cwd();
    ASSERT_EQ(chdir("/"), 0);
    std::string root = utf8(file::get_current_dir());
    ASSERT_EQ(chdir(here.c_str()), 0);
    EXPECT_EQ(root, "/");
    cell* dir = file::get_current_dir();
    EXPECT_EQ(TYPE_OF(dir), TYPE_STRING);
    EXPECT_EQ(utf8(dir), here == "/" ? here : here + "/");
}

TEST_F(File, LoadMakesAFile) {
    const char* text = "dir/é";
    cell* loaded = file::load(reinterpret_cast<const uint8_t*>(text), std::strlen(text), 0);
    EXPECT_EQ(TYPE_OF(loaded), TYPE_FILE);
    EXPECT_EQ(molded(loaded), "%dir/é");
}

// A simple file I/O stand-in that records what reached it.
std::string call;
const cell* fake_read(cell*, cell* part, cell* seek, bool binary, bool) {
    call = std::string("read") + (part ? " part" : "") + (seek ? " seek" : "") + (binary ? " binary" : "");
    return &none_value;
}
const cell* fake_write(cell*, cell*, cell* part, cell*, bool, bool append, bool) {
    call = std::string("write") + (part ? " part" : "") + (append ? " append" : "");
    return &none_value;
}
bool fake_delete(cell*) {
    call = "delete";
    return true;
}
const cell* fake_query(cell*) {
    call = "query";
    return &none_value;
}
bool fake_rename(cell*, cell*) {
    call = "rename";
    return false;
}

TEST_F(File, ActionsForwardToTheFileServices) {
    cell* f = str("a.txt", TYPE_FILE);
    cell* g = str("b.txt", TYPE_FILE);
    cell* n = num(1);
    struct row {
        std::function<const cell*()> run;
        const char* call;
        const cell* result;
        uint32_t error;
    } rows[] = {
        {[&] { return act<ACT_READ>(f, nullptr, nullptr, false, false, false, nullptr); }, "read", &none_value, 0},
        {[&] { return act<ACT_READ>(f, n, n, true, false, true, nullptr); }, "read part seek binary", &none_value, 0},
        {[&] { return act<ACT_READ>(f, nullptr, nullptr, false, false, false, n); }, "", nullptr,
         code_of(internal_error::not_done)},
        {[&] { return act<ACT_WRITE>(f, g, false, false, false, true, n, nullptr, nullptr, nullptr); },
         "write part append", &none_value, 0},
        {[&] { return act<ACT_WRITE>(f, g, false, false, false, false, nullptr, nullptr, n, nullptr); }, "",
         nullptr, code_of(internal_error::not_done)},
        {[&] { return act<ACT_WRITE>(f, g, false, false, false, false, nullptr, nullptr, nullptr, n); }, "",
         nullptr, code_of(internal_error::not_done)},
        {[&] { return act<ACT_DELETE>(f); }, "delete", &true_value, 0},
        {[&] { return act<ACT_QUERY>(f); }, "query", &none_value, 0},
        {[&] { return act<ACT_RENAME>(f, g); }, "rename", &false_value, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(&r - rows);
        file::simple_io = {};
        if (!r.error) {
            EXPECT_EQ(raised_code(r.run), code_of(internal_error::feature_na));
        }
        file::simple_io = {fake_read, fake_write, fake_delete, fake_query, fake_rename};
        call.clear();
        const cell* result = nullptr;
        EXPECT_EQ(raised_code([&] { result = r.run(); }), r.error);
        EXPECT_EQ(call, r.call);
        EXPECT_EQ(result, r.result);
    }
}

}  // namespace
}  // namespace kel::testing
