#include "io/http.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/map.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "io/simple_io.h"
#include "runtime/case_folding.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel {

namespace {

// The transport, looked up once when the first request is made: start-up does not pay for it.
struct curl_library {
    decltype(&curl_global_init) global_init = nullptr;
    decltype(&curl_easy_init) easy_init = nullptr;
    decltype(&curl_easy_setopt) setopt = nullptr;
    decltype(&curl_easy_perform) perform = nullptr;
    decltype(&curl_easy_getinfo) getinfo = nullptr;
    decltype(&curl_easy_cleanup) cleanup = nullptr;
    decltype(&curl_slist_append) slist_append = nullptr;
    decltype(&curl_slist_free_all) slist_free_all = nullptr;
    bool loaded = false;
};

template <typename F>
void bind(void* handle, F& slot, const char* name) {
    slot = reinterpret_cast<F>(dlsym(handle, name));
}

const curl_library& curl() {
    static curl_library lib = [] {
        curl_library l;
        void* h = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
        if (!h) return l;
        bind(h, l.global_init, "curl_global_init");
        bind(h, l.easy_init, "curl_easy_init");
        bind(h, l.setopt, "curl_easy_setopt");
        bind(h, l.perform, "curl_easy_perform");
        bind(h, l.getinfo, "curl_easy_getinfo");
        bind(h, l.cleanup, "curl_easy_cleanup");
        bind(h, l.slist_append, "curl_slist_append");
        bind(h, l.slist_free_all, "curl_slist_free_all");
        l.loaded = l.global_init && l.easy_init && l.setopt && l.perform && l.getinfo && l.cleanup &&
                   l.slist_append && l.slist_free_all && l.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
        return l;
    }();
    return lib;
}

// A value as header text: a word's spelling, a string's text, anything else formed.
std::string header_text(cell* value) {
    if (TYPE_OF(value) == TYPE_STRING) {
        size_t n = 0;
        const char* text = to_utf8(value, -1, &n);
        return std::string(text, n);
    }
    if (TYPE_OF(value) >= TYPE_WORD && TYPE_OF(value) <= TYPE_GET_WORD) {
        size_t n = 0;
        const uint8_t* name = symbol::name_bytes(value->w2, &n);
        return std::string(reinterpret_cast<const char*>(name), n);
    }
    cell* formed = stack::push(&none_value);
    string::make_at(formed, 16);
    (void)form_dispatch(value, formed, nullptr, -1);
    std::string text = header_text(formed);
    stack::pop(1);
    return text;
}

std::string method_text(const cell* word) {
    size_t n = 0;
    const uint8_t* name = symbol::name_bytes(word->w2, &n);
    std::string text(reinterpret_cast<const char*>(name), n);
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

bool same_name(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// What the request sends and what comes back, kept outside the collector's reach.
struct exchange {
    std::string url;
    std::string method;
    std::vector<std::pair<std::string, std::string>> headers;
    std::vector<uint8_t> body;
    bool has_body = false;
    long status = 0;
    std::string response_headers;
    std::vector<uint8_t> response;
};

size_t take_body(char* data, size_t size, size_t count, void* user) {
    auto* out = static_cast<std::vector<uint8_t>*>(user);
    out->insert(out->end(), data, data + size * count);
    return size * count;
}

// Only the final response's headers count: a new status line (after a redirect or an
// interim response) starts them again.
size_t take_header(char* data, size_t size, size_t count, void* user) {
    auto* out = static_cast<std::string*>(user);
    size_t n = size * count;
    if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0) out->clear();
    out->append(data, n);
    return n;
}

bool perform(exchange& x) {
    const curl_library& lib = curl();
    if (!lib.loaded) return false;
    CURL* h = lib.easy_init();
    if (!h) return false;
    curl_slist* list = nullptr;
    for (auto& [name, value] : x.headers) list = lib.slist_append(list, (name + ": " + value).c_str());
    bool has_type = false;
    for (auto& header : x.headers) has_type = has_type || same_name(header.first, "Content-Type");
    // The transport adds neither a content type of its own nor a 100-continue wait.
    if (!has_type) list = lib.slist_append(list, "Content-Type:");
    list = lib.slist_append(list, "Expect:");

    lib.setopt(h, CURLOPT_URL, x.url.c_str());
    lib.setopt(h, CURLOPT_NOSIGNAL, 1L);
    lib.setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    lib.setopt(h, CURLOPT_CONNECTTIMEOUT, 60L);
    lib.setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    lib.setopt(h, CURLOPT_LOW_SPEED_TIME, 30L);
    lib.setopt(h, CURLOPT_HTTPHEADER, list);
    lib.setopt(h, CURLOPT_WRITEFUNCTION, take_body);
    lib.setopt(h, CURLOPT_WRITEDATA, &x.response);
    lib.setopt(h, CURLOPT_HEADERFUNCTION, take_header);
    lib.setopt(h, CURLOPT_HEADERDATA, &x.response_headers);
    if (x.has_body) {
        lib.setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(x.body.size()));
        lib.setopt(h, CURLOPT_POSTFIELDS, x.body.empty() ? "" : reinterpret_cast<const char*>(x.body.data()));
        if (x.method != "POST") lib.setopt(h, CURLOPT_CUSTOMREQUEST, x.method.c_str());
    } else if (x.method == "HEAD") {
        lib.setopt(h, CURLOPT_NOBODY, 1L);
    } else if (x.method != "GET") {
        lib.setopt(h, CURLOPT_CUSTOMREQUEST, x.method.c_str());
    }
    bool done = lib.perform(h) == CURLE_OK;
    if (done) lib.getinfo(h, CURLINFO_RESPONSE_CODE, &x.status);
    lib.slist_free_all(list);
    lib.cleanup(h);
    return done;
}

void read_headers(cell* block, exchange& x) {
    if (TYPE_OF(block) != TYPE_BLOCK) {
        x.headers = {{"Content-Type", "application/x-www-form-urlencoded"},
                     {"Accept-Charset", "UTF-8"},
                     {"User-Agent", "Mozilla/5.0 (Windows NT 6.1; Win64; x64)"}};
        return;
    }
    int32_t n = block::ks_length_q(block);
    for (int32_t i = 0; i + 1 < n; i += 2) {
        cell* name = stack::push(block::ks_head(block) + i);
        cell* value = stack::push(block::ks_head(block) + i + 1);
        x.headers.emplace_back(header_text(name), header_text(value));
        stack::pop(2);
    }
}

void read_body(cell* body, exchange& x) {
    if (TYPE_OF(body) == TYPE_BINARY) {
        x.body.assign(binary::ks_head(body), binary::ks_tail(body));
        x.has_body = true;
    } else if (TYPE_OF(body) == TYPE_STRING) {
        size_t n = 0;
        const char* text = to_utf8(body, -1, &n);
        x.body.assign(text, text + n);
        x.has_body = true;
    }
}

void push_body(const std::vector<uint8_t>& bytes, bool binary, bool lines) {
    if (binary) binary::load(bytes.data(), bytes.size());
    else if (lines) simple_io::split_text_lines(bytes.data(), bytes.size());
    else load_string_push(bytes.data(), bytes.size(), 0);
}

}  // namespace

cell* parse_http_headers(const uint8_t* text, size_t length) {
    std::vector<std::pair<std::string, std::vector<std::string>>> fields;
    size_t p = 0;
    while (p < length) {
        size_t end = p;
        while (end < length && text[end] != '\n') end++;
        size_t line_end = end > p && text[end - 1] == '\r' ? end - 1 : end;
        const uint8_t* colon = static_cast<const uint8_t*>(std::memchr(text + p, ':', line_end - p));
        if (colon && colon > text + p) {
            std::string name(reinterpret_cast<const char*>(text + p), colon - (text + p));
            size_t v = static_cast<size_t>(colon - text) + 1;
            while (v < line_end && (text[v] == ' ' || text[v] == '\t')) v++;
            std::string value(reinterpret_cast<const char*>(text + v), line_end - v);
            auto field = std::find_if(fields.begin(), fields.end(),
                                      [&](const auto& f) { return same_name(f.first, name.c_str()); });
            if (field != fields.end()) field->second.push_back(std::move(value));
            else fields.push_back({std::move(name), {std::move(value)}});
        }
        p = end + 1;
    }
    cell* spec = block::make_at(stack::push(&none_value), static_cast<int32_t>(2 * fields.size()));
    for (auto& [name, values] : fields) {
        cell key;
        word::make_at(symbol::make_from_bytes(reinterpret_cast<const uint8_t*>(name.data()), name.size()), &key);
        block::ks_append(spec, &key);
        if (values.size() == 1) {
            load_string_tail(reinterpret_cast<const uint8_t*>(values[0].data()), values[0].size(), spec, 0);
            continue;
        }
        cell* all = block::make_at(stack::push(&none_value), static_cast<int32_t>(values.size()));
        for (auto& value : values)
            load_string_tail(reinterpret_cast<const uint8_t*>(value.data()), value.size(), all, 0);
        block::ks_append(spec, all);
        stack::pop(1);
    }
    cell* map = stack::push(&none_value);
    map::make_at(map, spec, static_cast<int32_t>(fields.size()));
    *spec = *map;
    stack::pop(1);
    return spec;
}

const cell* read_url(cell* method, cell* url, cell* headers, cell* body, bool binary, bool lines, bool info) {
    exchange x;
    x.method = method_text(method);
    {
        cell* escaped = string::make_at(stack::push(&none_value), 64);
        url::encode_string(url, escaped, 0);
        size_t n = 0;
        const char* text = to_utf8(escaped, -1, &n);
        x.url.assign(text, n);
        stack::pop(1);
    }
    read_headers(headers, x);
    read_body(body, x);
    if (!perform(x)) return stack::push(&none_value);
    if (!info) {
        push_body(x.response, binary, lines);
        return stack::top_cell();
    }
    cell* result = block::make_at(stack::push(&none_value), 3);
    cell status = integer_value(static_cast<int32_t>(x.status));
    block::ks_append(result, &status);
    block::ks_append(result, parse_http_headers(reinterpret_cast<const uint8_t*>(x.response_headers.data()),
                                                x.response_headers.size()));
    stack::pop(1);
    push_body(x.response, binary, lines);
    block::ks_append(result, stack::top_cell());
    stack::pop(1);
    return result;
}

void install_http() { url::hooks.read_url = read_url; }

}  // namespace kel
