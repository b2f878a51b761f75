"""What the binding adds to the layers below it: conversion of options and
results, its errors, the GIL around callbacks, and lifetimes."""
import os
import signal
import threading

import pytest

import quillrom
from quillrom.testing import virtual_target, virtual_targets

SAMPLES = os.environ["QUILLROM_SAMPLES"]
PRM = os.path.join(SAMPLES, "demo.prm")
HEX = os.path.join(SAMPLES, "demo.hex")


def test_program_with_verify_and_checksum_reports_the_outcome():
    records = []
    with virtual_target(PRM) as port, quillrom.Session(port, PRM, on_record=lambda *r: records.append(r)) as s:
        result = s.program(HEX, verify=True, checksum=True)
        assert result.ok and result.result == "ok" and result.exit_code == 0
        assert result.checksum_equal is True
        assert result.device_checksum == result.file_checksum
        texts = [text for _, text, _ in records]
        # In the order the worker wrote them, each with its port and percentage.
        assert texts.index("Flash Programming Start...") < texts.index("Flash Programming finish!")
        assert all(p == port for p, _, _ in records)
        assert max(percent for _, _, percent in records) == 100
        assert s.connect().device_name  # a signature read names the device


def test_a_failing_target_raises_with_its_outcome():
    with virtual_target(PRM, faults=["write-fail:byte=300"]) as port, quillrom.Session(port, PRM) as s:
        with pytest.raises(quillrom.DeviceError) as caught:
            s.program(HEX)
        assert caught.value.exit_code == 1
        assert not caught.value.result.ok
        assert "Flash write error" in caught.value.result.detail
    with pytest.raises(quillrom.PortError):
        quillrom.Session("COM201", PRM).signature()
    with pytest.raises(ValueError, match="--range"):
        quillrom.Session("COM201", PRM).erase(range="block:9-1")


def test_a_gang_of_two_gives_a_result_per_port(tmp_path):
    with virtual_targets(PRM, 2, faults={1: ["write-fail:byte=300"]}) as ports:
        results = quillrom.gang(ports, "auto", PRM, HEX, verify=True, db=f"sqlite:{tmp_path}/h.db",
                                fields=["unit@0x7F00:2=counter:7"])
    assert [r.port for r in results] == ports
    assert [r.ok for r in results] == [True, False]
    assert [r.fields for r in results] == [{"unit": "7"}, {"unit": "8"}]
    assert all(r.recorded for r in results)


def test_abort_from_another_thread_ends_the_command():
    with virtual_target(PRM, args=["--baud", "9600"]) as port, quillrom.Session(port, PRM) as s:
        started = threading.Event()
        s.on_record = lambda p, text, percent: started.set() if "Programming" in text else None
        aborter = threading.Thread(target=lambda: started.wait(60) and s.abort())
        aborter.start()
        with pytest.raises(KeyboardInterrupt):
            s.program(HEX)
        aborter.join()
        # The port is free again and the session goes on.
        assert s.erase().ok
        # Ctrl+C in the script: the command is aborted, then KeyboardInterrupt.
        lines = []
        s.on_line = lambda p, line: lines.append(line)
        started.clear()
        killer = threading.Thread(target=lambda: started.wait(60) and os.kill(os.getpid(), signal.SIGINT))
        killer.start()
        with pytest.raises(KeyboardInterrupt):
            s.program(HEX)
        killer.join()
        assert "Sequence Aborted." in lines, lines


def test_a_callback_that_raises_stops_the_command_and_raises_it():
    def boom(port, text, percent):
        if "Programming" in text:
            raise RuntimeError("stand fault")

    with virtual_target(PRM) as port, quillrom.Session(port, PRM, on_record=boom) as s:
        with pytest.raises(RuntimeError, match="stand fault"):
            s.program(HEX)
        s.close()
        s.close()  # twice is no error
        with pytest.raises(ValueError, match="closed"):
            s.erase()


def test_load_and_ports():
    image = quillrom.load(HEX)
    assert image.start <= image.end and len(image) == image.end - image.start + 1
    with pytest.raises(quillrom.PortError, match="missing.hex"):
        quillrom.load("missing.hex")
    with virtual_target(PRM) as port:
        assert port in [p["name"] for p in quillrom.ports()]
    assert quillrom.__version__
