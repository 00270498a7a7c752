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
