"""OpenTelemetry spans and metrics of each call, made through the application's own providers.

The call engine (C++) imports this module only once the application has set a tracer or meter
provider (opentelemetry-api imported and configured), and then, for each call, asks `begin()` for a
`CallTelemetry`, which it tells what happens: the status of each answer, each repeated attempt, each
chunk of a stream, the end. Without a provider nothing here runs.

Spans follow the OpenTelemetry semantic conventions: a chat completion is a CLIENT span
"chat {model}" with the gen_ai.* attributes; every other operation (tenants, feedback, training,
datasets, models) is an HTTP client span named by its method. The W3C trace context of the span goes
with every attempt through the application's configured propagator. Prompt and answer text are
recorded only when OTEL_INSTRUMENTATION_GENAI_CAPTURE_MESSAGE_CONTENT is "true".
"""

from __future__ import annotations

import json
import os
import time
from typing import Any
from urllib.parse import urlsplit, urlunsplit

from opentelemetry import metrics, propagate, trace
from opentelemetry.trace import SpanKind, Status, StatusCode

from . import __version__

_SCOPE = "korvane_sdk"
_PROVIDER = "korvane"
_CHAT_PATH = "/v1/chat/completions"
CAPTURE_CONTENT_ENV = "OTEL_INSTRUMENTATION_GENAI_CAPTURE_MESSAGE_CONTENT"

# The request parameters of a chat payload and the attribute each is recorded as.
_REQUEST_ATTRIBUTES = (
    ("temperature", "gen_ai.request.temperature"),
    ("max_tokens", "gen_ai.request.max_tokens"),
    ("top_p", "gen_ai.request.top_p"),
    ("frequency_penalty", "gen_ai.request.frequency_penalty"),
    ("presence_penalty", "gen_ai.request.presence_penalty"),
    ("seed", "gen_ai.request.seed"),
)

# Bucket boundaries the conventions advise for the two gen_ai histograms.
_DURATION_BUCKETS = (0.01, 0.02, 0.04, 0.08, 0.16, 0.32, 0.64, 1.28, 2.56, 5.12, 10.24, 20.48, 40.96, 81.92)
_TOKEN_BUCKETS = (1, 4, 16, 64, 256, 1024, 4096, 16384, 65536, 262144, 1048576, 4194304, 16777216, 67108864)


class _Instruments:
    """The tracer and the histograms, made from the providers in force (remade when either changes)."""

    def __init__(self, tracer_provider: Any, meter_provider: Any) -> None:
        self.tracer_provider = tracer_provider
        self.meter_provider = meter_provider
        self.tracer = tracer_provider.get_tracer(_SCOPE, __version__)
        meter = meter_provider.get_meter(_SCOPE, __version__)
        self.duration = _histogram(
            meter, "gen_ai.client.operation.duration", "s", "GenAI operation duration.", _DURATION_BUCKETS
        )
        self.tokens = _histogram(
            meter, "gen_ai.client.token.usage", "{token}", "Number of input and output tokens used.", _TOKEN_BUCKETS
        )
        self.first_chunk = _histogram(
            meter,
            "gen_ai.client.operation.time_to_first_chunk",
            "s",
            "Time to receive the first chunk of a streamed answer.",
            _DURATION_BUCKETS,
        )


def _histogram(meter: Any, name: str, unit: str, description: str, buckets: tuple[float, ...]) -> Any:
    try:
        return meter.create_histogram(
            name, unit=unit, description=description, explicit_bucket_boundaries_advisory=list(buckets)
        )
    except TypeError:  # an opentelemetry-api without bucket advice
        return meter.create_histogram(name, unit=unit, description=description)


_instruments: _Instruments | None = None


def _current() -> _Instruments | None:
    """The instruments for the providers in force, or None when neither provider was set."""
    global _instruments
    tracer_provider = trace.get_tracer_provider()
    meter_provider = metrics.get_meter_provider()
    if _is_noop(tracer_provider) and _is_noop(meter_provider):
        return None
    made = _instruments
    if made is None or made.tracer_provider is not tracer_provider or made.meter_provider is not meter_provider:
        made = _instruments = _Instruments(tracer_provider, meter_provider)
    return made


def _is_noop(provider: Any) -> bool:
    # Unset, the API hands out proxies (ProxyTracerProvider, _ProxyMeterProvider) that make nothing.
    name = type(provider).__name__
    return name.startswith(("NoOp", "Proxy", "_Proxy", "_NoOp"))


def capture_content() -> bool:
    """Whether prompts and answers go into spans (the conventions' opt-in, off unless "true")."""
    return os.environ.get(CAPTURE_CONTENT_ENV, "").strip().lower() == "true"


def _without_credentials(url: str) -> tuple[str, str | None, int | None]:
    """`url` with any user:password removed, its host and its port (the scheme's default when unsaid)."""
    try:
        parts = urlsplit(url)
        host, port = parts.hostname, parts.port
    except ValueError:
        return url, None, None
    if port is None:
        port = {"https": 443, "http": 80}.get(parts.scheme)
    if parts.username is not None or parts.password is not None:
        netloc = parts.netloc.rpartition("@")[2]
        url = urlunsplit((parts.scheme, netloc, parts.path, parts.query, parts.fragment))
    return url, host, port


def _error_type(error: BaseException | str) -> str:
    if isinstance(error, str):
        return error
    kind = type(error)
    return kind.__qualname__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}"


def _field(value: Any, name: str) -> Any:
    if isinstance(value, dict):
        return value.get(name)
    return getattr(value, name, None)


def begin(method: str, url: str, path: str, body: Any, headers: Any, stream: bool) -> CallTelemetry | None:
    """Opens the span of one call (None when no provider is set) and puts its trace context into
    `headers` (the call's own dict, sent with every attempt)."""
    instruments = _current()
    if instruments is None:
        return None
    call = CallTelemetry(instruments, method, url, path, body, stream)
    if isinstance(headers, dict):
        propagate.inject(headers, context=trace.set_span_in_context(call.span))
    return call


class CallTelemetry:
    """One call's span and what its metrics need. Owner: the call engine's call (whole or streamed)
    holds it until the call ends and drops it then; it holds the span and a few texts, never the
    client, the response or the chunks."""

    __slots__ = (
        "_attributes",
        "_chat",
        "_chunks",
        "_contents",
        "_ended",
        "_finish_reasons",
        "_instruments",
        "_resends",
        "_started",
        "_status",
        "span",
    )

    def __init__(self, instruments: _Instruments, method: str, url: str, path: str, body: Any, stream: bool) -> None:
        self._instruments = instruments
        self._chat = path == _CHAT_PATH and isinstance(body, dict)
        self._started = time.monotonic()
        self._status: int | None = None
        self._resends = 0
        self._chunks = 0
        self._ended = False
        self._finish_reasons: list[str] = []
        self._contents: list[str] | None = [] if stream and self._chat and capture_content() else None
        shown_url, host, port = _without_credentials(url)
        # What the metrics are recorded with too (low cardinality).
        attributes: dict[str, Any] = {}
        if host:
            attributes["server.address"] = host
        if port is not None:
            attributes["server.port"] = port
        span_attributes: dict[str, Any] = {}
        if self._chat:
            model = body.get("model")
            attributes["gen_ai.operation.name"] = "chat"
            attributes["gen_ai.provider.name"] = _PROVIDER
            attributes["gen_ai.system"] = _PROVIDER
            if isinstance(model, str):
                attributes["gen_ai.request.model"] = model
            name = f"chat {model}" if isinstance(model, str) and model else "chat"
            span_attributes.update(_request_attributes(body))
            if capture_content():
                span_attributes["gen_ai.input.messages"] = _json_text(body.get("messages"))
        else:
            name = method
            attributes["http.request.method"] = method
            span_attributes["url.full"] = shown_url
        self._attributes = attributes
        self.span = instruments.tracer.start_span(
            name, kind=SpanKind.CLIENT, attributes={**attributes, **span_attributes}
        )

    # ---- what the engine tells ----------------------------------------------------------------

    def status(self, code: int) -> None:
        """An attempt was answered with this HTTP status."""
        self._status = code
        if not self._chat:
            self.span.set_attribute("http.response.status_code", code)

    def retry(self, reason: str | int) -> None:
        """The call is sent again (after a busy status or a transport failure)."""
        self._resends += 1
        event: dict[str, Any] = {"http.request.resend_count": self._resends}
        if isinstance(reason, int):
            event["http.response.status_code"] = reason
        else:
            event["error.type"] = reason
        self.span.add_event("retry", event)
        self.span.set_attribute("http.request.resend_count", self._resends)

    def chunk(self, chunk: Any) -> None:
        """A streamed chunk was delivered."""
        self._chunks += 1
        if self._chunks == 1:
            elapsed = time.monotonic() - self._started
            self.span.set_attribute("gen_ai.response.time_to_first_chunk", elapsed)
            self.span.add_event("gen_ai.first_chunk")
            if self._chat:
                self._instruments.first_chunk.record(elapsed, self._metric_attributes())
                self._response_ids(chunk)  # the same in every chunk
        if not self._chat:
            return
        for choice in _field(chunk, "choices") or ():
            reason = _field(choice, "finish_reason")
            if isinstance(reason, str):
                self._finish_reasons.append(reason)
            if self._contents is not None:
                text = _field(_field(choice, "delta"), "content")
                if isinstance(text, str):
                    self._contents.append(text)

    def ok(self, result: Any) -> None:
        """The call gave `result` (a whole call's answer as the operation returns it)."""
        if self._ended:
            return
        if self._chat:
            self._response_ids(result)
            for choice in _field(result, "choices") or ():
                reason = _field(choice, "finish_reason")
                if isinstance(reason, str):
                    self._finish_reasons.append(reason)
            usage = _field(result, "usage")
            if usage is not None:
                self._usage(_field(usage, "prompt_tokens"), _field(usage, "completion_tokens"))
            if capture_content():
                messages = [_field(c, "message") for c in _field(result, "choices") or ()]
                self.span.set_attribute("gen_ai.output.messages", _json_text(messages))
        self._end(None)

    def stream_end(self, how: str, error_type: str | None) -> None:
        """The stream ended ("ended"), was let go early ("closed") or failed (`error_type`)."""
        if self._ended:
            return
        if how == "closed":
            self.span.add_event("closed", {"gen_ai.response.chunks_read": self._chunks})
        if self._contents is not None:
            message = {"role": "assistant", "content": "".join(self._contents)}
            self.span.set_attribute("gen_ai.output.messages", _json_text([message]))
        self._end(error_type if how == "failed" else None)

    def failed(self, error: BaseException | str) -> None:
        """The call raised `error`."""
        self._end(error)

    def abandon(self) -> None:
        """The call was dropped before its end (a cancelled task): the span ends, nothing leaks."""
        self._end("cancelled")

    # ---- inside -------------------------------------------------------------------------------

    def _response_ids(self, answer: Any) -> None:
        identifier, model = _field(answer, "id"), _field(answer, "model")
        if isinstance(identifier, str):
            self.span.set_attribute("gen_ai.response.id", identifier)
        if isinstance(model, str):
            self.span.set_attribute("gen_ai.response.model", model)
            self._attributes["gen_ai.response.model"] = model

    def _usage(self, prompt: Any, completion: Any) -> None:
        attributes = self._metric_attributes()
        for count, kind, name in (
            (prompt, "input", "gen_ai.usage.input_tokens"),
            (completion, "output", "gen_ai.usage.output_tokens"),
        ):
            if isinstance(count, int):
                self.span.set_attribute(name, count)
                self._instruments.tokens.record(count, {**attributes, "gen_ai.token.type": kind})

    def _metric_attributes(self) -> dict[str, Any]:
        return dict(self._attributes)

    def _end(self, error: BaseException | str | None) -> None:
        if self._ended:
            return
        self._ended = True
        span = self.span
        attributes = self._metric_attributes()
        if self._finish_reasons:
            span.set_attribute("gen_ai.response.finish_reasons", self._finish_reasons)
        if error is not None:
            # An error answer is named by its status, as the HTTP conventions say; else the exception's type.
            kind = str(self._status) if self._status is not None and self._status >= 400 else _error_type(error)
            attributes["error.type"] = kind
            span.set_attribute("error.type", kind)
            span.set_status(Status(StatusCode.ERROR, None if isinstance(error, str) else str(error)[:200]))
        if self._chat:
            self._instruments.duration.record(time.monotonic() - self._started, attributes)
        span.end()


def _request_attributes(body: dict[str, Any]) -> dict[str, Any]:
    attributes: dict[str, Any] = {}
    for key, name in _REQUEST_ATTRIBUTES:
        value = body.get(key)
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            attributes[name] = value
    stop = body.get("stop")
    if isinstance(stop, str):
        attributes["gen_ai.request.stop_sequences"] = [stop]
    elif isinstance(stop, list) and all(isinstance(s, str) for s in stop):
        attributes["gen_ai.request.stop_sequences"] = stop
    n = body.get("n")
    if isinstance(n, int) and not isinstance(n, bool) and n != 1:
        attributes["gen_ai.request.choice.count"] = n
    return attributes


def _json_text(value: Any) -> str:
    def plain(item: Any) -> Any:
        dump = getattr(item, "model_dump", None)
        return dump() if callable(dump) else str(item)

    return json.dumps(value, default=plain, ensure_ascii=False)
