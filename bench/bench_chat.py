"""Chat completions, whole and streamed, side by side against one local server in one run.

Peers: korvane_sdk; the openai package (base_url pointed at the same server, it speaks the same
chat shape); the classic design, requests + json + pydantic models; and the floor, a plain C++
client (libcurl + simdjson) that parses every answer into C++ structs. The server
(chat_server.cpp) sends a fixed whole answer, or a fixed stream of STREAM_CHUNKS chunks and
"[DONE]" in 16 KiB pieces. Both C++ programs are built here with g++ on first use.
"""

import json
import os
import pathlib
import statistics
import subprocess
import sys
import time

import callgrind

HERE = pathlib.Path(__file__).resolve().parent
BUILD = HERE.parent / "build" / "bench"
STREAM_CHUNKS = 10_000
MESSAGES = [{"role": "user", "content": "Hello"}]
MODEL = "bench-model"


def built(name, libraries):
    """The path of bench/<name>.cpp built with g++, rebuilt when the source is newer."""
    source, program = HERE / f"{name}.cpp", BUILD / name
    if not program.exists() or program.stat().st_mtime < source.stat().st_mtime:
        BUILD.mkdir(parents=True, exist_ok=True)
        subprocess.run(["g++", "-O2", "-std=c++20", "-o", str(program), str(source), *libraries], check=True)
    return str(program)


class Server:
    def __enter__(self):
        program = built("chat_server", ["-lcpp-httplib", "-lpthread"])
        self.process = subprocess.Popen([program, "0", str(STREAM_CHUNKS)], stdout=subprocess.PIPE, text=True)
        self.url = "http://127.0.0.1:%s" % self.process.stdout.readline().strip()
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait(timeout=10)


# ---- peers -------------------------------------------------------------------------------------


def korvane_peer(url):
    import korvane_sdk.http
    import korvane_sdk.models
    from korvane_sdk import KorvaneClient

    if not hasattr(korvane_sdk.http.Session, "request"):
        return None, "the HTTP layer is not bound in this build"
    if not hasattr(korvane_sdk.models, "ChatCompletion"):
        return None, "the record engine is not bound in this build"
    client = KorvaneClient(api_key="sk-bench", proxy_url=url)
    completions = client.chat.completions

    def whole():
        return completions.create(MODEL, MESSAGES).choices[0].message.content

    def stream():
        count = 0
        for _chunk in completions.create(MODEL, MESSAGES, stream=True):
            count += 1
        return count

    return (whole, stream), None


def openai_peer(url):
    try:
        import openai
    except ImportError:
        return None, "the openai package is not installed"
    client = openai.OpenAI(api_key="sk-bench", base_url=url + "/v1", max_retries=0)

    def whole():
        return client.chat.completions.create(model=MODEL, messages=MESSAGES).choices[0].message.content

    def stream():
        count = 0
        for _chunk in client.chat.completions.create(model=MODEL, messages=MESSAGES, stream=True):
            count += 1
        return count

    return (whole, stream), None


def classic_peer(url):
    try:
        import requests
        from pydantic_twins import (
            ChatCompletion,
            ChatCompletionChoice,
            ChatCompletionChunk,
            ChatCompletionUsage,
            ChatMessage,
        )
    except ImportError:
        return None, "requests or pydantic is not installed"

    session = requests.Session()
    endpoint = url + "/v1/chat/completions"
    headers = {"Content-Type": "application/json", "User-Agent": "bench", "Authorization": "Bearer sk-bench"}

    def payload(stream):
        return {"model": MODEL, "messages": MESSAGES, "temperature": 0.7, "stream": stream, "n": 1}

    def whole():
        answer = session.request(method="POST", url=endpoint, json=payload(False), headers=headers, timeout=60).json()
        choices = [
            ChatCompletionChoice(
                index=c.get("index", i),
                finish_reason=c.get("finish_reason"),
                message=ChatMessage(
                    role=c.get("message", {}).get("role", "assistant"), content=c.get("message", {}).get("content", "")
                ),
            )
            for i, c in enumerate(answer.get("choices", []))
        ]
        usage = answer.get("usage")
        completion = ChatCompletion(
            id=answer.get("id", ""),
            object=answer.get("object", "chat.completion"),
            created=answer.get("created", 0),
            model=answer.get("model", MODEL),
            choices=choices,
            usage=ChatCompletionUsage(**usage) if usage else None,
            rerank_tier=answer.get("rerank_tier"),
            quantum_enhanced=answer.get("quantum_enhanced", False),
        )
        return completion.choices[0].message.content

    def stream():
        response = session.request(
            method="POST", url=endpoint, json=payload(True), headers=headers, timeout=60, stream=True
        )
        count = 0
        for line in response.iter_lines():
            if not line:
                continue
            line = line.decode("utf-8")
            if not line.startswith("data: "):
                continue
            data = line[6:]
            if data.strip() == "[DONE]":
                break
            try:
                chunk = json.loads(data)
            except json.JSONDecodeError:
                continue
            ChatCompletionChunk(
                id=chunk.get("id", ""),
                object=chunk.get("object", "chat.completion.chunk"),
                created=chunk.get("created", 0),
                model=chunk.get("model", ""),
                choices=chunk.get("choices", []),
            )
            count += 1
        response.close()
        return count

    return (whole, stream), None


def floor_peer(url):
    program = built("chat_floor", ["-lcurl", "-lsimdjson"])

    def run(mode, count):
        """ "whole": microseconds per call; "stream"/"parse": chunks per second of each round."""
        out = subprocess.run([program, mode, url, str(count)], check=True, capture_output=True, text=True).stdout
        figures = [float(word) for word in out.split()]
        return figures[0] if mode == "whole" else figures[:-1]

    return run


# ---- measuring ---------------------------------------------------------------------------------


def per_call_us(call, calls, rounds=5):
    """Median over rounds of the mean time per call, in microseconds."""
    call()
    results = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            call()
        results.append((time.perf_counter() - start) / calls * 1e6)
    return statistics.median(results)


def stream_rate(stream):
    """Chunks per second of one whole stream."""
    start = time.perf_counter()
    count = stream()
    return count / (time.perf_counter() - start)


def chunks_per_second(stream, rounds):
    """Median over rounds of whole-stream throughput."""
    assert stream() == STREAM_CHUNKS
    return statistics.median(stream_rate(stream) for _ in range(rounds))


def against_floor(stream, floor, rounds=9):
    """Our rate and the floor's, rounds interleaved (ours, then a floor process's second round on a
    warm connection) so both see the same machine; medians of each and of the per-round ratio."""
    assert stream() == STREAM_CHUNKS
    ours, theirs, ratios = [], [], []
    for _ in range(rounds):
        ours.append(stream_rate(stream))
        theirs.append(floor("stream", 2)[-1])
        ratios.append(theirs[-1] / ours[-1])
    return statistics.median(ours), statistics.median(theirs), statistics.median(ratios)


def in_memory_stream_rate(rounds=7):
    """korvane_sdk's generator alone: the same body's lines from memory, no transport."""
    import urllib.request

    from korvane_sdk import KorvaneClient

    with Server() as server:
        request = urllib.request.Request(server.url + "/v1/chat/completions", data=b'{"stream":true}', method="POST")
        lines = urllib.request.urlopen(request).read().splitlines()

    class Response:
        def iter_lines(self):
            return iter(lines)

        def close(self):
            pass

    client = KorvaneClient()
    client._request_stream = lambda **kwargs: Response()
    return chunks_per_second(lambda: sum(1 for _ in client.chat.completions.create(MODEL, [], stream=True)), rounds)


# A client streaming `rounds` streams, run whole under callgrind (korvane_sdk from this checkout).
STREAM_SCRIPT = """
import sys
from korvane_sdk import KorvaneClient
completions = KorvaneClient(api_key="sk-bench", proxy_url=sys.argv[1]).chat.completions
for _ in range(int(sys.argv[2])):
    for _chunk in completions.create("bench-model", [{"role": "user", "content": "Hello"}], stream=True):
        pass
"""


def instructions_per_chunk(url):
    """Instructions each streamed chunk costs ours and the floor, from whole runs of 1 and 3 streams
    (the difference leaves start-up out); None without valgrind."""
    if not callgrind.available():
        return None
    floor_program = built("chat_floor", ["-lcurl", "-lsimdjson"])
    ours = [callgrind.instructions([sys.executable, "-c", STREAM_SCRIPT, url, str(n)]) for n in (1, 3)]
    floor = [callgrind.instructions([floor_program, "stream", url, str(n)]) for n in (1, 3)]

    def per(counts):
        return (counts[1] - counts[0]) / (2 * STREAM_CHUNKS)

    return per(ours), per(floor)


def main():
    calls = int(os.environ.get("BENCH_CHAT_CALLS", "300"))
    rows_whole, rows_stream, notes = [], [], []
    with Server() as server:
        floor = floor_peer(server.url)
        peers = {}
        for name, make in (
            ("korvane_sdk", korvane_peer),
            ("openai", openai_peer),
            ("requests+json+pydantic", classic_peer),
        ):
            functions, why_not = make(server.url)
            if functions is None:
                notes.append(f"{name}: not measured ({why_not})")
            else:
                peers[name] = functions
        floor_ratio, floor_row = None, None
        for name, (whole, stream) in peers.items():
            slow = name != "korvane_sdk"
            rows_whole.append((name, per_call_us(whole, calls // 3 if slow else calls)))
            if slow:
                rows_stream.append((name, chunks_per_second(stream, 3)))
            else:
                ours, theirs, floor_ratio = against_floor(stream, floor)
                rows_stream.append((name, ours))
                floor_row = ("C++ floor (libcurl+simdjson)", theirs)
        rows_whole.append(("C++ floor (libcurl+simdjson)", floor("whole", calls * 3)))
        if floor_row is None:
            floor_row = ("C++ floor (libcurl+simdjson)", statistics.median(floor("stream", 7)))
        rows_stream.append(floor_row)
        floor_parse = statistics.median(floor("parse", 7))
        counted = instructions_per_chunk(server.url)
    try:
        memory_rate = in_memory_stream_rate()
    except Exception as error:  # the records engine may not be bound yet
        memory_rate = None
        notes.append(f"in-memory stream: not measured ({error!r})")

    print(f"whole completion, microseconds per call (lower is better; {calls} calls per round)")
    ours = dict(rows_whole).get("korvane_sdk")
    for name, value in rows_whole:
        ratio = ""
        if ours and name.startswith("C++"):
            ratio = f"  korvane_sdk takes {ours / value:5.2f}x its time"
        elif ours and name != "korvane_sdk":
            ratio = f"  korvane_sdk is {value / ours:5.1f}x faster"
        print(f"  {name:<30} {value:10.1f}{ratio}")
    print(f"\nstream of {STREAM_CHUNKS} chunks, chunks per second (higher is better)")
    ours = dict(rows_stream).get("korvane_sdk")
    for name, value in rows_stream:
        ratio = ""
        if ours and name.startswith("C++"):
            ratio = f"  it is {value / ours:5.2f}x korvane_sdk's rate"
            if floor_ratio:
                ratio += f" (median of the interleaved rounds' ratios: {floor_ratio:.2f}x)"
        elif ours and name != "korvane_sdk":
            ratio = f"  korvane_sdk is {ours / value:5.1f}x faster"
        print(f"  {name:<30} {value:12,.0f}{ratio}")
    if counted:
        print(
            f"  instructions per chunk (callgrind, client process): korvane_sdk {counted[0]:,.0f}, "
            f"floor {counted[1]:,.0f}: {counted[0] / counted[1]:.2f}x"
        )
    print("\nwithout transport (the same body's lines from memory)")
    if memory_rate:
        print(f"  {'korvane_sdk generator':<30} {memory_rate:12,.0f}")
    print(
        f"  {'C++ split + parse':<30} {floor_parse:12,.0f}"
        + (f"  it is {floor_parse / memory_rate:5.2f}x the generator's rate" if memory_rate else "")
    )
    for note in notes:
        print("note:", note)


if __name__ == "__main__":
    sys.exit(main())
