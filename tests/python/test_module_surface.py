"""What a script sees of the module without a server: names, constants, the
read-only query types, argument conventions and their errors, the sequence
and pointer helpers, and the incomplete logins that never reach the network."""

import json
import os
import subprocess

import pytest

import _qel_gateway_client as raw
import qel_gateway_client as qel

JSON_FUNCTIONS = [
    "python_login",
    "python_subscribeByDataType",
    "python_subscribeBySecurityId",
    "python_request_fin_info_query_async",
    "python_request_fin_info_query_sync",
]

FLAT_NAMES = JSON_FUNCTIONS + [
    "python_init_env", "python_fini_env", "python_open_file_log", "python_close_file_log",
    "python_open_cout_log", "python_close_cout_log", "python_logout",
    "Notify_Regist", "Log_Regist", "cdata", "memmove",
    "new_Notify", "delete_Notify", "disown_Notify", "Notify_swigregister",
    "Notify_OnMarketData", "Notify_OnBridgeData", "Notify_OnSubscribeResponse",
    "Notify_OnGeneralError", "Notify_OnLoginDiscoverySuccess", "Notify_OnLoginDiscoveryFailed",
    "Notify_OnLoginDiscoveryResponse", "Notify_OnNoDiscoveryServices",
    "Notify_OnLoginDatafeedNodeSuccess", "Notify_OnLoginDatafeedNodeFailed",
    "Notify_OnLoginDataServiceSuccess", "Notify_OnLoginDataServiceFailed",
    "Notify_OnLoginDataServiceResponse", "Notify_OnDisconnected", "Notify_OnQueryResponse",
    "Notify_OnFinInfoQueryResponse",
    "new_IntVector", "delete_IntVector", "IntVector_swigregister", "IntVector_append",
    "IntVector___getitem__", "IntVector___setslice__", "SwigPyIterator_next",
]


def test_flat_names_and_constants():
    missing = [n for n in FLAT_NAMES if not hasattr(raw, n)]
    assert missing == []
    for hidden in ("python_get_version", "globalhandle", "PythonHandle", "PyLog"):
        assert not hasattr(raw, hidden)
        assert not hasattr(qel, hidden)
    assert (qel.EFFECTIVE_LENGTH, qel.EFFECTIVE_DATA, qel.INIT_DATA) == (1, -999, 0)
    assert (raw.EFFECTIVE_LENGTH, raw.EFFECTIVE_DATA, raw.INIT_DATA) == (1, -999, 0)


QUERY_TYPES = [
    ("QUERY_TYPE_BASE_INFORMATION", 1011),
    ("QUERY_TYPE_LATEST_BASE_INFORMATION", 1012),
    ("QUERY_TYPE_ETF_BASE_INFORMATION", 1013),
    ("QUERY_TYPE_STATUS", 1021),
    ("QUERY_TYPE_SUBSCRIBE_ANSWER", 1031),
]


@pytest.mark.parametrize("name,value", QUERY_TYPES)
def test_query_types_are_read_only_cvar(name, value):
    assert getattr(qel.cvar, name) == value
    assert getattr(raw.cvar, name) == value
    with pytest.raises(AttributeError) as err:
        setattr(qel.cvar, name, 1)
    assert str(err.value) == "Variable %s is read-only." % name
    assert getattr(qel.cvar, name) == value


def _argument_errors():
    cases = []
    for fn in JSON_FUNCTIONS:
        text = "in method '%s', argument 1 of type 'char const *'" % fn
        number = "in method '%s', argument 2 of type 'int'" % fn
        cases += [
            pytest.param(fn, (b"{}", 2), TypeError, text, id=fn + "-bytes"),
            pytest.param(fn, (None, 2), TypeError, text, id=fn + "-none"),
            pytest.param(fn, ({}, 2), TypeError, text, id=fn + "-dict"),
            pytest.param(fn, ("{}", "2"), TypeError, number, id=fn + "-str-length"),
            pytest.param(fn, ("{}", 2.0), TypeError, number, id=fn + "-float-length"),
            pytest.param(fn, ("{}", 2 ** 31), OverflowError, number, id=fn + "-2**31"),
            pytest.param(fn, ("{}", -2 ** 31 - 1), OverflowError, number, id=fn + "-below-int"),
        ]
    cases += [
        pytest.param("Notify_Regist", (42,), TypeError,
                     "in method 'Notify_Regist', argument 1 of type 'Notify *'", id="regist-int"),
        pytest.param("Notify_Regist", ("notify",), TypeError,
                     "in method 'Notify_Regist', argument 1 of type 'Notify *'", id="regist-str"),
        pytest.param("Log_Regist", (qel.Notify(),), TypeError,
                     "in method 'Log_Regist', argument 1 of type 'PyLog *'", id="log-notify"),
    ]
    return cases


@pytest.mark.parametrize("fn,args,error,text", _argument_errors())
def test_argument_conventions(fn, args, error, text):
    # Both the companion's function and the flat one reject the same way,
    # before anything reaches the library.
    for module in (qel, raw):
        with pytest.raises(error) as err:
            getattr(module, fn)(*args)
        assert str(err.value) == text


@pytest.mark.parametrize("document", [
    pytest.param("{}", id="empty"),
    pytest.param("{this is not json", id="malformed"),
    pytest.param('[1, 2]', id="not-an-object"),
    pytest.param(json.dumps({"UserName": "u", "Password": "p", "MainServerIP": "127.0.0.1",
                             "MainServerPort": "8262"}), id="port-as-text"),
    pytest.param(json.dumps({"Password": "p", "MainServerIP": "127.0.0.1",
                             "MainServerPort": 8262}), id="no-user"),
    pytest.param(json.dumps({"UserName": "u", "Password": "", "MainServerIP": "127.0.0.1",
                             "MainServerPort": 8262}), id="empty-password"),
    pytest.param(json.dumps({"UserName": "u", "Password": "p", "MainServerIP": "",
                             "MainServerPort": 8262}), id="empty-ip"),
])
def test_incomplete_login_returns_1(document):
    # The length is accepted and ignored, also when it does not match.
    assert qel.python_login(document, 0) == 1
    assert qel.python_login(document, len(document)) == 1


def test_subscribe_documents_without_their_list_send_nothing():
    # No list key: 0 at once, also without any client behind it.
    assert qel.python_subscribeByDataType('{"SubType": 2}', 0) == 0
    assert qel.python_subscribeBySecurityId('{"SubType": 2}', 0) == 0
    assert qel.python_subscribeBySecurityId('{"QUORSecurityIDs": []}', 0) == 0
    assert qel.python_subscribeByDataType("not json", 0) == 0


def test_int_vector_is_a_sequence_of_int():
    v = qel.IntVector([3, 1, 2])
    v.append(7)
    v.push_back(9)
    assert len(v) == 5 and bool(v) and list(v) == [3, 1, 2, 7, 9]
    assert list(v[1:3]) == [1, 2]
    v[0] = 4
    del v[1]
    assert list(v) == [4, 2, 7, 9] and v.front() == 4 and v.back() == 9
    assert v.pop() == 9 and v.size() == 3
    with pytest.raises(TypeError):
        v.append("x")
    with pytest.raises(OverflowError):
        v.append(2 ** 40)
    with pytest.raises(IndexError):
        v[10]
    assert not qel.IntVector()


def test_cdata_of_null_pointer_is_none():
    assert qel.cdata(None, 5) is None
    assert qel.text_at(None) is None


def test_plain_notify_methods_are_empty_defaults():
    n = qel.Notify()
    assert n.OnMarketData(None, 0) is None
    assert n.OnNoDiscoveryServices() is None
    # Registering a plain Notify and unregistering are both accepted.
    qel.Notify_Regist(n)
    qel.Notify_Regist(None)


def _needed_libraries(path):
    out = subprocess.run(["readelf", "-d", path], check=True, capture_output=True, text=True).stdout
    return [line.split("[")[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line]


def test_module_and_library_need_no_libpython():
    module_needs = _needed_libraries(raw.__file__)
    assert any(n.startswith("libqel_client_sdk_tcp_cpp") for n in module_needs)
    assert not [n for n in module_needs if "python" in n]
    library = os.environ.get("QEL_LIBRARY", os.path.join(
        os.path.dirname(os.path.realpath(raw.__file__)), os.pardir, "libqel_client_sdk_tcp_cpp.so"))
    assert os.path.exists(library)
    assert not [n for n in _needed_libraries(library) if "python" in n]
