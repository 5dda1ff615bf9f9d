#!/usr/bin/env python3
"""Selftest of tools/stack_budget.py on small hand-made programs, compiled
with the image's compiler and options: a table call resolves to the
table's routines and the figure is the sum of the frames on the worst path;
a cycle, an unresolved indirect call, dynamic stack, a stray routine
pointer, a wrong table and a path above the budget each fail.

Usage: stack_budget_selftest.py COMPILER stack_budget.py
"""
import os
import re
import subprocess
import sys
import tempfile

FLAGS = ["-std=c++17", "-O2", "-ffreestanding", "-fno-exceptions", "-fno-rtti", "-fno-asynchronous-unwind-tables",
         "-fno-stack-protector", "-mno-stack-arg-probe", "-fstack-usage", "-fcallgraph-info=su", "-c"]

LEAVES = r"""
__attribute__((noinline)) int small(int x) { volatile char b[64]; b[x & 63] = 1; return b[0]; }
__attribute__((noinline)) int large(int x) { volatile char b[512]; b[x & 511] = 1; return b[1]; }
"""
TABLE = r"""
int small(int);
int large(int);
typedef int handler(int);
static handler *const handlers[] = {small, large};
extern "C" __attribute__((stdcall)) int Entry(int i)
{
    volatile char b[32];
    b[i & 31] = 2;
    return handlers[i & 1](i) + b[3];
}
"""
PING = r"""
int pong(int);
__attribute__((noinline)) int ping(int x) { volatile int v = x; return x ? pong(x - 1) * v : 1; }
extern "C" __attribute__((stdcall)) int Entry(int i) { return ping(i) + 1; }
"""
PONG = r"""
int ping(int);
__attribute__((noinline)) int pong(int x) { volatile int v = x; return x ? ping(x - 1) + v : 0; }
"""
ALLOCA = r"""
int small(int);
extern "C" __attribute__((stdcall)) int Entry(int n)
{
    volatile char *p = (volatile char *)__builtin_alloca(n);
    p[0] = 1;
    return small(p[n - 1]);
}
"""
STRAY = r"""
int small(int);
int large(int);
int (*volatile hook)(int) = large;
extern "C" __attribute__((stdcall)) int Entry(int i) { return small(i) + (hook != 0); }
"""
OTHER = r"""
int small(int);
int large(int);
static int (*const others[])(int) = {large, small};
int callOther(int i) { return others[i & 1](i); }
"""


def compile_all(cxx, workdir, sources):
    objs = []
    for name, text in sources.items():
        src = os.path.join(workdir, name + ".cpp")
        with open(src, "w") as f:
            f.write(text)
        obj = os.path.join(workdir, name + ".cpp.obj")
        subprocess.run([cxx] + FLAGS + [src, "-o", obj], check=True)
        objs.append(obj)
    return objs


def su_size(workdir, routine):
    """A routine's frame as the compiler's .su files give it."""
    for name in os.listdir(workdir):
        if name.endswith(".su"):
            with open(os.path.join(workdir, name)) as f:
                for line in f:
                    cols = line.rstrip("\n").split("\t")
                    if re.search(r":[^:]*\b%s\(" % routine, cols[0]):
                        return int(cols[1])
    raise AssertionError("no .su line for " + routine)


def main():
    cxx, tool = sys.argv[1], sys.argv[2]
    failures = []

    def run(objs, *extra):
        r = subprocess.run([sys.executable, tool, "--entry", "Entry"] + list(extra) + objs,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        return r.returncode, r.stdout

    def expect(what, cond, out):
        print(("ok    " if cond else "FAIL  ") + what)
        if not cond:
            failures.append(what)
            print("      " + out.replace("\n", "\n      "))

    with tempfile.TemporaryDirectory() as tmp:
        def case(name, sources):
            d = os.path.join(tmp, name)
            os.mkdir(d)
            return d, compile_all(cxx, d, sources)

        d, objs = case("table", {"leaves": LEAVES, "table": TABLE})
        want = su_size(d, "Entry") + max(su_size(d, "small"), su_size(d, "large"))
        rc, out = run(objs, "--indirect", "Entry=handlers")
        expect("a table call resolves to the table's routines: worst path %d bytes" % want,
               rc == 0 and out.splitlines()[0] == "kernel stack worst path: %d bytes (from Entry)" % want
               and "Entry > large" in out.replace(" %d >" % su_size(d, "Entry"), " >"), out)
        rc, out = run(objs)
        expect("an indirect call without a table fails", rc == 1 and "unresolved indirect call in" in out, out)
        rc, out = run(objs, "--indirect", "Entry=handlers", "--budget", str(want - 1))
        expect("a path one byte above the budget fails", rc == 1 and "above the budget" in out, out)
        rc, out = run(objs, "--indirect", "Entry=handlers", "--budget", str(want))
        expect("a path exactly at the budget passes", rc == 0, out)
        os.remove(objs[0][:-4] + ".ci")
        rc, out = run(objs, "--indirect", "Entry=handlers")
        expect("a missing .ci fails", rc == 1 and ".ci missing" in out, out)

        d, objs = case("cycle", {"ping": PING, "pong": PONG})
        rc, out = run(objs)
        expect("a cycle fails", rc == 1 and re.search(r"cycle in the call graph: .*ping.*pong", out), out)

        d, objs = case("alloca", {"leaves": LEAVES, "alloca": ALLOCA})
        rc, out = run(objs)
        expect("dynamic stack fails", rc == 1 and "dynamic stack in Entry" in out, out)

        d, objs = case("stray", {"leaves": LEAVES, "stray": STRAY})
        rc, out = run(objs)
        expect("a routine pointer outside the map fails",
               rc == 1 and re.search(r"address of large is taken .* neither an entry", out), out)

        d, objs = case("wrong", {"leaves": LEAVES, "table": TABLE, "other": OTHER})
        rc, out = run(objs, "--indirect", "Entry=others", "--indirect", "callOther=others")
        expect("a table the caller does not refer to fails",
               rc == 1 and "Entry does not refer to table others" in out, out)

    print("stack budget selftest: %d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
