#!/usr/bin/env python3
"""Kernel-stack budget of tolmu.sys: the deepest path of stack frames from
each routine the kernel calls into the driver.

Input: the image's object files (each compiled with -fstack-usage and
-fcallgraph-info=su, so that NAME.su and NAME.ci lie next to NAME.obj).
From each .ci (GCC's call graph of one translation unit, VCG text) come the
routines, their frame sizes and their calls; the .su files must agree with
it. From the COFF objects come the indirect calls' targets: a table of
routine pointers is read from its relocations.

Every indirect call must be resolved: --indirect CALLER=TABLE says that the
indirect calls of CALLER go through the routine pointers of TABLE (a data
symbol). The tool checks that CALLER's code refers to TABLE, takes every
routine TABLE holds as a target, and fails when a routine's address is taken
anywhere in the objects but the routine is neither an entry nor held by a
table named that way nor a callback (a routine pointer the map does not
know about). --callback CALLER=ROUTINE says that CALLER hands ROUTINE to the
kernel, which may call it on the same stack before CALLER's call returns (a
completion routine run by IoCallDriver when the lower driver completes at
once, the query routine of RtlQueryRegistryValues): the tool checks that
CALLER's code takes ROUTINE's address and counts ROUTINE on top of CALLER.

Fails (exit status 1) on: a cycle in the call graph reachable from an entry,
an unresolved indirect call, a frame of dynamic size (alloca, variable-length
arrays: GCC's "dynamic" without "bounded"), a missing or inconsistent .ci or
.su, an unknown entry, and a worst path above the budget.

Calls into the kernel and the HAL (imports) are counted as 0 bytes: their
use is part of the system's share of the stack, not of the driver's.

Output: one line with the worst path over all entries,
    kernel stack worst path: N bytes (from ENTRY)
then one line per entry with its path (routine and frame size, outermost
first).
"""
import argparse
import os
import re
import struct
import sys

INDIRECT = "__indirect_call"

# COFF relocation types (i386) that store a routine's absolute address.
IMAGE_REL_I386_DIR32 = 0x0006
IMAGE_REL_I386_DIR32NB = 0x0007
ADDRESS_RELOCS = (IMAGE_REL_I386_DIR32, IMAGE_REL_I386_DIR32NB)
COFF_FUNCTION_TYPE = 0x20
SCN_CNT_CODE = 0x00000020


class BudgetError(Exception):
    pass


# ----------------------------------------------------------------- call graph
class Routine:
    def __init__(self, title, decl, loc, size, qual, tu):
        self.title = title
        self.decl = decl
        self.loc = loc
        self.size = size
        self.qual = qual
        self.tu = tu

    @property
    def name(self):
        """The routine's name: from its declaration, else from its assembler
        name (GCC prints some declarations, variadic ones, as ")")."""
        name = simple_name(self.decl)
        if name:
            return name
        asm = self.title.rsplit(":", 1)[-1]
        m = re.match(r"_ZL?(\d+)", asm)
        if m:
            return asm[m.end():m.end() + int(m.group(1))]
        return asm


def simple_name(decl):
    """The routine's own name in a demangled declaration: the identifier
    right before the parameter list ("long int PnpDispatch(...)" ->
    "PnpDispatch", "void ns::f(int)" -> "f")."""
    m = re.search(r"([A-Za-z_~][A-Za-z0-9_]*)\s*\(", decl)
    return m.group(1) if m else None


VCG_FIELD = re.compile(r'(\w+)\s*:\s*"((?:[^"\\]|\\.)*)"')


def parse_ci(path):
    """(routines defined here, callee titles by caller, indirect call sites
    by caller, declared-only titles)."""
    defined = {}
    edges = {}
    indirect = {}
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.strip()
            fields = dict(VCG_FIELD.findall(line))
            if line.startswith("node:"):
                title = fields.get("title")
                label = fields.get("label", "")
                parts = label.split("\\n")
                if title == INDIRECT or len(parts) < 3:
                    continue  # declared only, or the placeholder
                m = re.match(r"(\d+) bytes \(([^)]*)\)", parts[2])
                if not m:
                    raise BudgetError("%s: no frame size for %s (label %r)" % (path, title, label))
                defined[title] = Routine(title, parts[0], parts[1], int(m.group(1)), m.group(2), path)
            elif line.startswith("edge:"):
                src, dst = fields.get("sourcename"), fields.get("targetname")
                if dst == INDIRECT:
                    indirect.setdefault(src, []).append(fields.get("label", "?"))
                else:
                    edges.setdefault(src, [])
                    if dst not in edges[src]:
                        edges[src].append(dst)
    return defined, edges, indirect


def parse_su(path):
    """{(location, declaration): (size, qualifier)}"""
    out = {}
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            cols = line.split("\t")
            if len(cols) != 3:
                raise BudgetError("%s: unreadable line %r" % (path, line))
            # FILE:LINE:COL:DECLARATION (the file may itself hold colons)
            m = re.match(r"(.*:\d+:\d+):(.*)$", cols[0])
            if not m:
                raise BudgetError("%s: unreadable location %r" % (path, cols[0]))
            out[(m.group(1), m.group(2))] = (int(cols[1]), cols[2])
    return out


# -------------------------------------------------------------- COFF objects
class CoffSymbol:
    def __init__(self, index, name, value, section, type_, sclass):
        self.index = index
        self.name = name
        self.value = value
        self.section = section  # 1-based; 0 undefined, negative special
        self.type = type_
        self.sclass = sclass


class CoffObject:
    """The parts of an i386 COFF object the budget needs: sections (name,
    flags, raw data, relocations) and symbols."""

    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            data = f.read()
        if len(data) < 20:
            raise BudgetError("%s: not a COFF object" % path)
        machine, nsec, _, symptr, nsym, opthdr, _ = struct.unpack_from("<HHIIIHH", data, 0)
        if machine != 0x14C:
            raise BudgetError("%s: not an i386 COFF object (machine 0x%x)" % (path, machine))
        strtab_at = symptr + 18 * nsym

        def long_name(raw):
            if raw[:4] == b"\0\0\0\0":
                off = struct.unpack_from("<I", raw, 4)[0]
                end = data.index(b"\0", strtab_at + off)
                return data[strtab_at + off:end].decode("latin-1")
            return raw.rstrip(b"\0").decode("latin-1")

        self.sections = []
        at = 20 + opthdr
        for i in range(nsec):
            raw = data[at:at + 8]
            name = raw.rstrip(b"\0").decode("latin-1")
            if name.startswith("/"):
                off = int(name[1:])
                end = data.index(b"\0", strtab_at + off)
                name = data[strtab_at + off:end].decode("latin-1")
            size, rawptr, relptr, nrel, flags = (struct.unpack_from("<I", data, at + 16)[0],
                                                struct.unpack_from("<I", data, at + 20)[0],
                                                struct.unpack_from("<I", data, at + 24)[0],
                                                struct.unpack_from("<H", data, at + 32)[0],
                                                struct.unpack_from("<I", data, at + 36)[0])
            relocs = []
            for r in range(nrel):
                va, symidx, rtype = struct.unpack_from("<IIH", data, relptr + 10 * r)
                relocs.append((va, symidx, rtype))
            self.sections.append({"name": name, "size": size, "flags": flags,
                                  "data": data[rawptr:rawptr + size] if rawptr else b"", "relocs": relocs})
            at += 40

        self.symbols = {}
        i = 0
        while i < nsym:
            at = symptr + 18 * i
            name = long_name(data[at:at + 8])
            value, secnum, type_, sclass, naux = struct.unpack_from("<IhHBB", data, at + 8)
            self.symbols[i] = CoffSymbol(i, name, value, secnum, type_, sclass)
            i += 1 + naux

    def is_code(self, secnum):
        return 1 <= secnum <= len(self.sections) and self.sections[secnum - 1]["flags"] & SCN_CNT_CODE

    def functions(self, secnum):
        return sorted((s for s in self.symbols.values()
                       if s.section == secnum and s.type == COFF_FUNCTION_TYPE), key=lambda s: s.value)

    def extent(self, sym):
        """[start, end) of a symbol: up to the next symbol in its section."""
        sec = self.sections[sym.section - 1]
        later = [s.value for s in self.symbols.values()
                 if s.section == sym.section and s.value > sym.value and not s.name.startswith(".")]
        return sym.value, min(later) if later else sec["size"]

    def address_relocs(self, secnum):
        """(offset, target section, target offset, target symbol) for each
        absolute-address relocation in the section."""
        sec = self.sections[secnum - 1]
        for va, symidx, rtype in sec["relocs"]:
            if rtype not in ADDRESS_RELOCS:
                continue
            sym = self.symbols.get(symidx)
            if sym is None:
                continue
            addend = struct.unpack_from("<I", sec["data"], va)[0] if len(sec["data"]) >= va + 4 else 0
            if sym.section <= 0:
                yield va, None, addend, sym  # an undefined symbol: another object's
            else:
                yield va, sym.section, (sym.value + addend) & 0xFFFFFFFF, sym

    def function_at(self, secnum, offset):
        """The function symbol that starts exactly at offset, or None."""
        for s in self.functions(secnum):
            if s.value == offset:
                return s
        return None


# ------------------------------------------------------------------- budget
class Image:
    def __init__(self, objects):
        self.routines = {}
        self.edges = {}
        self.indirect = {}
        self.tu_titles = {}  # object path -> {asm name: title}
        self.coff = {}
        for obj in objects:
            base = os.path.splitext(obj)[0]
            ci, su = base + ".ci", base + ".su"
            for p in (obj, ci, su):
                if not os.path.exists(p):
                    raise BudgetError("%s missing (compile with -fstack-usage -fcallgraph-info=su, without a "
                                      "compiler cache that drops them)" % p)
            defined, edges, indirect = parse_ci(ci)
            usage = parse_su(su)
            titles = {}
            for title, r in defined.items():
                known = usage.get((r.loc, r.decl))
                if known is None or known[0] != r.size:
                    raise BudgetError("%s and %s disagree on %s (%s)" % (ci, su, r.decl, r.loc))
                old = self.routines.get(title)
                if old is None or old.size < r.size:  # a routine defined in several objects: the largest
                    self.routines[title] = r
                titles[title.rsplit(":", 1)[-1] if ":" in title else title] = title
            for src, dsts in edges.items():
                lst = self.edges.setdefault(src, [])
                lst.extend(d for d in dsts if d not in lst)
            for src, sites in indirect.items():
                self.indirect.setdefault(src, []).extend(sites)
            self.tu_titles[obj] = titles
            self.coff[obj] = CoffObject(obj)

    def title_of(self, obj, sym):
        """The call-graph title of a COFF function symbol (i386 names carry
        one leading underscore)."""
        name = sym.name[1:] if sym.name.startswith("_") else sym.name
        return self.tu_titles[obj].get(name, name)

    def find(self, name):
        hits = [t for t, r in self.routines.items() if r.name == name or t == name]
        if len(hits) != 1:
            raise BudgetError("routine %s: %s" % (name, "not found" if not hits else "ambiguous: " + ", ".join(hits)))
        return hits[0]

    def find_data(self, name):
        pattern = re.compile(r"_?(_ZL?%d%s|%s)(@\d+)?$" % (len(name), re.escape(name), re.escape(name)))
        hits = [(obj, s) for obj, c in self.coff.items() for s in c.symbols.values()
                if s.section > 0 and not c.is_code(s.section) and pattern.match(s.name)]
        if len(hits) != 1:
            raise BudgetError("table %s: %s" % (name, "not found" if not hits else "ambiguous"))
        return hits[0]

    def address_taken(self):
        """{title: where} for every routine whose address is stored or
        loaded anywhere (absolute relocations onto a routine's start)."""
        out = {}
        for obj, c in self.coff.items():
            for secnum in range(1, len(c.sections) + 1):
                for va, tsec, toff, sym in c.address_relocs(secnum):
                    if tsec is None:
                        name = sym.name[1:] if sym.name.startswith("_") else sym.name
                        if sym.type == COFF_FUNCTION_TYPE or name in self.routines:
                            out.setdefault(name, obj)
                        continue
                    if not c.is_code(tsec):
                        continue
                    f = c.function_at(tsec, toff)
                    if f is not None:
                        out.setdefault(self.title_of(obj, f), obj)
        return out

    def code_refs(self, caller):
        """(object, target section, target offset, symbol) of every absolute
        address in the code of routine CALLER."""
        out = []
        for obj, c in self.coff.items():
            for sym in c.symbols.values():
                if sym.type != COFF_FUNCTION_TYPE or sym.section <= 0 or self.title_of(obj, sym) != caller:
                    continue
                fstart, fend = c.extent(sym)
                for va, tsec, toff, tsym in c.address_relocs(sym.section):
                    if fstart <= va < fend:
                        out.append((obj, tsec, toff, tsym))
        return out

    def takes_address(self, caller, routine):
        """TRUE when CALLER's code holds ROUTINE's address."""
        for obj, tsec, toff, sym in self.code_refs(caller):
            c = self.coff[obj]
            if tsec is None:
                name = sym.name[1:] if sym.name.startswith("_") else sym.name
            elif c.is_code(tsec) and c.function_at(tsec, toff) is not None:
                name = self.title_of(obj, c.function_at(tsec, toff))
            else:
                continue
            if name == routine:
                return True
        return False

    def table_targets(self, caller, table):
        """The routines TABLE holds; checks that CALLER's code refers to it."""
        obj, tsym = self.find_data(table)
        c = self.coff[obj]
        start, end = c.extent(tsym)
        targets = []
        for va, tsec, toff, sym in c.address_relocs(tsym.section):
            if not start <= va < end:
                continue
            if tsec is None:
                name = sym.name[1:] if sym.name.startswith("_") else sym.name
            elif c.is_code(tsec):
                f = c.function_at(tsec, toff)
                if f is None:
                    continue
                name = self.title_of(obj, f)
            else:
                continue
            if name not in targets:
                targets.append(name)
        # The caller's code must load from the table.
        refers = any(o == obj and tsec == tsym.section and start <= toff < end
                     for o, tsec, toff, sym in self.code_refs(caller))
        if not refers:
            who = self.routines[caller].name if caller in self.routines else caller
            raise BudgetError("%s does not refer to table %s: the indirect-call map is wrong" % (who, table))
        return targets


def analyse(image, entries, indirect_map, budget, callbacks=()):
    """Returns (report lines, problems); raises BudgetError on unreadable
    input. callbacks: (CALLER, ROUTINE) pairs, ROUTINE handed by CALLER to
    the kernel, which may call it on CALLER's stack before returning."""
    problems = []
    called_back = {}
    for caller, routine in callbacks:
        try:
            ct, rt = image.find(caller), image.find(routine)
        except BudgetError as err:
            problems.append(str(err))
            continue
        if not image.takes_address(ct, rt):
            problems.append("%s does not hand %s to anyone: the callback map is wrong" % (caller, routine))
            continue
        called_back.setdefault(ct, []).append(rt)

    # Indirect calls: every site resolved through the tables of its caller.
    resolved = {}
    table_members = set()
    for caller, sites in sorted(image.indirect.items()):
        tables = indirect_map.get(image.routines[caller].name if caller in image.routines else caller)
        if tables is None:
            tables = indirect_map.get(caller)
        if not tables:
            who = image.routines[caller].name if caller in image.routines else caller
            problems.append("unresolved indirect call in %s at %s" % (who, ", ".join(sites)))
            continue
        targets = []
        for t in tables:
            for r in image.table_targets(caller, t):
                if r not in targets:
                    targets.append(r)
        if not targets:
            problems.append("indirect call in %s: its tables hold no routine" % caller)
        resolved[caller] = targets
        table_members.update(targets)

    entry_titles = {}
    for e in entries:
        try:
            entry_titles[e] = image.find(e)
        except BudgetError as err:
            problems.append(str(err))

    for title, obj in sorted(image.address_taken().items()):
        if (title not in table_members and title not in entry_titles.values()
                and not any(title in v for v in called_back.values())):
            who = image.routines[title].name if title in image.routines else title
            problems.append("the address of %s is taken (%s) but it is neither an entry, nor held by a table "
                            "of the indirect-call map, nor a callback" % (who, os.path.basename(obj)))

    for title, r in image.routines.items():
        if "dynamic" in r.qual and "bounded" not in r.qual:
            problems.append("dynamic stack in %s (%s, %s)" % (r.name, r.loc, r.qual))

    def callees(title):
        return image.edges.get(title, []) + resolved.get(title, []) + called_back.get(title, [])

    # Worst path by depth-first search; a routine on the current path again
    # is a cycle.
    memo = {}
    cycles = []

    def worst(title, path):
        if title in memo:
            return memo[title]
        if title in path:
            cycles.append(path[path.index(title):] + [title])
            return 0, []
        r = image.routines.get(title)
        if r is None:  # an import: the kernel's or the HAL's
            return 0, []
        best, best_path = 0, []
        for callee in callees(title):
            n, p = worst(callee, path + [title])
            if n > best or not best_path and p:
                best, best_path = n, p
        memo[title] = (r.size + best, [title] + best_path)
        return memo[title]

    per_entry = []
    for e in entries:
        if e not in entry_titles:
            continue
        n, p = worst(entry_titles[e], [])
        per_entry.append((e, n, p))
    seen = set()
    for cyc in cycles:
        key = tuple(sorted(set(cyc)))
        if key in seen:
            continue
        seen.add(key)
        names = [image.routines[t].name if t in image.routines else t for t in cyc]
        problems.append("cycle in the call graph: " + " -> ".join(names))

    lines = []
    worst_n, worst_e = 0, None
    for e, n, p in per_entry:
        if worst_e is None or n > worst_n:
            worst_n, worst_e = n, e
    if worst_e is not None:
        lines.append("kernel stack worst path: %d bytes (from %s)" % (worst_n, worst_e))
    for e, n, p in per_entry:
        steps = " > ".join("%s %d" % (image.routines[t].name, image.routines[t].size) for t in p)
        lines.append("  %s: %d bytes: %s" % (e, n, steps))
    if worst_e is not None and worst_n > budget:
        problems.append("worst path %d bytes from %s is above the budget of %d bytes" % (worst_n, worst_e, budget))
    return lines, problems


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("objects", nargs="*", help="object files (NAME.obj with NAME.ci and NAME.su beside it)")
    ap.add_argument("--objects-list", help="a file naming the object files, one a line")
    ap.add_argument("--entry", action="append", default=[], help="a routine the kernel calls (repeat)")
    ap.add_argument("--indirect", action="append", default=[], metavar="CALLER=TABLE[,TABLE]",
                    help="the indirect calls of CALLER go through the routine pointers of TABLE")
    ap.add_argument("--callback", action="append", default=[], metavar="CALLER=ROUTINE",
                    help="CALLER hands ROUTINE to the kernel, which may call it before CALLER's call returns "
                         "(a completion routine, a query routine): counted on top of CALLER")
    ap.add_argument("--budget", type=int, default=3072, help="bytes (default 3072)")
    args = ap.parse_args(argv)

    objects = list(args.objects)
    if args.objects_list:
        with open(args.objects_list) as f:
            objects += [l.strip() for l in f if l.strip()]
    if not objects or not args.entry:
        ap.error("object files and at least one --entry are needed")
    indirect_map = {}
    for item in args.indirect:
        caller, _, tables = item.partition("=")
        if not caller or not tables:
            ap.error("--indirect wants CALLER=TABLE: %r" % item)
        indirect_map.setdefault(caller, []).extend(t for t in tables.split(",") if t)

    callbacks = []
    for item in args.callback:
        caller, _, routine = item.partition("=")
        if not caller or not routine:
            ap.error("--callback wants CALLER=ROUTINE: %r" % item)
        callbacks.append((caller, routine))

    try:
        image = Image(objects)
        lines, problems = analyse(image, args.entry, indirect_map, args.budget, callbacks)
    except BudgetError as err:
        print("stack budget: FAIL: %s" % err)
        return 1
    for line in lines:
        print(line)
    for p in problems:
        print("stack budget: FAIL: %s" % p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
