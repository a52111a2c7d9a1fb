"""Each kernel of the test-only module zentrova_kernels against the reference, and AVX2 against AVX-512."""

import numpy as np
import pytest

import reference as ref
from conftest import CVALS, assert_bits_equal, bits, random_transform, random_volume

kernels = pytest.importorskip("zentrova_kernels", reason="test-only module zentrova_kernels is not built "
                                                         "(configure with -DZENTROVA_TEST_KERNELS=ON)")
KERNELS = {"f32_avx2": ("f32", 8), "f32_avx512": ("f32", 16), "u8_avx2": ("u8", 8), "f16_avx2": ("f16", 8),
           "f16_avx512": ("f16", 16)}


def run(kernel, vol, m, off, cval):
    if kernel.endswith("avx512") and not kernels.avx512_usable():
        pytest.skip("AVX-512F is not usable on this processor")
    return kernels.run(kernel, vol, np.ascontiguousarray(m, np.float64), [float(v) for v in off], cval)


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("nx", (1, 7, 8, 9, 15, 16, 17, 24, 33, 100))
def test_kernel_matches_reference_at_its_lane_width(kernel, nx):
    kind, lanes = KERNELS[kernel]
    rng = np.random.default_rng(nx * 101 + list(KERNELS).index(kernel))
    shape = (int(rng.integers(2, 6)), int(rng.integers(2, 6)), nx)
    for i, tkind in enumerate(("rotate_scale", "general", "shift_half", "flip", "shear")):
        vol = random_volume(rng, kind, shape, specials=2 * (i == 1))
        m, off = random_transform(rng, shape, tkind)
        if i == 4:
            m[1, 2] = np.nan  # NaN coordinates: block -> cval, remainder -> cell 0
        cval = CVALS[kind][i % len(CVALS[kind])]
        before = vol.copy()
        got = run(kernel, vol, m, off, cval)
        assert np.array_equal(bits(vol), bits(before)), "kernel wrote to its input"
        exp, outside = ref.reference(vol, m, off, cval, lanes, kind, return_outside=True)
        assert_bits_equal(got, exp, kind, lanes, outside, f"{kernel} {tkind} {shape} cval={cval}")


def band(nx):
    """Columns in the vector blocks at 8 lanes but in the remainder at 16."""
    return (np.arange(nx) >= 16 * (nx // 16)) & (np.arange(nx) < 8 * (nx // 8))


@pytest.mark.parametrize("kind", ("f32", "f16"))
def test_avx2_and_avx512_agree_outside_the_band_and_differ_inside(kind):
    rng = np.random.default_rng(1000 + len(kind))
    differ = 0
    for nx in (*range(8, 41), 256):
        shape = (3, 4, nx)
        vol = random_volume(rng, kind, shape)
        m, off = random_transform(rng, shape, "rotate_scale")
        out2, out5 = (run(f"{kind}_{isa}", vol, m, off, CVALS[kind][nx % 3]) for isa in ("avx2", "avx512"))
        assert_bits_equal(out2[:, :, ~band(nx)], out5[:, :, ~band(nx)], kind, context=f"outside band, nx={nx}")
        differ += np.count_nonzero(bits(out2[:, :, band(nx)]) != bits(out5[:, :, band(nx)]))
    # block and remainder forms round differently: identical bands would mean one partition for both
    assert differ > 0
