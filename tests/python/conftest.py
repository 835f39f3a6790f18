import os
import pathlib
import sys

# Tests run against the tree's own build (make test builds into ./build, or $BUILD);
# PYTHONPATH carries the same paths to the child interpreters some tests start.
ROOT = pathlib.Path(__file__).resolve().parents[2]
_paths = [str(p) for p in (ROOT / "python", ROOT / os.environ.get("BUILD", "build")) if p.is_dir()]
for _path in _paths:
    if _path not in sys.path:
        sys.path.insert(0, _path)
os.environ["PYTHONPATH"] = os.pathsep.join(
    _paths + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
)
