#include "io/csv.h"

#include <vector>

#include "datatypes/block.h"
#include "datatypes/series.h"
#include "io/text_cells.h"
#include "runtime/collector.h"
#include "runtime/stack.h"

namespace kel::csv {

namespace {

// Everything the loop makes is kept (the rows), so a collection during it would only mark
// them again and again: it waits until the loop is done. Nothing moves meanwhile, so the
// loop reads the text in place.
struct collector_paused {
    bool saved = collector_enabled;
    collector_paused() { collector_enabled = false; }
    ~collector_paused() { collector_enabled = saved; }
    collector_paused(const collector_paused&) = delete;
    collector_paused& operator=(const collector_paused&) = delete;
};

template <class T>
class reader {
public:
    reader(text_cells::source<T> in, const options& options)
        : chars_(in.data()), size_(in.size()), o_(options) {
        for (uint32_t c : {o_.delimiter, uint32_t{'\n'}, uint32_t{'\r'}})
            if (c <= 0xFF) stops_[c] = true;
    }

    bool rows(cell* out) {
        collector_paused paused;
        cell* saved = stack::top;
        cell* rows = block::push_only(static_cast<int32_t>(size_ / 80) + 1);
        cell* line = stack::push_cell();
        cell* value = stack::push_cell();
        bool done = o_.header ? header_line(rows, line, value) : true;
        while (done && status_ < 0 && !only_line_ends()) {
            line_start_ = at_;
            if (!values(line, value)) break;
            line_end();
            store(rows, line);
        }
        if (done) *out = status_ < 0 ? *rows : integer_value(status_);
        stack::top = saved;
        return done;
    }

private:
    const T* chars_;
    size_t size_;
    options o_;
    bool stops_[256] = {};
    size_t at_ = 0;
    size_t line_start_ = 0;
    // The last value read: chars_[from_, to_), with its doubled quotes still in when doubled_.
    size_t from_ = 0;
    size_t to_ = 0;
    bool doubled_ = false;
    std::vector<T> text_;
    int32_t status_ = -1;
    int32_t longest_ = -1;

    bool end_q() const { return at_ >= size_; }

    // A delimiter or a line end: what ends an unquoted value.
    bool stop(uint32_t c) const { return c <= 0xFF ? stops_[c] : c == o_.delimiter; }

    bool line_end() {
        if (end_q()) return false;
        if (chars_[at_] == '\n') {
            at_++;
            return true;
        }
        if (chars_[at_] != '\r') return false;
        at_++;
        if (!end_q() && chars_[at_] == '\n') at_++;
        return true;
    }

    bool only_line_ends() const {
        for (size_t i = at_; i < size_; i++)
            if (chars_[i] != '\n' && chars_[i] != '\r') return false;
        return true;
    }

    // A header must end with a line end and have more than line ends after it; what does
    // not is raised by the grammar.
    bool header_line(cell* rows, cell* line, cell* value) {
        if (!values(line, value)) return true;
        if (!line_end() || only_line_ends()) return false;
        block::ks_append(rows, line);
        return true;
    }

    // A closing quote must end its value: other text after it ends reading with the line's
    // number.
    bool values(cell* line, cell* value) {
        block::make_at(line, longest_ > 0 ? longest_ : 8);
        for (;;) {
            if (!quoted_value()) unquoted_value();
            else if (!end_q() && !stop(chars_[at_])) {
                status_ = line_number();
                return false;
            }
            make_value(value);
            block::ks_append(line, value);
            if (end_q() || chars_[at_] != o_.delimiter) return true;
            at_++;
        }
    }

    // An opening quote without its closing one leaves the value to be read unquoted.
    bool quoted_value() {
        if (end_q() || chars_[at_] != o_.quote) return false;
        bool doubled = false;
        for (size_t i = at_ + 1; i < size_; i++) {
            if (chars_[i] != o_.quote) continue;
            if (i + 1 < size_ && chars_[i + 1] == o_.quote) {
                doubled = true;
                i++;
                continue;
            }
            from_ = at_ + 1;
            to_ = i;
            at_ = i + 1;
            doubled_ = doubled;
            return true;
        }
        return false;
    }

    // The scan keeps its place in a local: a store through the member on each character
    // would be read back, as one-byte text may alias it.
    void unquoted_value() {
        size_t i = at_;
        while (i < size_ && !stop(chars_[i])) i++;
        from_ = at_;
        to_ = at_ = i;
        doubled_ = false;
    }

    void make_value(cell* value) {
        if (!doubled_) {
            text_cells::make_string(value, chars_ + from_, to_ - from_);
            return;
        }
        text_.clear();
        for (size_t i = from_; i < to_; i++) {
            text_.push_back(chars_[i]);
            if (chars_[i] == o_.quote) i++;
        }
        text_cells::make_string(value, text_.data(), text_.size());
    }

    int32_t line_number() const {
        int32_t n = 1;
        for (size_t i = 0; i < line_start_; i++) {
            if (chars_[i] == '\n') n++;
            else if (chars_[i] == '\r' && !(i + 1 < line_start_ && chars_[i + 1] == '\n')) n++;
        }
        return n;
    }

    void store(cell* rows, cell* line) {
        int32_t length = block::ks_length_q(line);
        if (o_.ignore_empty) {
            cell* last = block::ks_tail(line) - 1;
            if (TYPE_OF(last) == TYPE_STRING && string::ks_length(last) == 0) {
                block::ks_remove_last(line);
                length--;
            }
        }
        if (longest_ >= 0 && o_.strict && longest_ != length) {
            status_ = NOT_ALIGNED;
            return;
        }
        if (length > longest_) longest_ = length;
        block::ks_append(rows, line);
    }
};

}  // namespace

bool read(const cell* text, const options& options, cell* out) {
    return text_cells::with_source(text, [&](auto in) { return reader(in, options).rows(out); });
}

}  // namespace kel::csv
