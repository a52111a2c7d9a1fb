"""Type-checked by tests/test_typing.py, never run: mistakes a user makes, each on a line marked with
the error code mypy must report there (``# E: code``), and right calls around them whose result types
are asserted. No other line may get an error."""

from typing import Any

import dask.array as da
import nibabel as nib
import numpy as np
import numpy.typing as npt
from typing_extensions import assert_type

import zentrova
import zentrova_resample as zr

vol = np.zeros((8, 8, 8), dtype=np.float32)
m = np.eye(3)
offset = np.array([0.5, 0.0, -0.5])
lazy: da.Array = da.from_array(vol, chunks=4)
img = nib.Nifti1Image(vol, np.eye(4))

# ndarray and array-like inputs give an ndarray, a dask input a dask array
assert_type(zr.affine_transform(vol, m, offset, output_shape=np.array([4, 4, 4]), mode="grid-wrap"), npt.NDArray[Any])
assert_type(zr.affine_transform([[[0.5] * 4] * 4] * 2, [[1, 0], [0, 2]], [0, 0.5], batch_axes=[0]), npt.NDArray[Any])
assert_type(zr.affine_transform(lazy, m, output_chunks=(4, 8, 8)), da.Array)
assert_type(zr.shift(vol, (1, 0.5, np.float32(2)), output=np.float64), npt.NDArray[Any])
assert_type(zr.zoom(lazy, 2, order=0), da.Array)
assert_type(zr.rotate(vol, 30, axes=[1, 2], reshape=False, cval=np.nan), npt.NDArray[Any])
assert_type(zr.resample_to(img, np.diag([2.0, 2.0, 2.0])), nib.Nifti1Image)
assert_type(zr.resample_to(vol, np.eye(4), np.eye(4) * 2, (4, 4, 4)), npt.NDArray[Any])
assert_type(zr.set_num_threads(zr.get_num_threads()), int)
assert_type(zentrova.affine_transform(vol, m, offset), npt.NDArray[np.float32])

zr.affine_transform(vol, m, mode="edge")  # E: call-overload
zr.zoom(vol, 2, order="1")  # E: call-overload
zr.affine_transform(vol, "m")  # E: arg-type
zr.affine_transform(vol, m, cval="0")  # E: call-overload
zr.affine_transform(vol, m, output_chunks=(4, 8, 8))  # E: call-overload
zr.rotate(vol, 30, axes="zy")  # E: arg-type
zr.resample_to(vol, np.eye(4))  # E: call-overload
label: str = zr.zoom(vol, 1.5)  # E: assignment
zr.zoom(lazy, 2).tofile("out.raw")  # E: attr-defined
zentrova.affine_transform(np.zeros((8, 8, 8)), m, offset)  # E: arg-type
zentrova.affine_transform_u8(vol.astype(np.uint8), m, cval=0.5)  # E: arg-type
zr.set_num_threads("2")  # E: arg-type
