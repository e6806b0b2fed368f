#!/usr/bin/python3
"""Records per second delivered to a Python Notify.OnMarketData that parses
each JSON text with json.loads, against a bare Python loop that calls the same
function on the same texts, in one run. Prints the rates and their ratio.

The simulator (started here, 127.0.0.1, TLS, stock snapshots at --rate)
feeds the whole client: decode, pb2json, the director taking the interpreter
lock, cdata, json.loads. Two delivered figures:

- steady: records/s over a window while the simulator sends; bounded by the
  simulator and the client's own threads when they outpace Python less than
  Python outpaces them (on a small machine they share its cores).
- backlog: the callback first holds its worker until a backlog has queued in
  the client, then --backlog records are delivered as fast as the Python side
  takes them; this is the delivery path's own rate, and the ratio's numerator.
  The same again with a callback that only counts shows what the delivery
  path (decode, pb2json, director) allows before any Python work.

The bare loop is the ceiling: the same parsing with none of the delivery.

    cmake --build build -j2 --target python_notify_bench      # builds and runs it
    PYTHONPATH=build/python /usr/bin/python3 bench/python_notify_bench.py \
        [--seconds 5] [--threads 1] [--sim build/tools/feed_sim/qel-feed-sim]
"""

import argparse
import json
import os
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests", "python"))

import qel_gateway_client as qel  # noqa: E402
import sim_support  # noqa: E402

SAMPLE_TEXTS = 20000


class Parser:
    """The work both paths do per record: parse the text and count it."""

    def __init__(self):
        self.count = 0
        self.last = None

    def parse(self, text):
        self.last = json.loads(text)
        self.count += 1


class BenchNotify(qel.Notify):
    """Delivery path: library thread -> director -> cdata -> Parser.parse.
    Keeps the first texts for the bare loop. While `gate` is closed every
    callback waits on it (the interpreter lock released), so records queue in
    the client; `marks` records when chosen counts were reached."""

    def __init__(self, parser):
        qel.Notify.__init__(self)
        self.parser = parser
        self.texts = []
        self.gate = threading.Event()
        self.gate.set()
        self.mark_at = None
        self.mark_time = None
        self.parse = True  # False: count only, the delivery path's own ceiling

    def OnMarketData(self, buf, size):
        if not self.gate.is_set():
            self.gate.wait()
        if self.parse:
            text = qel.cdata(buf, size)
            if len(self.texts) < SAMPLE_TEXTS:
                self.texts.append(text)
            self.parser.parse(text)
        else:
            self.parser.count += 1
        if self.parser.count == self.mark_at:
            self.mark_time = time.monotonic()


def measure_delivered(sim, threads, seconds, backlog):
    parser = Parser()
    notify = BenchNotify(parser)
    qel.Notify_Regist(notify)
    rc = qel.python_login(sim.login_document(Thread_Count=threads), 0)
    if rc != 0:
        raise SystemExit("login failed: %d" % rc)
    sub = json.dumps({"QelDataTypes": [3]})
    if qel.python_subscribeByDataType(sub, 0) != 0:
        raise SystemExit("subscribe failed")
    warm = time.monotonic() + 30
    while parser.count < SAMPLE_TEXTS and time.monotonic() < warm:
        time.sleep(0.05)
    # The main thread sleeps in the window: the interpreter lock is the
    # callbacks' alone, as in a script that waits for data.
    start_count, start = parser.count, time.monotonic()
    time.sleep(seconds)
    end_count, end = parser.count, time.monotonic()
    steady = (end_count - start_count) / (end - start)

    drained = drain_backlog(notify, parser, backlog, steady)
    notify.parse = False
    ceiling = drain_backlog(notify, parser, backlog, steady)
    qel.python_logout()
    qel.Notify_Regist(None)
    return steady, drained, ceiling, notify.texts


def drain_backlog(notify, parser, backlog, steady):
    """Holds the worker(s) until more than `backlog` records can have queued
    at the rate seen, then times the next `backlog` deliveries."""
    notify.mark_time = None
    notify.gate.clear()
    time.sleep(0.2)
    held_from = parser.count
    time.sleep(max(1.0, 1.5 * backlog / max(steady, 1.0)))
    notify.mark_at = held_from + backlog
    opened = time.monotonic()
    notify.gate.set()
    deadline = opened + 120
    while notify.mark_time is None and time.monotonic() < deadline:
        time.sleep(0.01)
    return backlog / (notify.mark_time - opened) if notify.mark_time else float("nan")


def measure_bare(texts, seconds):
    parser = Parser()
    parse = parser.parse
    done = 0
    start = time.monotonic()
    while True:
        for text in texts:
            parse(text)
        done += len(texts)
        elapsed = time.monotonic() - start
        if elapsed >= seconds:
            return done / elapsed


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=5.0, help="length of each measured window")
    ap.add_argument("--threads", type=int, default=1, help="callback worker threads (Thread_Count)")
    ap.add_argument("--rate", type=float, default=20000, help="simulator records/s (0: as fast as it can)")
    ap.add_argument("--backlog", type=int, default=20000, help="records timed after the hold")
    ap.add_argument("--sim", help="qel-feed-sim binary (default: $QEL_FEED_SIM or build/)")
    args = ap.parse_args()
    if args.sim:
        os.environ["QEL_FEED_SIM"] = args.sim
    # Eight channels, so that records spread over up to eight callback workers.
    streams = [{"site_type": 1, "data_type": 3, "record": "QELStock",
                "channels": [101, 102, 103, 104, 105, 106, 107, 108],
                "security_ids": ["600000.SH", "600036.SH", "000001.SZ", "000002.SZ",
                                 "600519.SH", "601318.SH", "000858.SZ", "300750.SZ"],
                "rate_per_sec": args.rate, "batch": 50, "lz4": True}]
    with tempfile.TemporaryDirectory(prefix="qel-py-bench-") as folder:
        with sim_support.FeedSim(folder, streams=streams, query=False) as sim:
            steady, drained, ceiling, texts = measure_delivered(sim, args.threads, args.seconds,
                                                                args.backlog)
    if not texts:
        raise SystemExit("no market data delivered")
    bare = measure_bare(texts, args.seconds)
    mean_size = sum(len(t) for t in texts) / len(texts)
    print("python_notify_bench: %d callback thread(s), simulator at %s records/s, %g-second windows, "
          "mean JSON text %.0f bytes" % (args.threads, args.rate or "max", args.seconds, mean_size))
    print("delivered, steady (simulator sending):     %10.0f records/s" % steady)
    print("delivered, backlog of %6d records:      %10.0f records/s" % (args.backlog, drained))
    print("same backlog, callback only counts:        %10.0f records/s (delivery path alone)" % ceiling)
    print("bare loop, same function on the same texts: %10.0f records/s" % bare)
    print("ratio backlog/bare: %.2f (target >= 0.5); steady/bare: %.2f" % (drained / bare, steady / bare))
    ratio = drained / bare
    print("@row|Python|Notify.OnMarketData + json.loads (backlog) vs bare loop, same texts|%.0f vs %.0f records/s|"
          "%.2fx|>= 0.5x|%s" % (drained, bare, ratio, "yes" if ratio >= 0.5 else "NO"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
