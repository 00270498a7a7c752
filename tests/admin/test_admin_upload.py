"""upload_dataset: the data file is opened for the one request and closed on every way out."""

import pytest
from admin_samples import DATASET
from korvane_sdk.exceptions import KorvaneError, ServerError


@pytest.fixture
def data_file(tmp_path):
    path = tmp_path / "train.jsonl"
    path.write_bytes(b'{"prompt": "a", "completion": "b"}\n')
    return path


class UploadProbe:
    """An answer function that looks at the file while the request is being made."""

    def __init__(self, outcome):
        self.outcome = outcome
        self.seen = None

    def __call__(self, **kwargs):
        file = kwargs["files"]["file"]
        self.file = file
        self.seen = (file.closed, file.mode, file.read())
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome


@pytest.mark.parametrize(
    "tenant_id, path",
    [
        (None, "/api/v1/datasets/ds-1/upload"),
        ("", "/api/v1/datasets/ds-1/upload"),
        ("ten", "/api/v1/tenants/ten/datasets/ds-1/upload"),
    ],
)
def test_upload_sends_the_open_file_and_closes_it(client, recorder, data_file, tenant_id, path):
    probe = recorder.answer = UploadProbe(DATASET)
    dataset = client.training.upload_dataset("ds-1", str(data_file), tenant_id)
    (call,) = recorder.calls
    assert set(call) == {"method", "path", "files"}
    assert (call["method"], call["path"], list(call["files"])) == ("POST", path, ["file"])
    assert probe.seen == (False, "rb", data_file.read_bytes())
    assert probe.file.name == str(data_file)
    assert probe.file.closed
    assert dataset.id == "ds-1"


@pytest.mark.parametrize("failure", [ServerError("Server error"), KeyboardInterrupt()])
def test_upload_closes_the_file_when_the_request_fails(client, recorder, data_file, failure):
    probe = recorder.answer = UploadProbe(failure)
    with pytest.raises(type(failure)) as raised:
        client.training.upload_dataset("ds-1", data_file)
    assert raised.value is failure
    assert probe.seen[0] is False and probe.file.closed


def test_upload_closes_the_file_when_the_answer_is_not_a_dataset(client, recorder, data_file):
    probe = recorder.answer = UploadProbe("accepted")
    with pytest.raises(KorvaneError, match="expected a JSON object, got str"):
        client.training.upload_dataset("ds-1", data_file)
    assert probe.file.closed


@pytest.mark.parametrize(
    "make_path, error",
    [
        (lambda tmp: tmp / "missing.jsonl", FileNotFoundError),
        (lambda tmp: tmp, IsADirectoryError),
    ],
)
def test_upload_of_a_file_that_cannot_be_opened_sends_nothing(client, recorder, tmp_path, make_path, error):
    with pytest.raises(error):
        client.training.upload_dataset("ds-1", str(make_path(tmp_path)))
    assert recorder.calls == []


LINES = b'{"prompt": "a", "response": "b"}\n\n{"prompt": "c", "response": "d"}\n'


class ChunkedReader:
    """A readable that is neither a disk file nor a BytesIO; records the sizes it was asked for."""

    def __init__(self, data):
        self.data, self.asked, self.closed = data, [], False

    def read(self, size=-1):
        self.asked.append(size)
        size = len(self.data) if size is None or size < 0 else size
        piece, self.data = self.data[:size], self.data[size:]
        return piece


def sources(tmp_path):
    """(source, the bytes it sends): each is sent from its position and stays the caller's."""
    on_disk = tmp_path / "train.jsonl"
    on_disk.write_bytes(b"skipped\n" + LINES)
    opened = open(on_disk, "rb")  # noqa: SIM115 - the caller's file, closed by the test
    opened.seek(len(b"skipped\n"))
    memory = __import__("io").BytesIO(b"skipped\n" + LINES)
    memory.seek(len(b"skipped\n"))
    return [(opened, LINES), (memory, LINES), (ChunkedReader(LINES), LINES)]


def test_upload_of_a_file_object_sends_it_from_its_position_and_leaves_it_open(client, recorder, tmp_path):
    def answer(**call):
        file = call["files"]["file"]
        position = file.tell()
        sent.extend([file, file.read()])
        file.seek(position)  # as the HTTP layer leaves it
        return DATASET

    recorder.answer = answer
    for source, expected in sources(tmp_path):
        sent = []
        assert client.training.upload_dataset("ds-1", source).id == "ds-1"
        assert sent[1] == expected, source
        assert not source.closed
        if isinstance(source, ChunkedReader):
            # copied piece by piece, never asked for everything at once
            assert sent[0] is not source and all(0 < size <= 1 << 20 for size in source.asked)
        else:
            assert sent[0] is source and source.tell() == len(b"skipped\n")
            source.close()


@pytest.mark.parametrize(
    "make_source, error, message",
    [
        (lambda path: LINES, TypeError, r"not bytes; .*io\.BytesIO\(data\)"),
        (lambda path: bytearray(LINES), TypeError, r"io\.BytesIO\(data\)"),
        (lambda path: memoryview(LINES), TypeError, r"io\.BytesIO\(data\)"),
        (lambda path: True, TypeError, "not bool"),
        (lambda path: 3.5, TypeError, "path of a JSONL file or a binary file object"),
        (lambda path: open(path, encoding="utf-8"), TypeError, r"binary mode \('rb'\)"),  # noqa: SIM115
        (lambda path: open(path, "ab"), ValueError, "open for reading"),  # noqa: SIM115
    ],
)
def test_upload_refuses_what_is_no_path_or_readable_binary_file(
    client, recorder, data_file, make_source, error, message
):
    source = make_source(data_file)
    with pytest.raises(error, match=message):
        client.training.upload_dataset("ds-1", source)
    assert recorder.calls == []
    if hasattr(source, "close"):
        source.close()


def test_upload_from_a_descriptor_leaves_it_open(client, recorder, data_file):
    import os

    fd = os.open(data_file, os.O_RDONLY)
    try:
        recorder.answer = UploadProbe(DATASET)
        client.training.upload_dataset("ds-1", fd)
        assert recorder.answer.seen[2] == data_file.read_bytes()
        os.fstat(fd)  # still open: the descriptor is the caller's
    finally:
        os.close(fd)


def test_the_platform_counts_the_streamed_lines(emulator, new_client, tmp_path):
    # Over the wire to the stand-in: what arrives is exactly the bytes from each source's position.
    with new_client(api_key=emulator.admin_key, api_url=emulator.url, proxy_url=emulator.url) as client:
        for source, expected in sources(tmp_path):
            dataset = client.training.create_dataset("upload")
            dataset = client.training.upload_dataset(dataset.id, source)
            assert (dataset.num_examples, dataset.size_bytes) == (2, len(expected))
            if hasattr(source, "close"):
                source.close()
