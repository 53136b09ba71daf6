#include "datatypes/money.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "datatypes/integer.h"
#include "datatypes/locale.h"
#include "evaluator/actions.h"
#include "runtime/error_catalog.h"
#include "runtime/random.h"
#include "runtime_fixture.h"

using namespace kel;
using namespace kel::testing;

namespace {

constexpr uint32_t script(script_error id) { return error_code(ERR_SCRIPT, static_cast<uint32_t>(id)); }
constexpr uint32_t WRONG_DENOM = script(script_error::wrong_denom);
constexpr uint32_t TYPE_LIMIT = script(script_error::type_limit);
constexpr uint32_t INVALID_TYPE = script(script_error::invalid_type);
constexpr uint32_t BAD_MAKE_ARG = script(script_error::bad_make_arg);
constexpr uint32_t BAD_TO_ARG = script(script_error::bad_to_arg);
constexpr uint32_t NOT_RELATED = script(script_error::not_related);
constexpr uint32_t ZERO_DIVIDE = error_code(ERR_MATH, static_cast<uint32_t>(math_error::zero_divide));

cell int_cell(int32_t n) { return cell{TYPE_INTEGER, 0, static_cast<uint32_t>(n), 0}; }
cell number(double d) { return float_cell(TYPE_FLOAT, d); }

bool scanned(const char* text, cell* out) {
    return scan_money(reinterpret_cast<const uint8_t*>(text), std::strlen(text), out);
}

// A money literal.
cell m(const char* text) {
    cell c{};
    EXPECT_TRUE(scanned(text, &c)) << text;
    return c;
}

// Sets system/options/money-digits for one test and puts 2 back.
struct money_digits_setting {
    explicit money_digits_setting(cell value) { options::money_digits = value; }
    ~money_digits_setting() { options::money_digits = int_cell(2); }
};

class MoneyType : public RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        money::init();
    }

    std::string formed(cell v) {
        cell* out = new_buffer();
        form_dispatch(&v, out, nullptr, 100);
        return text_of(out);
    }
    std::string molded(cell v, bool all = true) {
        cell* out = new_buffer();
        mold_dispatch(&v, out, false, all, false, nullptr, 100, 0);
        return text_of(out);
    }

    // Runs an action on a frame of the given arguments and answers slot 0.
    template <class F>
    cell on_frame(std::initializer_list<cell> args, F&& action) {
        cell* frame = stack::top;
        for (const cell& a : args) stack::push(&a);
        cell* saved = stack::arguments;
        stack::arguments = frame;
        struct restore {
            cell* saved;
            cell* frame;
            ~restore() {
                stack::arguments = saved;
                stack::top = frame;
            }
        } guard{saved, frame};
        action();
        return *frame;
    }
    cell math(cell left, cell right, int32_t op) {
        return on_frame({left, right}, [op] { money::do_math(op); });
    }
    cell to_money(cell spec) {
        cell proto{TYPE_DATATYPE, TYPE_MONEY, 0, 0};
        return on_frame({proto, spec}, [&] {
            cell* frame = stack::arguments;
            const cell* r = to_dispatch(frame, frame + 1, TYPE_MONEY);
            if (r != frame) *frame = *r;
        });
    }
    cell text(const char* chars, uint32_t type = TYPE_STRING) {
        cell* s = new_buffer();
        string::concat_cstr(s, chars);
        set_type(s, type);
        return *s;
    }
};

}  // namespace

TEST_F(MoneyType, Registration) {
    EXPECT_STREQ(type_names[TYPE_MONEY].name, "money!");
    EXPECT_NE(type_action(TYPE_MONEY, ACT_ROUND), nullptr);
    EXPECT_EQ(type_action(TYPE_MONEY, ACT_POWER), nullptr);
    EXPECT_EQ(type_action(TYPE_MONEY, ACT_AND), nullptr);
    EXPECT_EQ(type_action(TYPE_MONEY, ACT_APPEND), nullptr);
}

TEST_F(MoneyType, AmountsArePackedDecimalDigits) {
    cell c = m("-EUR$12.345");
    const uint8_t* a = money_amount(&c);
    for (int i = 0; i < 7; i++) EXPECT_EQ(a[i], 0) << i;
    EXPECT_EQ(a[7], 0x01);  // digits 15-16
    EXPECT_EQ(a[8], 0x23);  // units digit, first decimal
    EXPECT_EQ(a[9], 0x45);
    EXPECT_EQ(a[10], 0x00);
    EXPECT_EQ(c.header, TYPE_MONEY | MONEY_SIGN);
    EXPECT_STREQ(locale::currency_code(money_currency(&c)), "EUR");
    EXPECT_EQ(money_digit_count(&c), 7);
}

TEST_F(MoneyType, ScansMoneyText) {
    struct { const char* text; const char* mold_all; } cases[] = {
        {"USD$1'234.56", "USD$1234.56000"},
        {"-$0.5", "-$0.50000"},
        {"+$2", "$2.00000"},
        {"1.5", "$1.50000"},  // "$" is optional without a currency
        {"usd$3", "USD$3.00000"},
        {"$1.12345", "$1.12345"},
        {"$1.123456", nullptr},  // a sixth decimal
        {"$000000000000000000000001", "$1.00000"},
        {"$99'999'999'999'999'999.99999", "$99999999999999999.99999"},
        {"-$0", "$0.00000"},
        {"USD1.0", nullptr},
        {"$.5", nullptr},
        {"$1..2", nullptr},
        {"$1.'0", nullptr},
        {"$1.", nullptr},
        {"$1'", nullptr},
        {"$'1", nullptr},
        {"$1''0", nullptr},
        {"$1.2'3", nullptr},
        {"$1.2.3", nullptr},
        {"$1a", nullptr},
        {"$", nullptr},
        {"-", nullptr},
        {"", nullptr},
        {"USD$", nullptr},
        {"US$12", nullptr},
        {"XYZ$1", nullptr},  // not in the currency list
        {"$100000000000000000", nullptr},
    };
    for (auto& c : cases) {
        cell out{};
        bool ok = scanned(c.text, &out);
        EXPECT_EQ(ok, c.mold_all != nullptr) << c.text;
        if (ok && c.mold_all) {
            EXPECT_EQ(molded(out), c.mold_all) << c.text;
        }
    }
}

TEST_F(MoneyType, FormAndMold) {
    struct { const char* value; const char* form; const char* mold; const char* mold_all; } cases[] = {
        {"-USD$1234.5", "-USD$1'234.50", "-USD$1234.50", "-USD$1234.50000"},
        {"$1234567", "$1'234'567.00", "$1234567.00", "$1234567.00000"},
        {"$123", "$123.00", "$123.00", "$123.00000"},
        {"$0.5", "$0.50", "$0.50", "$0.50000"},
        {"-$0.5", "-$0.50", "-$0.50", "-$0.50000"},
        {"$1.238", "$1.23", "$1.23", "$1.23800"},  // cut, not rounded
        {"$99999999999999999.99999", "$99'999'999'999'999'999.99", "$99999999999999999.99",
         "$99999999999999999.99999"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(formed(m(c.value)), c.form);
        EXPECT_EQ(molded(m(c.value), false), c.mold);
        EXPECT_EQ(molded(m(c.value)), c.mold_all);
    }
    cell v = m("-USD$1234.5");
    EXPECT_EQ(form_dispatch(&v, new_buffer(), nullptr, 100), 100 - 13);
}

TEST_F(MoneyType, DecimalsFollowTheMoneyDigitsSetting) {
    struct { cell setting; const char* form; } cases[] = {
        {int_cell(0), "$1"},
        {int_cell(-1), "$1"},
        {int_cell(3), "$1.990"},
        {int_cell(7), "$1.99000"},
        {none_value, "$1.99"},
    };
    for (auto& c : cases) {
        money_digits_setting setting(c.setting);
        EXPECT_EQ(formed(m("$1.99")), c.form);
        EXPECT_EQ(molded(m("$1.99")), "$1.99000");
    }
}

TEST_F(MoneyType, Arithmetic) {
    struct { cell left, right; int32_t op; const char* result; uint32_t error; } cases[] = {
        {m("$1.50"), int_cell(1), OP_ADD, "$2.50000", 0},
        {int_cell(2), m("$3"), OP_MULTIPLY, "$6.00000", 0},
        {m("USD$1"), m("$1"), OP_ADD, "USD$2.00000", 0},
        {m("$1"), m("USD$1"), OP_ADD, "USD$2.00000", 0},
        {m("EUR$2"), int_cell(3), OP_MULTIPLY, "EUR$6.00000", 0},
        {m("USD$1"), m("EUR$1"), OP_ADD, nullptr, WRONG_DENOM},
        {m("$1"), m("$3"), OP_SUBTRACT, "-$2.00000", 0},
        {m("$5"), m("$5"), OP_SUBTRACT, "$0.00000", 0},
        {m("-$1"), m("$1"), OP_ADD, "$0.00000", 0},
        {m("-$1.25"), m("-$1"), OP_SUBTRACT, "-$0.25000", 0},
        {m("$99999999999999999"), m("$1"), OP_ADD, nullptr, TYPE_LIMIT},
        {m("$99999999999999999.99999"), m("$0.00001"), OP_ADD, nullptr, TYPE_LIMIT},
        {m("-$99999999999999999"), m("$1"), OP_SUBTRACT, nullptr, TYPE_LIMIT},
        {m("$1"), int_cell(3), OP_DIVIDE, "$0.33333", 0},
        {m("-$2"), int_cell(3), OP_DIVIDE, "-$0.66666", 0},
        {m("$1"), m("$0"), OP_DIVIDE, nullptr, ZERO_DIVIDE},
        {m("$1"), int_cell(0), OP_REMAINDER, nullptr, ZERO_DIVIDE},
        {m("$10"), m("$4"), OP_REMAINDER, "$2.00000", 0},
        {m("-$10"), m("$4"), OP_REMAINDER, "-$2.00000", 0},
        {m("$10"), m("-$4"), OP_REMAINDER, "$2.00000", 0},
        {int_cell(10), m("$4"), OP_DIVIDE, nullptr, INVALID_TYPE},
        {int_cell(10), m("$4"), OP_REMAINDER, nullptr, INVALID_TYPE},
        {m("$2"), m("$3"), OP_MULTIPLY, nullptr, INVALID_TYPE},
        {m("$2"), none_value, OP_ADD, nullptr, INVALID_TYPE},
        {m("$2"), m("$3"), OP_AND, nullptr, INVALID_TYPE},
        {m("$2"), int_cell(1), 5, nullptr, INVALID_TYPE},  // bitwise codes
        {m("$0.00001"), number(0.5), OP_MULTIPLY, "$0.00000", 0},  // cut, not rounded
        {m("$1234567890123.45"), int_cell(10), OP_MULTIPLY, "$12345678901234.50000", 0},
        {m("$99999999999"), int_cell(9999999), OP_MULTIPLY, nullptr, TYPE_LIMIT},
        {m("$10000000000000000"), int_cell(10), OP_MULTIPLY, nullptr, TYPE_LIMIT},
        {m("$1"), number(0.1), OP_ADD, "$1.10000", 0},
        {number(0.1), m("$1"), OP_MULTIPLY, "$0.10000", 0},
        {m("$1"), number(0.1234567), OP_ADD, "$1.12345", 0},  // arithmetic is not strict
        {m("$1"), number(1e17), OP_ADD, nullptr, BAD_MAKE_ARG},
        {m("$1"), number(0.000001), OP_ADD, nullptr, BAD_MAKE_ARG},
    };
    for (auto& c : cases) {
        cell result{};
        uint32_t code = raised_code([&] { result = math(c.left, c.right, c.op); });
        EXPECT_EQ(code, c.error) << formed(c.left) << " op " << c.op;
        if (!code) {
            EXPECT_EQ(molded(result), c.result) << formed(c.left) << " op " << c.op;
        }
    }
}

TEST_F(MoneyType, MoneyDividedByMoneyIsAFloat) {
    struct { const char* left; const char* right; double quotient; } cases[] = {
        {"$10", "$4", 2.5},
        {"$1", "$3", 0.33333},
        {"-USD$1", "$8", -0.125},
    };
    for (auto& c : cases) {
        cell q = math(m(c.left), m(c.right), OP_DIVIDE);
        EXPECT_EQ(TYPE_OF(&q), uint32_t(TYPE_FLOAT));
        EXPECT_EQ(cell_float(&q), c.quotient) << c.left;
    }
}

TEST_F(MoneyType, WrongDenominationNamesBothValues) {
    EXPECT_EQ(raised_code([&] { math(m("USD$1"), m("EUR$1"), OP_ADD); }), WRONG_DENOM);
    const raised_error& e = last_raised_error();
    EXPECT_EQ(molded(e.args[0]), "USD$1.00000");
    EXPECT_EQ(molded(e.args[1]), "EUR$1.00000");
}

TEST_F(MoneyType, ToMoney) {
    struct { cell spec; const char* result; uint32_t error; } cases[] = {
        {int_cell(5), "$5.00000", 0},
        {int_cell(std::numeric_limits<int32_t>::min()), "-$2147483648.00000", 0},
        {number(0.1), "$0.10000", 0},  // shortest digits: no binary expansion
        {number(1234.5), "$1234.50000", 0},
        {number(-0.3), "-$0.30000", 0},
        {number(1e-5), "$0.00001", 0},
        {number(99999999999999984.0), "$99999999999999980.00000", 0},  // as the float molds
        {number(-0.0), "$0.00000", 0},
        {number(0.1 + 0.2), nullptr, BAD_MAKE_ARG},  // 0.30000000000000004
        {number(0.123456), nullptr, BAD_MAKE_ARG},
        {number(0.000001), nullptr, BAD_MAKE_ARG},
        {number(1e17), nullptr, BAD_MAKE_ARG},
        {number(-1e17), nullptr, BAD_MAKE_ARG},
        {number(INFINITY), nullptr, BAD_MAKE_ARG},
        {number(NAN), nullptr, BAD_MAKE_ARG},
        {m("EUR$3"), "EUR$3.00000", 0},
        {none_value, nullptr, BAD_TO_ARG},
        {float_cell(TYPE_PERCENT, 0.5), nullptr, BAD_TO_ARG},
    };
    for (auto& c : cases) {
        cell result{};
        uint32_t code = raised_code([&] { result = to_money(c.spec); });
        EXPECT_EQ(code, c.error) << TYPE_OF(&c.spec) << " " << cell_float(&c.spec);
        if (!code) {
            EXPECT_EQ(molded(result), c.result);
        }
    }
}

TEST_F(MoneyType, ToMoneyFromText) {
    struct { const char* chars; uint32_t type; const char* result; } cases[] = {
        {"USD$1'234.56", TYPE_STRING, "USD$1234.56000"},
        {"-1.5", TYPE_STRING, "-$1.50000"},
        {"$7", TYPE_FILE, "$7.00000"},
        {"$7", TYPE_TAG, "$7.00000"},
        {"$1..2", TYPE_STRING, nullptr},
        {"", TYPE_STRING, nullptr},
    };
    for (auto& c : cases) {
        cell spec = text(c.chars, c.type);
        cell result{};
        uint32_t code = raised_code([&] { result = to_money(spec); });
        EXPECT_EQ(code, c.result ? 0 : BAD_TO_ARG) << c.chars;
        if (!code) {
            EXPECT_EQ(molded(result), c.result);
        }
    }
    // Text after the head only.
    cell spec = text("x$3");
    spec.w1 = 1;
    EXPECT_EQ(molded(to_money(spec)), "$3.00000");
}

TEST_F(MoneyType, ToIntegerKeepsTheWholePart) {
    struct { const char* value; int32_t whole; uint32_t error; } cases[] = {
        {"-$2.75", -2, 0},
        {"$0.5", 0, 0},
        {"$2147483647.99", 2147483647, 0},
        {"-$2147483647", -2147483647, 0},
        {"$2147483648", 0, TYPE_LIMIT},
        {"$99999999999999999", 0, TYPE_LIMIT},
    };
    for (auto& c : cases) {
        cell v = m(c.value);
        int32_t whole = 0;
        EXPECT_EQ(raised_code([&] { whole = integer::from_money(&v); }), c.error) << c.value;
        EXPECT_EQ(whole, c.whole) << c.value;
    }
}

TEST_F(MoneyType, ToFloatIsTheNearestDouble) {
    struct { const char* value; double x; } cases[] = {
        {"$0.1", 0.1},
        {"-$1234.56789", -1234.56789},
        {"$99999999999999999.99999", 1e17},
    };
    for (auto& c : cases) {
        cell v = m(c.value);
        EXPECT_EQ(money_to_float(&v), c.x) << c.value;
    }
}

TEST_F(MoneyType, Compare) {
    struct { cell left, right; int32_t op; bool truth; uint32_t error; } cases[] = {
        {m("USD$1"), m("EUR$2"), COMP_LESSER, false, WRONG_DENOM},
        {m("USD$1"), m("EUR$1"), COMP_EQUAL, false, 0},
        {m("USD$1"), m("$1"), COMP_EQUAL, true, 0},
        {m("USD$1"), m("$1"), COMP_STRICT_EQUAL, false, 0},
        {m("USD$1"), m("$2"), COMP_LESSER, true, 0},
        {m("-$1"), m("$1"), COMP_LESSER, true, 0},
        {m("-$0"), m("$0"), COMP_STRICT_EQUAL, true, 0},
        {m("$1"), int_cell(1), COMP_EQUAL, true, 0},
        {m("$1"), int_cell(1), COMP_STRICT_EQUAL, false, 0},
        {m("$1.5"), int_cell(1), COMP_GREATER, true, 0},
        {m("$0.1"), number(0.1), COMP_EQUAL, true, 0},
        {m("-$0.3"), number(-0.3), COMP_EQUAL, true, 0},
        // A float with more than five decimals is ordered exactly, never an error.
        {m("$1"), number(1.000001), COMP_EQUAL, false, 0},
        {m("$1"), number(1.000001), COMP_LESSER, true, 0},
        {m("$1"), number(0.999999), COMP_GREATER, true, 0},
        {m("-$1"), number(-1.000001), COMP_GREATER, true, 0},
        {m("$0"), number(0.000001), COMP_LESSER, true, 0},
        {m("$0"), number(-0.000001), COMP_GREATER, true, 0},
        {m("-$0.00001"), number(-0.000001), COMP_LESSER, true, 0},
        {m("$99999999999999999"), number(1e17), COMP_LESSER, true, 0},
        {m("-$99999999999999999"), number(-INFINITY), COMP_GREATER, true, 0},
        {m("$1"), number(NAN), COMP_EQUAL, false, 0},
        {m("$1"), none_value, COMP_EQUAL, false, 0},
        {m("$1"), none_value, COMP_LESSER, false, script(script_error::invalid_compare)},
    };
    for (auto& c : cases) {
        bool truth = false;
        uint32_t code = raised_code([&] { truth = actions::compare(&c.left, &c.right, c.op); });
        EXPECT_EQ(code, c.error) << formed(c.left) << " op " << c.op;
        EXPECT_EQ(truth, c.truth) << formed(c.left) << " op " << c.op;
    }
}

TEST_F(MoneyType, Round) {
    enum mode { NEAREST, EVEN, DOWN, HALF_DOWN, FLOOR, CEILING, HALF_CEILING };
    struct { const char* value; std::optional<cell> scale; mode how; const char* result; uint32_t error; } cases[] = {
        {"$2.5", {}, NEAREST, "$3.00000", 0},
        {"-$2.5", {}, NEAREST, "-$3.00000", 0},
        {"$2.4", {}, NEAREST, "$2.00000", 0},
        {"$2.5", {}, EVEN, "$2.00000", 0},
        {"$3.5", {}, EVEN, "$4.00000", 0},
        {"$2.5", {}, HALF_DOWN, "$2.00000", 0},
        {"$2.5", {}, HALF_CEILING, "$3.00000", 0},
        {"-$2.5", {}, HALF_CEILING, "-$2.00000", 0},
        {"-$2.6", {}, DOWN, "-$2.00000", 0},
        {"-$2.4", {}, FLOOR, "-$3.00000", 0},
        {"$2.4", {}, FLOOR, "$2.00000", 0},
        {"$2.4", {}, CEILING, "$3.00000", 0},
        {"-$2.6", {}, CEILING, "-$2.00000", 0},
        {"USD$2.5", {}, NEAREST, "USD$3.00000", 0},
        {"$1234", int_cell(100), NEAREST, "$1200.00000", 0},
        {"$1.23", number(0.05), NEAREST, "$1.25000", 0},
        {"$1.245", m("EUR$0.01"), EVEN, "$1.24000", 0},  // ties go to the even multiple
        {"$1.235", m("$0.01"), EVEN, "$1.24000", 0},
        {"$7", int_cell(0), NEAREST, "$7.00000", 0},
        {"$0", int_cell(3), CEILING, "$0.00000", 0},
        {"$99999999999999999.9", {}, NEAREST, nullptr, TYPE_LIMIT},
        {"$1", none_value, NEAREST, nullptr, NOT_RELATED},
        {"$1", number(0.000001), NEAREST, nullptr, BAD_MAKE_ARG},
    };
    for (auto& c : cases) {
        cell v = m(c.value);
        cell scale = c.scale.value_or(none_value);
        cell* scale_arg = c.scale ? &scale : nullptr;
        uint32_t code = raised_code([&] {
            money::round(&v, scale_arg, c.how == EVEN, c.how == DOWN, c.how == HALF_DOWN,
                         c.how == FLOOR, c.how == CEILING, c.how == HALF_CEILING);
        });
        EXPECT_EQ(code, c.error) << c.value << " mode " << c.how;
        if (!code) {
            EXPECT_EQ(molded(v), c.result) << c.value << " mode " << c.how;
        }
    }
}

TEST_F(MoneyType, SignAndParity) {
    cell v = m("-EUR$3.5");
    EXPECT_EQ(molded(*money::negate(&v)), "EUR$3.50000");
    EXPECT_TRUE(money::odd_q(&v));
    cell zero = m("$0");
    money::negate(&zero);
    EXPECT_EQ(zero.header, uint32_t(TYPE_MONEY));  // no negative zero
    cell even = m("$12.9");
    EXPECT_TRUE(money::even_q(&even));
    cell result = on_frame({m("-$4")}, [] { money::absolute(); });
    EXPECT_EQ(molded(result), "$4.00000");
}

TEST_F(MoneyType, RandomStaysBetweenZeroAndTheValue) {
    random_seed(7);
    const char* values[] = {"$1000", "-USD$123.45", "$0.00009", "$99999999999999999.99999"};
    for (const char* text : values) {
        cell value = m(text);
        money_magnitude limit = money_get_magnitude(&value);
        for (int i = 0; i < 200; i++) {
            cell r = value;
            money::random(&r, false, false, false);
            EXPECT_LE(money_get_magnitude(&r), limit) << text;
            EXPECT_EQ(money_currency(&r), money_currency(&value));
            if (!money_zero_q(&r)) {
                EXPECT_EQ(money_get_sign(&r), money_get_sign(&value));
            }
        }
    }
    cell v = m("-$1.5");
    random_seed(v.w1 ^ v.w2 ^ v.w3 ^ MONEY_SIGN);
    uint32_t first = random_next();
    EXPECT_EQ(TYPE_OF(money::random(&v, true, false, false)), uint32_t(TYPE_UNSET));
    EXPECT_EQ(random_next(), first);
}

TEST_F(MoneyType, CurrencyList) {
    EXPECT_EQ(locale::currency_count(), 170u);
    EXPECT_STREQ(locale::currency_code(1), "AED");
    EXPECT_STREQ(locale::currency_code(170), "ZMW");
    EXPECT_EQ(locale::currency_code(0), nullptr);
    EXPECT_EQ(locale::currency_code(171), nullptr);
    int32_t usd = locale::currency_index("usd", 3);
    EXPECT_STREQ(locale::currency_code(usd), "USD");
    EXPECT_EQ(locale::currency_index("XYZ", 3), -1);
    EXPECT_EQ(locale::currency_index("USDX", 4), -1);
    EXPECT_EQ(options::money_decimals(), 2);
}
