// The lexer's constant tables: character classes, the automaton, and the per-state and
// per-class side tables the scan loop reads. All are built at compile time.
#include <initializer_list>

#include "datatypes/lexer.h"

namespace kel {
namespace {

constexpr std::array<uint32_t, 256> build_char_classes() {
    std::array<uint32_t, 256> t{};
    for (uint32_t b = 0x21; b < 0x7F; b++) t[b] = CHAR_OTHER;
    for (uint32_t b = 0x01; b < 0x20; b++) t[b] = CHAR_CONTROL;
    for (uint32_t b = 0x7F; b < 0xC0; b++) t[b] = CHAR_CONTINUATION;
    for (uint32_t b = 0xC2; b < 0xF0; b++) t[b] = CHAR_OTHER | CHARFLAG_WIDE2;
    for (uint32_t b = 0xF0; b < 0xF8; b++) t[b] = CHAR_OTHER | CHARFLAG_WIDE4;
    // A NUL is an invalid character, never the end: text may go on after it.
    t[0x00] = t[0xC0] = t[0xC1] = CHAR_INVALID;
    for (uint32_t b = 0xF8; b < 0x100; b++) t[b] = CHAR_INVALID;
    t['\t'] = t['\r'] = t[' '] = CHAR_SPACE;
    t['\n'] = CHAR_NEWLINE;
    for (uint32_t b = '1'; b <= '9'; b++) t[b] = CHAR_DIGIT19;
    t['0'] = CHAR_DIGIT0;
    t['['] = CHAR_LBRACKET;
    t[']'] = CHAR_RBRACKET;
    t['('] = CHAR_LPAREN;
    t[')'] = CHAR_RPAREN;
    t['{'] = CHAR_LBRACE;
    t['}'] = CHAR_RBRACE;
    t['"'] = CHAR_DQUOTE;
    t['#'] = CHAR_HASH | CHARFLAG_HASH;
    t['\''] = CHAR_APOSTROPHE | CHARFLAG_APOSTROPHE;
    t[':'] = CHAR_COLON_SIGN | CHARFLAG_COLON;
    t['x'] = t['X'] = CHAR_LETTER_X;
    t['T'] = CHAR_LETTER_T;
    t['h'] = CHAR_LETTER_H;
    t['e'] = CHAR_LETTER_E | CHARFLAG_EXPONENT;
    t['E'] = CHAR_LETTER_UPPER_E | CHARFLAG_EXPONENT;
    for (uint8_t b : {'a', 'b', 'c', 'd', 'f'}) t[b] = CHAR_HEXLETTER;
    for (uint8_t b : {'A', 'B', 'C', 'D', 'F'}) t[b] = CHAR_UPPER_HEXLETTER;
    t['/'] = CHAR_SLASH_SIGN;
    t['\\'] = CHAR_BACKSLASH;
    t['<'] = CHAR_LESS_THAN | CHARFLAG_LESS_THAN;
    t['>'] = CHAR_GREATER_THAN | CHARFLAG_GREATER_THAN;
    t['='] = CHAR_EQUALS;
    t['%'] = CHAR_PERCENT_SIGN | CHARFLAG_PERCENT;
    t[','] = CHAR_COMMA_SIGN | CHARFLAG_COMMA;
    t[';'] = CHAR_SEMICOLON;
    t['@'] = CHAR_AT_SIGN;
    t['.'] = CHAR_PERIOD | CHARFLAG_PERIOD;
    t['$'] = CHAR_DOLLAR;
    t['+'] = CHAR_PLUS_SIGN | CHARFLAG_SIGN;
    t['-'] = CHAR_MINUS_SIGN | CHARFLAG_SIGN;
    t['^'] = CHAR_CIRCUMFLEX | CHARFLAG_CIRCUMFLEX;
    return t;
}

// One row per state: the default target, then "classes>target" groups, the classes given
// as single numbers or ranges.
constexpr const char* transition_rows[LEXER_STATES] = {
    "52; 0-1,35>0; 2-3>23; 4>68; 5>69; 6>70; 7>71; 8>72; 9,22,36,38>67; 10>2; 11>16; 12-13>51; 18,20>40; 21>13; 23>43; 25>58; 26>6; 27>78; 28>1; 29>57; 30>49; 31>36; 32-33>47; 39>66",  // 0
    "1; 1,39>77; 38>67",  // 1
    "2; 1,38-39>67; 10>79; 34>3",  // 2
    "2; 38-39>67",  // 3
    "4; 8>72; 9>73; 34>5; 38-39>67",  // 4
    "4; 38-39>67",  // 5
    "7; 0-1,4-7,9,28-29,35,39>80; 8>10; 10>8; 13>54; 26>9; 38>67",  // 6
    "7; 0-1,4-9,13,28-29,39>85; 10,38>67",  // 7
    "8; 1,38-39>67; 10>85",  // 8
    "7; 0-1,4-7,9-10,22,28,35,39>80; 8>10; 26>9; 38>67",  // 9
    "10; 9>11; 38-39>67",  // 10
    "10; 9>11; 26>12; 38-39>67",  // 11
    "67; 0-1,4-8,10,23,28,35,39>100; 26>12",  // 12
    "14; 0-1,4-11,28-29,35,39>80; 13>53; 21>15; 27,38>67",  // 13
    "14; 0-1,4-10,21,28-29,35,39>83; 13,27,38>67",  // 14
    "52; 0-1,4-11,28-29,35,39>80; 21>15; 26-27,31,38>67",  // 15
    "22; 0-1,5,7,9,13,23-24,27,38>67; 4>74; 6>21; 8>17; 10>19; 28-29,35,39>81",  // 16
    "67; 0-3,14-21,25,32,37>17; 9>86; 28>18",  // 17
    "18; 1>17; 38-39>67",  // 18
    "19; 10>84; 34>20; 38-39>67",  // 19
    "19; 38-39>67",  // 20
    "21; 7>76; 38-39>67",  // 21
    "22; 0-1,4-10,28-29,35,39>81; 13,21,38>67",  // 22
    "82; 2-3,12>23; 11>16; 13>31; 14>33; 15,21,33>30; 16>42; 17>26; 18>27; 19,22,24-25,31-32,34,36-38>67; 20>39; 26>87; 29>56; 30>24",  // 23
    "67; 0-1,4-10,21,23,27-28,35,39>88; 2-3,12>25; 11>28; 14>33; 17-18>26; 26>87",  // 24
    "88; 2-3,12>25; 11,15-16,19-20,22,24-25,31-34,36-38>67; 14>33; 17-18>26; 26>87; 29>56; 30>29",  // 25
    "67; 0-1,4-10,13,21,23,27-28,35,39>88; 2-3,32-33>26; 26>87; 29>56",  // 26
    "88; 2-3>27; 11-12,14-15,17,19,22,24-25,28,31,34,36-38>67; 16>42; 18,20>40; 26>87; 29>56; 30>29; 32-33>26",  // 27
    "89; 2>88; 11-12,29,31,34,38>67; 14-20,24-25,30,32-33,36-37>28; 26>87",  // 28
    "67; 0-1,4-10,13,21,23,28,35,39>90; 2-3,30>29",  // 29
    "30; 0-1,4-10,23,28,31,35,39>91; 26-27,29,34,36,38>67",  // 30
    "67; 2-3>32",  // 31
    "67; 0-1,4-10,21,23,28,35,39>94; 2-3,13,30>32",  // 32
    "67; 2-3,32-33>34; 29>56",  // 33
    "67; 0-1,4-10,13,21,23,28,35,39>92; 2-3,17-18,30>34; 29>56",  // 34
    "67; 0,2-3,5,11,17-20,27,30,32-33,37>35; 7>93",  // 35
    "67; 2-3>37",  // 36
    "67; 0-1,4-11,13,21,23,28,35,39>95; 2-3,12>37; 30>38",  // 37
    "67; 0-1,4-11,13,21,23,28,35,39>95; 2-3,12>38",  // 38
    "67; 2-3,18,20>39; 16>41; 29>56",  // 39
    "80; 2-3,18,20>40; 12,14-15,17,19,23-25,30,32-34,36-37>52; 13>53; 16>41; 21>75; 26-27,38>67; 29>56; 31>37",  // 40
    "52; 0-1,4-10,22,28,35,39>99; 11,26-27,38>67; 13>53; 21>75; 29>56; 31>37",  // 41
    "67; 0-1,4-10,22-23,28,35,39>99; 21>75; 29>56; 31>37",  // 42
    "44; 0-1,4-10,28,35,39>80; 12>46; 13>53; 23>43; 24-25,33>52; 38>67",  // 43
    "44; 10>45; 12>46; 24>96; 38-39>67",  // 44
    "45; 10>44; 38-39>67",  // 45
    "46; 12>44; 38-39>67",  // 46
    "52; 0-1,4-11,22,28,35,39>80; 2-3>23; 12,26,34,38>67; 21>75; 30>49; 31>37",  // 47
    "52; 0-1,4-11,22,28,35,39>80; 12,26,31,34,38>67; 21>75",  // 48
    "52; 0-1,4-11,22,28,35,39>80; 2-3,32-33>50; 13>53; 21>75; 26-27,31,38>67; 29>56",  // 49
    "67; 0-1,4-10,13,21,23,35,39>88; 2-3,17-18,32-33>50; 14>33; 26>87; 29>56",  // 50
    "67; 14-20,24,30,34,36-37>52; 21>13; 23>43; 25>58; 26>54; 32-33>48",  // 51
    "52; 0-1,4-11,22-23,28,35,39>80; 13>53; 21>75; 26-27,38>67; 29>56; 31>36",  // 52
    "55; 0-1,4-10,22,28,35,39>80; 23,38>67",  // 53
    "67; 0-1,4-9,22,28,35,39>80; 26>54",  // 54
    "55; 0-1,4-10,22-23,28,35,39>97; 24,34,38>67",  // 55
    "98; 2-3,14-20,26,30,32-33,36-37>56; 11-13,24-25,27,29,31,34,38>67",  // 56
    "57; 0-1,4-10,23,28,35,39>101; 11-12,22,24-25,27,29,31,34,38>67",  // 57
    "52; 0-1,4-10,22,28,35,39>80; 11,26-27,29,31,38>67; 13>53; 21>75",  // 58
    "67; 2-3>60; 6>70; 7>71; 10>2; 11>63; 12-13>61; 14-20,24-25,30,36-37>62; 23>43; 29>57; 31>36; 32-33>64",  // 59
    "67; 0-1,4-10,13,21,23,28,35,39>82; 2-3,12>60; 14>33; 17-18>26; 26>87; 29>56; 30>24",  // 60
    "67; 14-20,23-25,30,32-33,36-37>62",  // 61
    "62; 0-1,4-10,13,21-22,28,35,39>80; 11,26-27,38>67; 29>56; 31>36",  // 62
    "22; 0-1,5-9,13,21,23-25,27-29,35,38-39>67; 4>21; 10>19",  // 63
    "80; 2-3>60; 11-12,23,26-27,34,38>67; 14-20,24-25,30,36-37>62; 29>56; 31>36; 32-33>64",  // 64
};

constexpr uint32_t read_number(const char*& p) {
    uint32_t n = 0;
    while (*p >= '0' && *p <= '9') n = n * 10 + static_cast<uint32_t>(*p++ - '0');
    return n;
}

constexpr std::array<uint8_t, LEXER_STATES * LEXER_CLASSES> build_transitions() {
    std::array<uint8_t, LEXER_STATES * LEXER_CLASSES> t{};
    for (uint32_t state = 0; state < LEXER_STATES; state++) {
        const char* p = transition_rows[state];
        uint8_t* row = t.data() + state * LEXER_CLASSES;
        uint8_t fallback = static_cast<uint8_t>(read_number(p));
        for (uint32_t c = 0; c < LEXER_CLASSES; c++) row[c] = fallback;
        while (*p == ';') {
            p += 2;
            const char* group = p;
            while (*p != '>') p++;
            p++;
            uint8_t target = static_cast<uint8_t>(read_number(p));
            for (const char* q = group; *q != '>';) {
                uint32_t from = read_number(q);
                uint32_t to = from;
                if (*q == '-') to = read_number(++q);
                if (*q == ',') q++;
                for (uint32_t c = from; c <= to; c++) row[c] = target;
            }
        }
    }
    return t;
}

constexpr std::array<uint8_t, LEXER_TABLE_STATES> build_type_table() {
    std::array<uint8_t, LEXER_TABLE_STATES> t{};
    auto set = [&t](std::initializer_list<uint32_t> states, uint8_t type) {
        for (uint32_t s : states) t[s] = type;
    };
    set({2, 3, 4, 5, 10, 11, 12}, TYPE_STRING);
    set({6, 7, 8, 9}, TYPE_FILE);
    set({13, 15, 41, 47, 48, 49, 51, 52, 54, 58, 61, 62, 64}, TYPE_WORD);
    set({14}, TYPE_REFINEMENT);
    set({16, 22, 63}, TYPE_ISSUE);
    set({17}, TYPE_BINARY);
    set({19, 20}, TYPE_CHAR);
    set({23, 40, 42, 60}, TYPE_INTEGER);
    set({24, 25, 26, 27, 28, 50}, TYPE_FLOAT);
    set({29}, TYPE_TUPLE);
    set({30}, TYPE_DATE);
    set({31, 32}, TYPE_TIME);
    set({33, 34}, TYPE_PAIR);
    set({35}, TYPE_POINT2D);
    set({36, 37, 38}, TYPE_MONEY);
    set({43, 44, 45, 46}, TYPE_TAG);
    set({53}, TYPE_SET_WORD);
    set({55}, TYPE_URL);
    set({56}, TYPE_EMAIL);
    set({57}, TYPE_REF);
    set({59}, TYPE_PATH);
    // Final states: the type of the token they name.
    constexpr uint8_t finals[TOKEN_CLASSES] = {
        0,           TYPE_ERROR,  0,           0,          0,           0,
        0,           TYPE_STRING, 0,           0,          0,           0,
        0,           TYPE_STRING, TYPE_WORD,   TYPE_ISSUE, TYPE_INTEGER, TYPE_REFINEMENT,
        TYPE_CHAR,   TYPE_FILE,   TYPE_BINARY, TYPE_PERCENT, TYPE_FLOAT, TYPE_FLOAT,
        TYPE_TUPLE,  TYPE_DATE,   TYPE_PAIR,   TYPE_POINT2D, TYPE_TIME,  TYPE_MONEY,
        TYPE_TAG,    TYPE_URL,    TYPE_EMAIL,  TYPE_INTEGER, TYPE_STRING, TYPE_REF,
    };
    for (uint32_t k = 0; k < TOKEN_CLASSES; k++) t[LEXER_FINAL + k] = finals[k];
    return t;
}

constexpr std::array<uint8_t, LEXER_CLASSES> build_path_delimiters() {
    std::array<uint8_t, LEXER_CLASSES> t{};
    for (uint32_t c : {0, 1, 4, 5, 6, 7, 8, 10, 13, 23, 28, 37, 38, 39}) t[c] = 1;
    return t;
}

constexpr std::array<uint8_t, 256> build_point_chars() {
    std::array<uint8_t, 256> t{};
    for (uint8_t b : {'\t', ' ', '#', '+', '-', '.', 'A', 'E', 'F', 'I', 'N', 'a', 'e', 'f', 'i', 'n'})
        t[b] = 1;
    for (uint32_t b = '0'; b <= '9'; b++) t[b] = 1;
    return t;
}

constexpr std::array<uint8_t, LEXER_TABLE_STATES> build_skip_table() {
    std::array<uint8_t, LEXER_TABLE_STATES> t{};
    t[STATE_START] = 1;
    return t;
}

constexpr std::array<uint8_t, LEXER_CLASSES> build_line_table() {
    std::array<uint8_t, LEXER_CLASSES> t{};
    t[CHAR_NEWLINE] = 1;
    return t;
}

}  // namespace

const std::array<uint32_t, 256> lexer_char_classes = build_char_classes();
const std::array<uint8_t, LEXER_STATES * LEXER_CLASSES> lexer_transitions = build_transitions();
const std::array<uint8_t, LEXER_TABLE_STATES> lexer_skip_table = build_skip_table();
const std::array<uint8_t, LEXER_CLASSES> lexer_line_table = build_line_table();
const std::array<uint8_t, LEXER_TABLE_STATES> lexer_type_table = build_type_table();
const std::array<uint8_t, LEXER_CLASSES> lexer_path_delimiters = build_path_delimiters();
const std::array<uint8_t, 256> lexer_point_chars = build_point_chars();

bool unicode_blank_q(uint32_t cp) {
    switch (cp) {
        case 0x0085: case 0x00A0: case 0x1680: case 0x180E: case 0x2028: case 0x2029:
        case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200B;
    }
}

}  // namespace kel
