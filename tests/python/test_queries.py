"""Financial-information queries against the simulator's query service over
TLS: answers through OnFinInfoQueryResponse, the layouts of the synchronous
result buffer read with cdata, refused credentials, and a query service that
is down or silent."""

import json
import socket
import tempfile
import threading

import pytest

import qel_gateway_client as qel
from conftest import RecordingNotify, json_texts
from sim_support import FeedSim, PASSWORD, USER

BASIC_INFO = qel.cvar.QUERY_TYPE_BASE_INFORMATION
STATUS = qel.cvar.QUERY_TYPE_STATUS
STATUS_FIELDS = {"SecurityID", "Symbol", "TradingStatus", "PreClosePx", "UpLimitPx", "DownLimitPx"}


def _store_query_settings(sim, user=USER, password=PASSWORD, address=None):
    """Queries use the credentials and query settings of the last
    python_login, complete or not; this one names no market-data server, so it
    stores them and returns 1 without connecting."""
    doc = {"UserName": user, "Password": password,
           "QueryAddress": address or "127.0.0.1:%d" % sim.query_port,
           "QueryCert": sim.ca, "QuerySSL": True}
    assert qel.python_login(json.dumps(doc), 0) == 1


@pytest.fixture
def query_sim(sim):
    _store_query_settings(sim)
    yield sim
    _store_query_settings(sim)


def fields(answer):
    """The answer's row: the text map renders as a list of key/value entries."""
    return {e["key"]: e["value"] for e in answer["resultData"]["fields"]}


ASYNC_CASES = [
    pytest.param({"DataType": BASIC_INFO, "QUORSecurityIDs": ["600000.SH", "", 7, "000001.SZ"]}, 1,
                 lambda a: [x["resultData"]["securityID"] for x in a] == ["600000.SH", "000001.SZ"]
                 and all(x["isSuccess"] is True for x in a)
                 and fields(a[0])["SecurityIDSource"] == "101",
                 id="basic-info-by-id"),
    pytest.param({"DataType": STATUS, "MarketdataTypes": [
        {"ESecurityIDSource": 101, "ESecurityType": 2}, {"ESecurityType": 2}]}, 1,
                 lambda a: len(a) >= 2 and all(
                     set(fields(x)) <= STATUS_FIELDS
                     and fields(x)["SecurityID"].endswith(".SH") for x in a),
                 id="status-by-source-and-type"),
    pytest.param({"DataType": BASIC_INFO, "QUORSecurityIDs": []}, 1,
                 lambda a: a == [], id="empty-id-list-matches-nothing"),
    pytest.param({"DataType": qel.cvar.QUERY_TYPE_SUBSCRIBE_ANSWER}, 0,
                 lambda a: len(a) == 1 and "isSuccess" not in a[0]
                 and a[0]["errorContext"] == {"errorCode": 1001,
                                              "message": "unknown query data type 1031"},
                 id="unknown-type-fails-with-answer"),
]


@pytest.mark.parametrize("document,result,check", ASYNC_CASES)
def test_async_answers_arrive_before_return(query_sim, document, result, check):
    notify = RecordingNotify()
    qel.Notify_Regist(notify)
    try:
        text = json.dumps(document)
        assert qel.python_request_fin_info_query_async(text, len(text)) == result
        # Delivered on the calling thread, before the call returned.
        answers = json_texts(notify, "OnFinInfoQueryResponse")
    finally:
        qel.Notify_Regist(None)
    assert check(answers), answers


def test_async_without_notify_still_answers_the_result(query_sim):
    qel.Notify_Regist(None)
    assert qel.python_request_fin_info_query_async(json.dumps({"DataType": BASIC_INFO}), 0) == 1


def test_sync_buffer_layouts(query_sim):
    doc = json.dumps({"DataType": BASIC_INFO, "QUORSecurityIDs": ["600000.SH", "600036.SH"]})
    pointer = qel.python_request_fin_info_query_sync(doc, len(doc))
    assert pointer is not None
    header = qel.cdata(pointer, 10)
    total = int(header)
    assert header == "%10d" % total
    whole = qel.cdata(pointer, total + 1)
    assert whole[-1] == "\0"
    text = whole[10:-1]
    assert total == 10 + len(text.encode("utf-8"))
    array = json.loads(text)
    assert ", " in text and all(isinstance(e, str) for e in array)
    answers = [json.loads(e) for e in array]
    assert [a["resultData"]["securityID"] for a in answers] == ["600000.SH", "600036.SH"]
    assert fields(answers[1])["Name"] and fields(answers[1])["SecurityID"] == "600036.SH"

    # A failed query: the marker, then the first failing answer's code and
    # message length ("%8d" each) and the message itself.
    failed = qel.python_request_fin_info_query_sync(json.dumps({"DataType": 1031}), 0)
    assert int(failed) == int(pointer)  # one buffer per calling thread
    message = "unknown query data type 1031"
    expected = "9999999998" + "%8d" % 1001 + "%8d" % len(message) + message + "\0"
    assert qel.cdata(failed, len(expected)) == expected

    # memmove writes UTF-8; cdata keeps bytes that do not decode on their own.
    qel.memmove(pointer, "\u00e9t\u00e9")
    assert qel.cdata(pointer, 5) == "\u00e9t\u00e9"
    assert qel.cdata(pointer, 1) == "\udcc3"


def _sync_text(pointer):
    total = int(qel.cdata(pointer, 10))
    return qel.cdata(pointer, total)


def test_sync_result_is_not_overwritten_by_another_threads_query(query_sim):
    # A's result is read again after B's query ran: it still holds A's answers.
    a_done = threading.Event()
    b_done = threading.Event()
    seen = {}

    def query_a():
        doc = json.dumps({"DataType": BASIC_INFO, "QUORSecurityIDs": ["600000.SH"]})
        pointer = qel.python_request_fin_info_query_sync(doc, 0)
        seen["a_first"] = _sync_text(pointer)
        a_done.set()
        b_done.wait(60)
        seen["a_later"] = _sync_text(pointer)

    def query_b():
        a_done.wait(60)
        doc = json.dumps({"DataType": BASIC_INFO, "QUORSecurityIDs": ["000001.SZ", "600036.SH"]})
        seen["b"] = _sync_text(qel.python_request_fin_info_query_sync(doc, 0))
        b_done.set()

    threads = [threading.Thread(target=query_a), threading.Thread(target=query_b)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert "600000.SH" in seen["a_first"] and "000001.SZ" in seen["b"]
    assert seen["a_later"] == seen["a_first"]


def test_refused_credentials_give_error_results(sim):
    _store_query_settings(sim, user="nobody", password="wrong")
    try:
        assert qel.python_request_fin_info_query_sync(json.dumps({"DataType": BASIC_INFO}), 0) is None
        assert qel.python_request_fin_info_query_async(json.dumps({"DataType": BASIC_INFO}), 0) == -1029
    finally:
        _store_query_settings(sim)


def _closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def test_query_service_down_gives_error_not_hang(sim):
    try:
        _store_query_settings(sim, address="127.0.0.1:%d" % _closed_port())
        assert qel.python_request_fin_info_query_sync("{}", 0) is None
        assert qel.python_request_fin_info_query_async("{}", 0) == -1029
        # A service that reads and never answers: the login times out.
        with tempfile.TemporaryDirectory(prefix="qel-py-silent-") as folder:
            with FeedSim(folder, faults={"no_query_response": True}) as silent:
                _store_query_settings(silent)
                assert qel.python_request_fin_info_query_sync("{}", 0) is None
                assert qel.python_request_fin_info_query_async("{}", 0) == -1029
    finally:
        _store_query_settings(sim)
