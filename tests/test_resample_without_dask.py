"""dask is optional: with every import of it refused, the package imports and resamples NumPy arrays as
before, and never tries to import dask."""

import json
import subprocess
import sys
import textwrap

CODE = textwrap.dedent("""
    import importlib.abc, json, sys

    tried = []

    class NoDask(importlib.abc.MetaPathFinder):
        def find_spec(self, name, path=None, target=None):
            if name.split(".")[0] in ("dask", "distributed"):
                tried.append(name)
                raise ModuleNotFoundError(f"No module named {name!r} (blocked in this test)")
            return None

    sys.meta_path.insert(0, NoDask())
    import numpy as np
    import zentrova_resample as zr

    vol = np.arange(4 * 5 * 6, dtype=np.float32).reshape(4, 5, 6)
    results = [zr.affine_transform(vol, np.eye(3), 0.5), zr.shift(vol, 0.5), zr.zoom(vol, 1.5),
               zr.rotate(vol, 30), zr.zoom(vol, 1)]
    try:
        zr.affine_transform(vol, np.eye(3), output_chunks=2)
        refused = None
    except TypeError as exc:
        refused = str(exc)
    print(json.dumps({"shapes": [list(r.shape) for r in results], "tried": tried, "refused": refused,
                      "dask_loaded": [m for m in sys.modules if m.split(".")[0] == "dask"]}))
""")


def test_imports_and_runs_without_dask():
    proc = subprocess.run([sys.executable, "-c", CODE], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    assert report["shapes"] == [[4, 5, 6], [4, 5, 6], [6, 8, 9], [6, 6, 6], [4, 5, 6]]
    assert report["tried"] == [] and report["dask_loaded"] == []
    assert report["refused"] and "output_chunks" in report["refused"]
