"""KeyboardInterrupt and SystemExit raised in a callback reach the script,
while every other error of a callback is reported and contained: on the
thread that made the library call (callbacks the library runs on the
caller's thread during python_login) the exception surfaces when that call
returns; from a library thread KeyboardInterrupt is handed to the main
thread as Ctrl-C would be, and SystemExit ends the script with its code."""

import json
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import qel_gateway_client as qel

# A complete login whose discovery port is outside 1..65535: the library
# never connects, and reports "no discovery service" on the calling thread
# at once.
UNUSABLE_PORT_LOGIN = json.dumps({"UserName": "demo", "Password": "demo123",
                                  "MainServerIP": "127.0.0.1", "MainServerPort": 70000})


class RaisingOnNoDiscovery(qel.Notify):
    def __init__(self, error):
        qel.Notify.__init__(self)
        self.error = error
        self.threads = []

    def OnNoDiscoveryServices(self):
        self.threads.append(threading.current_thread())
        raise self.error


def _record_unraisable(monkeypatch):
    """Installed in the test's body: pytest sets its own hook around each phase."""
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reports.append(u.exc_type))
    return reports


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(5)], ids=["KeyboardInterrupt", "SystemExit"])
def test_interrupt_in_a_callback_on_the_calling_thread_surfaces_from_the_call(error, monkeypatch):
    unraisable = _record_unraisable(monkeypatch)
    notify = RaisingOnNoDiscovery(error)
    qel.Notify_Regist(notify)
    try:
        with pytest.raises(type(error)) as raised:
            qel.python_login(UNUSABLE_PORT_LOGIN, 0)
    finally:
        qel.Notify_Regist(None)
    assert raised.value is error
    assert notify.threads == [threading.main_thread()]
    assert unraisable == []
    # Nothing stays pending: the next call behaves as usual.
    assert qel.python_login("{}", 0) == 1


def test_other_errors_in_a_callback_on_the_calling_thread_are_contained(monkeypatch):
    unraisable = _record_unraisable(monkeypatch)
    notify = RaisingOnNoDiscovery(ValueError("contained"))
    qel.Notify_Regist(notify)
    try:
        assert qel.python_login(UNUSABLE_PORT_LOGIN, 0) == -1031
    finally:
        qel.Notify_Regist(None)
    assert notify.threads == [threading.main_thread()]
    assert unraisable == [ValueError]


CHILD = textwrap.dedent(r"""
    import json, os, signal, sys, time
    import qel_gateway_client as qel

    mode, login = sys.argv[1], sys.argv[2]

    class Script(qel.Notify):
        def __init__(self):
            qel.Notify.__init__(self)
            self.records = 0

        def OnNoDiscoveryServices(self):
            # Ctrl-C arriving while the callback runs on the main thread.
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(5)

        def OnMarketData(self, buf, size):
            self.records += 1
            if self.records == 20:
                if mode == "library-interrupt":
                    raise KeyboardInterrupt
                if mode == "library-exit":
                    sys.exit(9)

    qel.Notify_Regist(Script())
    rc = qel.python_login(login, 0)
    print("login returned", rc, flush=True)
    if rc == 0:
        assert qel.python_subscribeByDataType(json.dumps({"QelDataTypes": [3, 9]}), 0) == 0
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            time.sleep(0.05)
    print("ran to the end", flush=True)
""")


def _run_child(tmp_path, mode, login):
    script = tmp_path / "child.py"
    script.write_text(CHILD)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, str(script), mode, login], capture_output=True, text=True,
                          timeout=120, env=env, cwd=str(tmp_path))


def _assert_no_crash(child):
    for fatal in ("Fatal Python error", "terminate called", "Segmentation", "core dumped"):
        assert fatal not in child.stderr


def test_ctrl_c_during_a_main_thread_callback_ends_the_script(tmp_path):
    child = _run_child(tmp_path, "ctrl-c", UNUSABLE_PORT_LOGIN)
    assert "login returned" not in child.stdout, child.stdout + child.stderr
    assert "KeyboardInterrupt" in child.stderr
    assert child.returncode != 0
    _assert_no_crash(child)


@pytest.mark.parametrize("mode,exit_code,trace", [
    pytest.param("library-interrupt", None, "KeyboardInterrupt", id="KeyboardInterrupt"),
    pytest.param("library-exit", 9, None, id="SystemExit"),
])
def test_interrupt_in_a_library_thread_callback_reaches_the_main_thread(sim, tmp_path, mode, exit_code, trace):
    child = _run_child(tmp_path, mode, sim.login_document())
    assert "login returned 0" in child.stdout, child.stdout + child.stderr
    assert "ran to the end" not in child.stdout, child.stdout + child.stderr
    if exit_code is not None:
        assert child.returncode == exit_code, child.stderr
    else:
        assert child.returncode != 0
    if trace is not None:
        assert trace in child.stderr
    _assert_no_crash(child)
