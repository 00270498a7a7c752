"""Thousands of calls and streams at once on one event loop, against the async peers, in one run.

A local nginx serves fixed bodies (a whole chat answer, a stream of STREAM_CHUNKS chunks and
"[DONE]"), sized for N connections at once. Each peer runs in a process of its own
(async_peers.py); the floor is async_floor.cpp (libcurl's multi interface on one thread, simdjson
on-demand into string views). Rates are whole-process figures over each peer's best round;
connections are counted by nginx (stub_status) over the later rounds.

Environment: KORVANE_BENCH_N (default 1000), KORVANE_BENCH_ROUNDS (default 3).
"""

import json
import os
import pathlib
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = pathlib.Path(__file__).resolve().parent
BUILD = HERE.parent / "build" / "bench"
N = int(os.environ.get("KORVANE_BENCH_N", "1000"))
ROUNDS = int(os.environ.get("KORVANE_BENCH_ROUNDS", "3"))
STREAM_CHUNKS = 100
LONG_STREAM_CHUNKS = 100_000  # one stream alone: the chunk path without the per-request costs
PEERS = ["korvane-aio", "korvane-http-aio", "aiohttp", "httpx", "openai", "korvane-threads"]


def whole_answer():
    content = "".join(f"word{i} " for i in range(100))
    return json.dumps(
        {
            "id": "chatcmpl-bench",
            "object": "chat.completion",
            "created": 1700000000,
            "model": "bench-model",
            "choices": [{"index": 0, "message": {"role": "assistant", "content": content}, "finish_reason": "stop"}],
            "usage": {"prompt_tokens": 12, "completion_tokens": 100, "total_tokens": 112},
        },
        separators=(",", ":"),
    )


def stream_body(chunks=STREAM_CHUNKS):
    lines = []
    for i in range(chunks):
        chunk = {
            "id": "chatcmpl-bench",
            "object": "chat.completion.chunk",
            "created": 1700000000,
            "model": "bench-model",
            "choices": [
                {
                    "index": 0,
                    "delta": {"content": f"tok{i} "},
                    "finish_reason": "stop" if i + 1 == chunks else None,
                }
            ],
        }
        lines.append("data: " + json.dumps(chunk, separators=(",", ":")) + "\n\n")
    return "".join(lines) + "data: [DONE]\n\n"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def built_floor():
    source, program = HERE / "async_floor.cpp", BUILD / "async_floor"
    if not program.exists() or program.stat().st_mtime < source.stat().st_mtime:
        BUILD.mkdir(parents=True, exist_ok=True)
        # For this machine's instruction set: on-demand parsing picks its kernel when compiled.
        subprocess.run(
            ["g++", "-O2", "-march=native", "-std=c++20", "-o", str(program), str(source), "-lcurl", "-lsimdjson"],
            check=True,
        )
    return str(program)


class Nginx:
    """nginx in the foreground, one worker, with a plain port and a TLS + HTTP/2 port."""

    def __enter__(self):
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="korvane-bench-nginx-"))
        self.port, self.tls_port = free_port(), free_port()
        subprocess.run(
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost".split()
            + ["-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"]
            + ["-keyout", str(self.dir / "key.pem"), "-out", str(self.dir / "cert.pem")],
            check=True,
            capture_output=True,
        )
        (self.dir / "whole.json").write_text(whole_answer())
        (self.dir / "stream.txt").write_text(stream_body())
        (self.dir / "long.txt").write_text(stream_body(LONG_STREAM_CHUNKS))
        # POST is answered from files: the static module refuses POST with 405, which error_page
        # turns into the file itself, status 200.
        answers = (
            """
            location /status { stub_status; }
            location /whole/ { default_type application/json; error_page 405 =200 /files/whole.json; return 405; }
            location /stream/ { default_type text/event-stream; error_page 405 =200 /files/stream.txt; return 405; }
            location /long/ { default_type text/event-stream; error_page 405 =200 /files/long.txt; return 405; }
            location /files/ { internal; alias %s/; }
        """
            % self.dir
        )
        connections = 4 * N + 512
        (self.dir / "nginx.conf").write_text(f"""
daemon off; master_process off; worker_processes 1;
worker_rlimit_nofile {2 * connections};
pid {self.dir}/nginx.pid; error_log {self.dir}/error.log warn;
events {{ worker_connections {connections}; multi_accept on; }}
http {{
    access_log off; keepalive_requests 1000000; keepalive_timeout 300s; http2_max_concurrent_streams 1000;
    client_body_temp_path {self.dir}/body; proxy_temp_path {self.dir}/proxy;
    fastcgi_temp_path {self.dir}/fastcgi; uwsgi_temp_path {self.dir}/uwsgi; scgi_temp_path {self.dir}/scgi;
    server {{ listen 127.0.0.1:{self.port} backlog=4096; {answers} }}
    server {{ listen 127.0.0.1:{self.tls_port} ssl http2; ssl_certificate {self.dir}/cert.pem;
             ssl_certificate_key {self.dir}/key.pem; {answers} }}
}}
""")
        self.process = subprocess.Popen(
            ["nginx", "-c", str(self.dir / "nginx.conf"), "-p", str(self.dir)], stderr=subprocess.PIPE
        )
        for _ in range(100):
            try:
                self.accepted()
                break
            except OSError:
                time.sleep(0.05)
        else:
            raise RuntimeError("nginx did not start: " + self.process.stderr.read().decode())
        self.url = f"http://127.0.0.1:{self.port}"
        self.tls_url = f"https://localhost:{self.tls_port}"
        return self

    def accepted(self):
        """Connections nginx has accepted so far (stub_status), on both ports."""
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/status", timeout=5) as answer:
            return int(answer.read().decode().splitlines()[2].split()[0]) - 1  # this request's own

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait(timeout=10)
        shutil.rmtree(self.dir, ignore_errors=True)


def run_peer(peer, scenario, url, n=N, rounds=ROUNDS, env=None):
    command = [sys.executable, str(HERE / "async_peers.py"), peer, scenario, url, str(n), str(rounds)]
    done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=600)
    if done.returncode != 0:
        return {"skipped": (done.stderr.strip().splitlines() or ["failed"])[-1]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def run_floor(scenario, url, n=N):
    done = subprocess.run(
        [built_floor(), scenario, url, str(n), str(ROUNDS)], capture_output=True, text=True, timeout=600
    )
    if done.returncode != 0:
        return {"skipped": done.stderr.strip() or "failed"}
    rounds = [
        dict(zip(("count", "wall", "cpu"), map(float, line.split()), strict=True)) for line in done.stdout.splitlines()
    ]
    return {"rounds": rounds}


def later_connections(result):
    """Connections opened after the first round (each round's count includes the status request)."""
    counts = [r.get("accepted") for r in result.get("rounds") or []]
    if len(counts) < 2 or None in counts:
        return None
    return counts[-1] - counts[0] - (len(counts) - 1)


def best(result):
    """(rate per second, CPU microseconds per unit) of the fastest round."""
    rounds = result.get("rounds") or []
    if not rounds:
        return None
    top = min(rounds, key=lambda r: r["wall"] / max(r["count"], 1))
    return top["count"] / top["wall"], top["cpu"] / max(top["count"], 1) * 1e6


def rows(results, ratio):
    """One table row per peer: its rate, ratio(rate) and its CPU per unit."""
    for name, result in results.items():
        measured = best(result)
        if measured is None:
            print(f"| {name} | skipped: {result.get('skipped', 'no rounds')} | | |")
            continue
        print(f"| {name} | {measured[0]:,.0f} | {ratio(measured[0])} | {measured[1]:.2f} |")


def table(title, unit, results, reference):
    print(f"\n### {title}: N = {N} at once, best of {ROUNDS} rounds\n")
    print(f"| peer | {unit}/s | ratio to {reference} | CPU µs per {unit[:-1]} |")
    print("|---|---|---|---|")
    base = best(results.get(reference, {}))
    rows(results, lambda rate: f"{rate / base[0]:.2f}x" if base else "")


def main():
    if shutil.which("nginx") is None:
        print("nginx is not installed: skipped")
        return
    with Nginx() as server:
        for scenario, unit, base in (
            ("stream", "chunks", server.url + "/stream"),
            ("whole", "calls", server.url + "/whole"),
        ):
            results = {"floor (C, multi)": run_floor(scenario, base)}
            env = dict(os.environ, KORVANE_BENCH_STATUS=server.url + "/status")
            for peer in PEERS:
                results[peer] = run_peer(peer, scenario, base, env=env)
            table(f"{scenario} calls", unit, results, "aiohttp")
            print(
                "\nnew connections in the rounds after the first: "
                + ", ".join(
                    f"{name} {later}"
                    for name, later in ((name, later_connections(result)) for name, result in results.items())
                    if later is not None
                )
            )

        print(f"\n### memory per open stream: N = {N} streams opened, first chunk read, held\n")
        print("| peer | KiB per open stream |\n|---|---|")
        for peer in ("korvane-aio", "korvane-http-aio", "aiohttp", "httpx", "openai"):
            result = run_peer(peer, "hold", server.url + "/stream")
            if "rss_open_kib" not in result:
                print(f"| {peer} | skipped: {result.get('skipped', 'failed')} |")
                continue
            print(f"| {peer} | {(result['rss_open_kib'] - result['rss_before_kib']) / N:.1f} |")

        # One stream alone: the chunk path of the blocking and the awaited client against the floor's
        # single transfer (the same program with N = 1).
        print(f"\n### one stream of {LONG_STREAM_CHUNKS:,} chunks alone, best of {ROUNDS} rounds\n")
        print("| peer | chunks/s | times the floor's time | CPU µs per chunk |\n|---|---|---|---|")
        long_url = server.url + "/long"
        alone = {
            "floor (C, one transfer)": run_floor("stream", long_url, n=1),
            "korvane (blocking)": run_peer("korvane-blocking", "stream", long_url, n=1),
            "korvane-aio": run_peer("korvane-aio", "stream", long_url, n=1),
        }
        floor = best(alone["floor (C, one transfer)"])
        rows(alone, lambda rate: f"{floor[0] / rate:.2f}x" if floor else "")

        # The certificate named by every variable a client may read first (REQUESTS_CA_BUNDLE before
        # SSL_CERT_FILE for ours), so a machine's own settings do not hide it.
        cert = str(server.dir / "cert.pem")
        env = dict(os.environ, SSL_CERT_FILE=cert, REQUESTS_CA_BUNDLE=cert, CURL_CA_BUNDLE=cert)
        before = server.accepted()
        for peer in ("korvane-aio", "korvane-http-aio"):
            result = run_peer(peer, "stream", server.tls_url + "/stream", n=100, rounds=1, env=env)
            if "rounds" in result:
                break
        if "rounds" in result:
            print(f"\n100 concurrent streams over TLS + HTTP/2 ({peer}): {server.accepted() - before} connection(s)")
        else:
            print(f"\n100 concurrent streams over TLS + HTTP/2: skipped ({result.get('skipped')})")


if __name__ == "__main__":
    main()
