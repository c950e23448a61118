"""Fixtures: the tarvomdrv program, and simulated registers on pseudo-terminals
linked into a private device directory."""
import json
import os
import pathlib
import subprocess

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def program() -> str:
    path = os.environ.get("TARVOMDRV") or str(REPO / "build" / "bin" / "tarvomdrv")
    if not os.access(path, os.X_OK):
        pytest.fail(f"no tarvomdrv program at {path}: build first, or set TARVOMDRV")
    return path


@pytest.fixture
def device_env(tmp_path):
    """The environment of a program that finds its registers in a private
    device directory (and keeps its registry in a private file)."""
    env = dict(os.environ)
    (tmp_path / "dev").mkdir()
    env["TARVO_DEVICE_DIR"] = str(tmp_path / "dev")
    env["TARVO_REGISTRY"] = str(tmp_path / "registry.reg")
    return env


class Register:
    """`tarvomdrv simulate` playing a script once the host has connected."""

    def __init__(self, program, env, port, steps, workdir):
        script = workdir / f"script{port}.json"
        script.write_text(json.dumps(steps))
        self.port = port
        self.proc = subprocess.Popen(
            [program, "simulate", "--port", str(port), "--script", str(script),
             "--exit-after-script", "--quiet"],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        # The first line says the register is listening (and linked as COMn).
        self.banner = self.proc.stdout.readline()
        assert f"COM{port}" in self.banner, self.banner

    def finished(self) -> bool:
        return self.proc.poll() is not None

    def output(self, timeout=30) -> str:
        out, _ = self.proc.communicate(timeout=timeout)
        return self.banner + out

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.communicate(timeout=30)


@pytest.fixture
def register(program, device_env, tmp_path):
    started = []

    def start(port, steps):
        reg = Register(program, device_env, port, steps, tmp_path)
        started.append(reg)
        return reg

    yield start
    for reg in started:
        reg.stop()
