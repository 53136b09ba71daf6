#include "tests/unit/series_fixture.h"

#include "runtime/random.h"

#include <cctype>
#include <cstdio>

namespace kel::testing {

std::vector<owner_call> owner_calls;

std::vector<std::string>& symbol_names() {
    static std::vector<std::string> names{""};
    return names;
}

uint32_t symbol(const std::string& name) {
    auto& names = symbol_names();
    for (size_t i = 1; i < names.size(); i++)
        if (names[i] == name) return static_cast<uint32_t>(i);
    names.push_back(name);
    return static_cast<uint32_t>(names.size() - 1);
}

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

double number(const cell* c) { return TYPE_OF(c) == TYPE_INTEGER ? int_of(c) : cell_float(c); }
bool number_q(uint32_t t) { return t == TYPE_INTEGER || t == TYPE_FLOAT; }

int32_t number_form(cell* value, cell* buffer, cell*, int32_t part) {
    char text[32];
    if (TYPE_OF(value) == TYPE_INTEGER) std::snprintf(text, sizeof text, "%d", int_of(value));
    else std::snprintf(text, sizeof text, "%.1f", cell_float(value));
    return string::form_text(buffer, text, part);
}
int32_t number_mold(cell* value, cell* buffer, bool, bool, bool, cell* arg, int32_t part, int32_t) {
    return number_form(value, buffer, arg, part);
}
int32_t number_compare(cell* a, cell* b, int32_t) {
    if (!number_q(TYPE_OF(b))) return INCOMPARABLE;
    double x = number(a), y = number(b);
    return (x > y) - (x < y);
}

int32_t word_form(cell* value, cell* buffer, cell*, int32_t part) {
    return string::form_text(buffer, symbol_names()[value->w2].c_str(), part);
}
int32_t word_mold(cell* value, cell* buffer, bool, bool, bool, cell* arg, int32_t part, int32_t) {
    const char* prefix = TYPE_OF(value) == TYPE_LIT_WORD ? "'" : TYPE_OF(value) == TYPE_GET_WORD ? ":" : "";
    part = string::form_text(buffer, prefix, part);
    part = word_form(value, buffer, arg, part);
    return string::form_text(buffer, TYPE_OF(value) == TYPE_SET_WORD ? ":" : "", part);
}
int32_t word_compare(cell* a, cell* b, int32_t op) {
    uint32_t tb = TYPE_OF(b);
    if (tb < TYPE_WORD || tb > TYPE_ISSUE) return INCOMPARABLE;
    const std::string& x = symbol_names()[a->w2];
    const std::string& y = symbol_names()[b->w2];
    switch (op) {
        case COMP_STRICT_EQUAL:
        case COMP_SAME:
            return TYPE_OF(a) == tb && x == y ? 0 : 1;
        case COMP_SORT:
            return compare_sign(lower(x).compare(lower(y)));
        case COMP_CASE_SORT:
        case COMP_LESSER:
        case COMP_GREATER:
            return compare_sign(x.compare(y));
        default:
            return lower(x) == lower(y) ? 0 : 1;
    }
}

std::string string_text(const cell* s) {
    series_buffer* b = node_buffer(series_node(s));
    return std::string(reinterpret_cast<const char*>(b->offset) + series_head(s), string::ks_length(s));
}
int32_t string_form(cell* value, cell* buffer, cell*, int32_t part) {
    return string::form_text(buffer, string_text(value).c_str(), part);
}
int32_t string_mold(cell* value, cell* buffer, bool, bool, bool, cell*, int32_t part, int32_t) {
    return string::form_text(buffer, ("\"" + string_text(value) + "\"").c_str(), part);
}
int32_t string_compare(cell* a, cell* b, int32_t op) {
    if (TYPE_OF(a) != TYPE_OF(b)) return INCOMPARABLE;
    std::string x = string_text(a), y = string_text(b);
    if (op != COMP_STRICT_EQUAL && op != COMP_CASE_SORT) x = lower(x), y = lower(y);
    return compare_sign(x.compare(y));
}

void register_test_type(uint32_t type, uint32_t parent, const char* name, form_fn f, mold_fn m,
                        compare_fn c) {
    std::vector<action_entry> row(ACTIONS_COUNT, INHERIT);
    row[ACT_FORM - 1] = entry<ACT_FORM>(f);
    row[ACT_MOLD - 1] = entry<ACT_MOLD>(m);
    row[ACT_COMPARE - 1] = entry<ACT_COMPARE>(c);
    // register_datatype takes a list of exactly ACTIONS_COUNT entries.
    auto e = [&](int i) { return row[i]; };
    register_datatype(type, parent, name, {
        e(0), e(1), e(2), e(3), e(4), e(5), e(6), e(7), e(8), e(9), e(10), e(11), e(12),
        e(13), e(14), e(15), e(16), e(17), e(18), e(19), e(20), e(21), e(22), e(23), e(24),
        e(25), e(26), e(27), e(28), e(29), e(30), e(31), e(32), e(33), e(34), e(35), e(36),
        e(37), e(38), e(39), e(40), e(41), e(42), e(43), e(44), e(45), e(46), e(47), e(48),
        e(49), e(50), e(51), e(52), e(53), e(54), e(55), e(56), e(57), e(58), e(59), e(60),
        e(61),
    });
}


// --- Loader --------------------------------------------------------------------------

struct item {
    enum kind { integer, floating, word, string, none, block };
    explicit item(kind kind_) : k(kind_) {}
    kind k;
    uint32_t type = TYPE_WORD;
    std::string text;
    double number = 0;
    bool new_line = false;
    std::vector<item> children;
};

struct reader {
    const std::string& s;
    size_t i = 0;

    bool space(bool* new_line) {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) {
            if (s[i] == '\n') *new_line = true;
            i++;
        }
        return i < s.size();
    }

    static bool word_char(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-?!*+.~_=<>", c);
    }

    void list(std::vector<item>& out, char close) {
        bool new_line = false;
        while (space(&new_line) && s[i] != close) {
            item it = one();
            it.new_line = new_line;
            new_line = false;
            out.push_back(std::move(it));
        }
        if (i < s.size()) i++;
    }

    item word_item() {
        item it(item::word);
        uint32_t type = TYPE_WORD;
        if (s[i] == '\'') type = TYPE_LIT_WORD, i++;
        else if (s[i] == ':') type = TYPE_GET_WORD, i++;
        else if (s[i] == '/' && i + 1 < s.size() && word_char(s[i + 1])) type = TYPE_REFINEMENT, i++;
        size_t start = i;
        while (i < s.size() && (word_char(s[i]) || s[i] == '/')) i++;
        std::string text = s.substr(start, i - start);
        if (i < s.size() && s[i] == ':') type = TYPE_SET_WORD, i++;
        if (text.find('/') == std::string::npos) {
            it.type = type;
            it.text = text;
            if (text == "none") it.k = item::none;
            return it;
        }
        item path(item::block);
        path.type = type == TYPE_LIT_WORD ? TYPE_LIT_PATH : type == TYPE_GET_WORD ? TYPE_GET_PATH
                  : type == TYPE_SET_WORD ? TYPE_SET_PATH : TYPE_PATH;
        size_t p = 0;
        while (p <= text.size()) {
            size_t q = text.find('/', p);
            if (q == std::string::npos) q = text.size();
            std::string part = text.substr(p, q - p);
            item e(std::isdigit(static_cast<unsigned char>(part[0])) ? item::integer : item::word);
            e.text = part;
            e.number = std::atof(part.c_str());
            path.children.push_back(e);
            p = q + 1;
        }
        return path;
    }

    item one() {
        char c = s[i];
        if (c == '[' || c == '(') {
            item it(item::block);
            it.type = c == '[' ? TYPE_BLOCK : TYPE_PAREN;
            i++;
            list(it.children, c == '[' ? ']' : ')');
            return it;
        }
        if (c == '"') {
            size_t end = s.find('"', i + 1);
            item it(item::string);
            it.text = s.substr(i + 1, end - i - 1);
            i = end + 1;
            return it;
        }
        if (std::isdigit(static_cast<unsigned char>(c)) ||
            (c == '-' && i + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
            size_t start = i++;
            while (i < s.size() && (std::isdigit(static_cast<unsigned char>(s[i])) || s[i] == '.')) i++;
            item it(item::integer);
            it.text = s.substr(start, i - start);
            it.number = std::atof(it.text.c_str());
            if (it.text.find('.') != std::string::npos) it.k = item::floating;
            return it;
        }
        return word_item();
    }
};

cell stand_in_word(uint32_t type, const std::string& name) {
    return cell{type, 0, symbol(name), static_cast<uint32_t>(-1)};
}

// Pushes the value the item denotes.
cell* build(const item& it, word_builder make_word) {
    cell* c = nullptr;
    switch (it.k) {
        case item::integer: {
            cell v = integer_value(static_cast<int32_t>(it.number));
            c = stack::push(&v);
            break;
        }
        case item::floating:
            c = stack::push(&none_value);
            *c = float_cell(TYPE_FLOAT, it.number);
            break;
        case item::word: {
            cell v = make_word(it.type, it.text);
            c = stack::push(&v);
            break;
        }
        case item::none:
            c = stack::push(&none_value);
            break;
        case item::string:
            c = string::make_at(stack::push_cell(), 16);
            string::concat_cstr(c, it.text.c_str());
            break;
        case item::block:
            c = block::push_only(static_cast<int32_t>(it.children.size()));
            for (const item& child : it.children) {
                build(child, make_word);
                block::ks_append(c, stack::top - 1);
                stack::pop(1);
            }
            set_type(c, it.type);
            break;
    }
    if (it.new_line) c->header |= CELL_NEW_LINE;
    return c;
}

}  // namespace

void SeriesTest::SetUp() {
    RuntimeTest::SetUp();
    saved_actions_.reset(new action_entry[TYPE_ROW * TYPE_ROW]);
    std::memcpy(saved_actions_.get(), type_actions, sizeof(action_entry) * TYPE_ROW * TYPE_ROW);
    saved_names_.reset(new type_name_record[TYPE_ROW]);
    std::memcpy(static_cast<void*>(saved_names_.get()), type_names, sizeof(type_name_record) * TYPE_ROW);
    saved_highest_ = highest_type;
    cycles_init();
    series::init();
    block::init();
    paren::init();
    path::init();
    register_test_type(TYPE_INTEGER, 0, "integer!", number_form, number_mold, number_compare);
    register_test_type(TYPE_FLOAT, 0, "float!", number_form, number_mold, number_compare);
    for (uint32_t t = TYPE_WORD; t <= TYPE_ISSUE; t++)
        register_test_type(t, 0, "word!", word_form, word_mold, word_compare);
    register_test_type(TYPE_STRING, 0, "string!", string_form, string_mold, string_compare);
    random_seed(1);
    owner_calls.clear();
    ownership::init();
    ownership::on_deep_change = [](const cell*, const cell*, const cell*, owner_action action, const cell*,
                                   int32_t index, int32_t count) { owner_calls.push_back({action, index, count}); };
}

void SeriesTest::TearDown() {
    ownership::on_deep_change = nullptr;
    ownership_table = 0;
    std::memcpy(type_actions, saved_actions_.get(), sizeof(action_entry) * TYPE_ROW * TYPE_ROW);
    std::memcpy(static_cast<void*>(type_names), saved_names_.get(), sizeof(type_name_record) * TYPE_ROW);
    highest_type = saved_highest_;
    block::call_sort_function = nullptr;
    cycles_reset();
    RuntimeTest::TearDown();
}

cell* SeriesTest::load(const std::string& text) { return load_text(text, stand_in_word); }

cell* load_text(const std::string& text, word_builder make_word) {
    reader r{text};
    std::vector<item> items;
    r.list(items, '\0');
    if (items.size() == 1 && items[0].k == item::block && text.find_first_not_of(" \n") < text.size() &&
        (text[text.find_first_not_of(" \n")] == '[' || text[text.find_first_not_of(" \n")] == '('))
        return build(items[0], make_word);
    item top(item::block);
    top.type = TYPE_BLOCK;
    top.children = std::move(items);
    return build(top, make_word);
}

}  // namespace kel::testing
