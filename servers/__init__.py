"""Local stand-ins for the broker's servers: the loopback trading server (trading_server, with the
login and logout answers of session_server) and the loopback HTTP back end (http_server). The
tools run them for `make run`; the tests and benchmarks import them."""
