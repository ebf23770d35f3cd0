"""Writes the type stubs of the native module from its own signatures and docstrings.

    python scripts/generate_stubs.py <folder holding the built module> <output .pyi>

The bindings carry a signature line on every function and method (``name(arg: type = default,
...) -> type``) followed by the docstring; overloaded functions list one signature per
overload. This script imports the module found in the given folder, turns every public
function, class, method, property and constant into stub syntax (defaults become ``...``, the
module's own prefix is dropped from type names) and keeps the docstrings, so editors show the
same help as ``help()``. The build runs it after linking the module; the stub is installed as
``tesk_gpu/__init__.pyi`` beside the ``py.typed`` marker.
"""

from __future__ import annotations

import importlib
import inspect
import re
import sys
from pathlib import Path

MODULE = "tesk_gpu"
HEADER = '''"""Type stubs of the tesk_gpu native module (generated at build time from its bindings)."""

from __future__ import annotations

import collections.abc
import typing
from typing import overload

import numpy
import numpy.typing
'''


def split_top_level(text: str, sep: str = ",") -> list[str]:
    """Splits at `sep` outside brackets and string literals."""
    parts, depth, quote, start = [], 0, None, 0
    for i, ch in enumerate(text):
        if quote:
            if ch == quote and text[i - 1] != "\\":
                quote = None
        elif ch in "'\"":
            quote = ch
        elif ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        elif ch == sep and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    tail = text[start:]
    if tail.strip():
        parts.append(tail)
    return [p.strip() for p in parts]


def clean_type(annotation: str) -> str:
    # A function registered before a class it takes names that class by its C++ name.
    annotation = re.sub(r"\b(?:\w+::)+(\w+)", r"\1", annotation)
    return annotation.replace(f"{MODULE}.", "").strip()


SIGNATURE = re.compile(r"^(?P<name>\w+)\((?P<params>.*)\)\s*->\s*(?P<ret>.+)$")


def parse_signature(line: str) -> tuple[str, str] | None:
    """(parameters, return type) of a signature line, in stub syntax; None when the line is not
    a signature."""
    m = SIGNATURE.match(line.strip())
    if not m:
        return None
    params = []
    for p in split_top_level(m.group("params")):
        if p in ("*", "/") or p.startswith("*"):
            params.append(p)
            continue
        name, _, rest = p.partition(":")
        annotation, has_default, _ = rest.partition("=") if "=" in rest else (rest, "", "")
        # A '=' inside the annotation itself cannot occur; the first one starts the default.
        item = f"{name.strip()}: {clean_type(annotation)}" if annotation.strip() else name.strip()
        params.append(item + (" = ..." if has_default else ""))
    # A binding may default a parameter that precedes one without default (reachable only by
    # keyword at run time); Python syntax cannot say that, so the stub requires the earlier ones.
    for i, p in enumerate(params):
        if p in ("*", "/") or p.startswith("*"):
            break
        if not p.endswith(" = ...") and any(q.endswith(" = ...") for q in params[:i]):
            params[:i] = [q.removesuffix(" = ...") for q in params[:i]]
    return ", ".join(params), clean_type(m.group("ret"))


def signatures_and_doc(obj) -> tuple[list[tuple[str, str]], str]:
    """The signatures of a bound callable and the docstring text that follows them."""
    doc = inspect.getdoc(obj) or ""
    lines = doc.splitlines()
    if lines and lines[0].strip().endswith("Overloaded function."):
        sigs, text = [], []
        for line in lines[1:]:
            m = re.match(r"^\d+\.\s+(.*)$", line)
            parsed = parse_signature(m.group(1)) if m else None
            if parsed:
                sigs.append(parsed)
            elif line.strip():
                text.append(line.strip())
        return sigs, "\n".join(dict.fromkeys(text))
    if lines and (parsed := parse_signature(lines[0])):
        return [parsed], "\n".join(lines[1:]).strip()
    return [], doc.strip()


def docstring(text: str, indent: str) -> list[str]:
    if not text:
        return []
    text = text.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    body = text.splitlines()
    if len(body) == 1:
        return [f'{indent}"""{body[0]}"""']
    return [f'{indent}"""{body[0]}'] + [f"{indent}{b}" if b else "" for b in body[1:]] + [f'{indent}"""']


def function_stub(name: str, obj, indent: str = "", method: bool = False) -> list[str]:
    sigs, text = signatures_and_doc(obj)
    if not sigs:  # no signature line: accept anything rather than guess
        sigs = [("self, *args: typing.Any, **kwargs: typing.Any" if method else "*args: typing.Any, **kwargs: typing.Any", "typing.Any")]
    out = []
    for params, ret in sigs:
        if method:  # the bound instance comes first as `self: ClassName`
            params = re.sub(r"^self: \w+", "self", params)
        if len(sigs) > 1:
            out.append(f"{indent}@overload")
        out.append(f"{indent}def {name}({params}) -> {ret}:")
        out += docstring(text, indent + "    ") or []
        out.append(f"{indent}    ...")
    return out


def class_stub(name: str, cls) -> list[str]:
    bases = [b.__name__ for b in cls.__bases__ if b.__module__ == MODULE]
    out = [f"class {name}({', '.join(bases)}):" if bases else f"class {name}:"]
    out += docstring(inspect.getdoc(cls) or "", "    ")
    for attr, value in vars(cls).items():
        if attr.startswith("_") and attr != "__init__":
            continue
        if isinstance(value, property):
            sigs, text = signatures_and_doc(value.fget) if value.fget else ([], "")
            ret = sigs[0][1] if sigs else "typing.Any"
            out += ["    @property", f"    def {attr}(self) -> {ret}:"] + docstring(text, "        ")
            out.append("        ...")
        elif isinstance(value, staticmethod):
            out += ["    @staticmethod"] + function_stub(attr, value.__func__, "    ")
        elif callable(value):
            out += function_stub(attr, value, "    ", method=True)
        elif isinstance(value, (bool, int, float, str)):
            out.append(f"    {attr}: {type(value).__name__}")
    if len(out) == 1:
        out.append("    ...")
    return out


def generate(module) -> str:
    lines = [HEADER]
    for name in sorted(vars(module)):
        if name.startswith("__"):
            continue
        value = getattr(module, name)
        if isinstance(value, type):
            lines += class_stub(name, value) + [""]
        elif callable(value):
            lines += function_stub(name, value) + [""]
        elif isinstance(value, (bool, int, float, str)):
            lines.append(f"{name}: {type(value).__name__}")
    lines.append("")
    return "\n".join(lines)


def main() -> int:
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    sys.path.insert(0, str(Path(sys.argv[1]).resolve()))
    module = importlib.import_module(MODULE)
    text = generate(module)
    compile(text, sys.argv[2], "exec")  # the stub must at least be valid Python
    Path(sys.argv[2]).parent.mkdir(parents=True, exist_ok=True)
    Path(sys.argv[2]).write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
