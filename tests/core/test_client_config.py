"""Client configuration: arguments, environment, class constants; lifecycle."""

import korvane_sdk
import pytest
from korvane_sdk import Korvane, KorvaneClient
from korvane_sdk.chat import Chat, ChatCompletions
from korvane_sdk.feedback import FeedbackManager
from korvane_sdk.tenants import TenantManager
from korvane_sdk.training import TrainingManager


@pytest.fixture(params=["KorvaneClient", "AsyncKorvane"])
def client_class(request):
    """The configuration cases hold for the blocking client and for the async one."""
    if request.param == "KorvaneClient":
        return KorvaneClient
    from korvane_sdk.aio import AsyncKorvane

    return AsyncKorvane


def test_defaults(client_class):
    client = client_class()
    assert client.api_key is None
    assert client.api_url == client_class.DEFAULT_API_URL
    assert client.proxy_url == client_class.DEFAULT_PROXY_URL
    assert (client.timeout, client.max_retries, client.verify_ssl) == (60, 3, True)
    assert client_class.DEFAULT_TIMEOUT == 60
    for url in (client_class.DEFAULT_API_URL, client_class.DEFAULT_PROXY_URL):
        assert url.startswith("https://") and not url.endswith("/") and url.count("/") == 2


@pytest.mark.parametrize(
    "argument, environment, expected",
    [
        (None, None, None),
        ("", "env-key", "env-key"),
        ("arg-key", "env-key", "arg-key"),
        (None, "env-key", "env-key"),
        ("", None, None),
    ],
)
def test_api_key_precedence(monkeypatch, argument, environment, expected, client_class):
    if environment is not None:
        monkeypatch.setenv("KORVANE_API_KEY", environment)
    assert client_class(api_key=argument).api_key == expected


@pytest.mark.parametrize(
    "field, variable, constant",
    [("api_url", "KORVANE_API_URL", "DEFAULT_API_URL"), ("proxy_url", "KORVANE_PROXY_URL", "DEFAULT_PROXY_URL")],
)
def test_url_precedence_and_trailing_slashes(monkeypatch, field, variable, constant, client_class):
    assert getattr(client_class(**{field: "https://a.example//"}), field) == "https://a.example"
    monkeypatch.setenv(variable, "https://env.example/")
    assert getattr(client_class(), field) == "https://env.example"
    assert getattr(client_class(**{field: ""}), field) == "https://env.example"
    assert getattr(client_class(**{field: "https://arg.example"}), field) == "https://arg.example"
    monkeypatch.setenv(variable, "")
    assert getattr(client_class(**{field: ""}), field) == getattr(client_class, constant)


def test_subclass_constants_count(client_class):
    class Staging(client_class):
        DEFAULT_API_URL = "https://api.staging.example///"
        DEFAULT_PROXY_URL = "https://proxy.staging.example"

    client = Staging()
    assert (client.api_url, client.proxy_url) == ("https://api.staging.example", "https://proxy.staging.example")
    assert isinstance(client, client_class)


def test_values_stored_unchanged_and_nothing_checked(client_class):
    odd = object()
    client = client_class(api_key="k", timeout=2.5, max_retries=0, verify_ssl=odd)
    assert (client.timeout, client.max_retries, client.verify_ssl) == (2.5, 0, odd)
    nothing = client_class(api_key=None, timeout=None, max_retries=None, verify_ssl=None)
    assert (nothing.timeout, nothing.max_retries, nothing.verify_ssl) == (None, None, None)
    positional = client_class("k", "https://a.example", "https://p.example", 5, 1, False)
    assert (positional.api_url, positional.proxy_url, positional.timeout, positional.verify_ssl) == (
        "https://a.example",
        "https://p.example",
        5,
        False,
    )


def test_verify_is_copied_to_the_session_only_at_construction(client_class):
    client = client_class(verify_ssl=False)
    assert client._session.verify is False
    client.verify_ssl = True
    assert client._session.verify is False
    assert client_class()._session.verify is True


def test_namespaces():
    client = Korvane(api_key="k")
    assert type(client) is KorvaneClient and Korvane is KorvaneClient
    assert isinstance(client.chat, Chat) and isinstance(client.chat.completions, ChatCompletions)
    assert client.chat.completions._client is client
    assert not hasattr(client.chat, "_client")
    for name, cls in (("tenants", TenantManager), ("feedback", FeedbackManager), ("training", TrainingManager)):
        namespace = getattr(client, name)
        assert isinstance(namespace, cls) and namespace._client is client


class RecordingSession:
    def __init__(self):
        self.closed = 0

    def close(self):
        self.closed += 1


def test_context_manager_closes_and_passes_exceptions():
    with KorvaneClient() as client:
        assert isinstance(client, KorvaneClient)
        client._session = session = RecordingSession()
    assert session.closed == 1

    client = KorvaneClient()
    calls = []
    client.close = lambda: calls.append("closed")  # instances take new attributes
    with pytest.raises(ZeroDivisionError):
        with client:
            1 / 0
    assert calls == ["closed"]
    assert client.__exit__(None, None, None) is None


def test_repr_never_shows_the_key(client_class):
    client = client_class(api_key="sk-secret-123")
    assert "sk-secret-123" not in repr(client)
    assert "https://api.korvane.ai" in repr(client)


def test_package_surface():
    assert korvane_sdk.__version__ == "1.0.0"
    for name in korvane_sdk.__all__:
        assert hasattr(korvane_sdk, name), name
    assert KorvaneClient.__module__ == "korvane_sdk.client"
    assert KorvaneClient.close.__doc__.strip().endswith("Close the client session.")
