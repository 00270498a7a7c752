"""Stand-ins for the chat tests: a fake streamed answer, recorded request seams, and helpers."""

import json


class FakeResponse:
    """A streamed answer: yields `lines` (an exception in the list is raised at its turn)."""

    def __init__(self, lines):
        self.lines = list(lines)
        self.pulled = 0
        self.closed = 0
        self.log = []  # what happened, for tests that must not hold the response itself

    def iter_lines(self):
        for line in self.lines:
            self.pulled += 1
            self.log.append("line")
            if isinstance(line, BaseException):
                raise line
            yield line

    def close(self):
        self.closed += 1
        self.log.append("closed")


class Seams:
    """Replaces a client's _request and _request_stream, recording every call."""

    def __init__(self, client):
        self.client = client
        self.calls = []
        self.answer = {}
        self.response = FakeResponse([])
        self.error = None
        client._request = self._request
        client._request_stream = self._request_stream

    def _request(self, *args, **kwargs):
        self.calls.append(("_request", args, kwargs))
        if self.error:
            raise self.error
        return self.answer

    def _request_stream(self, *args, **kwargs):
        self.calls.append(("_request_stream", args, kwargs))
        if self.error:
            raise self.error
        return self.response

    def sent(self):
        """The one payload sent so far."""
        assert len(self.calls) == 1
        return self.calls[0][2]["json"]


def stream_of(seams, lines, **create_args):
    """A started-to-be stream over `lines` (bytes or text, b"data: " prefix added to dicts)."""
    seams.response = FakeResponse(
        b"data: " + json.dumps(line).encode() if isinstance(line, dict) else line for line in lines
    )
    create_args.setdefault("model", "m")
    create_args.setdefault("messages", [])
    return seams.client.chat.completions.create(stream=True, **create_args)


def received_members(httpserver):
    """The members of the one JSON body the server received, in order."""
    ((request, _response),) = httpserver.log
    return json.loads(request.get_data(), object_pairs_hook=list)
