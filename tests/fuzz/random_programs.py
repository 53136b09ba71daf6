#!/usr/bin/env python3
"""Random Kel programs run by the kel program, each outcome classified.

Programs come from two sources: a grammar of literal values and calls whose arities and
refinements are read from boot/specs.kel, and token mutations of the tests/kel scripts.
Each program runs in its own process inside a scratch folder. Outcomes:
  ok      the script ended normally
  error   an error nothing caught (status 254), a Kel outcome like any other
  crash   a sanitizer report, a runtime error, a signal or any other status
  hang    still running after the time limit
Crashes and hangs are faults: their programs and standard error are kept in the output
folder, and the exit status is 1.

  random_programs.py --kel KEL [--seed N] [--count N] [--jobs N] [--timeout S]
                     [--mode grammar|mutate|both] [--out DIR]
"""
import argparse
import concurrent.futures
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
UNCAUGHT_STATUS = 254

# Words that reach outside the scratch folder, wait, or never return by design.
UNSAFE = {'create', 'close', 'delete', 'modify', 'open', 'query', 'read', 'rename', 'update',
          'write', 'wait', 'set-env', 'call', 'browse', 'forever', 'recycle'}
# Calls whose first argument is a repeat count: kept small so that a slow program is not
# taken for a hang.
COUNTED = {'loop', 'repeat'}


def read_specs():
    """Name -> (argument count, [(refinement, its argument count)]) of each action and native."""
    text = open(os.path.join(ROOT, 'boot', 'specs.kel'), encoding='utf-8').read()
    calls = {}
    for m in re.finditer(r'^(\S+): make (?:action|native)! \[\[\n(.*?)\n\] \d+\]', text, re.S | re.M):
        args, refinements, in_return = 0, [], False
        for line in m.group(2).split('\n'):
            line = re.sub(r'"(?:[^"^]|\^.)*"', '', line)
            line = re.sub(r'\[[^\]]*\]', '', line).strip()
            if not line:
                continue
            word = line.split()[0]
            if word == 'return:':
                in_return = True
            elif word.startswith('/'):
                in_return = False
                refinements.append([word[1:], 0])
            elif not in_return:
                if refinements:
                    refinements[-1][1] += 1
                else:
                    args += 1
        calls[m.group(1)] = (args, [tuple(r) for r in refinements])
    return calls


LITERALS = {
    'integer': ['0', '1', '-1', '3', '255', '256', '65536', '2147483647', '-2147483648', '2147483648',
                '-2147483649', '99999999999999999999', '7FFFFFFFh', "1'000"],
    'float': ['0.0', '-0.0', '2.5', '1e308', '1.7976931348623157e308', '1e-320', '1.#INF', '-1.#INF',
              '1.#NaN', '.5', '2147483648.0'],
    'text': ['""', '"abc"', '"^/^-^^"', '"a^(0)b"', '"^(10FFFF)"', '"ünï"', '"😀"', '{a {b} c}', '{}',
             '%{raw}%', '"' + 'y' * 200 + '"', '<tag a="1">', 'a@b.c', '%file.kel', 'http://x.y/z?q', '@ref'],
    'char': ['#"a"', '#"^(0)"', '#"^(10FFFF)"', '#"é"', '#"^/"'],
    'money': ['$0', '$1.25', '-$0.01', '$99999999999999999.99', 'EUR$3'],
    'time': ['0:00', '10:20:30', '-1:00', '99999:59:59.999', '0:0:0.000000001'],
    'date': ['1-Jan-2000', '29-Feb-2004/10:00+2:00', '31-Dec-9999', '2000-W01-1'],
    'tuple': ['1.2.3', '255.255.255.255', '1.2.3.4.5.6.7.8.9.10.11.12'],
    'pair': ['1x2', '0x0', '-2147483648x2147483647', '7x-3'],
    'point': ['(1, 2)', '(1.5, -2, 3)', '(1.#INF, 0)'],
    'binary': ['#{}', '#{00FF}', '2#{01010101}', '16#{ff00}', '64#{SGVsbG8=}', '#{' + 'AB' * 40 + '}'],
    'other': ['none', 'true', 'false', '#(none)', '#(true)', '#(integer!)', '50%', '-0.5%', '#issue',
              "'lit", ':get', '/ref', 'integer!', 'block!', 'string!', 'map!', 'error!', 'object!',
              'any-type!', 'series!', '#[a: 1 "k" [2]]', '#[]'],
}
VARIABLES = ['a', 'b', 'c', 's', 'x', 'o', 'm', 'f']
OPERATORS = ['+', '-', '*', '/', '//', '%', '=', '<>', '==', '<', '>=', '**', 'and', 'or', 'xor',
             '<<', '>>']


class Grammar:
    def __init__(self, rng, calls):
        self.rng = rng
        self.calls = calls
        self.callable = sorted(n for n in calls if n not in UNSAFE)

    def literal(self):
        return self.rng.choice(self.rng.choice(list(LITERALS.values())))

    def value(self, depth):
        r = self.rng.random()
        if depth < 3 and r < 0.15:
            inner = ' '.join(self.value(depth + 1) for _ in range(self.rng.randint(0, 4)))
            return self.rng.choice(['[{}]', '({})', '#[{}]']).format(inner)
        if r < 0.7:
            return self.literal()
        if r < 0.85:
            return self.rng.choice(VARIABLES)
        return self.rng.choice(["'", ':', '']) + self.rng.choice(VARIABLES) + '/' + \
            self.rng.choice(['1', '2', 'a', '-1', '(1 + 1)'])

    def call(self, depth):
        name = self.rng.choice(self.callable)
        count, refinements = self.calls[name]
        path = name
        if refinements and self.rng.random() < 0.4:
            for refinement, extra in self.rng.sample(refinements, self.rng.randint(1, min(2, len(refinements)))):
                path += '/' + refinement
                count += extra
        args = [self.expression(depth + 1) for _ in range(count)]
        if name in COUNTED and args:
            args[0] = str(self.rng.randint(0, 20))
        if args and self.rng.random() < 0.05:
            args.pop()  # an argument missing
        return ' '.join([path] + args)

    def expression(self, depth=0):
        if depth >= 4:
            return self.value(depth)
        r = self.rng.random()
        if r < 0.3:
            return self.value(depth)
        if r < 0.65:
            return self.call(depth)
        if r < 0.75:
            return '{} {} {}'.format(self.value(depth), self.rng.choice(OPERATORS), self.expression(depth + 1))
        if r < 0.85:
            return '{}: {}'.format(self.rng.choice(VARIABLES), self.expression(depth + 1))
        if r < 0.9:
            return 'try [{}]'.format(self.body(depth + 1))
        if r < 0.95:
            return 'o: make object! [x: {} f: func [a] [{}]]'.format(self.value(depth + 1), self.body(depth + 1))
        return 'foreach v {} [{}]'.format(self.rng.choice(['[1 "a" #{00}]', 's', 'b']), self.body(depth + 1))

    def body(self, depth):
        return ' '.join(self.expression(depth) for _ in range(self.rng.randint(1, 3)))

    def program(self):
        lines = ['s: copy "text" b: [1 2 [3]] m: #[k: 1] x: 1']
        lines += ['set/any \'r try [{}] {}'.format(self.body(0), self.rng.choice(
            ['print mold/flat/part :r 200', 'print form/part :r 200', 'print type? :r', 'print mold :r']))
            for _ in range(self.rng.randint(1, 4))]
        if self.rng.random() < 0.2:
            lines.append(self.body(0))  # its error, if any, is not caught
        return '\n'.join(lines)


def tokens_of(text):
    return re.findall(r'"(?:[^"^\n]|\^.)*"|\{[^{}]*\}|[\[\]()]|[^\s\[\]()]+', text)


def read_scripts():
    """The tokens of each test script, without its header and the assertion helper's calls."""
    folder = os.path.join(ROOT, 'tests', 'kel')
    scripts = []
    for name in sorted(os.listdir(folder)):
        if name.endswith('.kel') and name != 'assert.kel':
            text = open(os.path.join(folder, name), encoding='utf-8').read()
            body = text.split(']', 1)[1] if text.startswith('Kel') else text
            scripts.append(tokens_of(body.replace('do %assert.kel', '').replace('finish-tests', '')))
    return scripts


class Mutator:
    def __init__(self, rng, grammar, scripts):
        self.rng = rng
        self.grammar = grammar
        self.scripts = scripts

    def program(self):
        tokens = list(self.rng.choice(self.scripts))
        if len(tokens) > 300:
            start = self.rng.randrange(len(tokens) - 300)
            tokens = tokens[start:start + 300]
        for _ in range(self.rng.randint(1, 8)):
            if not tokens:
                break
            i = self.rng.randrange(len(tokens))
            r = self.rng.random()
            if r < 0.25:
                del tokens[i]
            elif r < 0.45:
                tokens[i] = self.grammar.literal()
            elif r < 0.6:
                tokens.insert(i, self.grammar.call(2))
            elif r < 0.75:
                j = self.rng.randrange(len(tokens))
                tokens[i], tokens[j] = tokens[j], tokens[i]
            elif r < 0.9:
                tokens.insert(i, tokens[self.rng.randrange(len(tokens))])
            else:
                tokens[i] = self.rng.choice(['[', ']', '(', ')', 'do', 'reduce', 'copy/deep', 'try'])
        text = ' '.join(t for t in tokens if t not in UNSAFE)
        # A loop count taken from elsewhere must not turn into hours of work.
        return re.sub(r'\b(loop|repeat \w+) (\d{3,}|[^\s\[]*\d{3,}h)', r'\1 7', text)


def classify(status, stderr, timed_out):
    if timed_out:
        return 'hang'
    if status == 0 and not stderr:
        return 'ok'
    if status == UNCAUGHT_STATUS and not stderr:
        return 'error'
    return 'crash'


def run_one(kel, seed, mode, timeout, calls, scripts):
    rng = random.Random(seed)
    grammar = Grammar(rng, calls)
    use = mode if mode != 'both' else ('grammar' if seed % 2 else 'mutate')
    body = grammar.program() if use == 'grammar' else Mutator(rng, grammar, scripts).program()
    program = 'Kel [Title: "fuzz"]\n' + body + '\n'
    folder = tempfile.mkdtemp(prefix='kel-fuzz-')
    try:
        path = os.path.join(folder, 'program.kel')
        with open(path, 'w', encoding='utf-8') as out:
            out.write(program)
        env = dict(os.environ, ASAN_OPTIONS='detect_leaks=0:abort_on_error=1',
                   UBSAN_OPTIONS='print_stacktrace=1')
        try:
            done = subprocess.run([kel, path], cwd=folder, env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=timeout)
            outcome = classify(done.returncode, done.stderr, False)
            detail = done.stderr.decode('utf-8', 'replace') + '\nstatus {}\n'.format(done.returncode)
        except subprocess.TimeoutExpired:
            outcome, detail = 'hang', 'over {} s\n'.format(timeout)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return seed, outcome, program, detail


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument('--kel', required=True)
    p.add_argument('--seed', type=int, default=1)
    p.add_argument('--count', type=int, default=100)
    p.add_argument('--jobs', type=int, default=2)
    p.add_argument('--timeout', type=float, default=20)
    p.add_argument('--mode', choices=['grammar', 'mutate', 'both'], default='both')
    p.add_argument('--out', default=None)
    a = p.parse_args()
    a.kel = os.path.abspath(a.kel)
    calls = read_specs()
    scripts = read_scripts()
    counts = {'ok': 0, 'error': 0, 'crash': 0, 'hang': 0}
    faults = 0
    with concurrent.futures.ThreadPoolExecutor(a.jobs) as pool:
        seeds = range(a.seed, a.seed + a.count)
        for seed, outcome, program, detail in pool.map(
                lambda s: run_one(a.kel, s, a.mode, a.timeout, calls, scripts), seeds):
            counts[outcome] += 1
            done = sum(counts.values())
            if done % 1000 == 0:
                print('{} programs: {}'.format(done, counts), flush=True)
            if outcome in ('crash', 'hang'):
                faults += 1
                print('{} seed {}:\n{}{}'.format(outcome, seed, program, detail[-3000:]), flush=True)
                if a.out:
                    os.makedirs(a.out, exist_ok=True)
                    base = os.path.join(a.out, '{}-{}'.format(outcome, seed))
                    open(base + '.kel', 'w', encoding='utf-8').write(program)
                    open(base + '.txt', 'w', encoding='utf-8').write(detail)
    print('seeds {}..{}: {}'.format(a.seed, a.seed + a.count - 1,
                                    ' '.join('{} {}'.format(k, v) for k, v in counts.items())))
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
