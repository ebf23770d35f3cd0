"""The shipped type stubs: they describe every public name of the module, every public function
and method carries documentation beyond its signature, and a type checker reading them catches
a wrong argument type while accepting the README's style of calls."""

import ast
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tesk_gpu

PACKAGE = Path(tesk_gpu.__path__[0])
# Sanitizer builds cannot import the module while building it, so they carry no stubs.
needs_stubs = pytest.mark.skipif(os.environ.get("TESK_NO_STUBS") == "1", reason="built without type stubs")


def public_callables():
    for name in dir(tesk_gpu):
        value = getattr(tesk_gpu, name)
        if name.startswith("__"):
            continue
        if isinstance(value, type):
            for attr, member in vars(value).items():
                if not attr.startswith("_") and callable(member):
                    yield f"{name}.{attr}", member
        elif callable(value):
            yield name, value


@needs_stubs
def test_stub_covers_the_module():
    assert (PACKAGE / "py.typed").exists()
    tree = ast.parse((PACKAGE / "__init__.pyi").read_text())
    stubbed = set()
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            stubbed.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            stubbed.add(node.target.id)
        elif isinstance(node, ast.ClassDef):
            stubbed.add(node.name)
            stubbed |= {f"{node.name}.{m.name}" for m in node.body if isinstance(m, ast.FunctionDef)}
    public = {n for n in dir(tesk_gpu) if not n.startswith("__") and not isinstance(getattr(tesk_gpu, n), type(sys))}
    assert public - stubbed == set()
    assert {name for name, _ in public_callables()} - stubbed == set()


def test_every_public_callable_is_documented():
    undocumented = []
    for name, member in public_callables():
        lines = (member.__doc__ or "").strip().splitlines()
        # pybind11 puts the signature first; the documentation is what follows it.
        body = lines[1:] if lines and lines[0].startswith(name.split(".")[-1] + "(") else lines
        if not any(line.strip() for line in body):
            undocumented.append(name)
    assert undocumented == []


@needs_stubs
def test_type_checker_reads_the_stubs(tmp_path):
    pytest.importorskip("mypy")
    use = tmp_path / "use.py"
    use.write_text(textwrap.dedent("""
        import numpy as np
        import tesk_gpu
        from tesk_gpu import distributed

        scene = tesk_gpu.EmbreeSceneManager()
        scene.set_num_bands(2)
        mesh = scene.add_mesh(np.zeros((3, 3), np.float32), np.zeros((0, 3), np.float32), np.array([[0, 1, 2]]))
        scene.add_instance(mesh, 0.0, 0.0, 0.0)
        count: int = scene.num_instances()
        image = tesk_gpu.simulate_cpu(scene, 16, 4, None, ("standard_error",), num_threads=2)
        ranges = distributed.pass_ranges(16, 2)
        wrong = tesk_gpu.simulate_cpu(scene, spp="many")
    """))
    env_path = str(PACKAGE.parent)
    result = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--python-executable", sys.executable,
                             str(use)], capture_output=True, text=True, cwd=tmp_path,
                            env={"PYTHONPATH": env_path, "PATH": "/usr/bin:/bin"})
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and '"spp"' in errors[0] and ":13:" in errors[0], result.stdout
