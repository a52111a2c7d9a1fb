"""Chunked stores: dask inputs read from a Zarr store by the output tasks themselves, results written into
a store region by region, default chunks shaped by the transform, OME-Zarr multiscale images, and the
faults a store or a cluster brings (an unreadable chunk, a worker killed during a computation)."""

from __future__ import annotations

import json
import os
import signal
import time

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
zarr = pytest.importorskip("zarr")

import zentrova_resample as zr  # noqa: E402
from zentrova_resample import _dask, _store  # noqa: E402
from resample_support import assert_identical, random_data, random_transform, rng_for  # noqa: E402


def stored(tmp_path, data, chunks, name="in.zarr"):
    """`data` written to a new Zarr array under tmp_path, and the dask array da.from_zarr makes of it."""
    array = zarr.open_array(str(tmp_path / name), mode="w", shape=data.shape, chunks=chunks, dtype=data.dtype)
    array[...] = data
    return array, da.from_zarr(str(tmp_path / name))


def in_memory_twin(x):
    """The same chunks as a dask array held in memory: the graph that reads chunk by chunk."""
    return da.from_array(np.asarray(x), chunks=x.chunks)


CALLS = {
    "rotation": lambda x, m, o, order: zr.affine_transform(x, m, o, order=order, mode="nearest"),
    "zoom": lambda x, m, o, order: zr.zoom(x, (1.3, 0.8, 1.1), order=order, mode="mirror"),
    "shift": lambda x, m, o, order: zr.shift(x, (0.4, -2.5, 3.25), order=order, mode="grid-wrap"),
    "map_coordinates": lambda x, m, o, order: zr.map_coordinates(
        x, np.random.default_rng(order).random((3, 40, 30)) * np.array(x.shape)[:, None, None] * 1.2 - 2, order=order),
}


@pytest.mark.parametrize("call", sorted(CALLS))
@pytest.mark.parametrize("order", (0, 1, 3))
@pytest.mark.parametrize("dtype", ("uint16", "float32", "float64"))
def test_store_input_read_by_the_tasks(tmp_path, call, order, dtype):
    """A dask array of a Zarr store's chunks: the graph holds the store array but none of its chunk tasks,
    and the result equals the in-memory call bit for bit at orders 0 and 1, and the same chunks read
    through their own tasks at order 3 (the same boxes and halos, so the same bits)."""
    rng = rng_for("store input", call, order, dtype)
    data = random_data(rng, (23, 31, 37), dtype, specials=False)
    _, x = stored(tmp_path, data, (7, 16, 13))
    assert _store.stored_array(x) is not None and _store.stored_array(x[:, 1:]) is None
    matrix, offset = random_transform(rng, data.shape, data.shape, "rotate")
    lazy = CALLS[call](x, matrix, offset, order)
    keys = dict(lazy.__dask_graph__())
    assert not any(isinstance(k, tuple) and k[0] == x.name for k in keys), "the store's chunk tasks are in the graph"
    got = lazy.compute()
    if order < 2:
        assert_identical(got, CALLS[call](data, matrix, offset, order))
    else:
        assert_identical(got, CALLS[call](in_memory_twin(x), matrix, offset, order).compute())


def test_each_chunk_read_once_per_computation(tmp_path, monkeypatch):
    """The tasks of one computation share the chunks they read (each store chunk is read at most once
    here, where boxes overlap), and a second computation of the same lazy array reads the store again:
    a change made to the store in between is in its result."""
    rng = rng_for("chunk cache")
    data = random_data(rng, (24, 40, 40), "float32", specials=False)
    array, x = stored(tmp_path, data, (8, 10, 10))
    matrix, offset = random_transform(rng, data.shape, data.shape, "rotate")
    reads = []
    original = _store._read
    monkeypatch.setattr(_store, "_read", lambda store, box: reads.append(box) or original(store, box))
    lazy = zr.affine_transform(x, matrix, offset, order=1, output_chunks=(6, 10, 10))
    assert_identical(lazy.compute(scheduler="sync"), zr.affine_transform(data, matrix, offset, order=1))
    assert 0 < len(reads) == len(set(reads)) <= 3 * 4 * 4  # (threads may read one chunk at once, twice)
    array[...] = data * 2
    assert_identical(lazy.compute(), zr.affine_transform(data * 2, matrix, offset, order=1))


@pytest.mark.parametrize("order", (1, 3))
def test_output_into_a_store(tmp_path, order):
    """output= a path makes a Zarr array of the default chunks; output= an existing array is filled with
    chunks moved onto its chunk boundaries, the result stored as its dtype; caller's chunks that cut its
    chunks are refused before anything is written; a NumPy input is written whole; a store of another
    shape, or a real one for a complex input, is refused."""
    rng = rng_for("store output", order)
    data = random_data(rng, (30, 41, 35), "uint16", specials=False)
    _, x = stored(tmp_path, data, (10, 20, 20))
    matrix, offset = random_transform(rng, data.shape, data.shape, "rotate")
    expected = zr.affine_transform(x, matrix, offset, order=order).compute()

    made = zr.affine_transform(x, matrix, offset, order=order, output=str(tmp_path / "new.zarr"))
    assert_identical(made[...], expected)
    assert made.attrs[_store.COMPLETE] is True
    assert made.chunks == tuple(max(c) for c in zr.affine_transform(x, matrix, offset, order=order).chunks)
    with pytest.raises(Exception):  # as to_zarr: an existing array is not overwritten
        zr.affine_transform(x, matrix, offset, order=order, output=str(tmp_path / "new.zarr"))

    target = zarr.open_array(str(tmp_path / "given.zarr"), mode="w", shape=data.shape, chunks=(6, 9, 35),
                             dtype=data.dtype, fill_value=7)
    assert zr.affine_transform(x, matrix, offset, order=order, output=target) is target
    assert_identical(target[...], expected)
    target[...] = 7
    with pytest.raises(ValueError, match="output_chunks"):
        zr.affine_transform(x, matrix, offset, order=order, output=target, output_chunks=(10, 41, 35))
    assert (target[...] == 7).all()

    for source, name in ((x, "ones-dask.zarr"), (data, "ones-numpy.zarr")):  # zoom's shortcut: a cast, stored
        ones = zr.zoom(source, 1.0, output=str(tmp_path / name), order=order)
        assert_identical(ones[...], zr.zoom(data, 1.0, order=order))
        assert ones.attrs[_store.COMPLETE] is True
    in_memory = zr.affine_transform(data, matrix, offset, order=order, output=tmp_path / "numpy.zarr")
    assert_identical(in_memory[...], zr.affine_transform(data, matrix, offset, order=order))
    with pytest.raises(ValueError, match="shape"):
        zr.affine_transform(x, matrix, offset, (30, 41, 36), order=order, output=target)
    # the store's dtype is the output's, as an array's is
    zr.affine_transform(x.astype(np.float32) * 1.5, matrix, offset, order=order, output=target)
    assert_identical(target[...], zr.affine_transform(data.astype(np.float32) * 1.5, matrix, offset, order=order,
                                                      output=np.uint16))
    with pytest.raises(TypeError, match="complex"):
        zr.affine_transform(x.astype(np.complex64), matrix, offset, order=order, output=target)


def test_default_chunks_keep_boxes_small():
    """Without output_chunks: the input's chunks where their boxes stay small (a shift), else chunks of as
    many voxels shaped by the transform, whose boxes are smaller than those of the input's chunks."""
    rng = rng_for("default chunks")
    x = da.zeros((128, 512, 512), dtype=np.uint16, chunks=(64, 256, 256))
    assert zr.shift(x, 3.3, order=1).chunks == x.chunks
    matrix, offset = random_transform(rng, x.shape, x.shape, "rotate")
    for order in (1, 3):
        lazy = zr.affine_transform(x, matrix, offset, order=order)
        side = [max(c) for c in lazy.chunks]
        assert lazy.chunks != x.chunks and np.prod(side) <= 64 * 256 * 256
        plan = _dask_plan(x, matrix, offset, order)
        assert _dask._box_per_voxel(plan, side) < _dask._box_per_voxel(plan, [64, 256, 256])


def _dask_plan(x, matrix, offset, order):
    from zentrova_resample import _plan
    info = _plan.ArrayInfo(tuple(x.shape), x.dtype)
    return _plan.plan_affine(info, matrix, offset, None, None, order, "constant", 0.0)[0]


def test_unreadable_chunk_is_named(tmp_path):
    """A chunk of the input store that cannot be read raises StoreReadError naming it (its key in the
    store), from the task that reads it, and the output made at a path is not marked complete."""
    rng = rng_for("unreadable chunk")
    data = random_data(rng, (20, 20, 20), "uint16", specials=False)
    array, x = stored(tmp_path, data, (10, 10, 10))
    key = array.metadata.encode_chunk_key((1, 0, 1)) if hasattr(array, "metadata") else "1.0.1"
    with open(os.path.join(str(tmp_path / "in.zarr"), *key.split("/")), "wb") as f:
        f.write(b"not a chunk")
    with pytest.raises(zr.StoreReadError, match=r"chunk \(1, 0, 1\)") as caught:
        zr.affine_transform(x, np.eye(3), 0.5, order=1, output=str(tmp_path / "out.zarr"))
    assert isinstance(caught.value, OSError) and key in str(caught.value)
    assert _store.COMPLETE not in zarr.open_array(str(tmp_path / "out.zarr"), mode="r").attrs  # not marked done
    # the chunks that can be read still are
    assert_identical(zr.affine_transform(x[:10], np.eye(3), 0.5, order=1).compute(),
                     zr.affine_transform(data[:10], np.eye(3), 0.5, order=1))


@pytest.mark.parametrize("lazy", (False, True))
def test_ome_zarr_multiscale(tmp_path, lazy):
    """write_ome_zarr: level 0 the image, each next level zoom's halving of the one before, the chunks
    asked for, and the multiscales metadata (axes, each level's scale and translation: the levels' outer
    edges coincide) written once every level is."""
    rng = rng_for("ome", lazy)
    data = random_data(rng, (21, 40, 33), "uint16", specials=False)
    image = da.from_array(data, chunks=(10, 20, 20)) if lazy else data
    group = zr.write_ome_zarr(str(tmp_path / "img.zarr"), image, levels=3, scale=(2.0, 0.5, 0.25),
                              translation=(1.0, 0.0, 0.0), unit="micrometer", chunks=(8, 16, 16))
    meta = json.loads(open(os.path.join(str(tmp_path / "img.zarr"), ".zattrs")).read())["multiscales"][0]
    assert meta == dict(group.attrs)["multiscales"][0]
    assert meta["version"] == "0.4" and [a["name"] for a in meta["axes"]] == ["z", "y", "x"]
    assert all(a["type"] == "space" and a["unit"] == "micrometer" for a in meta["axes"])
    level = data
    for index, dataset in enumerate(meta["datasets"]):
        stored_level = zarr.open_array(os.path.join(str(tmp_path / "img.zarr"), dataset["path"]), mode="r")
        assert stored_level.chunks == tuple(min(c, n) for c, n in zip((8, 16, 16), level.shape))
        assert_identical(stored_level[...], level)
        scale, translation = (t[k] for t, k in zip(dataset["coordinateTransformations"], ("scale", "translation")))
        assert scale == pytest.approx([s * n0 / n for s, n0, n in zip((2.0, 0.5, 0.25), data.shape, level.shape)])
        # the first voxel's outer edge stays where level 0's is
        assert [t - s / 2 for t, s in zip(translation, scale)] == pytest.approx([0.0, -0.25, -0.125])
        half = tuple(max(1, round(n * 0.5)) for n in level.shape)
        level = zr.zoom(level, [m / n for m, n in zip(half, level.shape)], order=1, mode="nearest", grid_mode=True)
    with pytest.raises(Exception):  # an existing path is not overwritten
        zr.write_ome_zarr(str(tmp_path / "img.zarr"), data)


def _chunk_files(path) -> int:
    return sum(len([f for f in files if not f.startswith(".") and f != "zarr.json"]) for _, _, files in os.walk(path))


def test_cluster_from_store_into_store_survives_a_killed_worker(tmp_path):
    """On a LocalCluster of 2 worker processes: a rotation read from one Zarr store and written into
    another by the tasks (nothing gathered here) equals the in-memory call, even when a worker process
    is killed during the computation (its tasks run again elsewhere; every region is written whole)."""
    distributed = pytest.importorskip("distributed")
    from zentrova_resample.dask_workers import PoolSize, worker_env

    rng = rng_for("cluster store")
    data = random_data(rng, (48, 64, 64), "uint16", specials=False)
    _, x = stored(tmp_path, data, (16, 32, 32))
    matrix, offset = random_transform(rng, data.shape, data.shape, "rotate")
    expected = zr.affine_transform(data, matrix, offset, order=1)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=50, env=worker_env(1)) as cluster, distributed.Client(cluster) as client:
        register = getattr(client, "register_plugin", None) or client.register_worker_plugin
        register(PoolSize())
        out = zr.affine_transform(x, matrix, offset, order=1, output=str(tmp_path / "out.zarr"))
        assert_identical(out[...], expected)

        target = zarr.open_array(str(tmp_path / "again.zarr"), mode="w", shape=data.shape, chunks=(4, 8, 64),
                                 dtype=data.dtype)
        lazy = zr.affine_transform(x, matrix, offset, order=1, output_chunks=(4, 8, 64))
        future = client.compute(da.store(lazy, target, lock=False, compute=False))
        deadline = time.monotonic() + 60
        while _chunk_files(tmp_path / "again.zarr") < 3 and not future.done():  # some regions written
            assert time.monotonic() < deadline
            time.sleep(0.005)
        pids = client.run(os.getpid)
        assert not future.done(), "finished before a worker could be killed"
        os.kill(pids[sorted(pids)[0]], signal.SIGKILL)  # the nanny starts another
        future.result(timeout=120)
        assert_identical(target[...], expected)


@pytest.mark.parametrize("shape, axes, levels", [((3, 40, 70), ("c", "y", "x"), None),
                                                 ((2, 3, 10, 20, 18), None, 2),
                                                 ((600, 30), None, None)])
def test_ome_zarr_axes_kept_and_levels(tmp_path, shape, axes, levels):
    """Only the spatial axes are halved from level to level (time and channels kept, with scale 1 and
    their OME types), a 2-D image included; by default levels until the largest spatial axis is at most
    256; every level equals zoom's halving of the one before along the spatial axes."""
    data = random_data(rng_for("ome axes", shape), shape, "float32", specials=False)
    zr.write_ome_zarr(str(tmp_path / "img.zarr"), data, levels=levels, axes=axes)
    meta = json.loads(open(os.path.join(str(tmp_path / "img.zarr"), ".zattrs")).read())["multiscales"][0]
    names = [a["name"] for a in meta["axes"]]
    default = ("t", "c", "z", "y", "x")[5 - len(shape):] if len(shape) > 3 else ("z", "y", "x")[3 - len(shape):]
    assert names == list(axes or default)
    spatial = [a["type"] == "space" for a in meta["axes"]]
    assert [a["type"] for a in meta["axes"]] == [{"t": "time", "c": "channel"}.get(n, "space") for n in names]
    expected_levels = levels or 1 + max(0, int(np.ceil(np.log2(max(n for n, s in zip(shape, spatial) if s) / 256))))
    assert len(meta["datasets"]) == expected_levels
    level = data
    for dataset in meta["datasets"]:
        assert_identical(zarr.open_array(os.path.join(str(tmp_path / "img.zarr"), dataset["path"]), mode="r")[...],
                         level)
        scale = dataset["coordinateTransformations"][0]["scale"]
        assert [v for v, s in zip(scale, spatial) if not s] == [1.0] * (len(shape) - sum(spatial))
        half = [max(1, round(n * 0.5)) if s else n for n, s in zip(level.shape, spatial)]
        level = zr.zoom(level, [m / n for m, n in zip(half, level.shape)], order=1, mode="nearest", grid_mode=True)


@pytest.mark.parametrize("kwargs, match", [(dict(axes=("x", "y", "z")), "axes"), (dict(axes=("c", "t", "x")), "axes"),
                                           (dict(axes=("c", "x")), "axes"), (dict(scale=(1.0, 0.0, 1.0)), "scale"),
                                           (dict(chunks=(4, 4)), "chunks"), (dict(levels=0), "levels")])
def test_ome_zarr_refuses_bad_arguments_before_writing(tmp_path, kwargs, match):
    with pytest.raises(ValueError, match=match):
        zr.write_ome_zarr(str(tmp_path / "img.zarr"), np.zeros((4, 5, 6), np.uint8), **kwargs)
    assert not os.path.exists(str(tmp_path / "img.zarr"))
