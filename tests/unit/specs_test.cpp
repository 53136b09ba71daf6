// The boot data files: the action and native spec blocks and the first library stages.
// Until the lexer loads values these are read by a small reader that knows only the
// syntax the files use.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

// Not from __FILE__: a compiler cache may make it relative to the build folder.
const std::filesystem::path boot_dir = std::filesystem::path(KEL_SOURCE_DIR) / "boot";

struct action_row {
    int slot;
    const char* word;
    const char* refinements;  // in the order the entry receives them
};

// Slots 7 and 9 are internal and slot 8 is empty: they have no action word.
constexpr action_row actions_table[] = {
    {1, "make", ""},
    {2, "random", "/seed /secure /only"},
    {3, "reflect", ""},
    {4, "to", ""},
    {5, "form", "/part"},
    {6, "mold", "/only /all /flat /part"},
    {10, "absolute", ""},
    {11, "add", ""},
    {12, "divide", ""},
    {13, "multiply", ""},
    {14, "negate", ""},
    {15, "power", ""},
    {16, "remainder", ""},
    {17, "round", "/to /even /down /half-down /floor /ceiling /half-ceiling"},
    {18, "subtract", ""},
    {19, "even?", ""},
    {20, "odd?", ""},
    {21, "and~", ""},
    {22, "complement", ""},
    {23, "or~", ""},
    {24, "xor~", ""},
    {25, "append", "/part /only /dup"},
    {26, "at", ""},
    {27, "back", ""},
    {28, "change", "/part /only /dup"},
    {29, "clear", ""},
    {30, "copy", "/part /deep /types"},
    {31, "find", "/part /only /case /same /any /with /skip /last /reverse /tail /match"},
    {32, "head", ""},
    {33, "head?", ""},
    {34, "index?", ""},
    {35, "insert", "/part /only /dup"},
    {36, "length?", ""},
    {37, "move", "/part"},
    {38, "next", ""},
    {39, "pick", ""},
    {40, "poke", ""},
    {41, "put", "/case"},
    {42, "remove", "/part /key"},
    {43, "reverse", "/part /skip"},
    {44, "select", "/part /only /case /same /any /with /skip /last /reverse"},
    {45, "sort", "/case /skip /compare /part /all /reverse /stable"},
    {46, "skip", ""},
    {47, "swap", ""},
    {48, "tail", ""},
    {49, "tail?", ""},
    {50, "take", "/part /deep /last"},
    {51, "trim", "/head /tail /auto /lines /all /with"},
    {52, "create", ""},
    {53, "close", ""},
    {54, "delete", ""},
    {55, "modify", "/case"},
    {56, "open", "/new /read /write /seek /allow"},
    {57, "open?", ""},
    {58, "query", ""},
    {59, "read", "/part /seek /binary /lines /info /as"},
    {60, "rename", ""},
    {61, "update", ""},
    {62, "write", "/binary /lines /info /append /part /seek /allow /as"},
};

struct native_row {
    int index;
    const char* word;
};

constexpr native_row natives_table[] = {
    {1, "if"}, {2, "unless"}, {3, "either"}, {4, "any"}, {5, "all"}, {6, "while"}, {7, "until"},
    {8, "loop"}, {9, "repeat"}, {10, "forever"}, {11, "foreach"}, {12, "forall"},
    {13, "remove-each"}, {14, "func"}, {15, "function"}, {16, "does"}, {17, "has"}, {18, "switch"},
    {19, "case"}, {20, "do"}, {21, "get"}, {22, "set"}, {23, "print"}, {24, "prin"}, {25, "equal?"},
    {26, "not-equal?"}, {27, "strict-equal?"}, {28, "lesser?"}, {29, "greater?"},
    {30, "lesser-or-equal?"}, {31, "greater-or-equal?"}, {32, "same?"}, {33, "not"}, {34, "type?"},
    {35, "reduce"}, {36, "compose"}, {37, "stats"}, {38, "bind"}, {39, "in"}, {40, "parse"},
    {41, "union"}, {42, "intersect"}, {43, "unique"}, {44, "difference"}, {45, "exclude"},
    {46, "complement?"}, {47, "dehex"}, {48, "enhex"}, {49, "negative?"}, {50, "positive?"},
    {51, "max"}, {52, "min"}, {53, "shift"}, {54, "to-hex"}, {55, "sine"}, {56, "cosine"},
    {57, "tangent"}, {58, "arcsine"}, {59, "arccosine"}, {60, "arctangent"}, {61, "arctangent2"},
    {62, "NaN?"}, {63, "log-2"}, {64, "log-10"}, {65, "log-e"}, {66, "exp"}, {67, "square-root"},
    {68, "construct"}, {69, "value?"}, {70, "try"}, {71, "uppercase"}, {72, "lowercase"},
    {73, "as-pair"}, {74, "as-point2D"}, {75, "as-point3D"}, {76, "as-money"}, {77, "break"},
    {78, "continue"}, {79, "exit"}, {80, "return"}, {81, "throw"}, {82, "catch"}, {83, "extend"},
    {84, "debase"}, {85, "to-local-file"}, {86, "wait"}, {87, "checksum"}, {88, "unset"},
    {89, "new-line"}, {90, "new-line?"}, {91, "enbase"}, {92, "context?"}, {93, "set-env"},
    {94, "get-env"}, {95, "list-env"}, {96, "now"}, {97, "sign?"}, {98, "as"}, {99, "call"},
    {100, "zero?"}, {101, "size?"}, {102, "browse"}, {103, "compress"}, {104, "decompress"},
    {105, "recycle"}, {106, "transcode"}, {107, "apply"},
};

// The datatype words a spec may name besides typesets.
constexpr const char* datatype_words =
    "datatype! unset! none! logic! block! paren! string! file! url! char! integer! float! "
    "word! set-word! lit-word! get-word! refinement! issue! native! action! op! function! "
    "path! lit-path! set-path! get-path! routine! bitset! object! typeset! error! vector! "
    "hash! pair! percent! tuple! map! binary! time! tag! email! handle! date! port! money! "
    "ref! point2D! point3D! image! event!";

enum class kind { word, set_word, get_word, lit_word, refinement, string, other, block, paren };

struct node {
    kind k = kind::block;
    std::string text;
    int line = 0;
    std::vector<node> items;
};

struct reader {
    explicit reader(std::string text) : src(std::move(text)) {}

    std::string src;
    size_t pos = 0;
    int line = 1;
    std::string error;

    void fail(const std::string& what) {
        if (error.empty()) error = "line " + std::to_string(line) + ": " + what;
    }

    bool delimiter(char c) const {
        return std::isspace(static_cast<unsigned char>(c)) || c == '[' || c == ']' || c == '(' ||
               c == ')' || c == '"' || c == '{' || c == '}' || c == ';';
    }

    // A quoted text from an opening quote: "^" escapes the next character.
    void skip_quoted() {
        for (pos++; pos < src.size() && src[pos] != '"'; pos++) {
            if (src[pos] == '\n') return fail("line break in a string");
            if (src[pos] == '^') pos++;
        }
        if (pos >= src.size()) return fail("string without its end");
        pos++;
    }

    void skip_braced() {
        int depth = 0;
        for (; pos < src.size(); pos++) {
            char c = src[pos];
            if (c == '\n') line++;
            if (c == '^') pos++;
            else if (c == '{') depth++;
            else if (c == '}' && --depth == 0) {
                pos++;
                return;
            }
        }
        fail("braced string without its end");
    }

    // Values up to the closer (0 at the top).
    void read_series(node& into, char closer) {
        while (error.empty()) {
            while (pos < src.size() && std::isspace(static_cast<unsigned char>(src[pos]))) {
                if (src[pos] == '\n') line++;
                pos++;
            }
            if (pos >= src.size()) {
                if (closer) fail(std::string("missing ") + closer);
                return;
            }
            char c = src[pos];
            if (c == ';') {
                while (pos < src.size() && src[pos] != '\n') pos++;
                continue;
            }
            if (c == ']' || c == ')') {
                if (c != closer) return fail(std::string("unexpected ") + c);
                pos++;
                return;
            }
            node value;
            value.line = line;
            size_t start = pos;
            if (c == '[' || c == '(') {
                value.k = c == '[' ? kind::block : kind::paren;
                pos++;
                read_series(value, c == '[' ? ']' : ')');
            } else if (c == '"') {
                value.k = kind::string;
                skip_quoted();
            } else if (c == '{') {
                value.k = kind::string;
                skip_braced();
            } else if (c == '}') {
                return fail("unexpected }");
            } else {
                if (src.compare(pos, 2, "#\"") == 0) {
                    pos++;
                    skip_quoted();
                } else {
                    while (pos < src.size() && !delimiter(src[pos])) pos++;
                }
                value.k = token_kind(src.substr(start, pos - start));
            }
            value.text = src.substr(start, pos - start);
            into.items.push_back(std::move(value));
        }
    }

    static kind token_kind(const std::string& t) {
        if (t.size() > 1 && t.back() == ':') return kind::set_word;
        if (t.size() > 1 && t[0] == ':') return kind::get_word;
        if (t.size() > 1 && t[0] == '\'') return kind::lit_word;
        if (t.size() > 1 && t[0] == '/' && t[1] != '/') return kind::refinement;
        char c = t[0];
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '#' || c == '%') return kind::other;
        return kind::word;
    }
};

node read_file(const std::string& name, std::string* error) {
    std::ifstream in(boot_dir / name);
    std::stringstream text;
    text << in.rdbuf();
    reader r(text.str());
    node top;
    if (!in) r.fail("cannot read " + name);
    else r.read_series(top, 0);
    *error = r.error;
    return top;
}

struct definition {
    std::string word;
    std::string type;  // "action!" or "native!"
    int number;
    const node* spec;
};

// Each definition is `word: make action! [[spec] number]` (or native!).
std::vector<definition> definitions_of(const node& top) {
    std::vector<definition> out;
    const auto& v = top.items;
    for (size_t i = 0; i < v.size(); i += 4) {
        const std::string where = "at line " + std::to_string(v[i].line);
        EXPECT_LE(i + 4, v.size()) << where;
        if (i + 4 > v.size()) break;
        EXPECT_EQ(v[i].k, kind::set_word) << where;
        EXPECT_EQ(v[i + 1].text, "make") << where;
        const node& body = v[i + 3];
        EXPECT_EQ(body.k, kind::block) << where;
        EXPECT_EQ(body.items.size(), 2u) << where;
        if (body.items.size() != 2 || body.items[0].k != kind::block) {
            ADD_FAILURE() << "make spec is not [[spec] number] " << where;
            continue;
        }
        const std::string& word = v[i].text;
        out.push_back({word.substr(0, word.size() - 1), v[i + 2].text, std::stoi(body.items[1].text),
                       &body.items[0]});
    }
    return out;
}

std::string refinements_of(const node& spec) {
    std::string out;
    for (const node& item : spec.items) {
        if (item.k != kind::refinement) continue;
        if (!out.empty()) out += ' ';
        out += item.text;
    }
    return out;
}

// The arguments: the words before the first refinement or return:.
std::vector<const node*> arguments_of(const node& spec) {
    std::vector<const node*> out;
    for (const node& item : spec.items) {
        if (item.k == kind::refinement || item.k == kind::set_word) break;
        if (item.k == kind::word || item.k == kind::lit_word || item.k == kind::get_word) out.push_back(&item);
    }
    return out;
}

// The words of the type blocks, those of callback specs nested in them included. in_types:
// block is a type block, else a spec.
void type_words_of(const node& block, bool in_types, std::set<std::string>& out) {
    for (const node& item : block.items) {
        if (item.k == kind::block) type_words_of(item, !in_types, out);
        else if (in_types && item.k == kind::word) out.insert(item.text);
    }
}

class BootSpecs : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        top = read_file("specs.kel", &error);
        ASSERT_EQ(error, "");
        defs = definitions_of(top);
    }

    node top;
    std::vector<definition> defs;
};

TEST_F(BootSpecs, ActionsComeFirstInSlotOrderWithTheirRefinements) {
    constexpr size_t count = std::size(actions_table);
    ASSERT_GE(defs.size(), count);
    for (size_t i = 0; i < count; i++) {
        const action_row& row = actions_table[i];
        EXPECT_EQ(defs[i].word, row.word) << "slot " << row.slot;
        EXPECT_EQ(defs[i].type, "action!") << row.word;
        EXPECT_EQ(defs[i].number, row.slot) << row.word;
        EXPECT_EQ(refinements_of(*defs[i].spec), row.refinements) << row.word;
    }
}

TEST_F(BootSpecs, NativesFollowInIndexOrder) {
    constexpr size_t actions = std::size(actions_table);
    ASSERT_EQ(defs.size(), actions + std::size(natives_table));
    for (size_t i = 0; i < std::size(natives_table); i++) {
        const native_row& row = natives_table[i];
        const definition& def = defs[actions + i];
        EXPECT_EQ(def.word, row.word) << "index " << row.index;
        EXPECT_EQ(def.type, "native!") << row.word;
        EXPECT_EQ(def.number, row.index) << row.word;
    }
}

TEST_F(BootSpecs, EachSpecOpensWithItsHelpString) {
    for (const definition& def : defs) {
        ASSERT_FALSE(def.spec->items.empty()) << def.word;
        EXPECT_EQ(def.spec->items[0].k, kind::string) << def.word;
    }
}

TEST_F(BootSpecs, EveryTypeNamedIsADatatypeOrABootTypeset) {
    std::string error;
    node typesets = read_file("stages/04-typesets.kel", &error);
    ASSERT_EQ(error, "");
    std::set<std::string> known;
    std::istringstream names(datatype_words);
    for (std::string name; names >> name;) known.insert(name);
    // A typeset is made from datatypes and typesets defined above it.
    for (const node& item : typesets.items) {
        if (item.k == kind::set_word) {
            known.insert(item.text.substr(0, item.text.size() - 1));
            continue;
        }
        std::set<std::string> used;
        if (item.k == kind::block) type_words_of(item, true, used);
        else if (item.k == kind::word && item.text.back() == '!') used.insert(item.text);
        for (const std::string& name : used) EXPECT_TRUE(known.count(name)) << name << " in the typesets";
    }
    for (const definition& def : defs) {
        std::set<std::string> used;
        type_words_of(*def.spec, false, used);
        for (const std::string& name : used) EXPECT_TRUE(known.count(name)) << name << " in " << def.word;
    }
}

TEST_F(BootSpecs, OperatorsWrapTwoArgumentSpecs) {
    std::string error;
    node ops = read_file("stages/08-operators.kel", &error);
    ASSERT_EQ(error, "");
    std::map<std::string, const node*> specs;
    for (const definition& def : defs) specs[def.word] = def.spec;
    int wrapped = 0;
    for (const node& item : ops.items) {
        if (item.k != kind::get_word) continue;
        auto found = specs.find(item.text.substr(1));
        if (found == specs.end()) continue;  // a library function or routine of an earlier stage
        wrapped++;
        std::vector<const node*> args = arguments_of(*found->second);
        ASSERT_EQ(args.size(), 2u) << item.text;
        EXPECT_EQ(args[0]->k, kind::word) << item.text;
    }
    EXPECT_GT(wrapped, 0);
}

TEST(BootStages, FilesReadWithBalancedBrackets) {
    struct broken {
        const char* text;
        const char* error;
    };
    const broken cases[] = {
        {"a: [b [c]", "line 1: missing ]"},
        {"a: b]", "line 1: unexpected ]"},
        {"a: (b]", "line 1: unexpected ]"},
        {"a: \"[\" ]", "line 1: unexpected ]"},
        {"a: {x [\n}\n]", "line 3: unexpected ]"},
        {"a: \"b\nc\"", "line 1: line break in a string"},
    };
    for (const broken& c : cases) {
        reader r(c.text);
        node top;
        r.read_series(top, 0);
        EXPECT_EQ(r.error, c.error) << c.text;
    }
    for (const char* name : {"specs.kel", "stages/03-constants.kel", "stages/04-typesets.kel",
                             "stages/08-operators.kel"}) {
        std::string error;
        node top = read_file(name, &error);
        EXPECT_EQ(error, "") << name;
        EXPECT_FALSE(top.items.empty()) << name;
    }
}

}  // namespace
