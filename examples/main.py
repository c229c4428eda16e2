"""Train a codebook and a mixture on a small data set (placeholder)."""

import random

import vqmixer

random.seed(1)
X = [[random.gauss(c, 1.0), random.gauss(-c, 0.5)] for c in (-5, 0, 5) for _ in range(200)]
codebook = vqmixer.TLindeBuzoGray().LindeBuzoGray_N(X, 3)
mixture = vqmixer.TGaussianMixture().EM_Alg(X, 3)
print("codebook:", codebook.Cls, "centroids", codebook.Mean)
print("mixture:", mixture.Cls, "components, score", vqmixer.TGaussianMixture().Likelihood(X, mixture))
