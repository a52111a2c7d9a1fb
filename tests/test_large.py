"""Inputs of more than 2**31 - 1 elements take 64-bit flat positions."""
import numpy as np
import pytest

import reference as ref
from conftest import assert_bits_equal

zentrova = pytest.importorskip("zentrova")


@pytest.mark.large
def test_volume_beyond_int32_positions_matches_reference():
    # 2 x 32769 x 32769 bytes: flat positions in the last rows pass 2**31, where
    # a 32-bit position would wrap to the start. About 4.3 GB in and out.
    shape = (2, 2**15 + 1, 2**15 + 1)
    try:
        vol = np.empty(shape, np.uint8)
        vol[...] = 17
    except MemoryError:
        pytest.skip("not enough memory for a 2**31-element volume")
    rng = np.random.default_rng(3)
    y0 = shape[1] - 3
    vol[:, y0:, :] = rng.integers(0, 256, (2, 3, shape[2]), dtype=np.uint8)
    off = [0.25, 0.5, 0.75]
    out = zentrova.affine_transform_u8(vol, np.eye(3), off, cval=9)
    # Each voxel depends only on its 2x2x2 neighbourhood and on fractions that
    # are exact at these sizes, so the last rows equal those of a crop.
    crop = np.ascontiguousarray(vol[:, y0:, :])
    del vol
    expected = ref.reference(crop, np.eye(3), off, 9, 8, "u8")
    assert_bits_equal(out[:, y0:, :], expected, "u8", lanes=8)
    assert np.all(out[:, : y0 - 1, :-1] == 17)
