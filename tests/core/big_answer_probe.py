"""Run as a program: one call of a client (blocking or async) to `url`, whose answer is a large body
that is not JSON; prints the growth of the peak resident set over the call in bytes."""

import asyncio
import sys

from korvane_sdk import KorvaneClient, aio


def resident(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    raise LookupError(field)


def main(kind, url):
    options = dict(api_key="k", api_url=url, proxy_url=url, max_retries=1, timeout=30)
    if kind == "async":
        loop = asyncio.new_event_loop()
        client = loop.run_until_complete(asyncio.sleep(0, aio.AsyncKorvane(**options)))
        call = lambda: loop.run_until_complete(client._request(method="GET", path="/big"))  # noqa: E731
    else:
        client = KorvaneClient(**options)
        call = lambda: client._request(method="GET", path="/big")  # noqa: E731
    base = resident("VmRSS")
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # the peak starts again from here
    text = call()
    assert isinstance(text, str)
    print(resident("VmHWM") - base)


if __name__ == "__main__":
    main(*sys.argv[1:])
