#include "io/csv.h"

#include <vector>

#include "datatypes/block.h"
#include "datatypes/series.h"
#include "evaluator/stack.h"
#include "io/text_cells.h"

namespace kel::csv {

namespace {

template <class T>
class reader {
public:
    reader(text_cells::source<T> in, const options& options) : in_(in), o_(options) {}

    bool rows(cell* out) {
        cell* saved = stack::top;
        cell* rows = block::push_only(static_cast<int32_t>(in_.size() / 80) + 1);
        cell* line = stack::push_cell();
        cell* value = stack::push_cell();
        in_.refresh();
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
    text_cells::source<T> in_;
    options o_;
    size_t at_ = 0;
    size_t line_start_ = 0;
    std::vector<uint32_t> text_;
    int32_t status_ = -1;
    int32_t longest_ = -1;

    bool end_q() const { return at_ >= in_.size(); }

    bool line_end() {
        if (end_q()) return false;
        if (in_[at_] == '\n') {
            at_++;
            return true;
        }
        if (in_[at_] != '\r') return false;
        at_++;
        if (!end_q() && in_[at_] == '\n') at_++;
        return true;
    }

    bool only_line_ends() const {
        for (size_t i = at_; i < in_.size(); i++)
            if (in_[i] != '\n' && in_[i] != '\r') return false;
        return true;
    }

    // A header must end with a line end and have more than line ends after it; what does
    // not is raised by the grammar.
    bool header_line(cell* rows, cell* line, cell* value) {
        if (!values(line, value)) return true;
        if (!line_end() || only_line_ends()) return false;
        block::ks_append(rows, line);
        in_.refresh();
        return true;
    }

    // A closing quote must end its value: other text after it ends reading with the line's
    // number.
    bool values(cell* line, cell* value) {
        block::make_at(line, longest_ > 0 ? longest_ : 8);
        in_.refresh();
        for (;;) {
            if (!quoted_value()) unquoted_value();
            else if (!end_q() && in_[at_] != o_.delimiter && in_[at_] != '\n' && in_[at_] != '\r') {
                status_ = line_number();
                return false;
            }
            text_cells::make_string(value, text_.data(), text_.size());
            block::ks_append(line, value);
            in_.refresh();
            if (end_q() || in_[at_] != o_.delimiter) return true;
            at_++;
        }
    }

    bool quoted_value() {
        if (end_q() || in_[at_] != o_.quote) return false;
        text_.clear();
        for (size_t i = at_ + 1; i < in_.size(); i++) {
            if (in_[i] != o_.quote) {
                text_.push_back(in_[i]);
            } else if (i + 1 < in_.size() && in_[i + 1] == o_.quote) {
                text_.push_back(o_.quote);
                i++;
            } else {
                at_ = i + 1;
                return true;
            }
        }
        return false;
    }

    void unquoted_value() {
        size_t from = at_;
        while (!end_q() && in_[at_] != o_.delimiter && in_[at_] != '\n' && in_[at_] != '\r') at_++;
        text_.clear();
        for (size_t i = from; i < at_; i++) text_.push_back(in_[i]);
    }

    int32_t line_number() const {
        int32_t n = 1;
        for (size_t i = 0; i < line_start_; i++) {
            if (in_[i] == '\n') n++;
            else if (in_[i] == '\r' && !(i + 1 < line_start_ && in_[i + 1] == '\n')) n++;
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
        in_.refresh();
    }
};

}  // namespace

bool read(const cell* text, const options& options, cell* out) {
    return text_cells::with_source(text, [&](auto in) { return reader(in, options).rows(out); });
}

}  // namespace kel::csv
