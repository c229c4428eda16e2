"""Turn a mixture stage into the parameters other libraries expect, and back.

A stage keeps logarithms of the weights and standard deviations; most other
tools want weights, means and variances:

    weights   = exp(lnGaussPrb)
    means     = Mean
    variances = Var ** 2        (Var holds sigma, not sigma**2)

Scores differ by a constant: the module leaves out the 2*pi term, so a full
Gaussian log density is the module's per-row score minus D/2 * ln(2*pi).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import vqmixer


def mixture_parameters(
    stage: vqmixer.RModelStage,
) -> tuple[list[float], list[list[float]], list[list[float]]]:
    """(weights, means, variances) of the stage's Cls components."""
    k = stage.Cls
    weights = [math.exp(w) for w in stage.lnGaussPrb[:k]]
    means = [list(row) for row in stage.Mean[:k]]
    variances = [[s * s for s in row] for row in stage.Var[:k]]
    return weights, means, variances


def stage_from_parameters(
    weights: Sequence[float],
    means: Sequence[Sequence[float]],
    variances: Sequence[Sequence[float]],
) -> vqmixer.RModelStage:
    """A stage that Likelihood can score, from weights, means and variances."""
    if not len(weights) == len(means) == len(variances):
        raise ValueError("weights, means and variances need one entry per component")
    stage = vqmixer.RModelStage()
    stage.Cls = len(weights)
    stage.lnGaussPrb = [math.log(w) if w > 0 else -math.inf for w in weights]
    stage.Mean = [list(row) for row in means]
    stage.Var = [[math.sqrt(v) for v in row] for row in variances]
    stage.lnVar = [[math.log(math.sqrt(v)) if v > 0 else -math.inf for v in row] for row in variances]
    return stage


def full_log_density(per_row_score: float, dimension: int) -> float:
    """A per-row score of the module as a full Gaussian log density (with the 2*pi term)."""
    return per_row_score - 0.5 * dimension * math.log(2.0 * math.pi)


def to_sklearn(stage: vqmixer.RModelStage) -> Any:
    """A fitted scikit-learn GaussianMixture(covariance_type="diag") with the stage's parameters.

    Its score_samples(x) equals full_log_density(Likelihood([x], stage), D).
    Needs numpy and scikit-learn, which vqmixer itself does not depend on.
    """
    import numpy as np
    from sklearn.mixture import GaussianMixture  # type: ignore[import-untyped, import-not-found, unused-ignore]

    weights, means, variances = mixture_parameters(stage)
    gm = GaussianMixture(n_components=stage.Cls, covariance_type="diag")
    gm.weights_ = np.array(weights)
    gm.means_ = np.array(means)
    gm.covariances_ = np.array(variances)
    gm.precisions_cholesky_ = 1.0 / np.array(stage.Var[: stage.Cls])  # 1/sigma
    gm.precisions_ = gm.precisions_cholesky_**2
    gm.converged_ = True
    gm.n_iter_ = 0
    gm.lower_bound_ = -np.inf
    return gm
