"""Save a trained mixture with pickle and as JSON, load both back, and score with each.

    python examples/save_load.py [DIRECTORY]

Writes mixture.pkl and mixture.json into DIRECTORY (default: a temporary one).
Pickle keeps every field bit for bit and is the way between Python programs;
JSON (see stage_json.py) is for other tools and people.
"""

from __future__ import annotations

import pickle
import sys
import tempfile
from pathlib import Path

import vqmixer
from main import DEFAULT_CSV, read_csv
from stage_json import from_json, to_json


def save_and_load(directory: Path) -> None:
    X = read_csv(DEFAULT_CSV).rows
    gm = vqmixer.TGaussianMixture()
    stage = gm.EM_Alg(X, 4)

    pkl = directory / "mixture.pkl"
    pkl.write_bytes(pickle.dumps(stage))
    from_pickle: vqmixer.RModelStage = pickle.loads(pkl.read_bytes())

    js = directory / "mixture.json"
    js.write_text(to_json(stage) + "\n")
    from_text = from_json(js.read_text())

    print(f"trained    {stage.Cls} components, Likelihood {gm.Likelihood(X, stage)!r}")
    for name, path, loaded in (("pickle", pkl, from_pickle), ("JSON", js, from_text)):
        same = all(getattr(loaded, f) == getattr(stage, f) for f in ("Cls", "lnGaussPrb", "Mean", "Var", "lnVar"))
        print(f"{name:<10} {path} ({path.stat().st_size} bytes): Likelihood {gm.Likelihood(X, loaded)!r}, "
              f"{'identical' if same else 'DIFFERENT'} fields")


def main() -> int:
    if len(sys.argv) > 1:
        directory = Path(sys.argv[1])
        directory.mkdir(parents=True, exist_ok=True)
        save_and_load(directory)
    else:
        with tempfile.TemporaryDirectory() as tmp:
            save_and_load(Path(tmp))
    return 0


if __name__ == "__main__":
    sys.exit(main())
