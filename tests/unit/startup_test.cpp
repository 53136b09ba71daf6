// The kel program run on script files: header search, the error report of an error that
// nothing caught, and the exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

struct run_result {
    std::string out;
    int status;
};

run_result run_kel(const std::string& arguments) {
    std::string command = std::string(KEL_BINARY) + " " + arguments + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    run_result r{"", -1};
    if (!pipe) return r;
    char chunk[512];
    while (size_t n = fread(chunk, 1, sizeof chunk, pipe)) r.out.append(chunk, n);
    int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() / ("kel-startup-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string script(const std::string& text) {
        std::filesystem::path file = dir / "script.kel";
        std::ofstream(file, std::ios::binary) << text;
        return file.string();
    }

    std::filesystem::path dir;
};

constexpr int UNCAUGHT = 254;  // the status -2
constexpr int SEGV_ERROR = 1;  // the runtime error of an access violation

// Without a script, lines from standard input are evaluated until the input ends.
TEST_F(StartupTest, WithoutAScriptEvaluatesStandardInput) {
    std::ofstream(dir / "input", std::ios::binary) << "1 + 2\nprint \"hi\"\n\n1 / 0\n0.1 + 0.2\n[1\n2]\n{a\nb}\n";
    run_result r = run_kel("< " + (dir / "input").string());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "--== Kel 0.6.6 ==--\nType HELP for starting information.\n\n"
              ">> == 3\n"
              ">> hi\n"
              ">> >> *** Math Error: attempt to divide by zero\n*** Where: /\n*** Near : 1 / 0\n*** Stack: \n\n"
              ">> == 0.3\n"
              ">> [    == [1\n2]\n"
              ">> {    == \"a^/b\"\n"
              ">> \n");
}

// The exit status of every way the process ends.
TEST_F(StartupTest, ExitStatus) {
    struct {
        const char* text;
        int status;
    } cases[] = {
        {"Kel [] x: 1", 0},
        {"Kel [] quit-return 3", 3},
        {"Kel [] quit/return 5", 5},
        {"Kel [] quit", 0},
        {"Kel [] 1 / 0", UNCAUGHT},
        {"Kel [] cause-error 'user 'message [\"m\"]", UNCAUGHT},
        {"Kel [] f: func [] [f] f", UNCAUGHT},
        // A fatal signal ends with its runtime-error number.
        {"Kel [] call/wait/shell \"kill -SEGV $PPID\" wait 5", SEGV_ERROR},
    };
    for (const auto& c : cases) EXPECT_EQ(run_kel(script(c.text)).status, c.status) << c.text;
}

// Output written before quit-return is not lost.
TEST_F(StartupTest, QuitReturnFlushesOutput) {
    run_result r = run_kel(script("Kel [] prin \"a\" print \"b\" prin \"c\" quit-return 2 print \"d\""));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "ab\nc");
}

// The script's own arguments, split and raw; the program path goes to options/boot.
TEST_F(StartupTest, CommandLineArguments) {
    std::string file = script("Kel [] print mold reduce [system/options/args system/script/args system/options/script]\n"
                              "print system/options/boot = system/options/boot");
    struct {
        std::string arguments;
        std::string out;
    } cases[] = {
        {"", "[[] \"\" %" + file + "]\ntrue\n"},
        {"\"a b\" c", "[[\"a b\" \"c\"] {\"a b\" c} %" + file + "]\ntrue\n"},
        {"'' 'x\"y' 'p\\'", "[[\"\" {x\"y} \"p\\\"] {\"\" \"x\\\"y\" p\\} %" + file + "]\ntrue\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(run_kel(file + " " + c.arguments).out, c.out) << c.arguments;
}

TEST_F(StartupTest, CacheFolderFollowsHome) {
    std::string file = script("Kel [] print system/options/cache");
    std::string with_home = "env HOME=/somewhere " + std::string(KEL_BINARY) + " " + file;
    std::string without = "env -u HOME " + std::string(KEL_BINARY) + " " + file;
    for (auto [command, out] : {std::pair{with_home, "/somewhere/.kel/\n"}, std::pair{without, "/tmp/.kel/\n"}}) {
        FILE* pipe = popen(command.c_str(), "r");
        std::string text;
        char chunk[256];
        while (size_t n = fread(chunk, 1, sizeof chunk, pipe)) text.append(chunk, n);
        pclose(pipe);
        EXPECT_EQ(text, out) << command;
    }
}

TEST_F(StartupTest, ScriptRunsFromItsHeaderOn) {
    struct {
        std::string text;
        int status;
        const char* out;
    } cases[] = {
        {"Kel []\nx: 1 + 2\n", 0, ""},
        // Text before the header is not code: a shell line, comments, a word beginning with Kel.
        {"#!/usr/bin/env kel\n; Kelvin [none]\n( unclosed\nKel\t\r\n [Title: \"t\"]\nx: 1\n", 0, ""},
        {"Kel [] x: 1 / 0", UNCAUGHT,
         "*** Math Error: attempt to divide by zero\n*** Where: /\n*** Near : x: 1 / 0\n"},
        {"Kel [] x: [1 2", UNCAUGHT, "*** Syntax Error: (line 1) missing ] at [1 2\n"},
        {"Kel/System [] x: 1", UNCAUGHT, "*** Internal Error: contains Kel/System code which requires compilation\n"},
        // A NUL does not end the script silently.
        {std::string("Kel []\nprint 1\n\0print 2\n", 24), UNCAUGHT, "*** Syntax Error: (line 3) invalid character at "},
        // A field that cannot be formed (too deep) leaves the plain report.
        {"Kel []\nn: [] loop 20000 [n: reduce [n]]\ne: make error! \"m\"\ne/stack: n\ndo e", UNCAUGHT,
         "*** Error 800 (User Error: message)\n"},
    };
    for (const auto& c : cases) {
        run_result r = run_kel(script(c.text));
        EXPECT_EQ(r.status, c.status) << c.text;
        EXPECT_EQ(r.out.substr(0, std::string(c.out).size()), c.out) << c.text;
    }
}

TEST_F(StartupTest, ScriptWithoutHeaderOrFileIsAnError) {
    std::string file = script("x: 1\nkel [] print 1\n");
    run_result r = run_kel(file);
    EXPECT_EQ(r.status, UNCAUGHT);
    EXPECT_EQ(r.out.rfind("*** Syntax Error: script is missing a Kel header: " + file + "\n", 0), 0u) << r.out;

    std::filesystem::create_directory(dir / "folder.kel");
    for (const char* name : {"missing.kel", "folder.kel"}) {
        std::string path = (dir / name).string();
        r = run_kel(path);
        EXPECT_EQ(r.status, UNCAUGHT) << name;
        EXPECT_EQ(r.out.rfind("*** Access Error: cannot open: %" + path + "\n", 0), 0u) << r.out;
    }
}

}  // namespace
