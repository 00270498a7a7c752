"""A tour of the SDK through a cassette: run as `python cassette_tour.py CASSETTE MODE [URL KEY]`.

Recording needs the stand-in's URL and key; replaying needs neither (nor any network: the tests
run it in an empty network namespace). Prints one line per result, so two runs can be compared.
"""

import asyncio
import io
import sys

from korvane_sdk.exceptions import NotFoundError
from korvane_sdk.testing import cassette

path, mode = sys.argv[1], sys.argv[2]
options = {"api_key": sys.argv[4], "api_url": sys.argv[3], "proxy_url": sys.argv[3]} if len(sys.argv) > 3 else {}
HI = [{"role": "user", "content": "Hello there"}]

with cassette(path, mode) as tape, tape.client(**options) as client:
    print([model.id for model in client.list_models()][:2])
    print(client.chat.completions.create(model="korvane-1", messages=HI).choices[0].message.content)
    with client.chat.completions.create(model="korvane-1", messages=HI, stream=True) as stream:
        print("".join(stream.text_deltas()))
    tenant = client.tenants.create("Acme Corp", plan="pro")
    print(tenant.name, tenant.plan, [t.name for t in client.tenants.list()])
    dataset = client.training.create_dataset("support", dataset_type="sft")
    print(client.training.upload_dataset(dataset.id, io.BytesIO(b'{"prompt": "a", "response": "b"}\n')).num_examples)
    try:
        client.tenants.get("t-missing")
    except NotFoundError as error:
        print("not found:", error.http_status)

    async def awaited():
        async with tape.async_client(**options) as aclient:
            stream = await aclient.chat.completions.create(model="korvane-1", messages=HI, stream=True, n=2)
            completion = await stream.get_final_completion()
            return [choice.message.content for choice in completion.choices]

    print(asyncio.run(awaited()))
