// Bitset set algebra and charset membership beside Python doing the same work:
//   or / and of two 1M-bit sets (Python: int | and int &), 200 times each;
//   membership of every character of a 4M-character text in a charset (Python: a set).
//   bench_bitset [python program]
#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include "boot/init.h"
#include "datatypes/bitset.h"
#include "datatypes/typeset.h"
#include "evaluator/interpreter.h"
#include "runtime/collector.h"
#include "runtime/stack.h"

using namespace kel;

namespace {

constexpr int ROUNDS = 200;
constexpr uint32_t BITS = 1u << 20;
constexpr size_t TEXT = 4u << 20;

double ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

cell* random_set(std::mt19937& rng) {
    cell* value = bitset::make_at(stack::push_cell(), BITS / 8);
    series_buffer* b = node_buffer(series_node(value));
    for (uint8_t* p = b->offset; p < b->tail; p++) *p = static_cast<uint8_t>(rng());
    return value;
}

double kel_algebra(int32_t code) {
    std::mt19937 rng(7);
    cell* a = random_set(rng);
    cell* b = random_set(rng);
    cell* saved_arguments = stack::arguments;
    auto rounds = [&] {
        for (int i = 0; i < ROUNDS; i++) {
            cell* frame = stack::push(a);
            stack::push(b);
            stack::arguments = frame;
            bitset::do_bitwise(code);
            stack::arguments = saved_arguments;
            stack::pop(2);
        }
    };
    // Steady state, as the Python loop runs in memory its set-up touched: the first pass
    // faults in the series frames that later passes reuse.
    rounds();
    auto start = std::chrono::steady_clock::now();
    rounds();
    return ms_since(start);
}

std::string sample_text() {
    std::string text;
    const char* words[] = {"the ", "quick ", "brown ", "fox, ", "jumps ", "over ", "lazy ", "dogs. "};
    std::mt19937 rng(3);
    while (text.size() < TEXT) text += words[rng() % 8];
    return text;
}

double kel_membership(const std::string& text, size_t& members) {
    cell* letters = bitset::make_at(stack::push_cell(), 16);
    series_buffer* b = node_buffer(series_node(letters));
    for (int c = 'a'; c <= 'z'; c++) b->offset[c >> 3] |= static_cast<uint8_t>(0x80u >> (c & 7));
    auto start = std::chrono::steady_clock::now();
    members = 0;
    for (unsigned char c : text) members += bitset::bit_q(b, c);
    return ms_since(start);
}

double python_ms(const std::string& python, const std::string& code) {
    std::string command = python + " -c '" + code + "'";
    FILE* out = popen(command.c_str(), "r");
    if (!out) return -1;
    double ms = -1;
    if (std::fscanf(out, "%lf", &ms) != 1) ms = -1;
    pclose(out);
    return ms;
}

void report(const char* what, double kel_ms, double python_ms) {
    std::printf("%-44s kel %8.1f ms  python %8.1f ms  ratio %.3f\n", what, kel_ms, python_ms,
                python_ms > 0 ? kel_ms / python_ms : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    std::string python = argc > 1 ? argv[1] : "python3";
    run_on_interpreter_thread([&] {
        runtime_init();
        collector_enabled = true;
        std::string setup = "import random,time; random.seed(7); a=random.getrandbits(" + std::to_string(BITS) +
                            "); b=random.getrandbits(" + std::to_string(BITS) + "); t=time.perf_counter()\n";
        std::string rounds = "for i in range(" + std::to_string(ROUNDS) + "): ";
        std::string done = "\nprint((time.perf_counter()-t)*1000)";
        report("or of 1M-bit sets x200 (python int |)", kel_algebra(typeset::BITS_OR),
               python_ms(python, setup + rounds + "c = a | b" + done));
        report("and of 1M-bit sets x200 (python int &)", kel_algebra(typeset::BITS_AND),
               python_ms(python, setup + rounds + "c = a & b" + done));
        std::string text = sample_text();
        size_t members;
        double kel_ms = kel_membership(text, members);
        std::string py = "import time,random\nw=[\"the \",\"quick \",\"brown \",\"fox, \",\"jumps \",\"over \","
                         "\"lazy \",\"dogs. \"]\nrandom.seed(3)\nt=\"\".join(random.choice(w) for i in range(" +
                         std::to_string(TEXT / 5) + "))\ns=set(\"abcdefghijklmnopqrstuvwxyz\")\n"
                         "s0=time.perf_counter()\nn=sum(1 for c in t if c in s)\n"
                         "print((time.perf_counter()-s0)*1000*" + std::to_string(TEXT) + "/len(t))";
        report("charset membership, 4M chars (python set)", kel_ms, python_ms(python, py));
        std::printf("(%zu members)\n", members);
    });
    return 0;
}
