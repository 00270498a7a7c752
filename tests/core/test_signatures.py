"""Runtime signatures agree with the stubs: inspect, help() and mock.create_autospec see real parameters."""

import ast
import inspect
import pathlib
from unittest import mock

import korvane_sdk
import pytest
from korvane_sdk.chat import ChatCompletions
from korvane_sdk.client import KorvaneClient

PACKAGE = pathlib.Path(korvane_sdk.__file__).parent
MODULES = ("chat", "client", "exceptions", "feedback", "http", "models", "tenants", "training")
# Special methods whose parameters callers pass; the other dunders are reached through type slots.
CALLED_DUNDERS = {"__init__", "__enter__", "__exit__"}
# Records: the classmethods' stubs spell `cls`; their runtime binding is checked separately below.
RECORD_MODULE = "models"


def stub_methods():
    """(module, class, method, [stub FunctionDef overloads]) for every method the stubs declare."""
    for module in MODULES:
        tree = ast.parse((PACKAGE / f"{module}.pyi").read_text())
        for cls in (node for node in tree.body if isinstance(node, ast.ClassDef)):
            methods = {}
            for node in cls.body:
                if not isinstance(node, ast.FunctionDef):
                    continue
                if node.name.startswith("__") and node.name not in CALLED_DUNDERS:
                    continue
                decorators = {ast.unparse(d) for d in node.decorator_list}
                if "property" in decorators or decorators & {"classmethod"} and module == RECORD_MODULE:
                    continue
                methods.setdefault(node.name, []).append(node)
            for name, overloads in methods.items():
                yield pytest.param(module, cls.name, name, overloads, id=f"{module}.{cls.name}.{name}")


def stub_parameters(node):
    """(name, kind, default) of a stub's parameters, the first (self) left out."""
    args = node.args
    kinds = inspect.Parameter
    positional = [(a, kinds.POSITIONAL_ONLY) for a in args.posonlyargs] + [
        (a, kinds.POSITIONAL_OR_KEYWORD) for a in args.args
    ]
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    result = [(a.arg, kind, d) for (a, kind), d in zip(positional, defaults, strict=True)]
    if args.vararg:
        result.append((args.vararg.arg, kinds.VAR_POSITIONAL, None))
    result += [(a.arg, kinds.KEYWORD_ONLY, d) for a, d in zip(args.kwonlyargs, args.kw_defaults, strict=True)]
    if args.kwarg:
        result.append((args.kwarg.arg, kinds.VAR_KEYWORD, None))
    return result[1:]


def default_value(node):
    if node is None:
        return inspect.Parameter.empty
    if isinstance(node, ast.Constant) and node.value is Ellipsis:
        return Ellipsis  # "some default": only its presence is compared
    return ast.literal_eval(node)


@pytest.mark.parametrize("module, cls, name, overloads", list(stub_methods()))
def test_runtime_signature_matches_stub(module, cls, name, overloads):
    runtime_class = getattr(__import__(f"korvane_sdk.{module}", fromlist=[cls]), cls)
    function = getattr(runtime_class, name)
    signature = inspect.signature(runtime_class if name == "__init__" else function)
    runtime = list(signature.parameters.values())
    if name != "__init__" and not isinstance(inspect.getattr_static(runtime_class, name), classmethod):
        runtime = runtime[1:]  # self
    # With overloads, the last one is the broadest: names and kinds must match it; defaults
    # belong to the single-signature case.
    stub = stub_parameters(overloads[-1])
    assert [(p.name, p.kind) for p in runtime] == [(n, k) for n, k, _ in stub]
    if len(overloads) == 1:
        for parameter, (_, _, default) in zip(runtime, stub, strict=True):
            expected = default_value(default)
            if expected is not Ellipsis:
                assert parameter.default == expected, parameter.name


def test_help_and_autospec_see_the_parameters():
    text = (
        inspect.signature(ChatCompletions.create).format()
        if hasattr(inspect.Signature, "format")
        else str(inspect.signature(ChatCompletions.create))
    )
    assert "temperature=0.7" in text and "**kwargs" in text
    client = KorvaneClient(api_key="sk-test")
    assert list(inspect.signature(client.chat.completions.create).parameters)[:2] == ["model", "messages"]

    completions = mock.create_autospec(ChatCompletions, instance=True)
    completions.create(model="m", messages=[], user="extra keywords still pass")
    completions.create.assert_called_once()


def test_signed_methods_still_bind_and_call():
    client = KorvaneClient(api_key="sk-test", api_url="http://127.0.0.1:9/")
    bound = client._get_base_url
    assert bound.__self__ is client and bound("/api/v1/tenants") == "http://127.0.0.1:9"
    assert KorvaneClient._get_base_url(client, "/v1/chat") == client.proxy_url
    assert ChatCompletions.create.__name__ == "create"
    assert ChatCompletions.create.__qualname__ == "ChatCompletions.create"
    assert ChatCompletions.create.__module__ == "korvane_sdk.chat"
    assert repr(ChatCompletions.create) == "<method 'ChatCompletions.create'>"
    assert ChatCompletions.create.__doc__.startswith("Create a chat completion.")
    with pytest.raises(TypeError):  # argument checks are nanobind's, unchanged
        client._get_base_url(path="/x", nope=1)


def test_record_classes_show_their_fields():
    from korvane_sdk.models import BaseModel, ChatCompletion, Tenant

    signature = inspect.signature(Tenant)
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in signature.parameters.values())
    assert signature.parameters["plan"].default == "free"
    assert signature.parameters["id"].default is inspect.Parameter.empty
    assert signature.parameters["features"].default == []  # a factory's fresh value
    assert list(inspect.signature(ChatCompletion).parameters)[:3] == ["id", "object", "created"]
    assert str(inspect.signature(BaseModel)) == "(**data) -> None"
    assert list(inspect.signature(Tenant.model_validate).parameters) == ["obj"]
    assert Tenant.model_validate(obj={"id": "t", "name": "n", "slug": "s", "created_at": 0}).id == "t"
