"""Write the type stubs of the built ``vqmixer`` module.

The stubs live in the stub-only package ``stubs/vqmixer-stubs`` that is
installed next to the extension in the same wheel, so that mypy and IDEs see
the four classes, their fields and their method signatures.

Every class, field and method, and every type, is read from the installed
module (the binding layer writes a signature line into each docstring).
Parameter names and the short descriptions come from the tables below: the
methods take their arguments positionally only, so the names in the stubs are
documentation and never reach the module.

    python scripts/gen_stubs.py            # rewrite the committed stubs
    python scripts/gen_stubs.py --check    # exit 1 if they differ from the module
"""

from __future__ import annotations

import argparse
import difflib
import importlib
import re
import sys
from pathlib import Path

STUB_PATH = Path(__file__).resolve().parent.parent / "stubs" / "vqmixer-stubs" / "__init__.pyi"

MODULE_DOC = """\
Vector quantization and diagonal Gaussian mixtures.

Observation matrices are sequences of rows of floats (N rows of D values).
Every model is an ``RModelStage``: ``Var`` holds standard deviations, not
variances, every logarithm is natural, and scores leave out the 2*pi term."""

CLASS_DOCS = {
    "RArg": "Statistics of one cluster and the position of its widest spread. Here ``Var`` holds variances.",
    "RModelStage": (
        "One whole model: a codebook, or the parameters of a diagonal Gaussian mixture.\n\n"
        "Entries 0 .. Cls-1 of the four lists belong to the clusters; ``Cls`` is always\n"
        "read from its field, never from a list length."
    ),
    "TLindeBuzoGray": "Vector quantization: Euclidean distance, random initial centroids, K-means, codebook splitting.",
    "TGaussianMixture": "Gaussian mixtures with diagonal covariances: EM training and log-likelihood scoring.",
}

FIELD_DOCS = {
    ("RArg", "indexCmp"): "Coordinate of the widest spread.",
    ("RArg", "indexCls"): "Cluster of the widest spread (0 for the whole data set).",
    ("RArg", "maxVar"): "Size of the widest spread, as a standard deviation.",
    ("RArg", "Mean"): "Per-coordinate mean.",
    ("RArg", "Var"): "Per-coordinate variance (sigma**2, unlike RModelStage.Var).",
    ("RModelStage", "Flag"): "False when LindeBuzoGray_N refused the request; True only for its one-cluster result.",
    ("RModelStage", "Cls"): "Number of clusters (codebook entries, mixture components).",
    ("RModelStage", "indexCmp"): "Coordinate of the widest spread found by the last K-means step, -1 if none.",
    ("RModelStage", "indexCls"): "Cluster of that spread, numbered as in the stage the step started from, -1 if none.",
    ("RModelStage", "maxVar"): "Square root of the widest standard deviation (the fourth root of the variance).",
    ("RModelStage", "lnGaussPrb"): "Natural log of each cluster's weight; the weights are exp() of these.",
    ("RModelStage", "Mean"): "Cls rows of D means: the centroids.",
    ("RModelStage", "Var"): "Cls rows of D standard deviations sigma (not variances).",
    ("RModelStage", "lnVar"): "Cls rows of D values ln(sigma).",
}

# (class, method) -> (parameter names after self, description)
METHOD_DOCS = {
    ("TLindeBuzoGray", "EvklDistance"): (
        ["a", "b", "n"],
        "Euclidean distance of the single values a and b over n coordinates (n is 0 or 1; n <= 0 gives 0.0).",
    ),
    ("TLindeBuzoGray", "RandomInitPoint"): (
        ["X", "count"],
        "Draw count distinct rows of X as starting centroids (only Mean is filled; set Cls before K_MeanGeneral).",
    ),
    ("TLindeBuzoGray", "LindeBuzoGray_N"): (
        ["X", "K"],
        "Deterministic codebook grown by splitting: K or K + 1 clusters (an odd K >= 3\n"
        "usually gives K + 1). Flag stays False for K >= 2.\n\n"
        "Refuses when len(X) < 12*K: prints two lines on standard output and returns\n"
        "Flag False, Cls 0 and empty lists.",
    ),
    ("TLindeBuzoGray", "K_MeanGeneral"): (
        ["X", "stage"],
        "K-means from the centroids stage.Mean[:stage.Cls]; thinly populated clusters are dropped.",
    ),
    ("TGaussianMixture", "EM_Alg"): (
        ["X", "K"],
        "Train a diagonal Gaussian mixture by EM, starting from LindeBuzoGray_N(X, K).\n\n"
        "Components whose standard deviation collapses are dropped, so Cls can be\n"
        "smaller than the codebook's.",
    ),
    ("TGaussianMixture", "Likelihood"): (
        ["X", "stage"],
        "ln of the SUM over the rows of X of the mixture density, without the 2*pi term.\n\n"
        "For one row this is that row's log score; it is not the sum of the rows' logs.",
    ),
}

SIGNATURE = re.compile(r"^(?:(?P<name>\w+))?\((?P<params>.*)\) -> (?P<ret>.+)$")


class StubError(Exception):
    pass


def split_params(text: str) -> list[str]:
    """Split a parameter list at the commas outside brackets."""
    parts, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        if ch == "[":
            depth += 1
        elif ch == "]":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text.strip():
        parts.append(text[start:].strip())
    return parts


def local_type(text: str, module: str) -> str:
    return text.replace(module + ".", "")


def argument_type(text: str, module: str) -> str:
    """The binding layer accepts any sequence where its signature says list."""
    return local_type(text, module).replace("list[", "Sequence[")


def parse_signature(doc: str | None, where: str) -> tuple[list[tuple[str, str]], str]:
    lines = (doc or "").strip().splitlines()
    match = SIGNATURE.match(lines[0].strip()) if len(lines) == 1 else None
    if match is None:
        raise StubError(f"{where}: expected exactly one signature line, got {doc!r}")
    params = []
    for part in split_params(match["params"]):
        name, sep, annotation = part.partition(": ")
        if not sep or "=" in annotation:
            raise StubError(f"{where}: cannot read parameter {part!r}")
        params.append((name, annotation))
    return params, match["ret"]


def docstring(text: str | None, indent: str) -> list[str]:
    if not text:
        return []
    body = text.splitlines()
    if len(body) == 1:
        return [f'{indent}"""{body[0]}"""']
    return [f'{indent}"""{body[0]}'] + [f"{indent}{line}" if line else "" for line in body[1:]] + [f'{indent}"""']


def render_field(cls_name: str, name: str, prop: property, module: str) -> list[str]:
    params, ret = parse_signature(prop.fget.__doc__, f"{cls_name}.{name}")
    if len(params) != 1:
        raise StubError(f"{cls_name}.{name}: a getter takes only self")
    if prop.fset is None:
        lines = ["    @property", f"    def {name}(self) -> {local_type(ret, module)}: ..."]
    else:
        lines = [f"    {name}: {local_type(ret, module)}"]
    return lines + docstring(FIELD_DOCS.get((cls_name, name)), "    ")


def render_method(cls_name: str, name: str, func: object, module: str) -> list[str]:
    params, ret = parse_signature(getattr(func, "__doc__", None), f"{cls_name}.{name}")
    if not params or params[0][0] != "self":
        raise StubError(f"{cls_name}.{name}: expected an instance method")
    args = params[1:]
    names, doc = METHOD_DOCS.get((cls_name, name), ([p[0] for p in args], None))
    if len(names) != len(args):
        raise StubError(f"{cls_name}.{name}: the module takes {len(args)} arguments, the table names {len(names)}")
    rendered = ["self"] + [f"{n}: {argument_type(t, module)}" for n, (_, t) in zip(names, args)]
    if args:
        rendered.append("/")  # the module accepts no keyword arguments
    head = f"    def {name}({', '.join(rendered)}) -> {local_type(ret, module)}:"
    if doc is None:
        return [head + " ..."]
    return [head] + docstring(doc, "        ") + ["        ..."]


def render_class(cls: type, module: str) -> list[str]:
    lines = [f"class {cls.__name__}:"] + docstring(CLASS_DOCS.get(cls.__name__), "    ")
    for name, value in vars(cls).items():
        if name.startswith("_") and name != "__init__":
            continue  # pickling and other protocol members: not part of the typed surface
        if isinstance(value, property):
            lines += render_field(cls.__name__, name, value, module)
        elif name == "__init__":
            params, _ = parse_signature(value.__doc__, f"{cls.__name__}.__init__")
            if len(params) != 1:
                raise StubError(f"{cls.__name__}.__init__: expected a constructor without arguments")
            lines.append("    def __init__(self) -> None: ...")
        elif callable(value):
            lines += render_method(cls.__name__, name, value, module)
        else:
            raise StubError(f"{cls.__name__}.{name}: unexpected member of type {type(value).__name__}")
    return lines


def generate(module_name: str = "vqmixer") -> str:
    module = importlib.import_module(module_name)
    out = docstring(MODULE_DOC, "") + [
        "",
        "# Generated from the built module by scripts/gen_stubs.py; do not edit by hand.",
        "",
        "from collections.abc import Sequence",
    ]
    for name, value in vars(module).items():
        if name.startswith("__"):
            continue
        if not isinstance(value, type):
            raise StubError(f"{module_name}.{name}: only classes are expected at module level")
        out += ["", ""] + render_class(value, module_name)
    return "\n".join(out) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="compare with the committed stubs instead of writing")
    parser.add_argument("--output", type=Path, default=STUB_PATH, help=f"stub file (default: {STUB_PATH})")
    args = parser.parse_args()
    try:
        text = generate()
    except StubError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    if args.check:
        current = args.output.read_text() if args.output.exists() else ""
        if current == text:
            return 0
        sys.stdout.writelines(difflib.unified_diff(
            current.splitlines(True), text.splitlines(True), str(args.output), "generated"))
        print("the stubs are out of date: run python scripts/gen_stubs.py", file=sys.stderr)
        return 1
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(text)
    print(f"wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
