"""Shared fixtures of the Python suite: the module, a simulator per test module
and the recording Notify subclass."""

import json
import os
import sys
import tempfile
import threading

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import sim_support  # noqa: E402
import qel_gateway_client as qel  # noqa: E402


class RecordingNotify(qel.Notify):
    """Records every callback as (name, arguments) with the JSON texts read
    through cdata; called on the library's threads, so the list is guarded."""

    def __init__(self):
        qel.Notify.__init__(self)
        self.lock = threading.Lock()  # guards calls and market_data_threads
        self.calls = []
        self.market_data_threads = set()

    def _add(self, name, *args):
        with self.lock:
            self.calls.append((name, args))
            if name == "OnMarketData":
                self.market_data_threads.add(threading.get_ident())

    def _text(self, name, buf, size):
        text = qel.cdata(buf, size)
        self._add(name, text, size)

    def OnMarketData(self, buf, size):
        self._text("OnMarketData", buf, size)

    def OnSubscribeResponse(self, buf, size):
        self._text("OnSubscribeResponse", buf, size)

    def OnLoginDiscoveryResponse(self, buf, size):
        self._text("OnLoginDiscoveryResponse", buf, size)

    def OnLoginDataServiceResponse(self, buf, size):
        self._text("OnLoginDataServiceResponse", buf, size)

    def OnFinInfoQueryResponse(self, buf, size):
        self._text("OnFinInfoQueryResponse", buf, size)

    def OnLoginDiscoverySuccess(self, buf, datafeed_list):
        self._add("OnLoginDiscoverySuccess", qel.text_at(buf), datafeed_list)

    def OnLoginDiscoveryFailed(self, message):
        self._add("OnLoginDiscoveryFailed", qel.text_at(message))

    def OnNoDiscoveryServices(self):
        self._add("OnNoDiscoveryServices")

    def OnLoginDatafeedNodeSuccess(self, site_type, message):
        self._add("OnLoginDatafeedNodeSuccess", site_type, qel.text_at(message))

    def OnLoginDatafeedNodeFailed(self, site_type, message):
        self._add("OnLoginDatafeedNodeFailed", site_type, qel.text_at(message))

    def OnLoginDataServiceSuccess(self):
        self._add("OnLoginDataServiceSuccess")

    def OnLoginDataServiceFailed(self):
        self._add("OnLoginDataServiceFailed")

    def OnDisconnected(self, site_type, message):
        self._add("OnDisconnected", site_type, qel.text_at(message))

    def named(self, name):
        with self.lock:
            return [args for n, args in self.calls if n == name]

    def count(self, name):
        return len(self.named(name))

    def clear(self):
        with self.lock:
            self.calls.clear()
            self.market_data_threads.clear()


def json_texts(notify, name):
    """The JSON texts of one callback, each checked against its size and
    parsed with json.loads."""
    parsed = []
    for text, size in notify.named(name):
        assert len(text.encode("utf-8", "surrogateescape")) == size
        parsed.append(json.loads(text))
    return parsed


@pytest.fixture(scope="module")
def sim():
    with tempfile.TemporaryDirectory(prefix="qel-py-") as folder:
        with sim_support.FeedSim(folder) as s:
            yield s


@pytest.fixture
def recorder():
    notify = RecordingNotify()
    qel.Notify_Regist(notify)
    yield notify
    qel.Notify_Regist(None)
