#!/usr/bin/env python3
"""Random literal texts of every datatype, each checked by the kel program for a round trip:
the text's value molded with mold/all must load back to an equal value (within the digits
that mold keeps for points, percents and seconds) and mold again to the same text.

Every text the generator writes is meant to load; one that does not is a fault as well (of
the lexer, or of the generator, which then needs mending). Faults are printed with their
kind, text and molds; the exit status is 1 when there was any.

  round_trip.py --kel KEL [--seed N] [--count N] [--jobs N] [--kind KIND]...
"""
import argparse
import base64
import concurrent.futures
import os
import random
import re
import subprocess
import sys
import tempfile

CHECKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'round_trip.kel')

# --- characters ----------------------------------------------------------------------------

PRINTABLE = [chr(c) for c in range(0x20, 0x7F)]
CONTROLS = [chr(c) for c in range(1, 0x20) if c != 10] + ['\x7f']
WIDE = ['é', 'ß', '\xa0', '\xff', '\x80', '\x85', '\x9f', '\u1680', '\u2028', '\ufeff', 'Ω', '€', 'あ',
        '\u2003', '\ufffd', '\U0001F600', '\U0010FFFF']
LETTERS = 'abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ'
DIGITS = '0123456789'

NAMED_ESCAPES = {0: ['null'], 8: ['back'], 9: ['tab'], 10: ['line'], 12: ['page'], 27: ['esc'],
                 127: ['del']}
SHORT_ESCAPES = {'"': '^"', '\t': '^-', '\n': '^/', '^': '^^', '{': '^{', '}': '^}',
                 '\x7f': '^~', '\x00': '^@'}


def any_char(r, newline=True, nul=False):
    pool = r.choice([PRINTABLE, PRINTABLE, PRINTABLE, CONTROLS, WIDE])
    c = r.choice(pool)
    if newline and r.random() < 0.05:
        return '\n'
    if nul and r.random() < 0.02:
        return '\x00'
    return c


def escape(r, c, short=True):
    """One escape form of the character c, chosen at random among those that read as c;
    without short, only the ^(...) forms."""
    code = ord(c)
    forms = []
    digits = '%X' % code
    if len(digits) <= 6:
        padded = digits.rjust(r.randint(len(digits), 6), '0') if len(digits) > 2 or r.random() < 0.5 \
            else digits.rjust(2, '0')
        if len(padded) > 2 or code <= 0xFF:
            forms.append('^(' + (padded.lower() if r.random() < 0.3 else padded) + ')')
    for name in NAMED_ESCAPES.get(code, []):
        forms.append('^(' + (name.upper() if r.random() < 0.3 else name) + ')')
    if not short:
        return r.choice(forms)
    if c in SHORT_ESCAPES:
        forms.append(SHORT_ESCAPES[c])
    if 1 <= code <= 26:
        forms.append('^' + chr(code + 96))
    if 1 <= code <= 31 and code != 30:
        forms.append('^' + chr(code + 64))
    if c in '!#$%&*+,-.0123456789:;<=>?|\'\u00e9' or c == ' ':
        forms.append('^' + c)
    return r.choice(forms)


def text(r, n, allowed, escapes=True, newline=True, nul=False, short=lambda c: True):
    """n characters, each written raw when allowed(c) holds and escaped at random otherwise
    (short(c) false: only by ^(...))."""
    out = []
    for _ in range(n):
        c = any_char(r, newline, nul and escapes)
        if escapes and (not allowed(c) or r.random() < 0.15):
            out.append(escape(r, c, short(c)))
        elif allowed(c):
            out.append(c)
    return ''.join(out)


def length(r, most=12):
    return r.choice([0, 1, 2, r.randint(0, most), r.randint(0, most), r.randint(most, 4 * most)])


# --- numbers -------------------------------------------------------------------------------

def digit_run(r, n, separators=True):
    """n digits, with "'" between some of them."""
    out = [r.choice(DIGITS) for _ in range(n)]
    if separators and n > 1 and r.random() < 0.2:
        for i in sorted(r.sample(range(1, n), r.randint(1, n - 1)), reverse=True):
            out.insert(i, "'")
    return ''.join(out)


def sign(r):
    return r.choice(['', '', '', '-', '+'])


def integer(r):
    n = r.choice([1, 1, 2, 3, 5, 9, 10, 10, 11, 14])
    if r.random() < 0.05:
        return r.choice(['2147483647', '-2147483648', '2147483648', '-2147483649', '0', '-0'])
    return sign(r) + digit_run(r, n)


def hex_integer(r):
    digits = r.choice('0123456789') + ''.join(r.choice('0123456789ABCDEF') for _ in range(r.randint(1, 7)))
    if r.random() < 0.5:
        digits = r.choice('ABCDEF') + digits[1:]
    return digits + 'h'


def exponent(r):
    return r.choice(['e', 'E']) + r.choice(['', '+', '-']) + digit_run(r, r.randint(1, 3), False)


def decimal(r, separators=True):
    """The forms of the float syntax: 1.5, .5, 1., 1e5, 1.5e-3, 1'000.25."""
    whole = digit_run(r, r.choice([1, 1, 2, 3, 6, 12, 17, 20]), separators)
    fraction = digit_run(r, r.choice([1, 1, 2, 5, 10, 17]), separators)
    body = r.choice([whole + '.' + fraction, '.' + fraction.replace("'", ''), whole + '.',
                     whole + exponent(r), whole + '.' + fraction + exponent(r)])
    return sign(r) + body


def float_(r):
    if r.random() < 0.1:
        return sign(r) + '1.#' + r.choice(['INF', 'inf', 'NaN', 'nan', 'Inf', 'NAN'])
    return decimal(r)


def percent(r):
    if r.random() < 0.05:
        return sign(r) + '1.#' + r.choice(['INF', 'inf', 'NaN']) + '%'
    if r.random() < 0.5:
        return sign(r) + digit_run(r, r.randint(1, 4)) + '%'
    return decimal(r) + '%'


CURRENCIES = ['USD', 'EUR', 'JPY', 'CHF', 'GBP', 'usd', 'Btc', 'CAD']


def money(r):
    whole = digit_run(r, r.choice([1, 1, 2, 4, 9, 15, 17]))
    if r.random() < 0.3:
        whole = '0' * r.randint(1, 3) + whole
    cents = r.choice(['', '', '.' + digit_run(r, r.randint(1, 5), False)])
    currency = r.choice(CURRENCIES) if r.random() < 0.3 else ''
    return r.choice(['', '', '-', '+']) + currency + '$' + whole + cents


def pair(r):
    def half():
        return r.choice(['', '', '-']) + digit_run(r, r.randint(1, 9), False)
    return half() + r.choice('xX') + half()


def coordinate(r):
    if r.random() < 0.1:
        return sign(r) + '1.#' + r.choice(['INF', 'NaN'])
    if r.random() < 0.3:
        return sign(r) + digit_run(r, r.randint(1, 6), False)
    return decimal(r, separators=False)  # the point automaton takes no "'"


def point(r, n):
    def blank():
        return r.choice(['', '', ' ', '  ', '\t'])
    return '(' + blank() + (',' + blank()).join(coordinate(r) + blank() for _ in range(n)) + ')'


def tuple_(r):
    return '.'.join(str(r.choice([0, 1, 9, 10, 99, 100, 127, 200, 255, r.randint(0, 255)]))
                    for _ in range(r.randint(3, 12)))


# --- times and dates -----------------------------------------------------------------------

def two(r, most):
    v = r.randint(0, most)
    return ('%02d' if r.random() < 0.7 else '%d') % v


def fraction(r):
    return '.' + ''.join(r.choice(DIGITS) for _ in range(r.randint(1, 12)))


def time_(r):
    form = r.randint(0, 3)
    if form == 0:
        t = digit_run(r, r.randint(1, 5)) + ':' + two(r, 59)
    elif form == 1:
        t = digit_run(r, r.randint(1, 5)) + ':' + two(r, 59) + ':' + two(r, 59)
    elif form == 2:
        t = digit_run(r, r.randint(1, 5)) + ':' + two(r, 59) + ':' + two(r, 59) + fraction(r)
    else:
        t = digit_run(r, r.randint(1, 3)) + ':' + two(r, 59) + fraction(r)
    return r.choice(['', '', '', '-', '+']) + t


MONTHS = ['January', 'February', 'March', 'April', 'May', 'June', 'July', 'August', 'September',
          'October', 'November', 'December']
MONTH_DAYS = [31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31]


def leap(year):
    return year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)


def zone(r):
    h, m = r.randint(0, 15), r.choice([0, 0, 15, 30, 45])
    s = r.choice('+-')
    return r.choice(['Z', '%s%d' % (s, h), '%s%d:%02d' % (s, h, m), '%s%02d%02d' % (s, h, m)])


def clock(r):
    t = two(r, 23) + ':' + two(r, 59)
    if r.random() < 0.6:
        t += ':' + two(r, 59)
        if r.random() < 0.5:
            t += fraction(r)
    if r.random() < 0.5:
        t += zone(r)
    return t


def date(r):
    year = r.choice([r.randint(1, 9999), r.randint(1900, 2100), r.randint(1900, 2100), 2000, 2004, 1999])
    month = r.randint(1, 12)
    day = r.randint(1, MONTH_DAYS[month - 1] if month != 2 or leap(year) else 28)
    form = r.randint(0, 6)
    if form == 0:
        name = MONTHS[month - 1]
        name = name[:r.randint(3, len(name))]
        name = r.choice([name, name.upper(), name.lower()])
        sep = r.choice('-/')
        d = '%d%s%s%s%d' % (day, sep, name, sep, year)
    elif form == 1:
        sep = r.choice('-/')
        if year > 99:
            d = '%04d%s%s%s%s' % (year, sep, r.choice(['%02d', '%d']) % month, sep, r.choice(['%02d', '%d']) % day)
        else:
            d = '%d-%d-%04d' % (day, month, year)
    elif form == 2:
        sep = r.choice('-/')
        d = '%d%s%d%s%04d' % (day, sep, month, sep, year)
    elif form == 3:
        year = max(year, 1000)
        return '%04d%02d%02dT%s' % (year, month, day, r.choice(
            ['%02d%02d' % (r.randint(0, 23), r.randint(0, 59)),
             '%02d%02d%02d' % (r.randint(0, 23), r.randint(0, 59), r.randint(0, 59)),
             '%02d%02d%02d' % (r.randint(0, 23), r.randint(0, 59), r.randint(0, 59)) + fraction(r)])
            + r.choice(['', 'Z', '+0100', '-0530', '+1545']))
    elif form == 4:
        d = '%04d-W%02d' % (max(year, 1000), r.randint(1, 52))
        if r.random() < 0.6:
            d += '-%d' % r.randint(1, 7)
    elif form == 5:
        d = '%04d-%03d' % (max(year, 1000), r.randint(1, 365))
    else:
        d = '%d-%s-%02d' % (day, MONTHS[month - 1][:3], year % 100)
    if r.random() < 0.05:
        d = '%d/%s/-%d' % (day, MONTHS[month - 1][:3], r.randint(1, 9999))  # before year 0
    if r.random() < 0.6:
        d += r.choice('/T') + clock(r)
    return d


# --- text datatypes ------------------------------------------------------------------------

def quoted_string(r):
    return '"' + text(r, length(r, 20), lambda c: c not in '"^\n\x00') + '"'


def braced_string(r):
    depth, out = 0, []
    for _ in range(length(r, 20)):
        roll = r.random()
        if roll < 0.08:
            out.append('{')
            depth += 1
        elif roll < 0.16 and depth:
            out.append('}')
            depth -= 1
        else:
            out.append(text(r, 1, lambda c: c not in '{}^\x00'))
    return '{' + ''.join(out) + '}' * depth + '}'


def raw_string(r):
    n = r.randint(1, 3)
    body = text(r, length(r), lambda c: c != '\x00', escapes=False)
    # A "}%" inside ends the token early, and only a delimiter may follow it there.
    while '}%' in body:
        body = body.replace('}%', '}')
    return '%' * n + '{' + body + '}' + '%' * n


def char(r):
    c = any_char(r, nul=True)
    if c in '"^\x00' or r.random() < 0.4:
        return '#"' + escape(r, c) + '"'
    return '#"' + c + '"'


# Bytes that end a plain file, or turn its text into another token.
FILE_ENDS = set(' \t\r\n[](){}";:@\x00') | set(CONTROLS)


def plain_file(r):
    def allowed(c):
        return c not in FILE_ENDS and c not in '%\u2003\xa0'
    name = text(r, max(1, length(r)), allowed, escapes=False, newline=False)
    if r.random() < 0.3:
        name += '%%%02X' % r.randint(0x20, 0x7E)
    return '%' + (name or 'a')


def quoted_file(r):
    # The first '"' ends the token, so a quote inside is ^(22).
    return '%"' + text(r, length(r), lambda c: c not in '"^\n\x00', newline=False, short=lambda c: c != '"') + '"'


def word_name(r, first=LETTERS + '!&*?_|~'):
    rest = LETTERS + DIGITS + "-_?!*&|~+.='^`>"
    name = r.choice(first) + ''.join(r.choice(rest + 'éΩ') for _ in range(r.randint(0, 8)))
    return 'x' + name if re.fullmatch('[0-9A-F]+h', name) else name  # not a hex integer


def url(r):
    scheme = r.choice(['http', 'https', 'ftp', 'mailto', 'x', 'svn+ssh', word_name(r)])
    rest = text(r, length(r), lambda c: c not in ' \t\r\n[](){}";\\<>^\x00\u2003\xa0' and c not in CONTROLS
                and c != '%', escapes=False, newline=False)
    if r.random() < 0.3:
        rest += '%%%02X' % r.randint(0x21, 0x7E)
    return scheme + ':' + r.choice(['//', '', '/']) + rest


def email(r):
    local = word_name(r, LETTERS)
    domain = ''.join(r.choice(LETTERS + DIGITS + '.-_!%é') for _ in range(r.randint(1, 10)))
    return local + '@' + domain


def tag(r):
    def allowed(c):
        return c not in '<>"\'\x00'
    body = r.choice(LETTERS + '/!?') + text(r, length(r), allowed, escapes=False)
    if r.random() < 0.3:
        body += ' a=' + r.choice(['"x > y"', "'<b>'", '"' + text(r, 3, lambda c: c not in '"\x00', escapes=False) + '"'])
    return '<' + body + '>'


def ref(r):
    return '@' + ''.join(r.choice(LETTERS + DIGITS + ':/.%+-!?*_é') for _ in range(r.randint(1, 10)))


def issue(r):
    return '#' + r.choice(LETTERS + DIGITS + '!?*_') + ''.join(
        r.choice(LETTERS + DIGITS + "!?*_-+.'&|=<>é") for _ in range(r.randint(0, 8)))


def binary(r):
    data = bytes(r.randrange(256) for _ in range(length(r, 16)))
    base = r.choice([16, 16, 2, 64])

    def spaced(digits, group):
        out = []
        for i in range(0, len(digits), group):
            out.append(digits[i:i + group])
            out.append(r.choice(['', '', '', ' ', '\n', '\t', ' ;note\n']))
        return r.choice(['', ' ', '\n']) + ''.join(out)
    if base == 16:
        digits = data.hex()
        digits = digits.upper() if r.random() < 0.5 else digits
        return r.choice(['', '16']) + '#{' + spaced(digits, r.choice([2, 8, 64])) + '}'
    if base == 2:
        return '2#{' + spaced(''.join(format(b, '08b') for b in data), 8) + '}'
    return '64#{' + spaced(base64.b64encode(data).decode(), 4) + '}'


# --- words and paths -----------------------------------------------------------------------

OPERATORS = ['+', '-', '*', '**', '/', '//', '<', '>', '<=', '>=', '<>', '=', '==', '=?', '?', '!',
             '&', '|', '~', '->', '<-', '...']


def word(r):
    name = word_name(r) if r.random() < 0.8 else r.choice(OPERATORS)
    slash = name.startswith('/')
    kind = r.choice(['word', 'set', 'get', 'lit', 'refinement'] if not slash else ['word', 'set'])
    if kind == 'set':
        return name + ':'
    if kind == 'get':
        return ':' + name
    if kind == 'lit':
        return "'" + name
    if kind == 'refinement':
        return '/' + r.choice([name, word_name(r), digit_run(r, r.randint(1, 3), False)])
    return name


def path_segment(r, depth):
    roll = r.randint(0, 9)
    if roll <= 3:
        return word_name(r)
    if roll == 4:
        return str(r.randint(0, 99))
    if roll == 5:
        return ':' + word_name(r)
    if roll == 6:
        return quoted_string(r)
    if roll == 7:
        return '(' + ''.join(gap(r) + value(r, depth + 1) for _ in range(r.randint(0, 2))) + ')'
    if roll == 8:
        return r.choice([char(r), tag(r), pair(r), tuple_(r), money(r).lstrip('+-'),
                         decimal(r, separators=False).lstrip('+-').rstrip('.') or '0'])
    return "'" + word_name(r)


def path(r, depth=0):
    p = word_name(r) + ''.join('/' + path_segment(r, depth) for _ in range(r.randint(1, 4)))
    if r.random() < 0.7:
        if r.random() < 0.2:
            p += '/' + r.choice([issue, ref])(r)  # they would take a "/" or ":" after them
        return r.choice(['', '', "'", ':']) + p
    return p + ':'


def construct(r):
    name = r.choice(['true', 'false', 'none', 'unset', 'TRUE', 'None', 'integer!', 'block',
                     'string!', 'map!', 'Date', 'point2D!', 'error!', 'object!', 'datatype!'])
    return '#(' + name + ')'


# --- containers ----------------------------------------------------------------------------

def gap(r):
    return r.choice([' ', ' ', ' ', '\n', '\n    ', '\t', ' ;comment\n', '\r\n'])


def series(r, opening, closing, items):
    body = ''.join(gap(r) + item for item in items)
    return opening + (body + r.choice(['', gap(r)]) if r.random() < 0.5 else body.lstrip(' ')) + closing


def block(r, depth=0):
    return series(r, '[', ']', [value(r, depth + 1) for _ in range(r.randint(0, 5))])


def paren(r, depth=0):
    # A paren must not read as a point: its first value is never a number.
    items = [word_name(r)] + [value(r, depth + 1) for _ in range(r.randint(0, 4))]
    return series(r, '(', ')', items)


MAP_KEYS = [lambda r: word_name(r) + ':', word_name, lambda r: "'" + word_name(r), integer, float_,
            quoted_string, char, issue, tuple_, pair, money, time_, date, email, url, plain_file, binary]


def map_(r, depth=0):
    items = []
    for _ in range(r.randint(0, 4)):
        items += [r.choice(MAP_KEYS)(r), value(r, depth + 1)]
    if items and r.random() < 0.3:
        items += [items[0], value(r, depth + 1)]  # a repeated key keeps its last value
    return series(r, '#[', ']', items)


EDGES = {
    'integer': ['0', '-0', '+0', '2147483647', '-2147483648', '2147483648', '-2147483649', "1'000"],
    'float': ['0.0', '-0.0', '4.9e-324', '2.2250738585072014e-308', '1.7976931348623157e308', '1e309',
              '-1e309', '0.1', '123456789012345678.0', '1e-7', '1.#NaN'],
    'percent': ['0%', '-0%', '100%', '1e-320%', '1e400%', '0.1%', '33.333333333333333%', '1.5e-7%'],
    'money': ['$0', '-$0', '$99999999999999999.99999', '-$0.00001', 'USD$0.5'],
    'time': ['0:00', '-0:00', '-0:00:00.0000001', '0:00:59.9999999', '23:59:59.9999999',
             '99999:59:59.9999999', '0:00:00.000001', '-1:00'],
    'date': ['1-Jan-2000/23:59:59.9999999', '1-Jan-2000/23:59:59.9999999-15:45', '29-Feb-2004',
             '31-Dec-1999/23:59:59.99999+0:15', '1-Jan-0000', '1/Jan/-9999', '2000-W01-1'],
    'point2D': ['(0, 0)', '(-0.0, 0)', '(1e-45, 3.4028235e38)', '(1e39, -1e39)', '(1.#NaN, 1.#INF)'],
    'pair': ['0x0', '-0x-0', '2147483647x-2147483648'],
    'tuple': ['0.0.0', '255.255.255.255.255.255.255.255.255.255.255.255'],
    'string': ['""', '"^(1E)"', '"^(80)^(9F)"', '"^(10FFFF)"', '"}{"', '"^{^}"'],
    'braced': ['{}', '{^}}', '{"}', '{{}}', '{\n\n\n}', '{a^/b^/c^/d}'],
    'quoted-file': ['%""', '%"^(22)"', '%"^^"', '%":"', '%"a b"', '%"()@"'],
    'binary': ['#{}', '2#{}', '64#{}', '#{' + '00' * 31 + '}', '64#{AA==}'],
    'word': ['=:', '<:', '==:', '//:', '/:', '/', '//', '<>', "'<", ':>', '/1'],
}

KINDS = {
    'integer': integer, 'hex': hex_integer, 'float': float_, 'percent': percent, 'money': money,
    'pair': pair, 'point2D': lambda r: point(r, 2), 'point3D': lambda r: point(r, 3),
    'tuple': tuple_, 'time': time_, 'date': date, 'char': char, 'string': quoted_string,
    'braced': braced_string, 'raw-string': raw_string, 'file': plain_file, 'quoted-file': quoted_file,
    'url': url, 'email': email, 'tag': tag, 'ref': ref, 'issue': issue, 'binary': binary,
    'word': word, 'path': path, 'construct': construct, 'block': block, 'paren': paren, 'map': map_,
}
CONTAINERS = {'block', 'paren', 'map', 'path'}


def value(r, depth):
    if depth >= 3:
        kind = r.choice([k for k in KINDS if k not in CONTAINERS])
    else:
        kind = r.choice(list(KINDS))
    gen = KINDS[kind]
    return gen(r, depth) if kind in CONTAINERS else gen(r)


def case(r, kind):
    """One text: a value of the kind, now and then with other values around it."""
    gen = KINDS[kind]
    if kind in EDGES and r.random() < 0.05:
        main = r.choice(EDGES[kind])
    else:
        main = gen(r, 0) if kind in CONTAINERS else gen(r)
    if r.random() < 0.15:
        return value(r, 1) + gap(r) + main + gap(r) + value(r, 1)
    return main


# --- running -------------------------------------------------------------------------------

def run_batch(kel, cases, timeout):
    """Checks the cases in one kel process; returns [(index, reason, mold1, mold2)], rejects."""
    with tempfile.TemporaryDirectory(prefix='kel-roundtrip-') as folder:
        path = os.path.join(folder, 'cases.txt')
        with open(path, 'w') as f:
            for _, t in cases:
                f.write(t.encode('utf-8', 'surrogatepass').hex().upper() + '\n')
        env = dict(os.environ, KEL_ROUNDTRIP_CASES=path, ASAN_OPTIONS='detect_leaks=0:abort_on_error=1',
                   UBSAN_OPTIONS='print_stacktrace=1')
        done = subprocess.run([kel, CHECKER], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout)
    lines = done.stdout.decode('utf-8', 'replace').split('\n')
    if done.returncode != 0 or not any(line.startswith('checked %d' % len(cases)) for line in lines):
        raise RuntimeError('the checker failed (status %d):\n%s\n%s' % (
            done.returncode, done.stdout.decode('utf-8', 'replace')[-3000:],
            done.stderr.decode('utf-8', 'replace')[-3000:]))
    faults, i = [], 0
    while i < len(lines):
        words = lines[i].split(' ', 2)
        if words[0] == 'FAULT':
            faults.append((int(words[1]) - 1, words[2], bytes.fromhex(lines[i + 1]).decode('utf-8', 'replace'),
                           bytes.fromhex(lines[i + 2]).decode('utf-8', 'replace')))
            i += 3
            continue
        if words[0] == 'REJECT':
            faults.append((int(words[1]) - 1, 'text does not load: ' + words[2], '', ''))
        i += 1
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--kel', required=True)
    parser.add_argument('--seed', type=int, default=1)
    parser.add_argument('--count', type=int, default=2000)
    parser.add_argument('--jobs', type=int, default=2)
    parser.add_argument('--timeout', type=int, default=600, help='seconds for one batch')
    parser.add_argument('--kind', action='append', choices=sorted(KINDS), help='only these kinds')
    parser.add_argument('--show', type=int, default=40, help='faults printed at most')
    args = parser.parse_args()

    kinds = args.kind or sorted(KINDS)
    r = random.Random(args.seed)
    cases = [(kinds[i % len(kinds)], case(r, kinds[i % len(kinds)])) for i in range(args.count)]
    batches = [cases[j::args.jobs] for j in range(args.jobs)]
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        results = list(pool.map(lambda b: run_batch(args.kel, b, args.timeout), batches))

    faults = [(batch[index], reason, m1, m2) for batch, result in zip(batches, results)
              for index, reason, m1, m2 in result]
    by_kind = {}
    for (kind, _), _, _, _ in faults:
        by_kind[kind] = by_kind.get(kind, 0) + 1
    for ((kind, t), reason, m1, m2) in faults[:args.show]:
        print('%s: %s\n  text:  %r\n  mold:  %r\n  again: %r' % (kind, reason, t, m1, m2))
    print('round trips, seed %d: %d texts of %d kinds, %d faults %s' % (
        args.seed, len(cases), len(kinds), len(faults),
        ' '.join('%s=%d' % kv for kv in sorted(by_kind.items()))))
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
