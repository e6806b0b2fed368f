#!/usr/bin/python3
"""Live market data and a reference-data query from Python.

Subclass Notify, log in, subscribe, print records as dicts, run a query, log
out. Against the demo simulator (the one scripts/demo.sh starts: discovery
with TLS on 127.0.0.1:9100, user demo/demo123, query service on 9552 without
TLS), from the repository root:

    cmake -S . -B build && cmake --build build -j2 --target qel_gateway_client qel-feed-sim
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
        -addext subjectAltName=IP:127.0.0.1 -keyout /tmp/server.key -out /tmp/server.crt
    ./build/tools/feed_sim/qel-feed-sim --scenario tools/feed_sim/scenarios/default.json \
        --cert /tmp/server.crt --key /tmp/server.key &
    PYTHONPATH=build/python /usr/bin/python3 examples/python_example.py --ca /tmp/server.crt

Every callback runs on one of the library's threads with the interpreter lock
taken; keep it short. JSON texts arrive as a pointer and a length: cdata
copies them out as a str.
"""

import argparse
import json
import sys
import threading
import time

import qel_gateway_client as qel

_print_lock = threading.Lock()


def say(*parts):
    """print, one whole line at a time: callbacks print from several threads."""
    with _print_lock:
        print(*parts, flush=True)


def fields(answer):
    """A query answer's row as a dict (the text map arrives as key/value entries)."""
    return {e["key"]: e["value"] for e in answer.get("resultData", {}).get("fields", [])}


class PrintingNotify(qel.Notify):
    """Prints one market-data record in `every` as a dict, and the login,
    subscription and query answers."""

    def __init__(self, every):
        qel.Notify.__init__(self)  # required: builds the C++ side of the object
        self.every = every
        self.records = 0
        self.by_kind = {}
        self.query_answers = []
        self.lock = threading.Lock()  # callbacks come from several library threads

    def OnLoginDatafeedNodeSuccess(self, site_type, message):
        say("datafeed node of site type %d logged in: %s" % (site_type, qel.text_at(message)))

    def OnLoginDataServiceSuccess(self):
        say("data service logged in")

    def OnLoginDataServiceFailed(self):
        say("data service login failed")

    def OnSubscribeResponse(self, buf, size):
        say("subscribe response:", json.loads(qel.cdata(buf, size)))

    def OnMarketData(self, buf, size):
        record = json.loads(qel.cdata(buf, size))  # a dict, keys as in the schema
        kind = next((k for k in record if k.startswith(("QEL", "MD")) and isinstance(record[k], dict)), "?")
        with self.lock:
            self.records += 1
            self.by_kind[kind] = self.by_kind.get(kind, 0) + 1
            show = self.records % self.every == 1 or self.every == 1
        if show:
            say("market data:", record)

    def OnDisconnected(self, site_type, message):
        say("disconnected from site type %d: %s" % (site_type, qel.text_at(message)))

    def OnFinInfoQueryResponse(self, buf, size):
        self.query_answers.append(json.loads(qel.cdata(buf, size)))


def read_sync_result(pointer):
    """The answers of a synchronous query as dicts, from the result buffer:
    a 10-character length header, then a JSON array of JSON texts."""
    if pointer is None:
        raise RuntimeError("no query client: check the query address and the credentials")
    header = qel.cdata(pointer, 10)
    if header == "9999999999":
        raise RuntimeError("query result larger than QueryMaxQuerySize")
    if header == "9999999998":
        code = int(qel.cdata(pointer, 18)[10:18])
        length = int(qel.cdata(pointer, 26)[18:26])
        raise RuntimeError("query failed: %d %s" % (code, qel.cdata(pointer, 26 + length)[26:]))
    total = int(header)
    return [json.loads(text) for text in json.loads(qel.cdata(pointer, total)[10:])]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=9100)
    parser.add_argument("--user", default="demo")
    parser.add_argument("--password", default="demo123")
    parser.add_argument("--ca", required=True, help="CA file that signed the servers' certificate")
    parser.add_argument("--query", default="127.0.0.1:9552", help="query service, host:port")
    parser.add_argument("--query-tls", action="store_true", help="query service over TLS (same CA)")
    parser.add_argument("--seconds", type=float, default=5.0, help="how long to receive")
    parser.add_argument("--every", type=int, default=1000, help="print one record in N")
    args = parser.parse_args()

    qel.python_init_env()
    notify = PrintingNotify(args.every)
    qel.Notify_Regist(notify)  # the module keeps it alive while registered

    login = json.dumps({
        "UserName": args.user, "Password": args.password,
        "MainServerIP": args.host, "MainServerPort": args.port,
        "Is_Ssl": True, "CertFolder": args.ca,
        "QueryAddress": args.query, "QuerySSL": args.query_tls, "QueryCert": args.ca,
        "Thread_Count": 2,
    })
    rc = qel.python_login(login, len(login))  # blocks a few seconds; other threads go on
    if rc != 0:
        say("login failed: %d" % rc)
        qel.python_fini_env()
        return 1

    # Stock snapshots (3) and indexes (6) of site type 1, orders (8) and trades (9) of site type 2.
    by_type = json.dumps({"SubType": 1, "QelDataTypes": [3, 6, 8, 9]})
    say("subscribe by data type:", qel.python_subscribeByDataType(by_type, len(by_type)))
    time.sleep(args.seconds)

    # Reference data: basic information (1) of two securities, synchronously,
    # then the status (2) of every XSHG (101) stock (2), through the callback.
    query = json.dumps({"DataType": qel.cvar.QUERY_TYPE_BASE_INFORMATION, "QUORSecurityIDs": ["600000.SH", "000001.SZ"]})
    answers = read_sync_result(qel.python_request_fin_info_query_sync(query, len(query)))
    for answer in answers:
        say("basic info:", fields(answer))
    query = json.dumps({"DataType": qel.cvar.QUERY_TYPE_STATUS, "MarketdataTypes": [{"ESecurityIDSource": 101, "ESecurityType": 2}]})
    say("status query:", qel.python_request_fin_info_query_async(query, len(query)))
    for answer in notify.query_answers:
        say("status:", fields(answer))

    qel.python_logout()  # every library thread has stopped when it returns
    qel.python_fini_env()
    say("records received: %d %s" % (notify.records, notify.by_kind))
    return 0 if notify.records > 0 and answers and notify.query_answers else 1


if __name__ == "__main__":
    sys.exit(main())
