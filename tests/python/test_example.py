"""examples/python_example.py run as an analyst would run it, against the
simulator over TLS: it must log in, print records as dicts, answer both
queries and end by itself with status 0."""

import ast
import os
import subprocess
import sys

REPO = os.environ.get("QEL_REPO", os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
EXAMPLE = os.path.join(REPO, "examples", "python_example.py")


def test_example_runs_against_the_simulator(sim):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    child = subprocess.run(
        [sys.executable, EXAMPLE, "--port", str(sim.discovery_port), "--ca", sim.ca,
         "--query", "127.0.0.1:%d" % sim.query_port, "--query-tls", "--seconds", "2", "--every", "50"],
        capture_output=True, text=True, timeout=120, env=env)
    assert child.returncode == 0, child.stdout + child.stderr
    lines = child.stdout.splitlines()
    records = [ast.literal_eval(l.split(":", 1)[1].strip()) for l in lines if l.startswith("market data:")]
    assert records and all(isinstance(r, dict) and "QELMessageChannel" in r for r in records)
    basic = [l for l in lines if l.startswith("basic info:")]
    assert len(basic) == 2 and "600000.SH" in basic[0] and "000001.SZ" in basic[1]
    assert "status query: 1" in lines
    assert any(l.startswith("status:") for l in lines)
    assert any(l.startswith("records received:") for l in lines)
