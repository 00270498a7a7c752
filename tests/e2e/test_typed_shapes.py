"""The plain dicts the calls return have the shapes korvane_sdk.types gives them: every required key,
no key the type does not name, values of the named kinds."""

import time
import typing

from korvane_sdk import types

UNIONS = (typing.Union, getattr(__import__("types"), "UnionType", typing.Union))


def conforms(value, hint, where="value"):
    """Raises AssertionError where `value` does not fit `hint` (the kinds korvane_sdk.types uses)."""
    origin = typing.get_origin(hint)
    if isinstance(hint, type) and typing.is_typeddict(hint):
        assert isinstance(value, dict), where
        hints = typing.get_type_hints(hint)
        assert hint.__required_keys__ <= value.keys() <= hints.keys(), (where, sorted(value))
        for key, item in value.items():
            conforms(item, hints[key], f"{where}[{key!r}]")
    elif origin is list:
        assert isinstance(value, list), where
        for index, item in enumerate(value):
            conforms(item, typing.get_args(hint)[0], f"{where}[{index}]")
    elif origin in UNIONS:
        errors = []
        for option in typing.get_args(hint):
            try:
                return conforms(value, option, where)
            except AssertionError as error:
                errors.append(error)
        raise AssertionError(where, value, errors)
    elif hint is type(None):
        assert value is None, where
    elif hint is float:
        assert isinstance(value, (int, float)) and not isinstance(value, bool), where
    else:
        assert isinstance(value, hint) and not (hint is int and isinstance(value, bool)), (where, value)


def test_usage_metrics_and_stream_deltas_fit_their_types(client):
    model = client.list_models()[0].id
    tenant = client.tenants.create("Typed")
    job = client.training.create("sft")
    conforms(client.tenants.get_usage(tenant.id), types.TenantUsage, "get_usage()")
    conforms(client.training.get_metrics(job.id), types.JobMetrics, "get_metrics()")  # not started: empty
    for _ in range(300):  # the stand-in's jobs finish in about half a second
        if client.training.get(job.id).status == "completed":
            break
        time.sleep(0.1)
    metrics = client.training.get_metrics(job.id)
    assert metrics["history"] and "eval_loss" in metrics["metrics"]
    conforms(metrics, types.JobMetrics, "get_metrics()")
    with client.chat.completions.create(model=model, messages=[{"role": "user", "content": "hi"}], stream=True) as s:
        for chunk in s:
            for choice in chunk.choices:
                conforms(choice, types.ChunkChoice, "chunk.choices[]")
