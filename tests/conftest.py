import pytest

import vqmixer


@pytest.fixture
def vq():
    return vqmixer.TLindeBuzoGray()


@pytest.fixture
def gm():
    return vqmixer.TGaussianMixture()
