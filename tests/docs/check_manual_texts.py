#!/usr/bin/env python3
"""Finds every text the programs can print in their manual pages.

A user who meets a message looks it up in the manual page. The texts are the string literals of
the files declared below. A literal breaks apart where a value goes into it (concatenation with
anything but another literal, a printf or Qt placeholder) and at its line breaks. A piece with
fewer than two words (a word: blank-separated, with a letter) is passed over: one word turns up
somewhere in any page, so its check could never fail. A piece's first letter may differ in case
(the window starts a watch's notice with a capital). The page is read as the reader sees it: roff's
escapes and font changes resolved, filled lines joined, blanks collapsed.

    check_manual_texts.py [--root DIR]   exit 1 naming each missing text and where it comes from
    check_manual_texts.py --self-test    shows that the check finds what it should
"""

import argparse
import os
import re
import shutil
import sys
import tempfile

CLI, WINDOW = "packaging/qel_sn.1", "packaging/qel_sn_reader.1"
BOTH = (CLI, WINDOW)
# Where a text can come from: a file there with a text in it is declared in SOURCES or QUIET.
LAYERS = ("readout", "cli", "window", "card", "gp", "log", "crypto", "util")

# The files whose texts a user can meet, by the pages that must hold them.
_FILES = {
    (CLI,): "cli/qel_sn.cpp cli/qel_sn_main.cpp cli/command_line_reader.cpp cli/cli_output.cpp "
    "cli/machine_diagnosis.cpp cli/standard_streams.cpp cli/readout_deadline.cpp "
    "cli/stop_signals.cpp cli/cli_options.cpp cli/journal_records.cpp log/journal.cpp "
    "cli/diagnosis.cpp readout/readout_fields.cpp readout/hints.cpp",
    (WINDOW,): "window/main.cpp window/mfrm.cpp window/window_options.cpp window/window_options.h "
    "window/window_watch.cpp",
    BOTH: "readout/readout.cpp readout/insertion_watch.h readout/qel_sc_base.cpp "
    "readout/option_help.cpp card/KSCardAPI.cpp "
    "card/KSCardAPIExceptions.h card/KSCardAPIExceptions.cpp card/KSCardAPICardBase.h "
    "card/KSCardAPICardBase.cpp card/CardWatch.h card/CardWatch.cpp gp/KSCardGPCardDBini.h "
    "log/log_place.cpp log/event_file.cpp log/event_log.cpp crypto/cipher.h util/WakeEvent.cpp",
}
SOURCES = {file: pages for pages, files in _FILES.items() for file in files.split()}
# Files with texts that no user meets, and why.
QUIET = {
    "gp/IniFile.cpp": "the card search reads KSCard.ini quietly, passing over what it cannot read",
    "gp/KSCardAPICardGP.h": "only searches by serial or hardware ID read the CPLC data; neither "
    "program makes one",
    "crypto/crypt_generic.cpp": "direction and chaining are constants of the dongle's commands",
    "crypto/des.cpp": "compile-time checks",
    "cli/journal_records.h": "the entries' message ids, which the journal catalog explains",
    "util/Hex.h": "bad hex from KSCard.ini reaches the user as the profile's reason instead",
    "util/KUDynArrays.h": "copies between sizes the code fixes",
    "util/KUDynArraySoftLenContainer.h": "fills and sizes the card layers fix",
}

# The table of a readout's fields: each --json key and journal field it names must be in the page
# that lists them, so that a new field cannot reach the outputs without the page.
FIELDS = ("readout/readout_fields.cpp", CLI)
FIELD_ROW = re.compile(
    r'\{(?:nullptr|"(\w+)"), (?:nullptr|"(QEL_\w+)"), (?:true|false), \w+(?:, \w+)?\}')

# Functions and tables whose literals are passed over, with the reason.
SCOPES = {
    ("cli/cli_options.cpp", "short_usage_text"): "the help sums up the page, it is no message",
    ("cli/cli_options.cpp", "usage_text"): "the help",
    ("readout/option_help.cpp", "log_file_help"): "the help",
    ("cli/cli_options.cpp", "cli_option_table"): "the help's option lines, and what a value must "
    "be (\"a reader name\"), which the option tests hold within their usage errors",
    ("window/window_options.cpp", "window_short_usage_text"): "the help",
    ("window/window_options.cpp", "window_usage_text"): "the help",
    ("window/window_options.cpp", "window_option_table"): "the help's option lines",
    ("card/CardWatch.cpp", "card_watch_event_name"): "event names for the tests' traces",
}
# Tables of one text per code, which the pages describe as a class by this phrase: which codes
# really come is the card's and the service's business.
CLASSES = {
    ("card/KSCardAPIExceptions.cpp", "kSCardErrorTexts"): "PC/SC's own text for the code",
    ("card/KSCardAPIExceptions.cpp", "kStatusWordTexts"): "the status word's meaning",
}
# Texts, by their start, that belong on other pages than their file's; none: no user sees them.
OVERRIDES = {
    ("readout/hints.cpp", "The PC/SC library"): (BOTH, "the window's --watch says the hint too"),
    ("readout/hints.cpp", "cannot be loaded: install"): (BOTH, "the same hint"),
    ("card/KSCardAPI.cpp", '" is not connected'): ((CLI,), "only qel_sn names a reader"),
    ("gp/KSCardGPCardDBini.h", "not a number"): ((CLI,), "only qel_sn --diagnose reports it"),
    ("gp/KSCardGPCardDBini.h", "which is no hex digit"): (
        (CLI,), "only qel_sn --diagnose reports it"),
    ("readout/insertion_watch.h", "the PC/SC service does not answer"): (
        (CLI,), "only qel_sn bounds its calls to the service"),
    ("readout/insertion_watch.h", "the PC/SC service answers again"): (
        (CLI,), "only qel_sn bounds its calls to the service"),
    ("readout/readout.cpp", "the dongle's answer to the"): ((CLI,), "only qel_sn refuses an empty answer"),
    ("readout/readout.cpp", "command is empty"): ((CLI,), "only qel_sn refuses an empty answer"),
    ("crypto/cipher.h", "Cipher not initialized"): ((), "every cipher gets its key first"),
    ("crypto/cipher.h", "Invalid Base64 text"): ((), "nothing on the way to the dongle is Base64"),
}

LEXEME = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])*\'', re.S)
PLACEHOLDER = re.compile(r"%[-+ #0]*\d*(?:\.\d+)?(?:hh|h|ll|l|z|j|t)?[A-Za-z%]|%\d+|[\r\n]")
# An escape missing here stops the check (KeyError) rather than have the page read wrongly.
ROFF_CHARS = {"\\-": "-", "\\e": "\\", "\\&": "", "\\%": "", "\\(dq": '"', "\\(aq": "'",
              "\\(ga": "`"}


def lex(source):
    """The code with comments and literals blanked, and the literals: (start, end, value)."""
    literals = [(m.start(), m.end(), m.group()[1:-1].encode().decode("unicode_escape"))
                for m in LEXEME.finditer(source) if m.group()[0] == '"']
    code = LEXEME.sub(lambda m: re.sub(r"[^\n]", " ", m.group()), source)
    return code, literals


def braced_span(code, name):
    """Where the body of the function or table `name` lies in `code`, or None."""
    head = r"\b%s\s*(\([^;{}]*\)\s*(const\s*)?(noexcept\s*)?|\[\s*\w*\s*\]\s*=\s*)\{"
    m = re.search(head % name, code)
    depth, i = 0, m.end() - 1 if m else None
    while m:
        depth += {"{": 1, "}": -1}.get(code[i], 0)
        if depth == 0:
            return m.start(), i
        i += 1


def fragments(source):
    """The pieces of user text in `source`: (line, text, offset)."""
    code, literals = lex(source)
    groups = []
    for start, end, value in literals:
        if groups and not code[groups[-1][1] : start].strip():
            groups[-1] = (groups[-1][0], end, groups[-1][2] + value)
        else:
            groups.append((start, end, value))
    for start, _, value in groups:
        for piece in PLACEHOLDER.split(value):
            text = " ".join(piece.split())
            if sum(1 for word in text.split() if re.search("[A-Za-z]", word)) >= 2:
                yield source.count("\n", 0, start) + 1, text, start


def roff_text(page):
    """The page as a reader sees it, blanks collapsed."""
    lines = []
    for line in page.splitlines():
        if line.startswith("."):
            macro, _, rest = line[1:].partition(" ")
            args = [q.replace('""', '"') if q or not w else w
                    for q, w in re.findall(r'"((?:[^"]|"")*)"?|(\S+)', rest)]
            joint = " " if macro in ("B", "I", "SH", "SS") else "" if re.fullmatch(
                "[BIR]{2}", macro) else None
            line = "" if joint is None or macro.startswith("\\") else joint.join(args)
        lines.append(re.sub(r"\\f(\[[^]]*\]|\(..|.)", "", line))
    text = re.sub(r"\\(\(..|.)", lambda m: ROFF_CHARS[m.group()], "\n".join(lines))
    return " ".join(text.split())


def check(root, sources=SOURCES, quiet=QUIET, scopes=SCOPES, classes=CLASSES,
          overrides=OVERRIDES, layers=LAYERS):
    problems, used, pages = [], set(), {}

    def read(path):
        with open(os.path.join(root, path), encoding="utf-8") as f:
            return f.read()

    for page in set(sum(sources.values(), ())):
        pages[page] = roff_text(read(page))
    for (file, table), phrase in classes.items():
        problems += ['%s lacks "%s" (for %s in %s)' % (page, phrase, table, file)
                     for page in sources[file] if phrase not in pages[page]]
    for layer in layers:
        for folder, _, names in sorted(os.walk(os.path.join(root, layer))):
            for path in sorted(os.path.relpath(os.path.join(folder, n), root) for n in names):
                if path.endswith((".cpp", ".h")) and path not in sources and path not in quiet:
                    problems += ['%s:%d: "%s" is in a file not declared' % (path, line, text)
                                 for line, text, _ in fragments(read(path))]
    for file, file_pages in sorted(sources.items()):
        if not os.path.exists(os.path.join(root, file)):
            problems.append("%s is declared but not there" % file)
            continue
        source = read(file)
        spans = [(name, braced_span(lex(source)[0], name))
                 for f, name in list(scopes) + list(classes) if f == file]
        problems += ["%s has no %s" % (file, name) for name, span in spans if span is None]
        for line, text, at in fragments(source):
            if any(span and span[0] <= at <= span[1] for _, span in spans):
                continue
            key = next((k for k in overrides if k[0] == file and text.startswith(k[1])), None)
            used.add(key)
            for page in overrides[key][0] if key else file_pages:
                if not (text in pages[page] or text[0].swapcase() + text[1:] in pages[page]):
                    problems.append('%s lacks "%s" (%s:%d)' % (page, text, file, line))
    file, page = FIELDS
    if os.path.exists(os.path.join(root, file)):
        names = [n for row in FIELD_ROW.findall(read(file)) for n in row if n]
        if not names:
            problems.append("%s has no field rows" % file)
        problems += ['%s lacks the readout field %s (%s)' % (page, n, file) for n in names
                     if not re.search(r"(?<![\w-])%s(?![\w-])" % re.escape(n), pages[page])]
    return problems + ['%s has no text starting "%s" any more' % k for k in overrides
                       if k not in used]


def self_test(real_root):
    """The check on small trees whose outcome is known, and on a copy of the real tree with a
    text added to a shared file and a file nobody declared."""
    page = ('.TH T 1\n.SH DIAGNOSTICS\n.TP\n.B "the dongle \\fIsays\\fB ""no\\(dq"\n'
            "sings a\nsong \\- twice\n.BR the \" watch \" ends\n")
    cases = [  # what it shows, source, the texts the page misses
        ("a text the page lacks", '"the dongle hums"', ["the dongle hums"]),
        ("escapes, fonts, filling", '"the dongle says \\"no\\""; "sings a song - twice"', []),
        ("alternating fonts join", '"the watch ends"', []),
        ("a capital in the code", '"The dongle says"', []),
        ("adjacent literals are one", '"the dongle " "hums"', ["the dongle hums"]),
        ("values split a text", 'f("the dongle %d says", n) + x + "sings a song"', []),
        ("line breaks split a text", '"sings a\\nwhole song"', ["whole song"]),
        ("one word is no text", '"Hums"', []),
        ("comments are no text", '// "the dongle hums"\nc = \'"\'; /* "hums too" */', []),
        ("a passed-over function", 'std::string help() { f("}"); return "the dongle hums"; }',
         []),
    ]
    failures = 0
    for name, source, expected in cases:
        with tempfile.TemporaryDirectory() as root:
            os.mkdir(os.path.join(root, "app"))
            for path, text in (("app/a.cpp", source), ("p.1", page)):
                with open(os.path.join(root, path), "w", encoding="utf-8") as f:
                    f.write(text)
            scopes = {("app/a.cpp", "help"): ""} if "help()" in source else {}
            found = check(root, {"app/a.cpp": ("p.1",)}, {}, scopes, {}, {}, ("app",))
            if [re.search('"(.*)"', p).group(1) for p in found] != expected:
                failures += 1
                print("self-test %s: expected %s missing, got %s" % (name, expected, found))
    with tempfile.TemporaryDirectory() as root:
        for layer in LAYERS + ("packaging",):
            shutil.copytree(os.path.join(real_root, layer), os.path.join(root, layer))
        with open(os.path.join(root, "readout/readout.cpp"), "a", encoding="utf-8") as f:
            f.write('const char* kNew = "The dongle hums a new tune";\n')
        with open(os.path.join(root, "log/new_file.cpp"), "w", encoding="utf-8") as f:
            f.write('auto t = "a log text nobody declared";\n')
        with open(os.path.join(root, "readout/readout.cpp"), encoding="utf-8") as f:
            line = f.read().count("\n")
        found = check(root)
        for want in ['%s lacks "The dongle hums a new tune" (readout/readout.cpp:%d)' % (page, line)
                     for page in BOTH] + ['log/new_file.cpp:1: "a log text nobody declared"']:
            if not any(p.startswith(want) for p in found):
                failures += 1
                print("self-test on the tree: nothing says %s" % want)
    print("self-test: %d of %d cases failed" % (failures, len(cases) + 3))
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", default=os.path.join(os.path.dirname(__file__), "..", ".."))
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    if args.self_test:
        return self_test(args.root)
    problems = check(args.root)
    print("\n".join(problems + ["%d problems" % len(problems) if problems else "all texts found"]))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
