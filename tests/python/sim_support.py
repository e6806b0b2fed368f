"""The feed simulator (qel-feed-sim) as a child process for the Python tests,
the example test and the Python benchmark: a throw-away PKI made with the
openssl command, a scenario written next to it, every listener on 127.0.0.1
with an ephemeral port (read back from the simulator's start-up lines).

Used from one thread (the test's); the simulator's output is drained by a
reader thread that this module owns.
"""

import json
import os
import queue
import subprocess
import threading
import time

_REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

USER = "demo"
PASSWORD = "demo123"


def feed_sim_path():
    """The simulator binary: $QEL_FEED_SIM (set by ctest), else the regular build's."""
    return os.environ.get("QEL_FEED_SIM",
                          os.path.join(_REPO, "build", "tools", "feed_sim", "qel-feed-sim"))


def make_pki(folder):
    """A CA and a server certificate it signed for 127.0.0.1, made with openssl.
    Returns (ca file, server certificate, server key)."""
    cmds = [
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=qel-py-test-ca",
        "printf 'subjectAltName=IP:127.0.0.1\\nbasicConstraints=CA:FALSE\\n' > ext.cnf",
        "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=127.0.0.1",
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem"
        " -days 2 -extfile ext.cnf",
    ]
    subprocess.run(" && ".join(cmds), shell=True, cwd=folder, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    return (os.path.join(folder, "ca.pem"), os.path.join(folder, "server.pem"),
            os.path.join(folder, "server.key"))


def default_streams(rate=2000):
    """Stock snapshots on site type 1 (data type 3), trades on site type 2 (9)."""
    return [
        {"site_type": 1, "data_type": 3, "record": "QELStock", "channels": [101, 102],
         "security_ids": ["600000.SH", "000001.SZ"], "rate_per_sec": rate, "batch": 20, "lz4": True},
        {"site_type": 2, "data_type": 9, "record": "QELTrade", "channels": [201],
         "security_ids": ["600000.SH"], "rate_per_sec": rate, "batch": 20, "lz4": False},
    ]


class FeedSim:
    """One simulator process: TLS discovery, one TLS node per site type, and a
    TLS query service, all on 127.0.0.1 with free ports. A context manager;
    leaving it ends the process (SIGTERM, then SIGKILL)."""

    def __init__(self, folder, streams=None, faults=None, query=True):
        self.folder = folder
        self.ca, cert, key = make_pki(folder)
        streams = default_streams() if streams is None else streams
        site_types = sorted({s["site_type"] for s in streams})
        scenario = {
            "bind_ip": "127.0.0.1",
            "discovery": {"port": 0, "tls": True},
            "tls": {"cert": cert, "key": key},
            "users": {USER: PASSWORD},
            "permitted_data_types": [],
            "nodes": [{"site_type": st, "priority": 100, "tls": True, "port": 0} for st in site_types],
            "streams": streams,
            "faults": faults or {},
        }
        if query:
            scenario["query"] = {"port": 0, "tls": True}
        self.site_types = site_types
        self.scenario_file = os.path.join(folder, "scenario.json")
        with open(self.scenario_file, "w") as f:
            json.dump(scenario, f)
        self._expect_query = query
        self.proc = None
        self.discovery_port = None
        self.query_port = None
        self.node_ports = {}
        self._lines = queue.Queue()
        self.output = []

    def __enter__(self):
        self.proc = subprocess.Popen(
            [feed_sim_path(), "--scenario", self.scenario_file, "--ephemeral-ports",
             "--stats-interval", "0"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        threading.Thread(target=self._drain, daemon=True).start()
        deadline = time.monotonic() + 30
        while not self._listening():
            remaining = deadline - time.monotonic()
            if remaining <= 0 or self.proc.poll() is not None:
                self.__exit__(None, None, None)
                raise RuntimeError("feed simulator did not start: " + "".join(self.output))
            try:
                line = self._lines.get(timeout=min(remaining, 0.5))
            except queue.Empty:
                continue
            self._parse(line)
        return self

    def __exit__(self, *exc):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return False

    def _drain(self):
        for line in self.proc.stdout:
            self.output.append(line)
            self._lines.put(line)

    def _listening(self):
        return (self.discovery_port is not None
                and len(self.node_ports) == len(self.site_types)
                and (self.query_port is not None or not self._expect_query))

    def _parse(self, line):
        words = line.split()
        if not words:
            return
        port = None
        for w in words:
            if w.startswith("127.0.0.1:"):
                port = int(w.split(":")[1])
        if words[0] == "discovery":
            self.discovery_port = port
        elif words[0] == "query":
            self.query_port = port
        elif words[0] == "node":
            site_type = int(words[1].split("=")[1])
            self.node_ports[site_type] = port

    def login_document(self, **extra):
        """A complete login over TLS for the scenario's user, with the query
        service of this simulator (over TLS, same CA)."""
        doc = {
            "UserName": USER,
            "Password": PASSWORD,
            "CertFolder": self.ca,
            "MainServerIP": "127.0.0.1",
            "MainServerPort": self.discovery_port,
            "Is_Ssl": True,
            "QueryAddress": "127.0.0.1:%d" % self.query_port if self.query_port else "",
            "QueryCert": self.ca,
            "QuerySSL": True,
            "Thread_Count": 2,
        }
        doc.update(extra)
        return json.dumps(doc)


def wait_until(predicate, timeout=30.0, interval=0.02):
    """Polls predicate until it is true or timeout seconds have passed;
    returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)
