"""resample_to: images in and out (nibabel's, and any object with an affine and array data) against
nilearn's resample_img on the MNI152 template nilearn ships, and the array form against scipy."""

import inspect

import nibabel as nib
import numpy as np
import pytest
from nilearn import datasets
from nilearn.image import resample_img
from scipy import ndimage as ndi

import zentrova_resample as zr

# the explicit values of the arguments whose defaults nilearn warns about, where it has them
NILEARN_ARGS = {k: True for k in ("force_resample", "copy_header") if k in inspect.signature(resample_img).parameters}


def rotation(ax_deg, ay_deg):
    a, b = np.deg2rad(ax_deg), np.deg2rad(ay_deg)
    rx = np.array([[1, 0, 0], [0, np.cos(a), -np.sin(a)], [0, np.sin(a), np.cos(a)]])
    ry = np.array([[np.cos(b), 0, np.sin(b)], [0, 1, 0], [-np.sin(b), 0, np.cos(b)]])
    return ry @ rx


OBLIQUE = np.eye(4)
OBLIQUE[:3, :3], OBLIQUE[:3, 3] = rotation(20, 10) * 2.5, [-80, -120, -60]
GRIDS = {"4x4 with shape": (OBLIQUE, (60, 70, 60)), "4x4 bounding box": (OBLIQUE, None),
         "3x3": (rotation(20, 10) * 2.5, None), "3x3 diagonal": (np.diag([3.0, 3.0, 3.0]), None)}


@pytest.fixture(scope="module", params=[1, 2], ids=["1mm", "2mm"])
def template(request):
    return datasets.load_mni152_template(resolution=request.param)


@pytest.mark.parametrize("grid", GRIDS)
@pytest.mark.parametrize("interpolation, order", [("nearest", 0), ("linear", 1)])
def test_against_nilearn(template, grid, interpolation, order):
    target, shape = GRIDS[grid]
    ref = resample_img(template, target_affine=target, target_shape=shape, interpolation=interpolation, **NILEARN_ARGS)
    expected = np.asanyarray(ref.dataobj)
    # computed in float64 as scipy computes for nilearn: the same values once rounded to float32
    wide = zr.resample_to(template, target, shape, order=order, output=np.float64)
    assert (type(wide), wide.shape) == (type(ref), ref.shape) and np.array_equal(wide.affine, ref.affine)
    assert np.array_equal(np.asanyarray(wide.dataobj).astype(np.float32), expected)
    # float32 data computed in float32 (the default): coordinates are rounded to float32, so a sample can
    # move by a few units in the last place of the largest input index, times the data's steepest step
    ours = np.asanyarray(zr.resample_to(template, target, shape, order=order).dataobj)
    assert ours.dtype == expected.dtype == np.float32
    data = np.asanyarray(template.dataobj)
    if order == 1:
        steepest = max(np.abs(np.diff(data, axis=a)).max() for a in range(3))
        bound = 4 * np.spacing(np.float32(max(data.shape))) * steepest
        assert np.abs(ours - expected).max() <= bound
    else:  # only samples within float32 rounding of halfway between two voxels may round the other way
        assert np.count_nonzero(ours != expected) <= 1e-4 * ours.size


@pytest.mark.parametrize("dtype", ["uint8", "int16", "float64"])
def test_dtype_as_nilearn(dtype):
    img = datasets.load_mni152_template(resolution=2)
    data = (np.asanyarray(img.dataobj) * 200).astype(dtype)
    img = nib.Nifti1Image(data, img.affine)
    ref = resample_img(img, target_affine=OBLIQUE, interpolation="linear", **NILEARN_ARGS)
    out = zr.resample_to(img, OBLIQUE, order=1)
    assert out.get_fdata().dtype == np.float64 and np.asanyarray(out.dataobj).dtype == np.asanyarray(ref.dataobj).dtype
    np.testing.assert_allclose(out.get_fdata(), ref.get_fdata(), atol=1 if dtype != "float64" else 1e-9)


def test_nifti_round_trip():
    """A stored int16 image with a scale factor and a 4th axis (time) in, a Nifti1Image out that saves."""
    rng = np.random.default_rng(0)
    affine = np.diag([2.0, 2.0, 2.5, 1.0])
    affine[:3, 3] = [-20, -30, -10]
    img = nib.Nifti1Image(rng.random((20, 24, 16, 3)) * 1000, affine)
    img.header.set_data_dtype(np.int16)
    img.header.set_xyzt_units("mm", "sec")
    img.header.set_zooms((2.0, 2.0, 2.5, 1.5))
    img.header["descrip"] = b"test series"
    stored = nib.Nifti1Image.from_bytes(img.to_bytes())
    scaled = np.asanyarray(stored.dataobj)
    assert stored.dataobj.slope != 1 and scaled.dtype.kind == "f"  # the values nibabel reads
    out = zr.resample_to(stored, np.diag([3.0, 3.0, 3.0]))
    assert type(out) is nib.Nifti1Image and out.shape[3] == 3
    np.testing.assert_array_equal(out.get_fdata(), zr.resample_to(scaled, stored.affine, out.affine, out.shape[:3]))
    h = out.header
    assert np.array_equal(h.get_best_affine(), out.affine) and h.get_data_shape() == out.shape
    assert h.get_zooms() == (3.0, 3.0, 3.0, 1.5) and h["descrip"] == b"test series"
    assert h.get_xyzt_units() == ("mm", "sec")
    back = nib.Nifti1Image.from_bytes(out.to_bytes())
    np.testing.assert_allclose(back.get_fdata(), out.get_fdata(), atol=back.dataobj.slope / 2 + 1e-9)


class Volume:
    """An image as another library might have one: an affine and an array interface, no header."""

    def __init__(self, data, affine):
        self.data, self.affine = data, affine

    def __array__(self, dtype=None, copy=None):
        return self.data


def test_any_image_type():
    vol = Volume(np.arange(4 * 5 * 6, dtype=np.float32).reshape(4, 5, 6), np.diag([1.0, 1.0, 1.0, 1.0]))
    out = zr.resample_to(vol, np.diag([2.0, 2.0, 2.0, 1.0]))  # grid from the bounding box: (0..1.5) -> 3 voxels
    assert type(out) is Volume and out.data.shape == (3, 3, 4) and out.data[1, 2, 2] == vol.data[2, 4, 4]


@pytest.mark.parametrize("shape", [(7, 8, 9), (7, 8, 9, 2), (7, 8)], ids=["3d", "4d", "2d"])
@pytest.mark.parametrize("diagonal", [False, True])
def test_array_form_as_scipy(shape, diagonal):
    """The array form: scipy's affine_transform with the voxel-to-voxel matrix, volume by volume."""
    k = min(len(shape), 3)
    rng = np.random.default_rng(len(shape))
    data = rng.random(shape)
    src, dst = np.eye(k + 1), np.eye(k + 1)
    src[:k, :k], src[:k, k] = np.diag(rng.uniform(1, 2, k)), rng.uniform(-5, 5, k)
    dst[:k, :k] = np.diag(rng.uniform(0.5, 1.5, k)) if diagonal else rotation(15, 10)[:k, :k] * 0.8
    out = zr.resample_to(data, src, dst, (6, 5, 4)[:k], order=1)
    m = np.linalg.solve(src, dst)
    matrix = np.diag(m[:k, :k]) if diagonal else m[:k, :k]
    volumes = [ndi.affine_transform(data[(...,) + i], matrix, m[:k, k], (6, 5, 4)[:k], order=1)
               for i in np.ndindex(shape[k:])]
    np.testing.assert_array_equal(out, np.stack(volumes, axis=-1).reshape(out.shape))


class Resizing:
    """A number whose conversion resizes `target` in place (the array owns its data, so NumPy allows it)."""

    def __init__(self, target, value):
        self.target, self.value = target, value

    def __float__(self):
        self.target.resize((80, 80, 80), refcheck=False)  # a new buffer: the old one is freed
        return float(self.value)

    def __index__(self):
        return int(self.__float__())


@pytest.mark.parametrize("via", ["cval", "order", "target_shape"])
@pytest.mark.parametrize("form", ["array", "image"])
def test_arguments_read_before_the_data(via, form):
    """The data is read as the caller's conversions leave it, never through a view taken before them."""
    vol = np.arange(64 ** 3, dtype=np.float32).reshape(64, 64, 64).copy()  # owns its data
    affine, target = np.diag([2.0, 2.0, 2.0, 1.0]), np.diag([3.0, 3.0, 3.0, 1.0])
    first = (Volume(vol, affine),) if form == "image" else (vol, affine)
    plain = {"cval": 0.0, "order": 1, "target_shape": (40, 40, 40)}
    trap = dict(plain, **{via: Resizing(vol, 0.0) if via == "cval" else Resizing(vol, 1)})
    if via == "target_shape":
        trap["target_shape"] = (40, 40, Resizing(vol, 40))
    got = zr.resample_to(*first, target, **trap)
    assert vol.shape == (80, 80, 80)
    expected = zr.resample_to(*first, target, **plain)
    np.testing.assert_array_equal(np.asarray(got), np.asarray(expected))


IMG = nib.Nifti1Image(np.zeros((4, 5, 6), np.float32), np.eye(4))


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((IMG, np.eye(3), (2, 2, 2)), {}, ValueError, "target_shape: a 3x3 target_affine"),
    ((IMG, IMG.affine, np.eye(4), (2, 2, 2)), {}, TypeError, "target_shape: got a matrix"),
    ((IMG, np.diag([1.0, 1, 1, 1]) + np.eye(4, k=3) * 50), {}, ValueError, "target_affine: the image lies"),
    ((IMG, np.diag([1.0, 0, 1])), {}, ValueError, "target_affine: the matrix is singular"),
    ((IMG, np.eye(2)), {}, ValueError, "target_affine: expected a 4x4"),
    ((IMG, np.eye(4), (2, 2.5, 2)), {}, TypeError, "target_shape"),
    ((IMG, np.eye(4)), {"cval": "1"}, TypeError, "cval"),
    ((IMG, np.eye(4)), {"order": 3}, ValueError, "order"),
    ((IMG, np.eye(4)), {"mode": "edge"}, ValueError, "mode"),
    ((Volume(np.zeros((2, 2, 2), bool), np.eye(4)), np.eye(4)), {}, TypeError, "image: dtype bool"),
    ((Volume(None, np.eye(4)), np.eye(4)), {}, TypeError, "image: expected an image with array data"),
    ((Volume(np.zeros((2, 2, 2)), None), np.eye(4)), {}, ValueError, "image.affine"),
    ((np.zeros((2, 2, 2), bool), np.eye(4), np.eye(4), (2, 2, 2)), {}, TypeError, "data: dtype bool"),
    ((np.zeros((2, 2)), np.eye(4), np.eye(4), (2, 2, 2)), {}, ValueError, "data: expected at least 3 axes"),
    ((IMG,), {}, TypeError, "resample_to() missing 1 required positional argument: 'target_affine'"),
])
def test_errors_name_the_argument(args, kwargs, error, message):
    with pytest.raises(error) as info:
        zr.resample_to(*args, **kwargs)
    assert message in str(info.value)
