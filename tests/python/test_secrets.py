"""No secret in clear in the log: a child interpreter with the default log
settings (file log at debug level) logs in, subscribes, runs both query
forms (each logs in to the query service) and a query whose parameters
carry a token, then logs out; its log file, readable by its owner only,
shows every password and token as "******"."""

import json
import os
import stat
import subprocess
import sys
import textwrap

from sim_support import PASSWORD

TOKEN_PARAM = "tok-7f3a9c"

CHILD = textwrap.dedent(r"""
    import json, os, sys
    import qel_gateway_client as qel

    login, token = sys.argv[1], sys.argv[2]
    qel.python_init_env()
    assert qel.python_login(login, 0) == 0
    assert qel.python_subscribeByDataType(json.dumps({"QelDataTypes": [3, 9]}), 0) == 0
    query = json.dumps({"DataType": 1011, "QUORSecurityIDs": ["600000.SH"],
                        "Params": {"Token": token}})
    assert qel.python_request_fin_info_query_sync(query, 0) is not None
    assert qel.python_request_fin_info_query_async(query, 0) == 1
    # A login refused or incomplete logs its document too.
    qel.python_login(json.dumps({"Password": "xrefused-secret"}), 0)
    qel.python_logout()
    qel.python_fini_env()
    print("pid", os.getpid(), flush=True)
""")


def test_log_file_masks_secrets_and_is_private(sim, tmp_path):
    script = tmp_path / "child.py"
    script.write_text(CHILD)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    child = subprocess.run([sys.executable, str(script), sim.login_document(), TOKEN_PARAM],
                           capture_output=True, text=True, timeout=120, env=env, cwd=str(tmp_path))
    assert child.returncode == 0, child.stdout + child.stderr
    pid = int(child.stdout.split("pid")[-1].split()[0])
    log_file = tmp_path / ("pid_%d.log" % pid)
    text = log_file.read_text(errors="replace")

    # The file holds the debug lines of the login and the queries.
    assert "login json:" in text and "request sync query json:" in text
    assert "Receive discovery login response" in text
    for secret in (PASSWORD, TOKEN_PARAM, "xrefused-secret"):
        for where, output in (("log file", text), ("stdout", child.stdout), ("stderr", child.stderr)):
            assert secret not in output, "%s in clear in the %s" % (secret, where)
    # The discovery's token is masked too.
    token_lines = [line for line in text.splitlines() if '"token"' in line]
    assert token_lines and all('"token":"******"' in line for line in token_lines)
    assert '"Password": "******"' in text or '"Password":"******"' in text
    assert stat.S_IMODE(os.stat(log_file).st_mode) == 0o600
