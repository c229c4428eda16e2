"""Vector quantization and diagonal Gaussian mixtures.

Observation matrices are sequences of rows of floats (N rows of D values).
Every model is an ``RModelStage``: ``Var`` holds standard deviations, not
variances, every logarithm is natural, and scores leave out the 2*pi term.
"""

# Generated from the built module by scripts/gen_stubs.py; do not edit by hand.

from collections.abc import Sequence


class RArg:
    """Statistics of one cluster and the position of its widest spread. Here ``Var`` holds variances."""
    def __init__(self) -> None: ...
    indexCmp: int
    """Coordinate of the widest spread."""
    indexCls: int
    """Cluster of the widest spread (0 for the whole data set)."""
    maxVar: float
    """Size of the widest spread, as a standard deviation."""
    Mean: list[float]
    """Per-coordinate mean."""
    Var: list[float]
    """Per-coordinate variance (sigma**2, unlike RModelStage.Var)."""


class RModelStage:
    """One whole model: a codebook, or the parameters of a diagonal Gaussian mixture.

    Entries 0 .. Cls-1 of the four lists belong to the clusters; ``Cls`` is always
    read from its field, never from a list length.
    """
    def __init__(self) -> None: ...
    Flag: bool
    """False when LindeBuzoGray_N refused the request; True only for its one-cluster result."""
    Cls: int
    """Number of clusters (codebook entries, mixture components)."""
    indexCmp: int
    """Coordinate of the widest spread found by the last K-means step, -1 if none."""
    indexCls: int
    """Cluster of that spread, numbered as in the stage the step started from, -1 if none."""
    maxVar: float
    """Square root of the widest standard deviation (the fourth root of the variance)."""
    lnGaussPrb: list[float]
    """Natural log of each cluster's weight; the weights are exp() of these."""
    Mean: list[list[float]]
    """Cls rows of D means: the centroids."""
    Var: list[list[float]]
    """Cls rows of D standard deviations sigma (not variances)."""
    lnVar: list[list[float]]
    """Cls rows of D values ln(sigma)."""


class TLindeBuzoGray:
    """Vector quantization: Euclidean distance, random initial centroids, K-means, codebook splitting."""
    def __init__(self) -> None: ...
    def EvklDistance(self, a: float, b: float, n: int, /) -> float:
        """Euclidean distance of the single values a and b over n coordinates (n is 0 or 1; n <= 0 gives 0.0)."""
        ...
    def RandomInitPoint(self, X: Sequence[Sequence[float]], count: int, /) -> RModelStage:
        """Draw count distinct rows of X as starting centroids (only Mean is filled; set Cls before K_MeanGeneral)."""
        ...
    def LindeBuzoGray_N(self, X: Sequence[Sequence[float]], K: int, /) -> RModelStage:
        """Deterministic codebook grown by splitting: K or K + 1 clusters (an odd K >= 3
        usually gives K + 1). Flag stays False for K >= 2.

        Refuses when len(X) < 12*K: prints two lines on standard output and returns
        Flag False, Cls 0 and empty lists.
        """
        ...
    def K_MeanGeneral(self, X: Sequence[Sequence[float]], stage: RModelStage, /) -> RModelStage:
        """K-means from the centroids stage.Mean[:stage.Cls]; thinly populated clusters are dropped."""
        ...


class TGaussianMixture:
    """Gaussian mixtures with diagonal covariances: EM training and log-likelihood scoring."""
    def __init__(self) -> None: ...
    def EM_Alg(self, X: Sequence[Sequence[float]], K: int, /) -> RModelStage:
        """Train a diagonal Gaussian mixture by EM, starting from LindeBuzoGray_N(X, K).

        Components whose standard deviation collapses are dropped, so Cls can be
        smaller than the codebook's.
        """
        ...
    def Likelihood(self, X: Sequence[Sequence[float]], stage: RModelStage, /) -> float:
        """ln of the SUM over the rows of X of the mixture density, without the 2*pi term.

        For one row this is that row's log score; it is not the sum of the rows' logs.
        """
        ...
