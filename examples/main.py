"""Train a codebook and a Gaussian mixture on a CSV file, score held-out rows, draw a picture.

With no arguments it uses the iris measurements shipped in data/iris.csv.
Give your own file with --csv, the number of clusters with -k and the columns
to model with --columns:

    python examples/main.py
    python examples/main.py --csv my.csv -k 6 --columns height,weight,age --plot-columns height,weight

Every 5th row (see --holdout-every) is kept out of training and scored with
the trained mixture. The picture needs matplotlib (pip install "vqmixer[plot]");
without it the summary is printed all the same.
"""

from __future__ import annotations

import argparse
import csv
import math
import sys
import time
from collections.abc import Sequence
from pathlib import Path

import vqmixer

HERE = Path(__file__).resolve().parent
DEFAULT_CSV = HERE.parent / "data" / "iris.csv"
DEFAULT_K = 4
DEFAULT_PLOT_COLUMNS = "petal_length,petal_width"  # for the shipped data
MIN_ROWS_PER_CLUSTER = 12  # LindeBuzoGray_N refuses fewer training rows per cluster


class DataError(Exception):
    """A problem with the user's file or choices, reported without a traceback."""


class Table:
    """The chosen numeric columns of a CSV file."""

    def __init__(self, path: Path, names: list[str], rows: list[list[float]]) -> None:
        self.path = path
        self.names = names
        self.rows = rows


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _pick_columns(choice: str | None, header: list[str], first: list[str], has_header: bool) -> list[int]:
    if choice is None:
        picked = [i for i, cell in enumerate(first) if _is_number(cell)]
        if not picked:
            raise DataError("no numeric column found; choose columns with --columns")
        return picked
    picked = []
    for token in (t.strip() for t in choice.split(",")):
        if token in header:
            picked.append(header.index(token))
        elif token.isdigit() and int(token) < len(header):
            picked.append(int(token))
        else:
            known = ", ".join(header) if has_header else f"0 to {len(header) - 1}"
            raise DataError(f"no column {token!r}; the columns are {known}")
    if len(set(picked)) != len(picked):
        raise DataError(f"--columns names a column twice: {choice}")
    return picked


def read_csv(path: Path, columns: str | None = None) -> Table:
    """Read the chosen columns (names or 0-based indices, comma-separated) as floats.

    The first row is a header when one of its cells is not a number. Without
    --columns every column whose first data cell is a number is taken.
    """
    if not path.exists():
        raise DataError(f"{path}: no such file")
    if not path.is_file():
        raise DataError(f"{path}: not a file")
    try:
        with path.open(newline="", encoding="utf-8-sig") as f:
            lines = [(n, row) for n, row in enumerate(csv.reader(f), start=1) if any(c.strip() for c in row)]
    except UnicodeDecodeError:
        raise DataError(f"{path}: not a text (UTF-8) CSV file") from None
    if not lines:
        raise DataError(f"{path}: the file is empty")
    has_header = not all(_is_number(c) for c in lines[0][1])
    header = [c.strip() for c in lines[0][1]] if has_header else [str(i) for i in range(len(lines[0][1]))]
    data = lines[1:] if has_header else lines
    if not data:
        raise DataError(f"{path}: no data rows after the header")
    picked = _pick_columns(columns, header, data[0][1], has_header)
    rows = []
    for line, cells in data:
        if len(cells) <= max(picked):
            raise DataError(f"{path}, line {line}: {len(cells)} cells, but column {header[max(picked)]!r} "
                            f"is number {max(picked) + 1}")
        row = []
        for i in picked:
            cell = cells[i].strip()
            try:
                value = float(cell)
            except ValueError:
                what = "an empty cell" if not cell else f"{cell!r} is not a number"
                raise DataError(f"{path}, line {line}, column {header[i]!r}: {what}") from None
            if not math.isfinite(value):
                raise DataError(f"{path}, line {line}, column {header[i]!r}: {cell!r} is not a finite number")
            row.append(value)
        rows.append(row)
    return Table(path, [header[i] for i in picked], rows)


def split_rows(rows: list[list[float]], every: int) -> tuple[list[list[float]], list[list[float]]]:
    """Every `every`-th row (the 5th, 10th, ...) is held out; 0 holds out nothing."""
    if every <= 0:
        return rows, []
    train = [r for i, r in enumerate(rows, start=1) if i % every]
    held = [r for i, r in enumerate(rows, start=1) if not i % every]
    return train, held


def _fmt(x: float) -> str:
    return f"{x:.4g}" if math.isfinite(x) else str(x)


def format_components(stage: vqmixer.RModelStage, names: Sequence[str], rows: Sequence[tuple[str, str]]) -> str:
    """One block per cluster: its weight, then one line per (label, field) of rows."""
    width = max([9] + [len(n) for n in names])
    head = f"{'component':>9}  {'weight':>7}  {'':<5}" + "".join(f"  {n:>{width}}" for n in names)
    lines = [head]
    for k in range(stage.Cls):
        # the one-cluster codebook carries no weights
        weight = _fmt(math.exp(stage.lnGaussPrb[k])) if k < len(stage.lnGaussPrb) else "-"
        for j, (label, field) in enumerate(rows):
            values: list[float] = getattr(stage, field)[k]
            lead = f"{k + 1:>9}  {weight:>7}" if j == 0 else " " * 18
            lines.append(f"{lead}  {label:<5}" + "".join(f"  {_fmt(v):>{width}}" for v in values))
    return "\n".join(lines)


def draw(
    png: Path,
    table: Table,
    axes: tuple[int, int],
    train: list[list[float]],
    held: list[list[float]],
    codebook: vqmixer.RModelStage,
    mixture: vqmixer.RModelStage,
    note: str,
) -> None:
    """Data, codebook centroids and each component's 1- and 2-sigma ellipses on two coordinates."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.patches import Ellipse

    ix, iy = axes
    fig, ax = plt.subplots(figsize=(8, 6), layout="constrained")
    ax.scatter([r[ix] for r in train], [r[iy] for r in train], s=12, color="0.55", label="training rows")
    if held:
        ax.scatter([r[ix] for r in held], [r[iy] for r in held], s=22, facecolors="none",
                   edgecolors="0.15", linewidths=0.8, label="held-out rows")
    colors = matplotlib.color_sequences["tab10"]
    for k in range(mixture.Cls):
        color = colors[k % len(colors)]
        mx, my = mixture.Mean[k][ix], mixture.Mean[k][iy]
        sx, sy = mixture.Var[k][ix], mixture.Var[k][iy]
        weight = math.exp(mixture.lnGaussPrb[k])
        if not all(math.isfinite(v) for v in (mx, my, sx, sy)):
            continue
        for n, style in ((1, "-"), (2, "--")):
            ax.add_patch(Ellipse((mx, my), 2 * n * sx, 2 * n * sy, fill=False,
                                 edgecolor=color, linestyle=style, linewidth=1.6))
        ax.plot([mx], [my], "o", color=color, markersize=7, label=f"component {k + 1}, weight {weight:.2f}")
    ax.scatter([c[ix] for c in codebook.Mean[: codebook.Cls]], [c[iy] for c in codebook.Mean[: codebook.Cls]],
               marker="x", s=70, color="black", linewidths=2, label="codebook centroids")
    handles, _ = ax.get_legend_handles_labels()
    handles += [Line2D([], [], color="0.3", linestyle="-", label="1σ ellipse"),
                Line2D([], [], color="0.3", linestyle="--", label="2σ ellipse")]
    ax.legend(handles=handles, fontsize=8, loc="best")
    ax.set_xlabel(table.names[ix])
    ax.set_ylabel(table.names[iy])
    ax.set_title(f"{table.path.name}: {mixture.Cls}-component diagonal Gaussian mixture\n{note}", fontsize=11)
    ax.autoscale_view()
    fig.savefig(png, dpi=110)
    plt.close(fig)


def parse_args(argv: Sequence[str] | None) -> tuple[argparse.ArgumentParser, argparse.Namespace]:
    parser = argparse.ArgumentParser(
        description="Train a codebook (LindeBuzoGray_N) and a diagonal Gaussian mixture (EM_Alg) "
                    "on a CSV file, score held-out rows (Likelihood) and draw a picture.")
    parser.add_argument("--csv", type=Path, default=DEFAULT_CSV,
                        help="CSV file with a header row or none (default: the shipped data/iris.csv)")
    parser.add_argument("-k", type=int, default=DEFAULT_K, metavar="K",
                        help=f"number of clusters; an odd K >= 3 usually gives K + 1 (default: {DEFAULT_K})")
    parser.add_argument("--columns", metavar="A,B,...",
                        help="columns to model, by header name or 0-based index (default: every numeric column)")
    parser.add_argument("--plot-columns", metavar="X,Y",
                        help="two of the modelled columns for the picture (default: the first two)")
    parser.add_argument("--holdout-every", type=int, default=5, metavar="N",
                        help="hold out every N-th row for scoring; 0 scores the training rows (default: 5)")
    parser.add_argument("--png", type=Path, help="picture file (default: <csv name>-mixture.png here)")
    parser.add_argument("--no-plot", action="store_true", help="print the summary only")
    parser.add_argument("--save", type=Path, metavar="JSON", help="also save the trained mixture as JSON")
    return parser, parser.parse_args(argv)


def choose_axes(choice: str | None, names: list[str]) -> tuple[int, int] | None:
    if choice is None:
        return (0, 1) if len(names) >= 2 else None
    tokens = [t.strip() for t in choice.split(",")]
    if len(tokens) != 2 or tokens[0] == tokens[1]:
        raise DataError(f"--plot-columns needs two different columns, got {choice!r}")
    for t in tokens:
        if t not in names:
            raise DataError(f"--plot-columns: {t!r} is not one of the modelled columns {', '.join(names)}")
    return names.index(tokens[0]), names.index(tokens[1])


def main(argv: Sequence[str] | None = None) -> int:
    parser, args = parse_args(argv)
    started = time.perf_counter()
    try:
        if args.k < 1:
            raise DataError("-k must be at least 1")
        table = read_csv(args.csv, args.columns)
        plot_choice = args.plot_columns
        if plot_choice is None and args.csv.resolve() == DEFAULT_CSV and args.columns is None:
            plot_choice = DEFAULT_PLOT_COLUMNS
        axes = choose_axes(plot_choice, table.names)
        train, held = split_rows(table.rows, args.holdout_every)
        if len(train) < MIN_ROWS_PER_CLUSTER * args.k:
            raise DataError(f"K={args.k} needs at least {MIN_ROWS_PER_CLUSTER * args.k} training rows "
                            f"({MIN_ROWS_PER_CLUSTER} per cluster), {args.csv} gives {len(train)}: use a smaller -k")
    except DataError as exc:
        parser.error(str(exc))  # exits with status 2

    names = table.names
    print(f"data      {table.path}: {len(table.rows)} rows of {len(names)} columns ({', '.join(names)})")
    if held:
        print(f"split     {len(train)} training rows, {len(held)} held-out rows (1 row in every {args.holdout_every})")
    else:
        print(f"split     all {len(train)} rows train; the score below is on the training rows")

    t0 = time.perf_counter()
    codebook = vqmixer.TLindeBuzoGray().LindeBuzoGray_N(train, args.k)
    t_codebook = time.perf_counter() - t0
    gm = vqmixer.TGaussianMixture()
    t0 = time.perf_counter()
    mixture = gm.EM_Alg(train, args.k)
    t_mixture = time.perf_counter() - t0
    scored = held or train
    t0 = time.perf_counter()
    score = gm.Likelihood(scored, mixture)
    per_row = [gm.Likelihood([x], mixture) for x in scored]  # one row: its own log score
    t_score = time.perf_counter() - t0
    if codebook.Cls == 0 or mixture.Cls == 0:
        print("error: no model came out (the codebook was refused or every component collapsed)", file=sys.stderr)
        return 1

    print(f"\ncodebook  LindeBuzoGray_N(X, {args.k}): {codebook.Cls} centroids in {t_codebook * 1e3:.1f} ms")
    print(format_components(codebook, names, [("mean", "Mean")]))
    print(f"\nmixture   EM_Alg(X, {args.k}): {mixture.Cls} components in {t_mixture * 1e3:.1f} ms "
          "(weight = exp(lnGaussPrb), sigma = Var, a standard deviation)")
    print(format_components(mixture, names, [("mean", "Mean"), ("sigma", "Var")]))

    d = len(names)
    mean_row = math.fsum(per_row) / len(per_row)
    print(f"\nscore     Likelihood({'held-out' if held else 'training'} rows, mixture) = {score:.6g}"
          f"  ({t_score * 1e3:.1f} ms)")
    print(f"          ln of the sum of the {len(scored)} rows' likelihoods, natural log, no 2*pi term")
    print(f"          mean log score per row {mean_row:.6g}; "
          f"as a full Gaussian log density {mean_row - 0.5 * d * math.log(2 * math.pi):.6g}")

    if args.save is not None:
        from stage_json import to_json

        args.save.write_text(to_json(mixture) + "\n")
        print(f"saved     {args.save}")

    if args.no_plot:
        pass
    elif axes is None:
        print("picture   skipped: it needs at least two columns")
    else:
        png = args.png or Path(f"{table.path.stem}-mixture.png")
        try:
            note = (f"modelled on {len(names)} columns, 2 shown; "
                    f"mean log score per {'held-out' if held else 'training'} row {mean_row:.4g} (no 2π term)")
            draw(png, table, axes, train, held, codebook, mixture, note)
        except ImportError:
            print("picture   skipped: matplotlib is not installed (pip install \"vqmixer[plot]\")")
        else:
            print(f"picture   {png} ({names[axes[0]]} against {names[axes[1]]})")
    print(f"time      {time.perf_counter() - started:.2f} s in all")
    return 0


if __name__ == "__main__":
    sys.exit(main())
