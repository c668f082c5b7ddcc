"""Derives, at build time, what is written once elsewhere.

    derive.py methods STUB OUT      the method table's docstrings (C++ header)
    derive.py forms STUB OUT        quorvane/_forms.pyi, for type checkers
    derive.py constants HEADER OUT  quorvane/constants.py

The stub (src/quorvane/_core.pyi) describes each native function once: its
parameters, types, defaults and documentation. From it come the docstrings
of the module's method table, each opening with the function's text
signature as CPython's own builtins carry it (so that help() and
inspect.signature work on quorvane._core itself), and each function's
calling convention; and the awaitable and session-method forms of the same
functions for type checkers. The enumerations of the wire contract are
declared once in src/core/protocol/enums.hpp; quorvane/constants.py gives
them to Python as IntEnum and IntFlag classes.

A default written in the stub is one the native function treats exactly as
the argument left out, and the text signature shows it. Where no value
stands for "left out" (the stub writes ``...``, as for the selectors of the
``_get`` functions, which are alternatives), the text signature gathers
those arguments into ``*args`` and ``**kwargs`` rather than show a value the
function would take for something else; the docstring names them.
"""

from __future__ import annotations

import ast
import copy
import re
import sys
import textwrap
from dataclasses import dataclass, field
from pathlib import Path

# ---- the stub -----------------------------------------------------------------------


@dataclass
class Param:
    name: str
    kind: str  # "positional" (positional-only), "either", "keyword"
    default: str | None = None  # repr of a literal default, None when there is none
    required: bool = True  # in every form of the function
    omittable: bool = False  # some form leaves it out, or gives it `...`


@dataclass
class Function:
    name: str
    doc: str = ""
    params: list[Param] = field(default_factory=list)
    forms: list[ast.FunctionDef] = field(default_factory=list)


def _literal(node: ast.expr | None) -> str | None:
    """repr of a literal default; None for `...` or no default."""
    if isinstance(node, ast.Constant) and node.value is not Ellipsis:
        return repr(node.value)
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.USub) and isinstance(node.operand, ast.Constant):
        return repr(-node.operand.value)
    return None


def functions(stub: Path) -> list[Function]:
    """The stub's functions in order, the overloads of each merged."""
    found: dict[str, Function] = {}
    for node in ast.parse(stub.read_text(encoding="utf-8")).body:
        if not isinstance(node, ast.FunctionDef):
            continue
        fn = found.setdefault(node.name, Function(node.name))
        fn.forms.append(node)
        fn.doc = fn.doc or ast.get_docstring(node) or ""
    for fn in found.values():
        names: dict[str, Param] = {}
        for form in fn.forms:
            a = form.args
            positional = a.posonlyargs + a.args
            defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
            rows = [(p, "positional" if i < len(a.posonlyargs) else "either", d)
                    for i, (p, d) in enumerate(zip(positional, defaults))]
            rows += [(p, "keyword", d) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
            present = set()
            for p, kind, default in rows:
                param = names.setdefault(p.arg, Param(p.arg, kind))
                present.add(p.arg)
                if default is not None:
                    param.required = False
                    literal = _literal(default)
                    if literal is None:
                        param.omittable = True
                    else:
                        param.default = literal
            for param in names.values():
                if param.name not in present:
                    param.required = False
                    param.omittable = True
        # A parameter some form leaves out is optional in every form.
        for param in names.values():
            if len(fn.forms) > 1 and any(param.name not in _names(f) for f in fn.forms):
                param.required = False
                param.omittable = param.default is None
        fn.params = list(names.values())
    return list(found.values())


def _names(form: ast.FunctionDef) -> set[str]:
    a = form.args
    return {p.arg for p in a.posonlyargs + a.args + a.kwonlyargs}


def text_signature(fn: Function) -> str:
    """The function's signature in the form CPython reads from a builtin's
    docstring: "$module" first, "/" after the positional-only parameters.
    Optional parameters without a value that means "left out" are gathered
    into *args and **kwargs."""
    positional = [p for p in fn.params if p.kind == "positional"]
    either = [p for p in fn.params if p.kind == "either"]
    keyword = [p for p in fn.params if p.kind == "keyword"]
    gathered_args = any(p.omittable and p.default is None for p in positional + either)
    gathered_kwargs = any(p.omittable and p.default is None for p in keyword)

    def shown(p: Param) -> str:
        return p.name if p.default is None else f"{p.name}={p.default}"

    parts = ["$module"]
    if gathered_args:
        parts += ["/", "*args"]
    else:
        parts += [shown(p) for p in positional] + ["/"] + [shown(p) for p in either]
    named = [p for p in keyword if not (p.omittable and p.default is None)]
    if named:
        if not gathered_args:
            parts.append("*")
        parts += [shown(p) for p in named]
    if gathered_kwargs:
        parts.append("**kwargs")
    return f"{fn.name}({', '.join(parts)})"


def convention(fn: Function) -> str:
    if not fn.params:
        return "METH_NOARGS"
    if all(p.kind == "positional" for p in fn.params):
        return "METH_VARARGS"
    return "METH_VARARGS | METH_KEYWORDS"


def c_string(text: str) -> str:
    """A C string literal of UTF-8 text, one source line per text line."""
    out = []
    for line in text.encode("utf-8").splitlines(keepends=True):
        chars = []
        for b in line:
            if b == 0x0A:
                chars.append("\\n")
            elif b in (0x22, 0x5C):
                chars.append("\\" + chr(b))
            elif 0x20 <= b < 0x7F:
                chars.append(chr(b))
            else:
                chars.append(f"\\{b:03o}")
        out.append('"' + "".join(chars) + '"')
    return "\n    ".join(out) or '""'


def methods(stub: Path) -> str:
    rows = []
    for fn in functions(stub):
        doc = f"{text_signature(fn)}\n--\n\n{fn.doc}"
        rows.append(f"inline constexpr Described {fn.name} = {{\n    {c_string(doc)},\n    {convention(fn)}}};")
    public = sum(1 for fn in functions(stub) if not fn.name.startswith("_"))
    return f"""// Derived from {stub.name} by cmake/derive.py at build time; do not edit.
#pragma once

#include <Python.h>

namespace qvn::module::described {{

struct Described {{
    const char* doc;  // text signature, "--", then the description
    int flags;        // calling convention
}};

{chr(10).join(rows)}

// Functions the stub describes that are not private.
inline constexpr int kPublicCount = {public};

}}  // namespace qvn::module::described
"""


def forms(stub: Path) -> str:
    """Every function of the stub as an awaitable (module level, for
    quorvane.aio) and as a method of _SessionMethods and _AsyncSessionMethods
    (for sessions). Imports and type aliases come over from the stub."""
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    header: list[ast.stmt] = []
    types: list[str] = []
    for node in tree.body:
        if isinstance(node, (ast.Import, ast.ImportFrom, ast.Assign, ast.AnnAssign)):
            header.append(node)
        elif isinstance(node, ast.ClassDef):
            types.append(node.name)
    public = [n for n in tree.body if isinstance(n, ast.FunctionDef) and not n.name.startswith("_")]

    def made(node: ast.FunctionDef, *, awaitable: bool, method: bool) -> ast.stmt:
        node = copy.deepcopy(node)
        node.body = [ast.Expr(ast.Constant(...))]
        if method:
            self_arg = ast.arg("self")
            if node.args.posonlyargs:
                node.args.posonlyargs.insert(0, self_arg)
            else:
                node.args.args.insert(0, self_arg)
        if not awaitable:
            return node
        fields = {name: getattr(node, name) for name in node._fields}
        return ast.AsyncFunctionDef(**fields)

    module = ast.Module(body=list(header), type_ignores=[])
    module.body.append(ast.ImportFrom("_core", [ast.alias(t) for t in types], 1))
    module.body += [made(n, awaitable=True, method=False) for n in public]
    for cls, awaitable in (("_SessionMethods", False), ("_AsyncSessionMethods", True)):
        module.body.append(ast.ClassDef(cls, [], [], [made(n, awaitable=awaitable, method=True) for n in public], []))
    ast.fix_missing_locations(module)
    return (f'"""Derived from {stub.name} by cmake/derive.py at build time: the native functions as\n'
            "awaitables (quorvane.aio) and as session methods (_SessionMethods, _AsyncSessionMethods),\nfor type checkers.\"\"\"\n\n"
            + ast.unparse(module) + "\n")


# ---- the enumerations -----------------------------------------------------------------

ENUM = re.compile(r"((?:[ \t]*//[^\n]*\n)*)enum(?: class)? (\w+) : [\w:]+ \{(.*?)\};", re.S)
MEMBER = re.compile(r"^\s*(\w+) = (\d+),?[ \t]*(?://[ \t]*(.*))?$", re.M)


def python_name(member: str) -> str:
    member = re.sub(r"^k(?=[A-Z])", "", member)
    return re.sub(r"(?<=[a-z0-9])(?=[A-Z])", "_", member).upper()


def constants(header: Path) -> str:
    out = [f'"""The enumerations of the wire contract: the values a client passes in requests and\n'
           f"the values the Terminal puts into records. Derived from {header.name} by\n"
           "cmake/derive.py at build time; the native module passes them through as plain\n"
           "integers. Each is an ``IntEnum`` (sets of bits an ``IntFlag``), so members pass\n"
           'wherever an integer is expected."""\n',
           "from enum import IntEnum, IntFlag\n"]
    names = []
    for comment, name, body in ENUM.findall(header.read_text(encoding="utf-8")):
        prefix = "" if name != "TickFlag" else "kTick"
        members = [(python_name(m[len(prefix):] if prefix and m.startswith(prefix) else m), int(v), note)
                   for m, v, note in MEMBER.findall(body)]
        if not members:
            raise SystemExit(f"{header}: enum {name} has no members")
        base = "IntFlag" if name.endswith(("Flag", "Flags")) else "IntEnum"
        lines = [f"\nclass {name}({base}):"]
        doc = " ".join(line.strip().removeprefix("//").strip() for line in comment.splitlines()).strip()
        if doc:
            wrapped = textwrap.fill(doc, 84, initial_indent='    """', subsequent_indent="    ")
            lines += [wrapped + ('"""' if len(wrapped.splitlines()[-1]) < 82 else '\n    """'), ""]
        lines += [f"    {m} = {v}" + (f"  # {note.strip()}" if note else "") for m, v, note in members]
        out.append("\n".join(lines) + "\n")
        names.append(name)
    if len(set(names)) != len(names):
        raise SystemExit(f"{header}: an enumeration is declared twice")
    out.append("\n__all__ = [\n" + "".join(f'    "{n}",\n' for n in names) + "]\n")
    return "\n".join(out)


def main(argv: list[str]) -> int:
    if len(argv) != 4 or argv[1] not in ("methods", "forms", "constants"):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    what, source, target = argv[1], Path(argv[2]), Path(argv[3])
    text = {"methods": methods, "forms": forms, "constants": constants}[what](source)
    # Rewritten only when it changes, so that nothing rebuilds for nothing.
    if not target.exists() or target.read_text(encoding="utf-8") != text:
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
