#!/usr/bin/python3
"""Mutation testing: small, realistic mistakes made in the code one at a time,
each built and run against the tests; a mistake no test notices is a
survivor, a guarantee the suite does not hold.

  scripts/mutate FILE...            every line of the files (.cpp, .c, .h)
  scripts/mutate --base REV         the lines changed since REV in src/ and tools/
  scripts/mutate --list FILE...     only print the mutants found

Mutants are found by libclang on the parsed file, with the file's own
compile flags (compile_commands.json of the mutation build): operators
(arithmetic + - * / % << >>, logical && ||, ! dropped, ++ <-> --, comparisons
negated and moved by one: < to >= and to <=), constants (an integer literal
+1, -1, 0; true <-> false), calls (a call statement dropped), statements
(break, continue or a void return dropped; an if condition forced true and
false), memory orders (std::memory_order_* weakened to relaxed) and flags
(one term of an | expression dropped). A mutant is one byte-range edit of
the source, from the AST's extents; nothing in a macro expansion or a
static_assert is mutated. A header is parsed through a .cpp that includes
it (the one of the same name beside it, else any that includes it).

Where it works: the mutation build folder (default build-mutate/) holds a
copy of the source tree (tree/, the tracked and untracked-not-ignored files
of the working tree, synchronised at every start) and a build of that copy
(build/, configured once, then built incrementally). Mutants are written
into the copy, never into the working tree, and never built in build/: a
developer keeps editing and building while a run goes on (--background).
The copy's file is restored after each mutant, on any error and on
SIGINT/SIGTERM/SIGHUP, and checked byte for byte against its original.

Which tests run: first the related tests, then, for a mutant they all pass,
the fast suite (ctest -LE slow, less the tests labelled mutate). The related
tests are the CTest tests of the test executables one of whose sources
includes the mutated file's header directly (for a .cpp the .h of the same
name beside it, for a header itself); when none does, those whose objects
depend on it at all (the compiler's dependency files); when none does
either, the fast suite alone. Tests labelled slow or mutate never run.
Tests that fail before any mutation are reported and left out. A test
that exceeds --test-timeout counts as a kill (by timeout). A mutant whose build fails did not compile and is not scored.

Equivalent mutants (ones that cannot change behaviour) are listed, with
their reason, in scripts/lib/mutate-equivalent.txt, one a line:
  FILE KEY REASON
KEY is printed with each survivor; it hashes the enclosing function's
name, the line's text, the place in it and the change (and, for the second
of two identical lines in one function, a 2), not the line number, so it
survives edits elsewhere.
They are not run and not scored.

Score per file: killed / (mutants run that compiled), in per cent.
Exit status: 0 when the run completed (whatever the score), 1 when the
unmutated tree does not build, a baseline fails or a copy could not be
restored, 64 on a usage error.
"""
import argparse
import fcntl
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

LIBCLANG = "/usr/lib/llvm-14/lib/libclang-14.so.1"


def say(*parts):
    print(*parts, flush=True)


# ---------------------------------------------------------------- arguments

def parse_args(argv):
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    p = argparse.ArgumentParser(prog="scripts/mutate", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("files", nargs="*", help="files to mutate, relative to the root")
    p.add_argument("--base", metavar="REV", help="mutate the lines changed since REV (src/, tools/)")
    p.add_argument("--max", type=int, default=0, metavar="N", help="at most N mutants per file, sampled")
    p.add_argument("--seconds", type=float, default=0, metavar="S",
                   help="time budget of the whole run, first build included: mutants run in a "
                   "random order until the next one would overrun it")
    p.add_argument("--seed", type=int, default=1, help="seed of the sampling and order (default 1)")
    p.add_argument("--test-timeout", type=int, default=60, metavar="S",
                   help="per-test timeout in seconds; a test past it kills the mutant (default 60)")
    p.add_argument("--list", action="store_true", help="print the mutants found, run nothing")
    p.add_argument("--key", action="append", default=[], metavar="KEY",
                   help="only the mutant(s) with this key (repeatable), e.g. to run a survivor again")
    p.add_argument("--background", action="store_true",
                   help="detach; progress and report go to BUILD-DIR/mutate.log")
    p.add_argument("--root", default=root, help="source tree (default: this repository)")
    p.add_argument("--build-dir", metavar="DIR", help="mutation build folder (default ROOT/build-mutate)")
    p.add_argument("--equivalent", metavar="FILE",
                   help="equivalent mutants (default ROOT/scripts/lib/mutate-equivalent.txt)")
    p.add_argument("--cmake-arg", action="append", default=[], metavar="ARG",
                   help="extra argument for the one-time configure (repeatable)")
    p.add_argument("--jobs", type=int, default=2, help="build parallelism (default 2)")
    args = p.parse_args(argv)
    args.root = os.path.abspath(args.root)
    args.build_dir = os.path.abspath(args.build_dir or os.path.join(args.root, "build-mutate"))
    args.equivalent = args.equivalent or os.path.join(args.root, "scripts/lib/mutate-equivalent.txt")
    if not args.files and not args.base:
        p.error("name files to mutate or --base REV")
    return args


# ------------------------------------------------ running commands, killable

current_child = None


def run(cmd, cwd=None, timeout=None, nice=True):
    """Runs cmd in its own process group (so an interrupted run can end it
    and all it started); returns (exit status, output)."""
    global current_child
    if nice:
        cmd = ["nice", "-n", "10"] + cmd
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            stdin=subprocess.DEVNULL, start_new_session=True)
    current_child = proc
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out.decode(errors="replace")
    except subprocess.TimeoutExpired:
        kill_group(proc)
        out, _ = proc.communicate()
        return -1, out.decode(errors="replace") + "\n***Timeout (mutate)\n"
    finally:
        if proc.poll() is None:
            kill_group(proc)
        current_child = None


def kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait()


class Interrupted(Exception):
    pass


def on_signal(signum, _frame):
    raise Interrupted(signal.Signals(signum).name)


# ------------------------------------------------------- the private copy

def listed_files(root, skip):
    """The working tree's files: tracked and untracked-not-ignored ones."""
    try:
        out = subprocess.run(["git", "-C", root, "ls-files", "-z", "-co", "--exclude-standard"],
                             check=True, capture_output=True).stdout.decode()
        names = [n for n in out.split("\0") if n]
    except (subprocess.CalledProcessError, FileNotFoundError):
        names = []
        for d, dirs, files in os.walk(root):
            dirs[:] = [x for x in dirs if not x.startswith(("build", ".git"))]
            names += [os.path.relpath(os.path.join(d, f), root) for f in files]
    return sorted(n for n in names if not (n + "/").startswith(skip) and os.path.lexists(os.path.join(root, n)))


def sync_copy(root, tree, skip):
    """Makes tree/ hold exactly the working tree's files. Only files whose
    content differs are written (with a new mtime, so the build sees them);
    files gone from the working tree go from the copy too."""
    names = listed_files(root, skip)
    wanted = set(names)
    written = 0
    for name in names:
        src, dst = os.path.join(root, name), os.path.join(tree, name)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        if os.path.islink(src):
            target = os.readlink(src)
            if not (os.path.islink(dst) and os.readlink(dst) == target):
                if os.path.lexists(dst):
                    os.remove(dst)
                os.symlink(target, dst)
            continue
        data = read(src)
        if not os.path.isfile(dst) or os.path.islink(dst) or read(dst) != data:
            if os.path.lexists(dst):
                os.remove(dst)
            write(dst, data)
            shutil.copymode(src, dst)
            written += 1
    for d, _dirs, files in os.walk(tree):
        for f in files:
            rel = os.path.relpath(os.path.join(d, f), tree)
            if rel not in wanted:
                os.remove(os.path.join(d, f))
    return written


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


# ----------------------------------------------------------- the build

def configure(tree, build, extra):
    if os.path.isfile(os.path.join(build, "CMakeCache.txt")):
        return True
    status, out = run(["cmake", "-S", tree, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                       "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"] + extra)
    if status != 0:
        say(out)
    return status == 0


def build_targets(build, targets, jobs):
    cmd = ["cmake", "--build", build, "-j%d" % jobs]
    if targets:
        cmd += ["--target"] + sorted(targets)
    return run(cmd)


def compile_commands(build):
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = json.load(f)
    for e in entries:
        e["file"] = os.path.normpath(os.path.join(e["directory"], e["file"]))
        out = e.get("output") or ""
        if not out:  # the Makefile generator names the object only in the command
            m = re.search(r"(?:^|\s)-o\s+(\S+)", e.get("command", ""))
            out = m.group(1) if m else ""
        e["object"] = os.path.normpath(os.path.join(e["directory"], out)) if out else ""
        m = re.search(r"CMakeFiles/([^/]+)\.dir/", out)
        e["target"] = m.group(1) if m else ""
    return entries


def ctest_tests(build):
    """name -> (executable basename, labels) of every CTest test."""
    status, out = run(["ctest", "--test-dir", build, "--show-only=json-v1"], nice=False)
    if status != 0:
        raise SystemExit("mutate: ctest --show-only failed:\n" + out)
    tests = {}
    for t in json.loads(out[out.index("{"):])["tests"]:
        cmd = t.get("command") or [""]
        labels = []
        for prop in t.get("properties", []):
            if prop["name"] == "LABELS":
                labels = prop["value"]
        tests[t["name"]] = (os.path.basename(cmd[0]), labels)
    return tests


# ------------------------------------------------- finding the mutants

class Mutant:
    def __init__(self, rel, kind, start, end, replacement, context, src, scope=""):
        self.rel, self.kind, self.start, self.end = rel, kind, start, end
        self.replacement = replacement
        cstart, cend = context
        before = src[cstart:cend]
        after = src[cstart:start] + replacement + src[end:cend]
        self.before, self.after = shown(before), shown(after)
        line_start = src.rfind(b"\n", 0, start) + 1
        line_end = src.find(b"\n", start)
        line_end = len(src) if line_end < 0 else line_end
        self.line = src.count(b"\n", 0, start) + 1
        text = src[line_start:line_end]
        column = start - line_start - (len(text) - len(text.lstrip()))
        self.identity = [scope.encode(), text.strip(), str(column).encode(),
                         self.before.encode(), self.after.encode()]
        self.key = self.keyed(1)
        self.result = None
        self.killers = ""

    def keyed(self, occurrence):
        """The mutant's key: its function, the line's text, the place in the
        line and the change; the nth of identical ones in a function (the
        same line twice) adds n."""
        parts = self.identity + ([str(occurrence).encode()] if occurrence > 1 else [])
        return hashlib.sha1(b"\0".join(parts)).hexdigest()[:12]

    def apply(self, src):
        return src[:self.start] + self.replacement + src[self.end:]

    def describe(self):
        return "%s:%d  %s: %s \u2192 %s" % (self.rel, self.line, self.kind, self.before, self.after)


def shown(text):
    text = " ".join(text.decode(errors="replace").split()) or "(removed)"
    return text if len(text) <= 70 else text[:67] + "..."


ARITHMETIC = {"+": ["-"], "-": ["+"], "*": ["/"], "/": ["*"], "%": ["/"], "<<": [">>"], ">>": ["<<"]}
RELATIONAL = {"<": [">=", "<="], "<=": [">", "<"], ">": ["<=", ">="], ">=": ["<", ">"],
              "==": ["!="], "!=": ["=="]}
LOGICAL = {"&&": ["||"], "||": ["&&"]}
COMPOUND = {"+=": ["-="], "-=": ["+="], "*=": ["/="], "/=": ["*="], "<<=": [">>="], ">>=": ["<<="]}
STRONG_ORDERS = {"memory_order_seq_cst", "memory_order_acquire", "memory_order_release",
                 "memory_order_acq_rel", "memory_order_consume"}
INTEGER = re.compile(rb"^(0[xX][0-9a-fA-F]+|0[0-7]*|[1-9][0-9]*)([uUlL]*)$")


class Finder:
    def __init__(self, cindex, tu, path, rel, src, lines):
        self.ci, self.K = cindex, cindex.CursorKind
        self.tu, self.path, self.rel, self.src, self.lines = tu, path, rel, src, lines
        self.found = {}
        self.scope = ""
        K = cindex.CursorKind
        self.functions = {K.FUNCTION_DECL, K.CXX_METHOD, K.CONSTRUCTOR, K.DESTRUCTOR,
                          K.FUNCTION_TEMPLATE, K.CONVERSION_FUNCTION}

    def run(self):
        for c in self.tu.cursor.get_children():
            if self.in_file(c):
                self.visit(c, [])
        mutants = sorted(self.found.values(), key=lambda m: (m.start, m.kind, m.replacement))
        seen = {}
        for m in mutants:
            seen[m.key] = seen.get(m.key, 0) + 1
            m.key = m.keyed(seen[m.key])
        return mutants

    # An extent the edit may touch: in this file, not from a macro.
    def in_file(self, c):
        e = c.extent
        return (e.start.file is not None and e.end.file is not None
                and e.start.file.name == self.path and e.end.file.name == self.path
                and e.start.offset < e.end.offset)

    def text(self, c):
        return self.src[c.extent.start.offset:c.extent.end.offset]

    def add(self, kind, start, end, replacement, context):
        if isinstance(replacement, str):
            replacement = replacement.encode()
        if self.src[start:end] == replacement:
            return
        line = self.src.count(b"\n", 0, start) + 1
        if self.lines is not None and line not in self.lines:
            return
        m = Mutant(self.rel, kind, start, end, replacement, context, self.src, self.scope)
        self.found.setdefault((start, end, replacement), m)

    def token_at(self, c, after_offset, spellings):
        """The first token of c at or after after_offset whose spelling is
        one of spellings, checked against the source bytes (a token from a
        macro expansion is not where its spelling is)."""
        for t in c.get_tokens():
            off = t.extent.start.offset
            if off >= after_offset and t.spelling in spellings:
                if (t.location.file is not None and t.location.file.name == self.path
                        and self.src[off:off + len(t.spelling)] == t.spelling.encode()):
                    return off, t.spelling
                return None
        return None

    def visit(self, c, stack):
        K = self.K
        if c.kind == K.STATIC_ASSERT:
            return
        if self.in_file(c):
            handler = {K.BINARY_OPERATOR: self.binary, K.COMPOUND_ASSIGNMENT_OPERATOR: self.compound,
                       K.UNARY_OPERATOR: self.unary, K.INTEGER_LITERAL: self.integer,
                       K.CXX_BOOL_LITERAL_EXPR: self.boolean, K.COMPOUND_STMT: self.statements,
                       K.IF_STMT: self.if_stmt, K.DECL_REF_EXPR: self.memory_order}.get(c.kind)
            if handler:
                handler(c, stack)
        scope = self.scope
        if c.kind in self.functions:
            self.scope = c.semantic_parent.spelling + "::" + c.displayname if c.semantic_parent else c.displayname
        stack.append(c)
        for child in c.get_children():
            self.visit(child, stack)
        stack.pop()
        self.scope = scope

    def context(self, c):
        return (c.extent.start.offset, c.extent.end.offset)

    def binary(self, c, _stack):
        kids = list(c.get_children())
        if len(kids) != 2 or not all(self.in_file(k) for k in kids):
            return
        lhs, rhs = kids
        ops = set(ARITHMETIC) | set(RELATIONAL) | set(LOGICAL) | {"|"}
        found = self.token_at(c, lhs.extent.end.offset, ops)
        if not found:
            return
        off, op = found
        ctx = self.context(c)
        if op == "|":
            self.add("flags", lhs.extent.end.offset, c.extent.end.offset, "", ctx)
            lhs_inner = lhs
            if not (lhs_inner.kind == self.K.BINARY_OPERATOR
                    and self.token_at(lhs_inner, list(lhs_inner.get_children())[0].extent.end.offset,
                                      {"|"})):
                self.add("flags", c.extent.start.offset, rhs.extent.start.offset, "", ctx)
            return
        pointer = self.ci.TypeKind.POINTER
        if op in ("+", "-") and (lhs.type.get_canonical().kind == pointer
                                 or rhs.type.get_canonical().kind == pointer):
            return  # pointer arithmetic: p - q has no p + q
        kind = ("arithmetic" if op in ARITHMETIC else "relational" if op in RELATIONAL
                else "logical")
        for new in (ARITHMETIC.get(op) or RELATIONAL.get(op) or LOGICAL.get(op)):
            self.add(kind, off, off + len(op), new, ctx)

    def compound(self, c, _stack):
        kids = list(c.get_children())
        if len(kids) != 2:
            return
        found = self.token_at(c, kids[0].extent.end.offset, set(COMPOUND))
        if found:
            off, op = found
            for new in COMPOUND[op]:
                self.add("arithmetic", off, off + len(op), new, self.context(c))

    def unary(self, c, _stack):
        tokens = list(c.get_tokens())
        if not tokens:
            return
        first, last = tokens[0], tokens[-1]
        start, end = c.extent.start.offset, c.extent.end.offset
        swap = {"++": "--", "--": "++"}
        if first.extent.start.offset == start and first.spelling in ("!", "++", "--"):
            op = first.spelling
        elif last.extent.end.offset == end and last.spelling in ("++", "--"):
            op, start = last.spelling, end - len(last.spelling)
        else:
            return
        if self.src[start:start + len(op)] != op.encode():
            return
        if op == "!":
            self.add("logical", start, start + 1, "", self.context(c))
        else:
            self.add("arithmetic", start, start + 2, swap[op], self.context(c))

    def wider(self, c, stack):
        """The nearest enclosing expression that shows more than c, if it
        is short, for a readable before -> after."""
        for outer in reversed(stack):
            if not outer.kind.is_expression() or not self.in_file(outer):
                break
            e = outer.extent
            if e.end.offset - e.start.offset > 60:
                break
            if (e.start.offset, e.end.offset) != (c.extent.start.offset, c.extent.end.offset):
                return (e.start.offset, e.end.offset)
        return self.context(c)

    def integer(self, c, stack):
        text = self.text(c)
        m = INTEGER.match(text)
        if not m:
            return
        digits, suffix = m.group(1), m.group(2)
        if digits[:2] in (b"0x", b"0X"):
            value, fmt = int(digits, 16), (lambda v: b"0x%x" % v)
        elif digits[:1] == b"0" and len(digits) > 1:  # octal, as file modes are written
            value, fmt = int(digits, 8), (lambda v: b"0%o" % v)
        else:
            value, fmt = int(digits), (lambda v: b"%d" % v)
        start, end = c.extent.start.offset, c.extent.end.offset
        news = [value + 1] + ([value - 1] if value > 0 else []) + ([0] if value > 1 else [])
        for v in news:
            self.add("constant", start, end, fmt(v) + suffix, self.wider(c, stack))

    def boolean(self, c, stack):
        text = self.text(c)
        flip = {b"true": b"false", b"false": b"true"}.get(text)
        if flip:
            self.add("constant", c.extent.start.offset, c.extent.end.offset, flip, self.wider(c, stack))

    def unwrap(self, c):
        while c.kind == self.K.UNEXPOSED_EXPR:
            kids = list(c.get_children())
            if len(kids) != 1 or kids[0].extent.start.offset != c.extent.start.offset:
                break
            c = kids[0]
        return c

    def statements(self, c, _stack):
        K = self.K
        for child in c.get_children():
            if not self.in_file(child):
                continue
            inner = self.unwrap(child)
            ctx = self.context(child)
            if inner.kind == K.CALL_EXPR and inner.extent.end.offset == child.extent.end.offset:
                self.add("call", ctx[0], ctx[1], "", ctx)
            elif child.kind in (K.BREAK_STMT, K.CONTINUE_STMT):
                self.add("statement", ctx[0], ctx[1], "", ctx)
            elif child.kind == K.RETURN_STMT and not list(child.get_children()):
                self.add("statement", ctx[0], ctx[1], "", ctx)

    def if_stmt(self, c, _stack):
        K = self.K
        kids = list(c.get_children())
        if not kids or not kids[0].kind.is_expression() or not self.in_file(kids[0]):
            return
        cond = kids[0]
        ctx = self.context(cond)
        for forced in ("true", "false"):
            self.add("statement", ctx[0], ctx[1], forced, ctx)
        for body in kids[1:]:  # a call as the whole body of a branch
            inner = self.unwrap(body)
            if self.in_file(body) and inner.kind == K.CALL_EXPR:
                self.add("call", body.extent.start.offset, body.extent.end.offset, "", self.context(body))
            elif self.in_file(body) and body.kind in (K.BREAK_STMT, K.CONTINUE_STMT):
                self.add("statement", body.extent.start.offset, body.extent.end.offset, "",
                         self.context(body))

    def memory_order(self, c, _stack):
        if c.spelling not in STRONG_ORDERS:
            return
        found = self.token_at(c, c.extent.start.offset, {c.spelling})
        if found:
            off, name = found
            self.add("memory order", off, off + len(name), "memory_order_relaxed", (off, off + len(name)))


def parse(cindex, index, entry, path):
    args = entry.get("arguments")
    if not args:
        import shlex
        args = shlex.split(entry["command"])
    kept, skip = [], False
    for a in args[1:]:
        if skip:
            skip = False
            continue
        if a in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
            continue
        if a in ("-c", "-MD", "-MMD") or os.path.normpath(os.path.join(entry["directory"], a)) == entry["file"]:
            continue
        kept.append(a)
    resource = os.path.dirname(os.path.dirname(LIBCLANG)) + "/lib/clang"
    if os.path.isdir(resource):
        versions = sorted(os.listdir(resource))
        if versions:
            kept = ["-resource-dir", os.path.join(resource, versions[-1])] + kept
    kept.append("-Wno-unknown-warning-option")
    cwd = os.getcwd()
    os.chdir(entry["directory"])
    try:
        tu = index.parse(entry["file"], args=kept,
                         options=cindex.TranslationUnit.PARSE_DETAILED_PROCESSING_RECORD)
    finally:
        os.chdir(cwd)
    errors = [d for d in tu.diagnostics if d.severity >= cindex.Diagnostic.Error]
    for d in errors[:3]:
        say("mutate: %s: parse error: %s" % (os.path.basename(path), d))
    return tu


def translation_unit_for(path, entries):
    """The compile command that parses path: its own, or for a header the
    .cpp/.c of the same name beside it, else one whose dependency file names
    the header."""
    by_file = {e["file"]: e for e in entries}
    if path in by_file:
        return by_file[path]
    stem = os.path.splitext(path)[0]
    for ext in (".cpp", ".cc", ".c"):
        if stem + ext in by_file:
            return by_file[stem + ext]
    for e in entries:
        if path in depfile_paths(e):
            return e
    for e in entries:  # not built yet: one that includes it directly
        if includes(e["file"], path):
            return e
    return None


def includes(source, header):
    """Whether source has an #include naming header (by a path suffix)."""
    for inc in INCLUDE.findall(read(source)):
        inc = os.path.normpath(inc.decode())
        if header.endswith("/" + inc):
            return True
    return False


def depfile_paths(entry):
    dep = entry["object"] + ".d"
    if not entry["object"] or not os.path.isfile(dep):
        return set()
    text = read(dep).decode(errors="replace").replace("\\\n", " ")
    paths = set()
    for word in text.split():
        if not word.endswith(":"):
            paths.add(os.path.normpath(os.path.join(entry["directory"], word)))
    return paths


def changed_lines(root, base):
    """file (relative) -> set of line numbers changed since base, in src/
    and tools/ C and C++ files, the working tree's edits included."""
    out = subprocess.run(["git", "-C", root, "diff", "-U0", "--no-color", base, "--",
                          "src", "tools"], check=True, capture_output=True).stdout.decode()
    result, current = {}, None
    for line in out.splitlines():
        if line.startswith("+++ "):
            name = line[4:]
            current = name[2:] if name.startswith("b/") else None
            if current and not current.endswith((".cpp", ".cc", ".c", ".h", ".hpp")):
                current = None
        elif line.startswith("@@") and current:
            m = re.match(r"@@ -\S+ \+(\d+)(?:,(\d+))? @@", line)
            first, count = int(m.group(1)), int(m.group(2) if m.group(2) is not None else 1)
            result.setdefault(current, set()).update(range(first, first + count))
    return {f: lines for f, lines in result.items() if lines}


# ------------------------------------------------------------ the tests

INCLUDE = re.compile(rb'^\s*#\s*include\s*["<]([^">]+)[">]', re.M)


def related_tests(path, entries, tests, tree):
    """The CTest tests of the test executables that include path's header
    directly, else those that depend on it at all; [] when none does."""
    stem, ext = os.path.splitext(path)
    header = path
    if ext in (".cpp", ".cc", ".c"):
        header = next((stem + h for h in (".h", ".hpp") if os.path.isfile(stem + h)), None)
    if header is None:
        return [], set()
    executables = {exe for exe, _ in tests.values()}
    test_entries = [e for e in entries if e["target"] in executables]
    direct = {e["target"] for e in test_entries if includes(e["file"], header)}
    targets = direct or {e["target"] for e in test_entries if header in depfile_paths(e)}
    return sorted(n for n, (exe, labels) in tests.items()
                  if exe in targets and not SUITE_LEFT_OUT & set(labels)), targets


# Labels of the tests no mutant runs: the slow ones, and this tool's own.
SUITE_LEFT_OUT = {"slow", "mutate"}


def ctest_regex(names):
    return "^(" + "|".join(re.sub(r"([][.*+?^$(){}|\\])", r"\\\1", n) for n in names) + ")$"


def run_tests(build, names, timeout, jobs, exclude=()):
    """Runs the named tests (None: the fast suite). Returns (passed,
    timed out, failing test names)."""
    cmd = ["ctest", "--test-dir", build, "--timeout", str(timeout), "-j%d" % jobs, "--no-tests=ignore"]
    if names is None:
        cmd += ["-LE", "^(slow|mutate)$"]
        if exclude:
            cmd += ["-E", ctest_regex(exclude)]
    else:
        cmd += ["-R", ctest_regex(names)]
    status, out = run(cmd, timeout=timeout * 20 + 600)
    failing = re.findall(r"^\s*\d+ - (\S+)", out[out.find("The following tests"):], re.M)
    return status == 0, ("***Timeout" in out), failing


# ------------------------------------------------------- equivalents

def load_equivalents(path):
    result = {}
    if not os.path.isfile(path):
        return result
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                parts = line.split(None, 2)
                if len(parts) >= 2:
                    result[(parts[0], parts[1])] = parts[2] if len(parts) > 2 else ""
    return result


# ---------------------------------------------------------------- main

class Run:
    def __init__(self, args):
        self.args = args
        self.tree = os.path.join(args.build_dir, "tree")
        self.build = os.path.join(args.build_dir, "build")
        self.originals = {}     # tree path -> original bytes, while a mutant is applied
        self.baseline_suite_failures = None
        self.started = time.time()

    def restore(self):
        """Puts back every applied mutant's file and checks it byte for byte."""
        ok = True
        for path, data in list(self.originals.items()):
            write(path, data)
            if read(path) != data:
                say("mutate: FAILED to restore %s" % path)
                ok = False
            else:
                del self.originals[path]
        return ok

    def prepare(self, build=True):
        a = self.args
        os.makedirs(self.tree, exist_ok=True)
        skip = os.path.relpath(a.build_dir, a.root) + "/"
        written = sync_copy(a.root, self.tree, skip)
        say("mutate: source copy %s (%d file(s) updated)" % (self.tree, written))
        if not configure(self.tree, self.build, a.cmake_arg):
            raise SystemExit("mutate: configuring %s failed" % self.build)
        if not build:
            return
        t = time.time()
        status, out = build_targets(self.build, None, a.jobs)
        if status != 0:
            say(out[-4000:])
            raise SystemExit("mutate: the unmutated tree does not build")
        say("mutate: build of the unmutated copy: %ds" % (time.time() - t))

    def mutants_of(self, cindex, rel, lines, entries):
        path = os.path.join(self.tree, rel)
        if not os.path.isfile(path):
            say("mutate: %s: no such file" % rel)
            return []
        entry = translation_unit_for(path, entries)
        if entry is None:
            say("mutate: %s: no compile command parses it, skipped" % rel)
            return []
        tu = parse(cindex, cindex.Index.create(), entry, path)
        return Finder(cindex, tu, path, rel, read(path), lines).run()

    def run_mutant(self, m, related, targets):
        a = self.args
        path = os.path.join(self.tree, m.rel)
        original = read(path)
        self.originals[path] = original
        try:
            write(path, m.apply(original))
            status, _ = build_targets(self.build, targets or None, a.jobs)
            if status != 0:
                return "did not compile"
            if related:
                passed, timed_out, failing = run_tests(self.build, related, a.test_timeout, a.jobs)
                if not passed:
                    return self.killed(m, timed_out, failing)
            if targets:
                status, _ = build_targets(self.build, None, a.jobs)
                if status != 0:
                    return "did not compile"
            passed, timed_out, failing = run_tests(self.build, None, a.test_timeout, a.jobs,
                                                   self.suite_baseline())
            if not passed and failing and self.fail_unmutated(path, original, failing):
                return "survived"  # only tests that fail without it too
            if not passed:
                return self.killed(m, timed_out, failing + ["(fast suite)"])
            return "survived"
        finally:
            if not self.restore():
                raise SystemExit(1)

    def fail_unmutated(self, path, original, failing):
        """Whether every test that failed against a mutant fails without it
        too (a test that has begun to fail from the machine's state, not
        the mutant's). Such tests join the ones left out."""
        write(path, original)
        build_targets(self.build, None, self.args.jobs)
        _, _, still = run_tests(self.build, failing, self.args.test_timeout, self.args.jobs)
        if still:
            say("mutate: failing without any mutant now, left out: %s" % " ".join(still))
            self.baseline_suite_failures += [t for t in still if t not in self.baseline_suite_failures]
        return set(failing) <= set(still)

    @staticmethod
    def killed(m, timed_out, failing):
        """Notes which tests killed m (the report shows them), and says how."""
        shown = failing[:3] + (["and %d more" % (len(failing) - 3)] if len(failing) > 3 else [])
        m.killers = " ".join(shown)
        return "killed by timeout" if timed_out else "killed"

    def suite_baseline(self):
        """Tests of the fast suite that fail with no mutant applied (left
        out); first called before any mutant is applied."""
        if self.baseline_suite_failures is None:
            assert not self.originals
            t = time.time()
            passed, _, failing = run_tests(self.build, None, self.args.test_timeout, self.args.jobs)
            self.baseline_suite_failures = [] if passed else failing
            say("mutate: the fast suite before any mutation: %ds" % (time.time() - t))
            if failing:
                say("mutate: failing before any mutation, left out: %s" % " ".join(failing))
        return self.baseline_suite_failures


def import_cindex():
    try:
        import clang.cindex as cindex
    except ImportError:
        raise SystemExit("mutate: libclang's Python module is missing (scripts/install-deps --mutate)")
    if os.path.exists(LIBCLANG):
        cindex.Config.set_library_file(LIBCLANG)
    return cindex


def select(mutants_by_file, args):
    """--max per file (a seeded sample), then one seeded order for all."""
    rng = random.Random(args.seed)
    chosen = []
    for rel in sorted(mutants_by_file):
        ms = [m for m in mutants_by_file[rel] if not args.key or m.key in args.key]
        if args.max and len(ms) > args.max:
            ms = rng.sample(ms, args.max)
        chosen += ms
    rng.shuffle(chosen)
    return chosen


def report(by_file, run_started, not_run):
    say("")
    say("== mutation score")
    survivors = []
    for rel in sorted(by_file):
        ms = by_file[rel]
        count = lambda *rs: sum(1 for m in ms if m.result in rs)
        killed = count("killed", "killed by timeout")
        scored = killed + count("survived")
        score = "%d%%" % round(100.0 * killed / scored) if scored else "-"
        say("%s: %d/%d killed (%s); %d mutant(s): %d by timeout, %d did not compile, %d equivalent, %d not run"
            % (rel, killed, scored, score, len(ms), count("killed by timeout"), count("did not compile"),
               count("equivalent"), count(None)))
        survivors += [m for m in ms if m.result == "survived"]
    if survivors:
        say("")
        say("== survivors (FILE KEY for %s when one cannot change behaviour)" % "scripts/lib/mutate-equivalent.txt")
        for m in sorted(survivors, key=lambda m: (m.rel, m.line, m.start)):
            say("survived %s  [%s %s]" % (m.describe(), m.rel, m.key))
    say("== took %ds%s" % (time.time() - run_started,
                           ", %d mutant(s) not run (time budget)" % not_run if not_run else ""))


def background(argv, args):
    os.makedirs(args.build_dir, exist_ok=True)
    log = os.path.join(args.build_dir, "mutate.log")
    rest = [a for a in argv if a != "--background"]
    with open(log, "wb") as out:
        proc = subprocess.Popen([sys.executable, os.path.abspath(__file__)] + rest, stdout=out,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                start_new_session=True)
    say("mutate: running in the background, pid %d; progress and report in %s" % (proc.pid, log))
    return 0


def main(argv):
    args = parse_args(argv)
    if args.background:
        return background(argv, args)
    cindex = import_cindex()
    os.makedirs(args.build_dir, exist_ok=True)
    lock = open(os.path.join(args.build_dir, "lock"), "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise SystemExit("mutate: another run uses %s" % args.build_dir)
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, on_signal)
    r = Run(args)
    try:
        return mutate(r, cindex, args)
    except Interrupted as e:
        say("mutate: interrupted (%s)" % e)
        return 130
    finally:
        if current_child is not None:
            kill_group(current_child)
        ok = r.restore()
        for path in r.originals:
            say("mutate: %s is NOT restored" % path)
        if not ok:
            sys.exit(1)
        say("mutate: no mutant left applied")


def mutate(r, cindex, args):
    started = time.time()
    if args.base:
        wanted = changed_lines(args.root, args.base)
    else:
        wanted = {}
        for f in args.files:
            rel = os.path.relpath(os.path.abspath(f), args.root) if os.path.isabs(f) or os.path.exists(f) else f
            wanted[os.path.normpath(rel)] = None
    r.prepare(build=not args.list)
    entries = compile_commands(r.build)
    mutants_by_file = {rel: r.mutants_of(cindex, rel, lines, entries) for rel, lines in wanted.items()}
    chosen = select(mutants_by_file, args)
    for rel, ms in sorted(mutants_by_file.items()):
        say("mutate: %s: %d mutant(s) found, %d chosen" % (rel, len(ms), sum(1 for m in chosen if m.rel == rel)))
    if args.list:
        for m in sorted(chosen, key=lambda m: (m.rel, m.start, m.kind)):
            say("mutant %s  [%s %s]" % (m.describe(), m.rel, m.key))
        return 0
    equivalents = load_equivalents(args.equivalent)
    for m in chosen:
        if (m.rel, m.key) in equivalents:
            m.result = "equivalent"
    tests = ctest_tests(r.build)
    related = {}
    for rel in sorted({m.rel for m in chosen}):
        names, targets = related_tests(os.path.join(r.tree, rel), entries, tests, r.tree)
        related[rel] = (names, targets)
        say("mutate: %s: related tests: %d from %s" % (rel, len(names), " ".join(sorted(targets)) or "none (the fast suite)"))
        if names:
            passed, _, failing = run_tests(r.build, names, args.test_timeout, args.jobs)
            if not passed:
                raise SystemExit("mutate: related tests fail before any mutation: %s" % " ".join(failing))
    todo = [m for m in chosen if m.result is None]
    if todo:
        r.suite_baseline()
    snapshot = {rel: read(os.path.join(r.tree, rel)) for rel in {m.rel for m in todo}}
    spent, done = 0.0, 0
    for i, m in enumerate(todo, 1):
        if args.seconds and done:
            per = spent / done
            if time.time() - started + per > args.seconds:
                say("mutate: time budget: %d of %d mutant(s) left unrun (%.0fs each so far)"
                    % (len(todo) - i + 1, len(todo), per))
                break
        t = time.time()
        say("mutant %d/%d applied: %s" % (i, len(todo), m.describe()))
        m.result = r.run_mutant(m, *related[m.rel])
        spent += time.time() - t
        done += 1
        say("mutant %d/%d %s (%.0fs): %s%s" % (i, len(todo), m.result, time.time() - t, m.describe(),
                                              "  -- by " + m.killers if m.killers else ""))
    by_file = {}
    for m in chosen:
        by_file.setdefault(m.rel, []).append(m)
    report(by_file, started, sum(1 for m in chosen if m.result is None))
    if done:
        say("== %d mutant(s) run, %.0fs each on average" % (done, spent / done))
    verify_copy(r, snapshot)
    return 0


def verify_copy(r, snapshot):
    """Each file of the copy that was mutated is byte-identical to what it
    was before the first mutant."""
    for rel, data in sorted(snapshot.items()):
        if read(os.path.join(r.tree, rel)) != data:
            raise SystemExit("mutate: %s differs from its original after the run" % rel)
    say("mutate: %d mutated file(s) of the copy checked: byte-identical to their originals" % len(snapshot))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
