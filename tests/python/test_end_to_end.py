"""The module against the feed simulator over TLS: login callbacks and market
data reaching a Notify subclass as JSON, other Python threads running while
python_login waits, logout and a second login in one process, callbacks that
raise, and the registration rules (replace, unregister, kept alive)."""

import gc
import json
import sys
import tempfile
import threading
import time
import weakref

import pytest

import qel_gateway_client as qel
from conftest import RecordingNotify, json_texts
from sim_support import FeedSim, wait_until

SUBSCRIBE_ALL = json.dumps({"SubType": 1, "QelDataTypes": [3, 9]})
# Callback workers of a login: two site types, "Thread_Count" 2 each.
WORKERS = 4


def _login_while_ticking(sim):
    """python_login with a second Python thread ticking meanwhile; returns the
    result and the number of ticks that fell strictly inside the call."""
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    t = threading.Thread(target=ticker)
    t.start()
    try:
        begin = time.monotonic()
        rc = qel.python_login(sim.login_document(), 0)
        end = time.monotonic()
    finally:
        stop.set()
        t.join()
    return rc, len([x for x in ticks if begin < x < end])


def _market_data_records(notify):
    return json_texts(notify, "OnMarketData")


def test_login_market_data_logout_and_login_again(sim, recorder):
    for round_no in (1, 2):
        recorder.clear()
        rc, ticks_inside = _login_while_ticking(sim)
        assert rc == 0
        # The interpreter lock was free while the login waited on the network.
        assert ticks_inside >= 2

        # Login callbacks, each JSON text parsed.
        discovery = json_texts(recorder, "OnLoginDiscoveryResponse")
        assert len(discovery) == 1 and discovery[0]["isSuccess"] is True and discovery[0]["token"]
        (host, site_types), = recorder.named("OnLoginDiscoverySuccess")
        assert "127.0.0.1" in host
        assert site_types == (1, 2)
        nodes = recorder.named("OnLoginDatafeedNodeSuccess")
        assert sorted(st for st, _ in nodes) == [1, 2]
        assert all("127.0.0.1" in h for _, h in nodes)
        data_service = json_texts(recorder, "OnLoginDataServiceResponse")
        assert len(data_service) == 2 and all(r["isSuccess"] is True for r in data_service)
        assert recorder.count("OnLoginDataServiceSuccess") == 1
        assert recorder.count("OnLoginDataServiceFailed") == 0

        # Market data of both site types, after a subscription per login.
        assert qel.python_subscribeByDataType(SUBSCRIBE_ALL, len(SUBSCRIBE_ALL)) == 0
        responses = json_texts(recorder, "OnSubscribeResponse")
        assert len(responses) == 2
        assert all(r["isSuccess"] is True and r["permittedDataTypes"] == [3, 9] for r in responses)
        assert wait_until(lambda: {k for r in _market_data_records(recorder) for k in r}
                          >= {"QELStock", "QELTrade"}, timeout=30)
        for record in _market_data_records(recorder):
            assert record["QELMessageChannel"] in (101, 102, 201)
            body = record.get("QELStock") or record.get("QELTrade")
            assert body["SecurityID"] in ("600000.SH", "000001.SZ")
        # Market data comes from the library's worker threads.
        assert recorder.market_data_threads
        assert threading.get_ident() not in recorder.market_data_threads

        qel.python_logout()
        after_logout = recorder.count("OnMarketData")
        time.sleep(0.3)
        assert recorder.count("OnMarketData") == after_logout


LOGIN_WHILE_LOGGED_IN = [
    pytest.param(lambda sim: sim.login_document(), id="complete-document"),
    pytest.param(lambda sim: sim.login_document(Password="other-secret"), id="other-password"),
    pytest.param(lambda sim: "{}", id="incomplete-document"),
]


@pytest.mark.parametrize("document", LOGIN_WHILE_LOGGED_IN)
def test_second_login_is_refused_and_the_session_keeps_delivering(sim, logged_in, document):
    notify = logged_in
    assert wait_until(lambda: notify.count("OnMarketData") > 0)
    assert qel.python_login(document(sim), 0) == -1031
    # The running client was left alone: records keep arriving.
    after_refusal = notify.count("OnMarketData")
    assert wait_until(lambda: notify.count("OnMarketData") > after_refusal + 50, timeout=30)
    # And the stored credentials still serve a query.
    pointer = qel.python_request_fin_info_query_sync(json.dumps({"DataType": 1011}), 0)
    assert pointer is not None and qel.cdata(pointer, 10) not in ("9999999998", "9999999999")


TEARDOWN_IN_CALLBACK = [
    pytest.param(qel.python_logout, id="logout"),
    pytest.param(qel.python_fini_env, id="fini_env"),
]


@pytest.mark.parametrize("teardown", TEARDOWN_IN_CALLBACK)
def test_teardown_refused_in_a_callback_keeps_the_callback_objects(logged_in, teardown):
    # A library thread cannot stop the client it runs on: the teardown is
    # refused, so every Notify the library may still call must stay alive.
    class Quiet(qel.Notify):
        pass

    called = threading.Event()

    class TearingDown(qel.Notify):
        def __init__(self):
            qel.Notify.__init__(self)
            self.calls = 0

        def OnMarketData(self, buf, size):
            self.calls += 1
            if self.calls == 1:
                teardown()
                called.set()

    replaced = Quiet()
    replaced_ref = weakref.ref(replaced)
    qel.Notify_Regist(replaced)
    tearing = TearingDown()
    tearing_ref = weakref.ref(tearing)
    qel.Notify_Regist(tearing)
    del replaced, tearing
    try:
        assert called.wait(30)
        gc.collect()
        assert replaced_ref() is not None
        assert tearing_ref() is not None
        # The client still delivers to the registered object.
        assert wait_until(lambda: tearing_ref() is not None and tearing_ref().calls > 20)
    finally:
        qel.Notify_Regist(logged_in)


def test_subscribe_by_security_id(logged_in):
    notify = logged_in
    doc = json.dumps({"SubType": 2, "QUORSecurityIDs": [
        {"QelDataType": 3, "QUORSecurityID": ["600000.SH"]}]})
    before = notify.count("OnSubscribeResponse")
    assert qel.python_subscribeBySecurityId(doc, 0) == 0
    responses = json_texts(notify, "OnSubscribeResponse")[before:]
    assert responses and all(r["isSuccess"] is True for r in responses)


class Fatal(BaseException):
    """Not an Exception: contained like any other error of a callback."""


class Raising(qel.Notify):
    """Raises on every other market-data record (a BaseException that is not
    an Exception the first time); counts the records it kept."""

    def __init__(self):
        qel.Notify.__init__(self)
        self.seen = 0
        self.kept = 0
        self.done = False

    def OnMarketData(self, buf, size):
        if self.done:
            return  # a call still in flight after the test replaced it
        self.seen += 1
        if self.seen == 1:
            raise Fatal(3)
        if self.seen % 2 == 0:
            raise ValueError("boom %d" % self.seen)
        json.loads(qel.cdata(buf, size))
        self.kept += 1


def test_raising_callback_is_reported_and_delivery_goes_on(logged_in, monkeypatch):
    reports = []
    lock = threading.Lock()

    def hook(unraisable):
        with lock:
            reports.append((unraisable.exc_type, str(unraisable.exc_value), repr(unraisable.object)))

    monkeypatch.setattr(sys, "unraisablehook", hook)
    notify = Raising()
    qel.Notify_Regist(notify)
    try:
        assert wait_until(lambda: notify.kept >= 20, timeout=30)
    finally:
        notify.done = True
        qel.Notify_Regist(logged_in)
    with lock:
        got = list(reports)
    assert got[0][0] is Fatal
    assert len(got) >= 20
    assert all("OnMarketData" in obj and "Raising" in obj for _, _, obj in got)
    assert all(t is ValueError and text.startswith("boom ") for t, text, _ in got[1:])


def test_registration_replace_unregister_and_keep_alive(logged_in):
    first_calls = []
    second_calls = []

    class Counting(qel.Notify):
        def __init__(self, sink):
            qel.Notify.__init__(self)
            self.sink = sink

        def OnMarketData(self, buf, size):
            self.sink.append(size)

    first = Counting(first_calls)
    qel.Notify_Regist(first)
    assert wait_until(lambda: len(first_calls) > 0)

    # The script drops its only reference: the module keeps the object.
    second = Counting(second_calls)
    second_ref = weakref.ref(second)
    qel.Notify_Regist(second)
    del second
    gc.collect()
    assert second_ref() is not None
    frozen = len(first_calls)
    assert wait_until(lambda: len(second_calls) > 10)
    assert len(first_calls) <= frozen + WORKERS  # at most one in flight per worker at the swap

    qel.Notify_Regist(None)
    settled = len(second_calls)
    time.sleep(0.3)
    assert len(second_calls) <= settled + WORKERS
    # Still kept: replaced while a client exists, a callback may yet hold it.
    gc.collect()
    assert second_ref() is not None
    qel.Notify_Regist(logged_in)


def test_library_thread_keeps_its_python_thread_state(logged_in):
    # Each library thread is one Python thread for its whole life: what a
    # callback keeps in a threading.local is there on its next callback.
    local = threading.local()
    seen = []

    class Counting(qel.Notify):
        def OnMarketData(self, buf, size):
            local.count = getattr(local, "count", 0) + 1
            seen.append(local.count)

    notify = Counting()
    qel.Notify_Regist(notify)
    try:
        assert wait_until(lambda: len(seen) > 50)
    finally:
        qel.Notify_Regist(logged_in)
    assert max(seen) > 1


def test_replaced_objects_are_released_by_logout(sim):
    class Quiet(qel.Notify):
        pass

    notify = Quiet()
    ref = weakref.ref(notify)
    qel.Notify_Regist(notify)
    qel.Notify_Regist(None)
    del notify
    gc.collect()
    assert ref() is not None
    qel.python_logout()
    gc.collect()
    assert ref() is None


def test_lost_servers_are_reported_per_site_type(recorder):
    with tempfile.TemporaryDirectory(prefix="qel-py-lost-") as folder:
        with FeedSim(folder, query=False) as lost:
            assert qel.python_login(lost.login_document(), 0) == 0
            assert recorder.count("OnDisconnected") == 0
    # The simulator is gone: every connection reports its site type and host.
    try:
        assert wait_until(lambda: {st for st, _ in recorder.named("OnDisconnected")} == {1, 2})
        assert all("127.0.0.1" in host for _, host in recorder.named("OnDisconnected"))
    finally:
        qel.python_logout()


@pytest.fixture(scope="module")
def logged_in(sim):
    notify = RecordingNotify()
    qel.Notify_Regist(notify)
    assert qel.python_login(sim.login_document(), 0) == 0
    assert qel.python_subscribeByDataType(SUBSCRIBE_ALL, 0) == 0
    yield notify
    qel.Notify_Regist(None)
    qel.python_logout()
