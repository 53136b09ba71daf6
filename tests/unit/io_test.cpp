// The raw entries of files, the clipboard, OS information and command splitting that the
// routines reach; Kel scripts test the natives and file actions.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>

#include <cstring>
#include <string>
#include <vector>

#include "datatypes/object.h"
#include "datatypes/word.h"
#include "io/clipboard.h"
#include "io/os_info.h"
#include "io/simple_io.h"
#include "platform/files.h"
#include "platform/process.h"
#include "runtime/error_catalog.h"
#include "runtime/unicode.h"
#include "tests/unit/values_fixture.h"

namespace kel::testing {
namespace {

using IO = ValuesTest;

cell* text(const std::string& s, uint32_t type = TYPE_STRING) {
    cell* c = load_string_push(reinterpret_cast<const uint8_t*>(s.data()), s.size(), 0);
    set_type(c, type);
    return c;
}

std::string utf8(cell* value) {
    size_t length = 0;
    const char* bytes = to_utf8(value, -1, &length);
    return {bytes, length};
}

std::string molded_of(cell* value) {
    cell* buffer = string::make_at(stack::push_cell(), 16);
    mold_dispatch(value, buffer, false, false, false, nullptr, INT32_MAX, 0);
    return utf8(buffer);
}

TEST(Platform, FolderPaths) {
    struct row {
        const char* path;
        bool folder;
    } rows[] = {
        {"a/", true}, {"a\\", false}, {".", true},   {"..", true},   {"a/.", true}, {"a\\..", false}, {"a/..", true},
        {"/", true},  {"a", false},   {"a.", false}, {"a..", false}, {".a", false}, {"", false},      {"a/.b", false},
    };
    for (const row& r : rows) EXPECT_EQ(file_path_is_dir(r.path), r.folder) << r.path;
}

TEST(Platform, CommandSplitting) {
    struct row {
        const char* line;
        std::vector<std::string> args;
    } rows[] = {
        {"prog a  b", {"prog", "a", "b"}},
        {"  prog\ta ", {"prog", "a"}},
        {"\"/my dir/prog\" \"two words\"", {"/my dir/prog", "two words"}},
        {"a\"b c\"d", {"a\"b c\"d"}},
        {"\"\" x", {"", "x"}},
        {"\"", {""}},
        {"", {}},
    };
    for (const row& r : rows) EXPECT_EQ(split_command_line(r.line), r.args) << r.line;
}

TEST_F(IO, ClipboardKeepsTextAndFiles) {
    ASSERT_TRUE(clipboard::write(text("héllo")));
    cell* first = clipboard::read();
    EXPECT_EQ(utf8(first), "héllo");
    string::append_char(string::buffer_of(first), '!');
    EXPECT_EQ(utf8(clipboard::read()), "héllo");

    cell* files = block::push_only(2);
    block::ks_append(files, text("a b.txt", TYPE_FILE));
    block::ks_append(files, text("dir/"));
    ASSERT_TRUE(clipboard::write(files));
    EXPECT_EQ(molded_of(clipboard::read()), "[%\"a b.txt\" %dir/]");

    cell* number = stack::push(&none_value);
    *number = integer_value(7);
    EXPECT_EQ(raised_code([&] { clipboard::write(number); }), error_code(ERR_SCRIPT, uint32_t(script_error::invalid_arg)));
    EXPECT_EQ(molded_of(clipboard::read()), "[%\"a b.txt\" %dir/]");

    ASSERT_TRUE(clipboard::write(const_cast<cell*>(&none_value)));
    EXPECT_EQ(TYPE_OF(clipboard::read()), TYPE_NONE);
}

TEST_F(IO, OSInfo) {
    struct utsname system;
    ASSERT_EQ(uname(&system), 0);
    cell* info = get_OS_info();
    ASSERT_EQ(TYPE_OF(info), TYPE_OBJECT);
    auto field = [&](const char* name) {
        cell w = word::load(name);
        return object::get_field(info, &w);
    };
    EXPECT_EQ(utf8(field("name")), std::string(system.sysname) + " " + system.release);
    EXPECT_EQ(TYPE_OF(field("arch")), TYPE_WORD);
    EXPECT_EQ(TYPE_OF(field("version")), TYPE_TUPLE);
    unsigned major = 0, minor = 0;
    sscanf(system.release, "%u.%u", &major, &minor);
    EXPECT_EQ(molded_of(field("version")).rfind(std::to_string(major) + "." + std::to_string(minor) + ".", 0), 0u);
    EXPECT_EQ(field("build")->w2, 0u);
    std::string arch = molded_of(field("arch"));
    if (!std::strcmp(system.machine, "x86_64")) {
        EXPECT_EQ(arch, "x86-64");
    }
}

TEST_F(IO, FoldersAndStandardOutput) {
    char folder[] = "/tmp/kel-io-XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    std::string base = folder;
    cell* sub = text(base + "/sub", TYPE_FILE);
    EXPECT_TRUE(simple_io::make_dir(sub));
    EXPECT_FALSE(simple_io::make_dir(sub));
    EXPECT_TRUE(simple_io::file_exists_q(sub));
    EXPECT_FALSE(simple_io::file_exists_q(text(base + "/missing", TYPE_FILE)));
    EXPECT_FALSE(simple_io::file_exists_q(text(base + std::string("/sub\0x", 6), TYPE_FILE)));

    // Standard output, redirected for the test into a file.
    std::string captured = base + "/out";
    int saved = dup(STDOUT_FILENO);
    int fd = open(captured.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    simple_io::write_stdout(text("é\n"));
    cell* block = block::push_only(1);
    block::ks_append(block, text("x"));
    simple_io::write_stdout(block);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    const cell* written = simple_io::read(text(captured, TYPE_FILE), nullptr, nullptr, false, false);
    EXPECT_EQ(utf8(const_cast<cell*>(written)), "é\n[\"x\"]");

    EXPECT_EQ(system((std::string("rm -rf ") + base).c_str()), 0);
}

}  // namespace
}  // namespace kel::testing
