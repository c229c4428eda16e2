"""Save a model stage as plain JSON and read it back.

For exchange with other tools: every field of ``RModelStage`` by its own name,
numbers as JSON numbers. Python writes floats with the shortest text that
reads back to the same double, so a round trip is exact.

Strict JSON has no NaN or infinity, yet a stage can hold them: a dropped
cluster's weight is ln 0 = -inf, a degenerate one carries NaN. They are
written as the strings "NaN", "Infinity" and "-Infinity" and read back as
floats, so the output stays valid for every JSON parser.

    from stage_json import to_json, from_json
    text = to_json(stage)
    same = from_json(text)
"""

from __future__ import annotations

import json
import math
from typing import Any

import vqmixer

FORMAT = "vqmixer.RModelStage"
VERSION = 1

_NON_FINITE = {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}


def _number(x: float) -> float | str:
    if math.isfinite(x):
        return x
    if math.isnan(x):
        return "NaN"
    return "Infinity" if x > 0 else "-Infinity"


def _float(value: Any, field: str) -> float:
    if isinstance(value, str):
        if value not in _NON_FINITE:
            raise ValueError(f"{field}: {value!r} is not a number")
        return _NON_FINITE[value]
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{field}: {value!r} is not a number")
    return float(value)


def _row(values: Any, field: str) -> list[float]:
    if not isinstance(values, list):
        raise ValueError(f"{field}: expected a list")
    return [_float(v, field) for v in values]


def _matrix(rows: Any, field: str) -> list[list[float]]:
    if not isinstance(rows, list):
        raise ValueError(f"{field}: expected a list of lists")
    return [_row(r, field) for r in rows]


def stage_to_dict(stage: vqmixer.RModelStage) -> dict[str, Any]:
    """All nine fields, with non-finite floats as strings."""
    return {
        "format": FORMAT,
        "version": VERSION,
        "Flag": stage.Flag,
        "Cls": stage.Cls,
        "indexCmp": stage.indexCmp,
        "indexCls": stage.indexCls,
        "maxVar": _number(stage.maxVar),
        "lnGaussPrb": [_number(x) for x in stage.lnGaussPrb],
        "Mean": [[_number(x) for x in row] for row in stage.Mean],
        "Var": [[_number(x) for x in row] for row in stage.Var],
        "lnVar": [[_number(x) for x in row] for row in stage.lnVar],
    }


def stage_from_dict(data: dict[str, Any]) -> vqmixer.RModelStage:
    """Inverse of stage_to_dict; raises ValueError on anything else."""
    if data.get("format") != FORMAT or data.get("version") != VERSION:
        raise ValueError(f"not a {FORMAT} version {VERSION} document")
    stage = vqmixer.RModelStage()
    if not isinstance(data["Flag"], bool):
        raise ValueError("Flag: expected true or false")
    stage.Flag = data["Flag"]
    for field in ("Cls", "indexCmp", "indexCls"):
        value = data[field]
        if isinstance(value, bool) or not isinstance(value, int):
            raise ValueError(f"{field}: expected an integer")
        setattr(stage, field, value)
    stage.maxVar = _float(data["maxVar"], "maxVar")
    stage.lnGaussPrb = _row(data["lnGaussPrb"], "lnGaussPrb")
    stage.Mean = _matrix(data["Mean"], "Mean")
    stage.Var = _matrix(data["Var"], "Var")
    stage.lnVar = _matrix(data["lnVar"], "lnVar")
    return stage


def to_json(stage: vqmixer.RModelStage) -> str:
    """Strict JSON text of the stage, one field per line and one row per line."""

    def value(v: Any) -> str:
        if isinstance(v, list) and v and isinstance(v[0], list):
            return "[\n  " + ",\n  ".join(json.dumps(row, allow_nan=False) for row in v) + "\n ]"
        return json.dumps(v, allow_nan=False)

    fields = stage_to_dict(stage).items()
    return "{\n" + ",\n".join(f" {json.dumps(k)}: {value(v)}" for k, v in fields) + "\n}"


def from_json(text: str) -> vqmixer.RModelStage:
    """A new RModelStage from the text that to_json wrote."""
    data = json.loads(text)
    if not isinstance(data, dict):
        raise ValueError("expected a JSON object")
    try:
        return stage_from_dict(data)
    except KeyError as exc:
        raise ValueError(f"missing field {exc.args[0]}") from None
