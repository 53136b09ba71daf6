#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "runtime/console.h"
#include "runtime/exits.h"
#include "runtime/output_hooks.h"

using namespace kel;

namespace {

std::vector<std::string> hooked;

void text_seen(const char* text, int32_t length, uint32_t flag) {
    EXPECT_EQ(flag, 0u);
    hooked.emplace_back(text, static_cast<size_t>(length));
}

// Standard output goes to a temporary file for the duration of a test.
class Console : public testing::Test {
protected:
    void SetUp() override {
        output_hooks_init();
        dyn_print::add(nullptr, text_seen);
        hooked.clear();
        std::fflush(stdout);
        capture_ = std::tmpfile();
        saved_ = dup(STDOUT_FILENO);
        dup2(fileno(capture_), STDOUT_FILENO);
    }
    void TearDown() override {
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        std::fclose(capture_);
        output_hooks_init();
    }
    std::string written() {
        std::string bytes;
        char chunk[4096];
        lseek(fileno(capture_), 0, SEEK_SET);
        for (ssize_t n; (n = read(fileno(capture_), chunk, sizeof chunk)) > 0;) bytes.append(chunk, static_cast<size_t>(n));
        return bytes;
    }

private:
    FILE* capture_ = nullptr;
    int saved_ = -1;
};

}  // namespace

TEST_F(Console, UnitsAreWrittenAsUtf8) {
    const uint8_t latin1[] = {'c', 'a', 'f', 0xE9};
    const uint16_t ucs2[] = {0x20AC, 0x1B, '[', '3', '1', 'm'};
    const uint32_t ucs4[] = {0x1F600, 'A'};
    write_latin1_out(latin1, sizeof latin1);
    write_ucs2_line(ucs2, sizeof ucs2);
    write_ucs4_out(ucs4, sizeof ucs4);
    write_latin1_line(latin1, 0);
    const std::string expected = "caf\xC3\xA9" "\xE2\x82\xAC\x1B[31m\n" "\xF0\x9F\x98\x80" "A" "\n";
    EXPECT_EQ(written(), expected);
    EXPECT_EQ(hooked, (std::vector<std::string>{"caf\xC3\xA9", "\xE2\x82\xAC\x1B[31m\n", "\xF0\x9F\x98\x80" "A", "\n"}));
}

TEST_F(Console, LongTextIsWrittenInBufferfuls) {
    // 600 three-byte characters: the buffer goes out once it holds more than 1020 bytes.
    std::vector<uint16_t> euros(600, 0x20AC);
    write_ucs2_out(euros.data(), euros.size() * 2);
    ASSERT_EQ(hooked.size(), 2u);
    EXPECT_EQ(hooked[0].size(), 341u * 3);
    EXPECT_EQ(hooked[1].size(), 259u * 3);
    EXPECT_EQ(written().size(), 1800u);
}

TEST_F(Console, CStringGoesOutAsItIs) {
    write_c_string_out("a\x1B[2Jb\xFF");
    write_c_string_out("");
    EXPECT_EQ(written(), "a\x1B[2Jb\xFF");
    EXPECT_EQ(hooked, (std::vector<std::string>{"a\x1B[2Jb\xFF"}));
}

TEST(ConsoleDeathTest, OtherUnitIsAnInternalFault) {
    const char text[] = "abc";
    EXPECT_EXIT(write_text_out(text, 3, 3, false), testing::ExitedWithCode(RUNTIME_ASSERTION),
                "Runtime Error 98: assertion failed");
}
