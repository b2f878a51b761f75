"""Test helpers: virtual targets (quillrom-sim) on pseudo-terminals, so a
test stand's scripts run without a board."""
from __future__ import annotations

import contextlib
import os
import shutil
import subprocess
import tempfile
from typing import Dict, Iterator, List, Optional, Sequence


def _simulator() -> str:
    found = os.environ.get("QUILLROM_SIM") or shutil.which("quillrom-sim")
    if not found:
        raise FileNotFoundError("quillrom-sim not found: install quillrom or set QUILLROM_SIM")
    return found


def _start(prm, com: int, folder: str, faults: Sequence[str], args: Sequence[str]) -> subprocess.Popen:
    command: List[str] = [_simulator(), "--prm", os.fspath(prm), "--com", str(com), "--alias-dir", folder]
    for f in faults:
        command += ["--fault", f]
    sim = subprocess.Popen(command + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # The pty's path, then the COM name it was given: then it answers.
    for _ in range(2):
        if not sim.stdout.readline():
            sim.wait()
            raise RuntimeError("quillrom-sim did not start: " + sim.stderr.read())
    return sim


def _stop(sim: subprocess.Popen) -> None:
    sim.terminate()
    try:
        sim.wait(timeout=30)
    except subprocess.TimeoutExpired:
        sim.kill()
        sim.wait()


@contextlib.contextmanager
def virtual_targets(prm, count: int, first_com: int = 90,
                    faults: Optional[Dict[int, Sequence[str]]] = None, args: Sequence[str] = ()) -> Iterator[List[str]]:
    """`count` virtual targets of the device `prm` describes, on COM<first_com>
    and up; yields their port names and stops them when the block ends.
    `faults` maps a target's index to its fault rules ("write-fail:byte=300").
    The COM names live in a folder of their own: QUILLROM_PORTS_DIR points
    there for the block."""
    folder = tempfile.mkdtemp(prefix="quillrom-ports-")
    before = os.environ.get("QUILLROM_PORTS_DIR")
    os.environ["QUILLROM_PORTS_DIR"] = folder
    sims: List[subprocess.Popen] = []
    try:
        for k in range(count):
            sims.append(_start(prm, first_com + k, folder, (faults or {}).get(k, ()), args))
        yield [f"COM{first_com + k}" for k in range(count)]
    finally:
        for sim in sims:
            _stop(sim)
        if before is None:
            os.environ.pop("QUILLROM_PORTS_DIR", None)
        else:
            os.environ["QUILLROM_PORTS_DIR"] = before
        shutil.rmtree(folder, ignore_errors=True)


@contextlib.contextmanager
def virtual_target(prm, com: int = 90, faults: Sequence[str] = (), args: Sequence[str] = ()) -> Iterator[str]:
    """One virtual target on COM<com>; yields its port name."""
    with virtual_targets(prm, 1, com, {0: faults}, args) as ports:
        yield ports[0]
