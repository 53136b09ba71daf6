#include "boot/locale.h"

#include <iterator>

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

}  // namespace

uint32_t currency_count() { return static_cast<uint32_t>(std::size(currencies_list)); }

const char* currency_code(uint32_t index) {
    return index >= 1 && index <= currency_count() ? currencies_list[index - 1] : nullptr;
}

int32_t currency_index(const char* code, size_t length) {
    if (length != CURRENCY_CODE_LENGTH) return -1;
    for (uint32_t i = 0; i < currency_count(); i++) {
        const char* entry = currencies_list[i];
        if (entry[0] == upper(code[0]) && entry[1] == upper(code[1]) && entry[2] == upper(code[2]))
            return static_cast<int32_t>(i + 1);
    }
    return -1;
}

const char* month_name(uint32_t month) {
    return month >= 1 && month <= MONTHS_COUNT ? months_list[month - 1] : nullptr;
}

}  // namespace locale

namespace options {

cell money_digits{TYPE_INTEGER, 0, 2, 0};

}  // namespace options
}  // namespace kel
