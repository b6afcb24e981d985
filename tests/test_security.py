"""Authentication and TLS reach the client unchanged: a locked door stays locked."""
import subprocess

import pytest
import redis

from conftest import QUORVANE, RedisServer, module_entries
from fakes import Address

ACQ = QUORVANE + ".Quorvane.acquire"


@pytest.fixture
def acl_server():
    server = RedisServer("--user", "default", "off", "--user", "app", "on", ">app-secret",
                         "~*", "+@all", "--user", "admin", "on", ">admin-secret", "~*", "+@all")
    yield server
    server.stop()


def test_acl_user_and_password(qmod, acl_server):
    admin = redis.Redis(port=acl_server.port, username="admin", password="admin-secret")
    q = qmod.Quorvane()
    q.connect("127.0.0.1", port=acl_server.port, username="app", password="app-secret")
    assert q.is_alive and q.acquire(Address("secured")) is True
    assert admin.get("secured") == b""
    q.release(Address("secured"))

    wrong = qmod.Quorvane()
    wrong.connect("127.0.0.1", port=acl_server.port, username="app", password="wrong")
    with pytest.raises(redis.exceptions.AuthenticationError) as info:
        wrong.acquire(Address("intruder"))
    assert module_entries(info.value)[:2] == [(ACQ, 135), (ACQ + "._set_command", 123)]
    assert admin.exists("intruder") == 0 and admin.dbsize() == 0
    admin.close()


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


@pytest.fixture(scope="module")
def certificates(tmp_path_factory):
    """A CA, a server and a client certificate, made for this run only."""
    d = tmp_path_factory.mktemp("tls")
    # the extensions that strict verification (Python 3.13's default) asks of a CA and a leaf
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=test-ca",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign",
            "-keyout", "ca.key", "-out", "ca.crt", cwd=d)
    (d / "san.cnf").write_text("subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                               "authorityKeyIdentifier=keyid,issuer\n"
                               "keyUsage=critical,digitalSignature,keyEncipherment\n")
    for name in ("server", "client"):
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={name}",
                "-keyout", f"{name}.key", "-out", f"{name}.csr", cwd=d)
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                "-CAcreateserial", "-days", "1", "-extfile", "san.cnf", "-out", f"{name}.crt",
                cwd=d)
    return d


@pytest.fixture
def tls_server(certificates):
    from tarvex_locks.local_servers import free_port

    port = free_port()
    d = certificates
    server = RedisServer("--port", "0", "--tls-port", str(port), "--tls-cert-file",
                         str(d / "server.crt"), "--tls-key-file", str(d / "server.key"),
                         "--tls-ca-cert-file", str(d / "ca.crt"), "--tls-auth-clients", "yes",
                         port=port)
    yield server
    server.stop()


def test_tls_with_client_certificate(qmod, tls_server, certificates):
    d = certificates
    q = qmod.Quorvane()
    q.connect("127.0.0.1", port=tls_server.port, ssl=True, ssl_ca_certs=str(d / "ca.crt"),
              ssl_certfile=str(d / "client.crt"), ssl_keyfile=str(d / "client.key"))
    assert q.acquire(Address("over-tls"), metadata={"tls": True}) is True
    assert q.acquire(Address("over-tls"), blocking=False) is False
    q.release(Address("over-tls"))
    assert q.acquire(Address("over-tls"), timeout_ms=0) is True

    untrusting = qmod.Quorvane()
    untrusting.connect("127.0.0.1", port=tls_server.port, ssl=True,
                       ssl_certfile=str(d / "client.crt"), ssl_keyfile=str(d / "client.key"))
    with pytest.raises(redis.exceptions.ConnectionError) as info:
        untrusting.acquire(Address("unverified"))
    assert module_entries(info.value)[:2] == [(ACQ, 135), (ACQ + "._set_command", 123)]
