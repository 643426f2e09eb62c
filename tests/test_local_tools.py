"""tools/local_servers.py as a user meets it: a taken port is named with the way out, and servers
moved to other addresses by its options are the ones a --run program reaches."""
import os
import socket
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVERS = os.path.join(ROOT, "tools", "local_servers.py")


def local_servers(*args):
    env = dict(os.environ)
    env.pop("DORVANE_HTTP_BASE_URL", None)
    return subprocess.run([sys.executable, SERVERS, *args], cwd=ROOT, env=env, capture_output=True, text=True,
                          timeout=60)


def test_a_taken_port_is_named_with_its_holder_and_the_way_out():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        result = local_servers("--trading", "127.0.0.1:{}".format(port), "--http", "127.0.0.1:0")
    assert result.returncode == 1
    lines = result.stderr.splitlines()
    assert lines[0] == "cannot listen on 127.0.0.1:{} (trading server): Address already in use".format(port)
    assert "held by python3 (pid {})".format(os.getpid()) in lines[1]
    assert "--trading 127.0.0.1:0 --http 127.0.0.1:0 --run examples/trading_tour.py" in result.stderr
    assert "[UAT] host and port of dorvane/backend/socket/config.ini" in result.stderr


def test_a_program_run_on_other_addresses_reaches_those_servers(tmp_path):
    program = tmp_path / "where.py"
    program.write_text(
        "import os\n"
        "from dorvane.backend.http.main import HttpApi\n"
        "from dorvane.backend.socket.wrapper import Wrapper\n"
        "api = Wrapper(simulation=True)\n"
        "try:\n"
        "    api.login('A123456789', 'secret', timeout=5)\n"
        "    api.logout(timeout=5)\n"
        "finally:\n"
        "    api._stop()\n"
        "print(len(HttpApi(simulation=True, proxies=None).login('A123456789', 'secret')))\n"
        "print(api._port, os.environ['DORVANE_HTTP_BASE_URL'])\n")
    result = local_servers("--trading", "127.0.0.1:0", "--http", "127.0.0.1:0", "--run", str(program))
    assert result.returncode == 0, result.stderr
    accounts, where = result.stdout.splitlines()[-2:]
    port, url = where.split()
    assert accounts == "2" and port != "18001" and url.startswith("http://127.0.0.1:") and ":18002/" not in url


def test_an_address_option_must_be_host_and_port():
    result = local_servers("--trading", "18001")
    assert result.returncode == 2 and "expected HOST:PORT" in result.stderr
