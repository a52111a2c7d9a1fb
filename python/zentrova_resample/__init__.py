"""Affine resampling of N-D NumPy arrays with scipy.ndimage's meaning, on zentrova's kernels.

``from zentrova_resample import affine_transform, shift, zoom, rotate`` stands in for
scipy.ndimage's functions of those names for spline orders 0 to 5 and every boundary mode, for
float16/32/64, 8- to 64-bit integer, bool and complex arrays of any memory layout, with any output
grid, and dask arrays in and out; the interpreter lock is released while the kernels run on
zentrova's worker pool. ``spline_filter`` and ``spline_filter1d`` compute B-spline coefficients;
``resample_to`` resamples images with a voxel-to-world affine; ``write_ome_zarr`` writes a volume as an
OME-Zarr multiscale image.

The pool is one per process, shared with the fixed module ``zentrova``: ``get_num_threads()`` and
``set_num_threads(n)`` read and set its size, and threadpoolctl (when installed) lists and limits it.
"""

from ._affine import affine_transform
from ._derived import rotate, shift, zoom
from ._errors import ArgumentTypeError, ArgumentValueError, StoreReadError
from ._map import map_coordinates
from ._ome import write_ome_zarr
from ._spline import spline_filter, spline_filter1d
from ._threads import get_num_threads, set_num_threads
from ._version import __version__
from ._world import resample_to

__all__ = ["ArgumentTypeError", "ArgumentValueError", "affine_transform", "get_num_threads", "map_coordinates",
           "resample_to", "rotate", "set_num_threads", "shift", "spline_filter", "spline_filter1d", "StoreReadError",
           "write_ome_zarr", "zoom"]
