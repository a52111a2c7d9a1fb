"""resample_to: images in and out against nilearn's resample_img on the MNI152 template nilearn ships,
any image type, the array form against scipy, and the order in which arguments are read."""

import inspect

import nibabel as nib
import numpy as np
import pytest
import scipy
from nilearn import datasets
from nilearn.image import resample_img
from scipy import ndimage as ndi
from scipy.spatial.transform import Rotation

import zentrova_resample as zr
from conftest import SCIPY_TOO_OLD

# explicit values for the arguments whose defaults nilearn warns about, where it has them
QUIET = {k: True for k in ("force_resample", "copy_header") if k in inspect.signature(resample_img).parameters}
TILT = Rotation.from_euler("xy", [20, 10], degrees=True).as_matrix() * 2.5
OBLIQUE = np.block([[TILT, np.array([[-80], [-120], [-60]])], [np.zeros((1, 3)), np.ones((1, 1))]])
GRIDS = {"4x4 with shape": (OBLIQUE, (60, 70, 60)), "4x4 bounding box": (OBLIQUE, None), "3x3": (TILT, None),
         "3x3 diagonal": (np.diag([3.0, 3.0, 3.0]), None)}


@pytest.mark.parametrize("resolution", [1, 2])
@pytest.mark.parametrize("grid", GRIDS)
@pytest.mark.parametrize("interpolation, order", [("nearest", 0), ("linear", 1)])
def test_against_nilearn(resolution, grid, interpolation, order):
    if SCIPY_TOO_OLD:  # nilearn resamples with the installed scipy
        pytest.skip(f"scipy {scipy.__version__} is older than the release whose results we follow")
    img = datasets.load_mni152_template(resolution=resolution)
    (target, shape), data = GRIDS[grid], np.asanyarray(img.dataobj)
    ref = resample_img(img, target_affine=target, target_shape=shape, interpolation=interpolation, **QUIET)
    expected = np.asanyarray(ref.dataobj)
    # computed in float64 as scipy computes it for nilearn: the same values once rounded to float32
    wide = zr.resample_to(img, target, shape, order=order, output=np.float64)
    assert type(wide) is type(ref) and wide.shape == ref.shape and np.array_equal(wide.affine, ref.affine)
    assert np.array_equal(np.asanyarray(wide.dataobj).astype(np.float32), expected)
    # float32 data computed in float32 (the default): a coordinate is off by about one unit in the last
    # place of the largest input index; the bound allows 4, times the data's steepest step
    ours = np.asanyarray(zr.resample_to(img, target, shape, order=order).dataobj)
    assert ours.dtype == expected.dtype == np.float32
    if order == 1:
        steepest = max(np.abs(np.diff(data, axis=a)).max() for a in range(3))
        assert np.abs(ours - expected).max() <= 4 * np.spacing(np.float32(max(data.shape))) * steepest
    else:  # only samples within that rounding of halfway between two voxels may go the other way
        assert np.count_nonzero(ours != expected) <= 1e-4 * ours.size


def test_nifti_round_trip():
    """A stored int16 series with a scale factor in, a Nifti1Image with a sensible header out."""
    img = nib.Nifti1Image(np.random.default_rng(0).random((20, 24, 16, 3)) * 1000, np.diag([2.0, 2.0, 2.5, 1.0]))
    img.header.set_data_dtype(np.int16)
    img.header.set_zooms((2.0, 2.0, 2.5, 1.5))
    img.header["descrip"] = b"series"
    stored = nib.Nifti1Image.from_bytes(img.to_bytes())
    scaled = np.asanyarray(stored.dataobj)  # floats: nibabel applies the scale factor
    out = zr.resample_to(stored, np.diag([3.0, 3.0, 3.0]))
    assert type(out) is nib.Nifti1Image and scaled.dtype.kind == "f" and out.get_data_dtype() == np.int16
    assert np.asanyarray(out.dataobj).dtype == scaled.dtype  # the scaled type, as nilearn keeps it
    assert np.array_equal(out.dataobj, zr.resample_to(scaled, stored.affine, out.affine, out.shape[:3]))
    h = out.header
    assert np.array_equal(h.get_best_affine(), out.affine) and h.get_data_shape() == out.shape
    assert h.get_zooms() == (3.0, 3.0, 3.0, 1.5) and h["descrip"] == b"series"
    back = nib.Nifti1Image.from_bytes(out.to_bytes())
    np.testing.assert_allclose(back.get_fdata(), out.get_fdata(), atol=back.dataobj.slope)


class Volume:
    """An image as another library might have one: an affine and an array interface, no header."""

    def __init__(self, data, affine):
        self.data, self.affine = data, affine

    def __array__(self, dtype=None, copy=None):
        return self.data


def test_any_image_type():
    vol = Volume(np.arange(120, dtype=np.float32).reshape(4, 5, 6), np.eye(4))
    out = zr.resample_to(vol, np.diag([2.0, 2.0, 2.0, 1.0]))  # voxel centres up to (1.5, 2, 2.5): 3x3x4
    assert type(out) is Volume and out.data.shape == (3, 3, 4) and out.data[1, 2, 2] == vol.data[2, 4, 4]


@pytest.mark.parametrize("shape", [(7, 8, 9), (7, 8, 9, 2), (7, 8)])
@pytest.mark.parametrize("linear", [np.diag([0.7, 1.2, 0.9]), TILT / 3])
def test_array_form_as_scipy(shape, linear):
    k = min(len(shape), 3)
    data = np.random.default_rng(1).random(shape)
    src, dst = np.eye(k + 1), np.eye(k + 1)
    src[:k, :k], src[:k, k], dst[:k, :k] = np.diag([1.5, 2.0, 1.2][:k]), [3.0, -4.0, 2.5][:k], linear[:k, :k]
    out = zr.resample_to(data, src, dst, (6, 5, 4)[:k])
    m = np.linalg.solve(src, dst)
    matrix = np.diag(m[:k, :k]) if np.count_nonzero(m[:k, :k] - np.diag(np.diag(m[:k, :k]))) == 0 else m[:k, :k]
    expected = [ndi.affine_transform(data[(...,) + i], matrix, m[:k, k], (6, 5, 4)[:k], order=1)
                for i in np.ndindex(shape[k:])]
    assert np.array_equal(out, np.stack(expected, axis=-1).reshape(out.shape))


class Resizing:
    """A number whose conversion resizes `target` in place, to a new buffer (the old one is freed)."""

    def __init__(self, target, value):
        self.target, self.value = target, value

    def __float__(self):
        self.target.resize((80, 80, 80), refcheck=False)
        return float(self.value)

    def __index__(self):
        return int(self.__float__())


@pytest.mark.parametrize("via", ["cval", "order", "target_shape"])
@pytest.mark.parametrize("form", ["array", "image"])
def test_arguments_read_before_the_data(via, form):
    vol = np.arange(64 ** 3, dtype=np.float32).reshape(64, 64, 64).copy()  # owns its data
    first = (Volume(vol, np.diag([2.0, 2.0, 2.0, 1.0])),) if form == "image" else (vol, np.diag([2.0, 2.0, 2.0, 1.0]))
    plain = {"cval": 0.0, "order": 1, "target_shape": (40, 40, 40)}
    trap = {**plain, via: (40, 40, Resizing(vol, 40)) if via == "target_shape" else Resizing(vol, plain[via])}
    got = zr.resample_to(*first, np.diag([3.0, 3.0, 3.0, 1.0]), **trap)
    assert vol.shape == (80, 80, 80)  # the result is that of the array as the conversion left it
    assert np.array_equal(np.asarray(got), np.asarray(zr.resample_to(*first, np.diag([3.0, 3.0, 3.0, 1.0]), **plain)))


IMG, E4 = Volume(np.zeros((4, 5, 6), np.float32), np.eye(4)), np.eye(4)


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((IMG, np.eye(3), (2, 2, 2)), {}, ValueError, "target_shape: a 3x3 target_affine"),
    ((IMG, E4, E4, (2, 2, 2)), {}, TypeError, "target_shape: got a matrix"),
    ((IMG, E4 + np.eye(4, k=3) * 50), {}, ValueError, "target_affine: the image lies"),
    ((IMG, np.diag([1.0, 0, 1])), {}, ValueError, "target_affine: the matrix is singular"),
    ((IMG, E4, (2, 2.5, 2)), {}, TypeError, "target_shape"),
    ((IMG, E4), {"cval": "1"}, TypeError, "cval"),
    ((IMG, E4), {"order": 6}, ValueError, "order"),
    ((Volume(np.zeros((2, 2, 2), np.clongdouble), E4), E4), {}, TypeError, "image: dtype complex256"),
    ((Volume(None, E4), E4), {}, TypeError, "image: expected an image with array data"),
    ((Volume(np.zeros((2, 2, 2)), None), E4), {}, ValueError, "image.affine"),
    ((np.zeros((2, 2)), E4, E4, (2, 2, 2)), {}, ValueError, "data: expected at least 3 axes"),
    (("brain.nii", E4, E4, (2, 2, 2)), {}, TypeError, "data: expected an array or an image, got a file name"),
    ((object(), E4, E4, (2, 2, 2)), {}, TypeError, "data: expected an array, or an image with an affine"),
    ((IMG,), {}, TypeError, "resample_to() missing 1 required positional argument: 'target_affine'"),
])
def test_errors_name_the_argument(args, kwargs, error, message):
    with pytest.raises(error) as info:
        zr.resample_to(*args, **kwargs)
    assert message in str(info.value)
