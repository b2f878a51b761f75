"""Program microcontroller flash through its serial bootloader, from Python.

The same device commands as the ``quillrom`` command line, run through the
same layers: a :class:`Session` on one port, :func:`gang` on several,
:func:`load` to read an image, :func:`ports` to list ports.
"""
from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from typing import Callable, Dict, Iterable, List, Optional, Sequence, Union

from . import _quillrom

__version__: str = _quillrom.__version__

__all__ = ["Session", "Result", "Image", "Error", "DeviceError", "PortError", "gang", "load", "ports", "__version__"]

OnRecord = Callable[[str, str, int], None]
OnLine = Callable[[Optional[str], str], None]


class Error(Exception):
    """What quillrom reports; ``exit_code`` is the command line's for it."""

    def __init__(self, message: str, exit_code: int):
        super().__init__(message)
        self.exit_code = exit_code


class PortError(Error):
    """A port, file or record problem (the command line's exit 3): nothing was run on a device."""


class DeviceError(Error):
    """The device or the command failed (the command line's exit 1); ``result`` tells how."""

    def __init__(self, result: "Result"):
        super().__init__(f"{result.port}: {result.detail or result.result}", 1)
        self.result = result


@dataclass
class Result:
    """How one target's command ended."""

    port: str
    result: str               # "ok", "failed", "port", "interrupted"
    ok: bool
    exit_code: int
    detail: str               # the reason of a failure, or the last line of a success
    status: int               # the library's final status (0: OK)
    seconds: float
    log: List[str]
    device_checksum: Optional[int] = None
    file_checksum: Optional[int] = None
    checksum_equal: Optional[bool] = None
    device_id: Optional[str] = None
    device_name: Optional[str] = None
    device_version: Optional[str] = None
    serial: Optional[int] = None
    fields: Dict[str, str] = field(default_factory=dict)
    aborted: bool = False
    recorded: bool = True


@dataclass
class Image:
    """A load image as the device commands would stream it."""

    start: int     # lowest address with data
    end: int       # highest address with data
    checksum: int  # the image checksum (16 bits), as `quillrom hex info` prints it
    data: bytes    # start..end, gaps filled

    def __len__(self) -> int:
        return len(self.data)


def _raise_setup(error: _quillrom.SetupError):
    code, message = error.args
    if code == 2:
        raise ValueError(message) from None
    if code == 130:
        raise KeyboardInterrupt(message) from None
    raise PortError(message, code) from None


def _options(prm, freq, multiply, db, station, operator, extra) -> List[str]:
    args = ["--prm", os.fspath(prm)]
    if freq is not None:
        args += ["--freq", str(freq)]
    if multiply is not None:
        args += ["--multiply", str(multiply)]
    if db is None:
        args.append("--no-record")
    else:
        args += ["--db", db]
        if station:
            args += ["--station", station]
        if operator:
            args += ["--operator", operator]
    return args + extra


def _command_options(range=None, auto_range=False, blank_check_first=False, verify=False, checksum=False,
                     security=False, disable_program=False, disable_block_erase=False, disable_chip_erase=False,
                     serial_number=None, serial_start=None, fields=(), fill=None) -> List[str]:
    args: List[str] = []
    if range is not None:
        args += ["--range", range]
    for flag, on in (("--auto-range", auto_range), ("--blank-check-first", blank_check_first), ("--verify", verify),
                     ("--checksum", checksum), ("--security", security), ("--disable-program", disable_program),
                     ("--disable-block-erase", disable_block_erase), ("--disable-chip-erase", disable_chip_erase)):
        if on:
            args.append(flag)
    if serial_number is not None:
        args += ["--serial-number", serial_number]
    if serial_start is not None:
        args += ["--serial-start", str(serial_start)]
    for f in fields:
        args += ["--field", f]
    if fill is not None:
        args += ["--fill", str(fill)]
    return args


def _sources(sources: Union[str, os.PathLike, Sequence]) -> List[str]:
    if isinstance(sources, (str, os.PathLike)):
        return [os.fspath(sources)]
    return [os.fspath(s) for s in sources]


def _run(command: str, ports: List[str], base: List[str], sources, options, on_record, on_line, stopper):
    args = (_sources(sources) if sources is not None else []) + base + options
    for p in ports:
        args += ["--port", p]
    try:
        raw = _quillrom.run(command, args, on_line, on_record, stopper)
    except _quillrom.SetupError as e:
        _raise_setup(e)
    return [Result(**r) for r in raw]


class Session:
    """Device commands on one port. Each command connects first (reset, then
    the handshake), as ``quillrom`` does, and returns a :class:`Result`; a
    failed one raises :class:`DeviceError`."""

    def __init__(self, port: str, prm: Union[str, os.PathLike], freq: Optional[float] = None,
                 multiply: Optional[float] = None, on_record: Optional[OnRecord] = None,
                 on_line: Optional[OnLine] = None, db: Optional[str] = None, station: Optional[str] = None,
                 operator: Optional[str] = None):
        self.port = port
        self._base = _options(prm, freq, multiply, db, station, operator, [])
        self.on_record = on_record
        self.on_line = on_line
        self._stopper = _quillrom.Stopper()
        self._closed = False
        self.connected = False

    def __enter__(self) -> "Session":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        """Ends the session; a second close does nothing."""
        self._closed = True

    def abort(self) -> None:
        """Stops the command running in another thread ("Sequence Aborted.")."""
        self._stopper.stop()

    def _do(self, command: str, sources=None, on_record=None, on_line=None, **options) -> Result:
        if self._closed:
            raise ValueError("the session is closed")
        results = _run(command, [self.port], self._base, sources, _command_options(**options),
                       on_record if on_record is not None else self.on_record,
                       on_line if on_line is not None else self.on_line, self._stopper)
        result = results[0]
        self.connected = result.ok
        if result.result == "interrupted":
            raise KeyboardInterrupt(result.detail)
        if not result.ok:
            if result.result == "port":
                raise PortError(f"{result.port}: {result.detail}", 3)
            raise DeviceError(result)
        return result

    def connect(self, **kw) -> Result:
        """Brings the target into its bootloader and reads its signature."""
        return self._do("signature", **kw)

    def signature(self, **kw) -> Result:
        return self._do("signature", **kw)

    def blank_check(self, **kw) -> Result:
        return self._do("blank-check", **kw)

    def erase(self, **kw) -> Result:
        return self._do("erase", **kw)

    def program(self, sources, verify: bool = False, checksum: bool = False, security: bool = False, **kw) -> Result:
        return self._do("program", sources, verify=verify, checksum=checksum, security=security, **kw)

    def verify(self, sources, **kw) -> Result:
        return self._do("verify", sources, **kw)

    def checksum(self, sources, **kw) -> Result:
        return self._do("checksum", sources, **kw)

    def security(self, disable_program: bool = False, disable_block_erase: bool = False,
                 disable_chip_erase: bool = False, **kw) -> Result:
        return self._do("security", disable_program=disable_program, disable_block_erase=disable_block_erase,
                        disable_chip_erase=disable_chip_erase, **kw)

    def auto(self, sources, **kw) -> Result:
        return self._do("auto", sources, **kw)


def gang(ports: Iterable[str], command: str, prm: Union[str, os.PathLike], sources=None, *,
         freq: Optional[float] = None, multiply: Optional[float] = None, on_record: Optional[OnRecord] = None,
         on_line: Optional[OnLine] = None, db: Optional[str] = None, station: Optional[str] = None,
         operator: Optional[str] = None, **options) -> List[Result]:
    """Runs one device command ("auto", "program", ...) on several ports at once;
    one :class:`Result` per port, in order (a failed target does not raise)."""
    ports = list(ports)
    base = _options(prm, freq, multiply, db, station, operator, [])
    results = _run(command, ports, base, sources, _command_options(**options), on_record, on_line,
                   _quillrom.Stopper())
    if any(r.result == "interrupted" for r in results):
        raise KeyboardInterrupt("interrupted")
    return results


def load(sources, fill: Optional[int] = None) -> Image:
    """Reads and merges load sources (HEX, S-record, ELF, "PATH@ADDR" binaries)."""
    try:
        raw = _quillrom.load(_sources(sources), fill)
    except _quillrom.SetupError as e:
        _raise_setup(e)
    return Image(**raw)


def ports() -> List[dict]:
    """The serial ports with their adapters, as ``quillrom ports --json`` lists them."""
    code, out, err = _quillrom.cli(["ports", "--json"])
    if code != 0:
        raise PortError(err.strip(), code)
    return json.loads(out)
