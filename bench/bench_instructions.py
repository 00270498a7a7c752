"""Instructions the client process executes (callgrind) per streamed chunk (iterated plainly, and then
put back together with get_final_completion()), per whole chat call and per
list of 10,000 tenants: the figures a change to the request path must keep, steady on a shared machine.
Each is the difference between a run of N and of 3N operations, so start-up and imports drop out.
The chat figures are taken again with OpenTelemetry imported but no provider set (telemetry must
cost nothing then) and with an SDK tracer provider set (a span per call, exported nowhere).

Run: ./run bench instructions
"""

import importlib.util
import sys

import bench_admin
import bench_chat
import callgrind

STREAM = """
import sys
from korvane_sdk import KorvaneClient
completions = KorvaneClient(api_key="sk-bench", proxy_url=sys.argv[1]).chat.completions
for _ in range(int(sys.argv[2])):
    for _chunk in completions.create("bench-model", [{"role": "user", "content": "Hello"}], stream=True):
        pass
"""

STREAM_FINAL = """
import sys
from korvane_sdk import KorvaneClient
completions = KorvaneClient(api_key="sk-bench", proxy_url=sys.argv[1]).chat.completions
for _ in range(int(sys.argv[2])):
    stream = completions.create("bench-model", [{"role": "user", "content": "Hello"}], stream=True)
    for _chunk in stream:
        pass
    assert stream.get_final_completion().choices[0].finish_reason == "stop"
"""

WHOLE = """
import sys
from korvane_sdk import KorvaneClient
completions = KorvaneClient(api_key="sk-bench", proxy_url=sys.argv[1]).chat.completions
for _ in range(int(sys.argv[2])):
    completions.create("bench-model", [{"role": "user", "content": "Hello"}])
"""

LIST = """
import sys
from korvane_sdk import KorvaneClient
tenants = KorvaneClient(api_key="sk-bench", api_url=sys.argv[1]).tenants
for _ in range(int(sys.argv[2])):
    assert len(tenants.list()) == 10_000
"""


# What the chat scripts run first, per telemetry setting.
TELEMETRY = {
    "no OpenTelemetry": "",
    "OpenTelemetry imported, no provider": "import opentelemetry.trace, opentelemetry.metrics\n",
    "OpenTelemetry tracer provider set": (
        "from opentelemetry import trace\n"
        "from opentelemetry.sdk.trace import TracerProvider\n"
        "trace.set_tracer_provider(TracerProvider())\n"
    ),
}


def per_operation(script, url, count):
    """Instructions per operation, from runs of `count` and 3 * `count` operations."""
    runs = [callgrind.instructions([sys.executable, "-c", script, url, str(n)]) for n in (count, 3 * count)]
    return (runs[1] - runs[0]) / (2 * count)


def main():
    if not callgrind.available():
        print("  valgrind not found: nothing measured")
        return
    settings = TELEMETRY if importlib.util.find_spec("opentelemetry.sdk") else {"no OpenTelemetry": ""}
    chat = {}
    with bench_chat.Server() as server:
        for setting, prelude in settings.items():
            chat[setting] = (
                per_operation(prelude + STREAM, server.url, 1) / bench_chat.STREAM_CHUNKS,
                per_operation(prelude + WHOLE, server.url, 100),
            )
        final = per_operation(STREAM_FINAL, server.url, 1) / bench_chat.STREAM_CHUNKS
    chunk, call = chat["no OpenTelemetry"]
    platform = bench_admin.start_platform()
    try:
        listing = per_operation(LIST, platform.url, 1)
    finally:
        platform.terminate()
    print(f"  instructions per stream chunk:          {chunk:,.0f}")
    print(f"  ... with get_final_completion() after:  {final:,.0f}")
    print(f"  instructions per whole chat call:       {call:,.0f}")
    print(f"  instructions per list of 10,000 tenants: {listing:,.0f}")
    for setting, (setting_chunk, setting_call) in chat.items():
        if setting == "no OpenTelemetry":
            continue
        print(
            f"  {setting}: per chunk {setting_chunk:,.0f} ({setting_chunk / chunk - 1:+.1%}),"
            f" per whole call {setting_call:,.0f} ({setting_call / call - 1:+.1%})"
        )
