#include "datatypes/locale.h"

#include <iterator>

#include "datatypes/context.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"

namespace kel {

namespace locale {

namespace {

const char* const currencies_list[] = {
    "AED", "AFN", "ALL", "AMD", "ANG", "AOA", "ARS", "AUD", "AWG", "AZN", "BAM", "BBD", "BDT",
    "BTC", "BGN", "BHD", "BIF", "BMD", "BND", "BOB", "BRL", "BSD", "BTN", "BWP", "BYN", "BZD",
    "CAD", "CDF", "CHF", "CKD", "CLP", "CNY", "COP", "CRC", "CUC", "CUP", "CVE", "CZK", "DJF",
    "DKK", "DOP", "DZD", "EGP", "ERN", "ETB", "ETH", "EUR", "FJD", "FKP", "FOK", "GBP", "GEL",
    "GGP", "GHS", "GIP", "GMD", "GNF", "GTQ", "GYD", "HKD", "HNL", "HRK", "HTG", "HUF", "IDR",
    "ILS", "IMP", "INR", "IQD", "IRR", "ISK", "JEP", "JMD", "JOD", "JPY", "KES", "KGS", "KHR",
    "KID", "KMF", "KPW", "KRW", "KWD", "KYD", "KZT", "LAK", "LBP", "LKR", "LRD", "LSL", "LYD",
    "MAD", "MDL", "MGA", "MKD", "MMK", "MNT", "MOP", "MRU", "MUR", "MVR", "MWK", "MXN", "MYR",
    "MZN", "NAD", "NGN", "NIO", "NOK", "NPR", "NZD", "OMR", "PAB", "PEN", "PGK", "PHP", "PKR",
    "PLN", "PND", "PRB", "PYG", "QAR", "KEL", "RON", "RSD", "RUB", "RWF", "SAR", "SBD", "SCR",
    "SDG", "SEK", "SGD", "SHP", "SLL", "SLS", "SOS", "SRD", "SSP", "STN", "SYP", "SZL", "THB",
    "TJS", "TMT", "TND", "TOP", "TRY", "TTD", "TVD", "TWD", "TZS", "UAH", "UGX", "USD", "UYU",
    "UZS", "VES", "VND", "VUV", "WST", "CFA", "XAF", "XCD", "XOF", "CFP", "XPF", "YER", "ZAR",
    "ZMW",
};
static_assert(std::size(currencies_list) == 170);

const char* const months_list[] = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December",
};
static_assert(std::size(months_list) == MONTHS_COUNT);

inline char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// The system object's list block (its handlers refuse any replacement), 0 before it.
node_id system_list = 0;

uint32_t list_length() { return static_cast<uint32_t>(node_buffer(system_list)->used_bytes() / sizeof(cell)); }

cell* field(const cell* object, const char* name) {
    if (TYPE_OF(object) != TYPE_OBJECT) return nullptr;
    int32_t i = object::field_index(object, symbol::make(name));
    return i < 0 ? nullptr : object::get_values(object) + i;
}

}  // namespace

void adopt(const cell* system) {
    cell* locale = field(system, "locale");
    cell* currencies = locale ? field(locale, "currencies") : nullptr;
    cell* list = currencies ? field(currencies, "list") : nullptr;
    if (list && TYPE_OF(list) == TYPE_BLOCK) system_list = series_node(list);
    cell* options = field(system, "options");
    int32_t digits = options ? object::field_index(options, symbol::make("money-digits")) : -1;
    if (digits >= 0) options::adopt_money_digits(options->w1, static_cast<uint32_t>(digits));
}

uint32_t currency_count() {
    return system_list ? list_length() : static_cast<uint32_t>(std::size(currencies_list));
}

const char* currency_code(uint32_t index) {
    if (index < 1 || index > currency_count()) return nullptr;
    if (!system_list) return currencies_list[index - 1];
    const cell* word = series_cell(system_list, index - 1);
    return TYPE_OF(word) == TYPE_WORD ? symbol::name_c_string(word->w2) : nullptr;
}

int32_t currency_index(const char* code, size_t length) {
    if (length != CURRENCY_CODE_LENGTH) return -1;
    for (uint32_t i = 1; i <= currency_count(); i++) {
        const char* entry = currency_code(i);
        if (entry && entry[0] == upper(code[0]) && entry[1] == upper(code[1]) && entry[2] == upper(code[2]) && !entry[3])
            return static_cast<int32_t>(i);
    }
    return -1;
}

const char* month_name(uint32_t month) {
    return month >= 1 && month <= MONTHS_COUNT ? months_list[month - 1] : nullptr;
}

}  // namespace locale

namespace options {

cell money_digits{TYPE_INTEGER, 0, 2, 0};

namespace {

node_id options_ctx = 0;
uint32_t money_digits_index = 0;

}  // namespace

void adopt_money_digits(node_id ctx, uint32_t index) {
    options_ctx = ctx;
    money_digits_index = index;
}

const cell* money_digits_setting() {
    return options_ctx ? _context::values(ctx_cell(options_ctx)) + money_digits_index : &money_digits;
}

}  // namespace options
}  // namespace kel
