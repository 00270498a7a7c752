"""Streamed completions against a fake response: line rules, chunk defaults, failures, lifecycle."""

import collections.abc
import gc
import json
import warnings
import weakref

import korvane_sdk.models as models
import pytest
from chat_fakes import FakeResponse, stream_of
from korvane_sdk.chat import ChatCompletionStream
from korvane_sdk.exceptions import AuthenticationError

CHUNK = {
    "id": "c",
    "object": "chat.completion.chunk",
    "created": 1,
    "model": "m",
    "choices": [{"index": 0, "delta": {"content": "Hi"}, "finish_reason": None}],
}


def ids(stream):
    return [chunk.id for chunk in stream]


def test_chunk_then_empty_line_then_done(seams):
    stream = stream_of(seams, [CHUNK, b"", b"data: [DONE]", CHUNK])
    chunk = next(stream)
    assert seams.response.pulled == 1  # no line is taken before the caller asks
    assert list(stream) == []
    assert type(chunk).__name__ == "ChatCompletionChunk"
    assert (chunk.id, chunk.object, chunk.created, chunk.model) == ("c", "chat.completion.chunk", 1, "m")
    assert chunk.choices == CHUNK["choices"]
    assert seams.response.pulled == 3 and seams.response.closed == 1  # the line after [DONE] is never read
    ((name, args, kwargs),) = seams.calls
    assert (name, args) == ("_request_stream", ())
    assert list(kwargs) == ["method", "path", "json"]
    assert (kwargs["method"], kwargs["path"], kwargs["json"]["stream"]) == ("POST", "/v1/chat/completions", True)


@pytest.mark.parametrize(
    "marker",
    [
        b"data: [DONE]",
        b"data: [DONE]   ",
        b"data:  [DONE]",
        b"data: \t[DONE]\r\x0b",
        "data: \u3000[DONE]\u00a0\u2028".encode(),
        "data: [DONE] ",
        "data: \x1c[DONE]\x85",
    ],
)
def test_done_variants_end_the_stream(seams, marker):
    assert ids(stream_of(seams, [CHUNK, marker, CHUNK])) == ["c"]


@pytest.mark.parametrize(
    "line",
    [
        b"data:" + json.dumps(CHUNK).encode(),  # no space after the colon
        b": keep-alive comment",
        b"event: completion",
        b"id: 7",
        b"retry: 10",
        b"DATA: " + json.dumps(CHUNK).encode(),
        b" data: " + json.dumps(CHUNK).encode(),
        b"data: {not json",
        b"data: ",
        b'data: {"id": "a",',  # a piece of an object: not joined
        b"data: [DONE]x",
        b'data: "[DONE]"x',
        b"data: NaN-ish",
        b"data: ping",
        b"data: \t ",
        b"",
        "",
        None,
    ],
)
def test_lines_skipped_and_later_chunks_delivered(seams, line):
    second = dict(CHUNK, id="second")
    assert ids(stream_of(seams, [CHUNK, line, second, b"data: [DONE]"])) == ["c", "second"]


def test_text_lines_and_untrimmed_data(seams):
    text = "data: " + json.dumps(dict(CHUNK, id="ünï")) + "  "
    assert ids(stream_of(seams, [text, "data:  \t" + json.dumps(CHUNK)])) == ["ünï", "c"]


def test_chunk_defaults(seams):
    (chunk,) = stream_of(seams, [{"extra": 1}])
    assert (chunk.id, chunk.object, chunk.created, chunk.model, chunk.choices) == (
        "",
        "chat.completion.chunk",
        0,
        "",
        [],
    )


def test_body_ending_without_done_finishes_quietly(seams):
    stream = stream_of(seams, [CHUNK, dict(CHUNK, id="b")])
    assert ids(stream) == ["c", "b"]
    assert seams.response.closed == 1
    with pytest.raises(StopIteration):
        next(stream)


@pytest.mark.parametrize("data", [b"42", b'"text"', b"[1, 2]", b"null", b"true", b"1.5"])
def test_data_that_is_not_an_object_is_a_type_error(seams, data):
    stream = stream_of(seams, [CHUNK, b"data: " + data, CHUNK])
    assert next(stream).id == "c"
    with pytest.raises(TypeError, match="the data of a chat stream line must be a JSON object"):
        next(stream)
    assert seams.response.closed == 1
    with pytest.raises(StopIteration):
        next(stream)


@pytest.mark.parametrize("chunk", [{"id": None}, {"created": "later"}, {"choices": None}, {"model": 5}])
def test_chunk_that_does_not_fit_fails_validation(seams, chunk):
    stream = stream_of(seams, [chunk])
    with pytest.raises(models.ValidationError):
        next(stream)
    assert seams.response.closed == 1


@pytest.mark.parametrize("line", [b'data: {"id": "\xff"}', b"event: \xc3", b": \xed\xa0\x80"])
def test_invalid_utf8_raises_decode_error(seams, line):
    with pytest.raises(UnicodeDecodeError):
        list(stream_of(seams, [line, CHUNK]))
    assert seams.response.closed == 1


def test_line_of_unexpected_type(seams):
    with pytest.raises(TypeError, match="iter_lines\\(\\) gave a line of type int"):
        list(stream_of(seams, [7]))


def test_nothing_sent_before_first_pull_and_errors_come_from_it(seams):
    seams.error = AuthenticationError()
    stream = stream_of(seams, [CHUNK])
    assert seams.calls == []
    with pytest.raises(AuthenticationError):
        next(stream)
    assert len(seams.calls) == 1
    with pytest.raises(StopIteration):
        next(stream)
    assert len(seams.calls) == 1


def test_reader_failure_midway_after_delivered_chunks(seams):
    stream = stream_of(seams, [CHUNK, dict(CHUNK, id="b"), OSError("connection reset"), CHUNK])
    assert [next(stream).id, next(stream).id] == ["c", "b"]
    with pytest.raises(OSError, match="connection reset"):
        next(stream)
    assert seams.response.closed == 1
    assert list(stream) == []


def test_generator_protocol(seams):
    stream = stream_of(seams, [CHUNK, dict(CHUNK, id="b"), dict(CHUNK, id="c2")])
    assert isinstance(stream, collections.abc.Generator) and isinstance(stream, ChatCompletionStream)
    assert iter(stream) is stream
    with pytest.raises(TypeError, match="can't send non-None value to a just-started generator"):
        stream.send(1)
    assert stream.send(None).id == "c"
    assert stream.send("ignored").id == "b"
    assert stream.__next__().id == "c2"
    with pytest.raises(StopIteration):
        stream.send(None)
    with pytest.raises(TypeError):
        ChatCompletionStream()
    assert weakref.ref(stream)() is stream


@pytest.mark.parametrize(
    "args, raised",
    [
        ((KeyError("k"),), KeyError),
        ((KeyError,), KeyError),
        ((ValueError, "v"), ValueError),
        ((ValueError, ("a", "b")), ValueError),
        ((GeneratorExit,), GeneratorExit),
    ],
)
def test_throw_raises_and_releases(seams, args, raised):
    stream = stream_of(seams, [CHUNK, CHUNK])
    next(stream)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(raised):
            stream.throw(*args)
    assert seams.response.closed == 1 and seams.response.pulled == 1
    with pytest.raises(StopIteration):
        next(stream)


@pytest.mark.parametrize(
    "args, message",
    [
        ((), "throw expected at least 1 argument, got 0"),
        ((1,), "exceptions must be classes or instances"),
        ((KeyError("k"), 1), "instance exception may not have a separate value"),
        ((KeyError, None, 5), "third argument must be a traceback"),
    ],
)
def test_throw_argument_errors(seams, args, message):
    stream = stream_of(seams, [CHUNK])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(TypeError, match=message):
            stream.throw(*args)


def test_throw_or_close_before_start_sends_nothing(seams):
    thrown, closed = stream_of(seams, [CHUNK]), stream_of(seams, [CHUNK])
    with pytest.raises(KeyError):
        thrown.throw(KeyError("early"))
    closed.close()
    assert list(thrown) == list(closed) == [] and seams.calls == []


@pytest.mark.parametrize("how", ["close", "with", "drop", "cycle"])
def test_early_release_closes_response_and_reads_no_more(seams, how):
    stream = stream_of(seams, [CHUNK, CHUNK, CHUNK])
    response = seams.response
    if how == "with":
        with stream as entered:
            assert entered is stream
            next(stream)
    else:
        next(stream)
        if how == "close":
            stream.close()
            stream.close()
        elif how == "drop":
            del stream
        else:
            response.owner = stream  # stream -> response -> stream: only the collector frees it
            log = response.log
            del stream, response
            seams.response = None
            gc.collect()
            assert log == ["line", "closed"]
            return
    assert response.closed == 1 and response.pulled == 1


def test_reentrant_pull_refused(seams):
    stream = None

    class Reentrant(FakeResponse):
        def iter_lines(self):
            with pytest.raises(ValueError, match="generator already executing"):
                next(stream)
            with pytest.raises(ValueError, match="generator already executing"):
                stream.close()
            yield b"data: " + json.dumps(CHUNK).encode()

    seams.response = Reentrant([])
    stream = seams.client.chat.completions.create("m", [], stream=True)
    assert next(stream).id == "c"


def test_failing_close_reported_at_the_end(seams):
    class BadClose(FakeResponse):
        def close(self):
            raise OSError("close failed")

    seams.response = BadClose([b"data: " + json.dumps(CHUNK).encode()])
    stream = seams.client.chat.completions.create("m", [], stream=True)
    assert next(stream).id == "c"
    with pytest.raises(OSError, match="close failed"):
        next(stream)


def test_response_is_not_kept_after_finishing(seams):
    stream = stream_of(seams, [CHUNK, CHUNK])
    response = weakref.ref(seams.response)
    handed_over = [seams.response]
    seams.client._request_stream = lambda **kwargs: handed_over.pop()
    seams.response = None
    next(stream)
    assert response() is not None
    list(stream)
    assert response() is None
