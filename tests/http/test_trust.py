"""Which certificate authorities a request trusts, with a private CA made here by openssl: verify as
a CA file or directory, REQUESTS_CA_BUNDLE and CURL_CA_BUNDLE (requests' order), then OpenSSL's
SSL_CERT_FILE and SSL_CERT_DIR; compared with requests where it is installed."""

import shutil
import subprocess

import pytest
from korvane_sdk import KorvaneClient
from korvane_sdk.http import ConnectionError, Session

VARIABLES = ("REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE", "SSL_CERT_FILE", "SSL_CERT_DIR")


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=cwd)


def make_ca(folder, name):
    openssl(
        "req",
        "-x509",
        "-newkey",
        "ec",
        "-pkeyopt",
        "ec_paramgen_curve:prime256v1",
        "-nodes",
        "-keyout",
        f"{name}-key.pem",
        "-out",
        f"{name}.pem",
        "-days",
        "2",
        "-subj",
        f"/CN={name}",
        "-addext",
        "basicConstraints=critical,CA:TRUE",
        "-addext",
        "keyUsage=critical,keyCertSign,cRLSign",
        cwd=folder,
    )
    # A directory holding it under its subject hash, as OpenSSL looks CA certificates up.
    directory = folder / f"{name}-dir"
    directory.mkdir()
    digest = subprocess.run(
        ["openssl", "x509", "-hash", "-noout", "-in", str(folder / f"{name}.pem")],
        check=True,
        capture_output=True,
        text=True,
    ).stdout.strip()
    shutil.copy(folder / f"{name}.pem", directory / f"{digest}.0")
    return folder / f"{name}.pem", directory


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    if not shutil.which("openssl"):
        pytest.skip("openssl is needed to make a private CA")
    folder = tmp_path_factory.mktemp("pki")
    ca_file, ca_dir = make_ca(folder, "private-ca")
    other_file, other_dir = make_ca(folder, "other-ca")
    openssl(
        "req",
        "-newkey",
        "ec",
        "-pkeyopt",
        "ec_paramgen_curve:prime256v1",
        "-nodes",
        "-keyout",
        "server-key.pem",
        "-out",
        "server.csr",
        "-subj",
        "/CN=127.0.0.1",
        cwd=folder,
    )
    (folder / "san.ext").write_text("subjectAltName=IP:127.0.0.1\n")
    openssl(
        "x509",
        "-req",
        "-in",
        "server.csr",
        "-CA",
        "private-ca.pem",
        "-CAkey",
        "private-ca-key.pem",
        "-CAcreateserial",
        "-out",
        "server.pem",
        "-days",
        "2",
        "-extfile",
        "san.ext",
        cwd=folder,
    )
    return {
        "ca_file": ca_file,
        "ca_dir": ca_dir,
        "other_file": other_file,
        "other_dir": other_dir,
        "cert": folder / "server.pem",
        "key": folder / "server-key.pem",
    }


@pytest.fixture
def server(tls_raw_server, pki):
    return tls_raw_server(pki["cert"], pki["key"])


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch):
    for name in VARIABLES:
        monkeypatch.delenv(name, raising=False)


def outcome(session_class, url, verify):
    """The body, or how the request was refused: an OSError of its own by its text, else by class."""
    session = session_class()
    try:
        if session_class is Session:
            session.verify = verify
            return session.request("GET", url, timeout=3).text
        return session.request("GET", url, verify=verify, timeout=3).text
    except OSError as error:
        return f"OSError: {error}" if type(error) is OSError else type(error).__name__
    finally:
        session.close()


def trusted(url, verify):
    return outcome(Session, url, verify) == "secure"


@pytest.mark.parametrize("key", ["ca_file", "ca_dir"])
def test_verify_names_the_ca_file_or_directory(server, pki, key):
    assert trusted(server.https, str(pki[key]))
    assert trusted(server.https, pki[key])  # an os.PathLike too
    other = "other_file" if key == "ca_file" else "other_dir"
    assert not trusted(server.https, str(pki[other]))  # only the named CA is trusted


def test_the_system_store_does_not_know_a_private_ca(server):
    with pytest.raises(ConnectionError, match="(?i)certificate"):
        Session().request("GET", server.https, timeout=3)


@pytest.mark.parametrize("variable", ["REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE", "SSL_CERT_FILE", "SSL_CERT_DIR"])
def test_environment_names_the_ca_when_verify_is_true(server, pki, monkeypatch, variable):
    monkeypatch.setenv(variable, str(pki["ca_dir" if variable == "SSL_CERT_DIR" else "ca_file"]))
    assert trusted(server.https, True)


def test_requests_order_of_the_variables(server, pki, monkeypatch):
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(pki["ca_file"]))
    monkeypatch.setenv("CURL_CA_BUNDLE", str(pki["other_file"]))
    monkeypatch.setenv("SSL_CERT_FILE", str(pki["other_file"]))
    assert trusted(server.https, True)
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", "")  # empty: not set
    assert not trusted(server.https, True)
    monkeypatch.setenv("CURL_CA_BUNDLE", str(pki["ca_file"]))
    assert trusted(server.https, True)


def test_a_named_path_overrides_the_environment_and_false_ignores_it(server, pki, monkeypatch):
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(pki["other_file"]))
    assert trusted(server.https, str(pki["ca_file"]))
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", "/no/such/bundle.pem")
    assert outcome(Session, server.https, False) == "secure"


@pytest.mark.parametrize("where", ["verify", "REQUESTS_CA_BUNDLE"])
def test_a_missing_path_is_an_error_naming_it_and_nothing_is_sent(server, monkeypatch, where):
    missing = "/no/such/ca-bundle.pem"
    verify = missing if where == "verify" else True
    if where != "verify":
        monkeypatch.setenv(where, missing)
    assert outcome(Session, server.https, verify) == (
        "OSError: Could not find a suitable TLS CA certificate bundle, invalid path: /no/such/ca-bundle.pem"
    )
    assert server.connections == 0
    # plain http has no use for a CA bundle: the request goes out
    assert not outcome(Session, server.url + "/plain", verify).startswith("OSError")
    assert server.connections == 1


@pytest.mark.filterwarnings("ignore::Warning")
@pytest.mark.parametrize("case", ["file", "dir", "other", "missing", "env", "off"])
def test_same_verdicts_as_requests(server, pki, monkeypatch, case):
    requests = pytest.importorskip("requests")
    verify = {
        "file": str(pki["ca_file"]),
        "dir": str(pki["ca_dir"]),
        "other": str(pki["other_file"]),
        "missing": "/no/such/ca.pem",
        "env": True,
        "off": False,
    }[case]
    if case == "env":
        monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(pki["ca_file"]))

    def verdict(result):
        return result if result == "secure" or result.startswith("OSError") else "refused"

    ours = verdict(outcome(Session, server.https, verify))
    theirs = verdict(outcome(requests.Session, server.https, verify))
    assert ours == theirs


def test_the_client_passes_verify_ssl_to_its_session(server, pki):
    api = server.https.rsplit("/", 1)[0]
    with KorvaneClient(api_key="k", api_url=api, verify_ssl=str(pki["ca_file"]), max_retries=1) as client:
        assert client._request(method="GET", path="/x") == "secure"
