"""Multipart uploads: exact bytes, file names, positions, repeated sends."""

import io
import os
import re

import pytest
from korvane_sdk.http import RequestException
from rawserver import keep_alive


def body_of(request):
    head, _, body = request.partition(b"\r\n\r\n")
    return head.decode(), body


def expected_body(boundary, name, filename, data):
    return (
        f'--{boundary}\r\nContent-Disposition: form-data; name="{name}"; filename="{filename}"\r\n\r\n'.encode()
        + data
        + f"\r\n--{boundary}--\r\n".encode()
    )


def sent_upload(server, index=0):
    head, body = body_of(server.requests[index])
    match = re.search(r"(?im)^content-type: multipart/form-data; boundary=(\w+)", head)
    assert match, head
    length = int(re.search(r"(?im)^content-length: (\d+)", head).group(1))
    assert length == len(body)
    return match.group(1), body


def test_file_part_is_exact_and_has_no_content_type(raw_server, session, tmp_path):
    path = tmp_path / "train data.jsonl"
    data = b'{"a": 1}\n' * 1000
    path.write_bytes(data)
    server = raw_server(keep_alive())
    with open(path, "rb") as f:
        session.request("POST", server.url + "/up", files={"file": f})
    boundary, body = sent_upload(server)
    assert body == expected_body(boundary, "file", "train data.jsonl", data)


def test_upload_from_current_position_resent_whole_on_a_second_call(raw_server, session, tmp_path):
    path = tmp_path / "d.txt"
    path.write_bytes(b"HEADER|" + b"payload" * 5000)
    server = raw_server(keep_alive())
    with open(path, "rb") as f:
        f.read(7)
        files = {"file": f}
        session.request("POST", server.url, files=files)
        session.request("POST", server.url, files=files)
        assert f.tell() == 7
    bodies = [sent_upload(server, i) for i in range(2)]
    for boundary, body in bodies:
        assert body == expected_body(boundary, "file", "d.txt", b"payload" * 5000)


@pytest.mark.parametrize(
    "value, filename, data",
    [
        (io.BytesIO(b"in memory"), "file", b"in memory"),
        (b"raw bytes", "file", b"raw bytes"),
        ("text \u00e9", "file", "text \u00e9".encode()),
        (("name.csv", b"a,b"), "name.csv", b"a,b"),
        (io.StringIO("string io"), "file", b"string io"),
    ],
)
def test_in_memory_values(raw_server, session, value, filename, data):
    server = raw_server(keep_alive())
    session.request("POST", server.url, files={"file": value})
    session.request("POST", server.url, files={"file": value})
    for i in range(2):
        boundary, body = sent_upload(server, i)
        assert body == expected_body(boundary, "file", filename, data)


def test_bytesio_position_is_respected_and_kept(raw_server, session):
    buffer = io.BytesIO(b"skip|keep")
    buffer.seek(5)
    server = raw_server(keep_alive())
    session.request("POST", server.url, files={"file": buffer})
    assert buffer.tell() == 5
    buffer.write(b"grown")  # the buffer is released after the request
    boundary, body = sent_upload(server)
    assert body == expected_body(boundary, "file", "file", b"keep")


def test_quotes_and_line_breaks_cannot_escape_the_part_header(raw_server, session):
    server = raw_server(keep_alive())
    session.request("POST", server.url, files={'fi"eld': ('a"b\r\nX: y', b"d")})
    boundary, body = sent_upload(server)
    assert body.startswith(
        f'--{boundary}\r\nContent-Disposition: form-data; name="fi%22eld"; filename="a%22b%0D%0AX: y"\r\n\r\nd'.encode()
    )


def test_empty_files_mapping_sends_json(raw_server, session):
    server = raw_server(keep_alive())
    session.request("POST", server.url, json={"a": 1}, files={})
    head, body = body_of(server.requests[0])
    assert body == b'{"a":1}' and "application/json" in head


def test_file_that_shrinks_is_never_sent_as_whole(raw_server, session, tmp_path):
    path = tmp_path / "big.bin"
    path.write_bytes(b"z" * (16 << 20))

    def handler(conn, server):
        conn.recv(65536)
        os.truncate(path, 1000)  # while the upload is under way
        while conn.recv(1 << 20):
            pass

    server = raw_server(handler)
    with open(path, "rb") as f:
        with pytest.raises(RequestException, match="shorter"):
            session.request("POST", server.url, files={"file": f}, timeout=2)
