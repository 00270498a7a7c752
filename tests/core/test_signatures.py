"""The stubs agree with the runtime: the same public names in each module, the same attributes on
each class, the same parameters (names, kinds, defaults) on each function and method; inspect,
help() and mock.create_autospec see real parameters."""

import ast
import importlib
import inspect
import pathlib
from unittest import mock

import korvane_sdk
import pytest
from korvane_sdk.chat import ChatCompletions
from korvane_sdk.client import KorvaneClient

PACKAGE = pathlib.Path(korvane_sdk.__file__).parent
MODULES = ("aio", "chat", "client", "exceptions", "feedback", "hooks", "http", "models", "tenants", "training")
# Special methods whose parameters callers pass; the other dunders are reached through type slots.
CALLED_DUNDERS = {"__init__", "__enter__", "__exit__", "__aenter__", "__aexit__"}
# Records: the classmethods' stubs spell `cls`; their runtime binding is checked separately below.
RECORD_MODULE = "models"


def stub_tree(module):
    return ast.parse((PACKAGE / f"{module}.pyi").read_text())


def runtime_module(module):
    return importlib.import_module("korvane_sdk" if module == "__init__" else f"korvane_sdk.{module}")


# A stub declares a method with `def` or, for an awaited one, `async def`.
FUNCTION_NODES = (ast.FunctionDef, ast.AsyncFunctionDef)


def stub_methods():
    """(module, class, method, [stub FunctionDef overloads]) for every method the stubs declare, and
    (module, None, function, [overloads]) for every module-level function."""
    for module in MODULES:
        tree = stub_tree(module)
        functions = {}
        for node in tree.body:
            if isinstance(node, FUNCTION_NODES) and not node.name.startswith("_"):
                functions.setdefault(node.name, []).append(node)
        for name, overloads in functions.items():
            yield pytest.param(module, None, name, overloads, id=f"{module}.{name}")
        for cls in (node for node in tree.body if isinstance(node, ast.ClassDef)):
            methods = {}
            for node in cls.body:
                if not isinstance(node, FUNCTION_NODES):
                    continue
                if node.name.startswith("__") and node.name not in CALLED_DUNDERS:
                    continue
                decorators = {ast.unparse(d) for d in node.decorator_list}
                if "property" in decorators or decorators & {"classmethod"} and module == RECORD_MODULE:
                    continue
                methods.setdefault(node.name, []).append(node)
            for name, overloads in methods.items():
                yield pytest.param(module, cls.name, name, overloads, id=f"{module}.{cls.name}.{name}")


def stub_parameters(node, method=True):
    """(name, kind, default) of a stub's parameters, the first (self) left out of a method's."""
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
    return result[1:] if method else result


def default_value(node):
    if node is None:
        return inspect.Parameter.empty
    if isinstance(node, ast.Constant) and node.value is Ellipsis:
        return Ellipsis  # "some default": only its presence is compared
    return ast.literal_eval(node)


@pytest.mark.parametrize("module, cls, name, overloads", list(stub_methods()))
def test_runtime_signature_matches_stub(module, cls, name, overloads):
    if cls is None:
        runtime = list(inspect.signature(getattr(runtime_module(module), name)).parameters.values())
    else:
        runtime_class = getattr(runtime_module(module), cls)
        function = getattr(runtime_class, name)
        signature = inspect.signature(runtime_class if name == "__init__" else function)
        runtime = list(signature.parameters.values())
        if name != "__init__" and not isinstance(inspect.getattr_static(runtime_class, name), classmethod):
            runtime = runtime[1:]  # self
    # With overloads, the last one is the broadest: names and kinds must match it; defaults
    # belong to the single-signature case.
    stub = stub_parameters(overloads[-1], method=cls is not None)
    assert [(p.name, p.kind) for p in runtime] == [(n, k) for n, k, _ in stub]
    if len(overloads) == 1:
        for parameter, (_, _, default) in zip(runtime, stub, strict=True):
            expected = default_value(default)
            if expected is not Ellipsis:
                assert parameter.default == expected, parameter.name


def stub_exports(tree):
    """The public names a stub gives its module, as type checkers read it: what it defines or
    assigns, and what it imports as itself (`from x import A as A`); other imports stay private."""
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, *FUNCTION_NODES)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(target.id for target in node.targets if isinstance(target, ast.Name))
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(alias.asname for alias in node.names if alias.asname == alias.name.rpartition(".")[2])
    return {name for name in names if not name.startswith("_")}


def stub_all(tree):
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", None) == "__all__" for t in node.targets):
            return ast.literal_eval(node.value)
    return None


@pytest.mark.parametrize("module", ("__init__", *MODULES))
def test_modules_have_the_public_names_their_stubs_give(module):
    runtime = runtime_module(module)
    tree = stub_tree(module)
    # pytest's assertion rewriting, which takes the package in as a plugin's, adds names with "@";
    # korvane_sdk.testing, that plugin, is bound on the package once imported (it has no stub).
    public = {name for name in dir(runtime) if name.isidentifier() and not name.startswith("_")}
    assert public - {"testing"} == stub_exports(tree)
    if stub_all(tree) is not None:
        assert runtime.__all__ == stub_all(tree)


def stub_classes():
    """(module, class node, {name: node of every class the module's stub declares})."""
    for module in MODULES:
        classes = {node.name: node for node in stub_tree(module).body if isinstance(node, ast.ClassDef)}
        for node in classes.values():
            yield pytest.param(module, node, classes, id=f"{module}.{node.name}")


def declared_attributes(node, classes):
    """What a stub class declares, its stub base classes' declarations included: {name: ClassVar?}."""
    declared = {}
    for base in node.bases:
        if isinstance(base, ast.Name) and base.id in classes:
            declared.update(declared_attributes(classes[base.id], classes))
    for item in node.body:
        if isinstance(item, (*FUNCTION_NODES, ast.ClassDef)):
            declared[item.name] = True
        elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
            declared[item.target.id] = "ClassVar" in ast.unparse(item.annotation)
        elif isinstance(item, ast.Assign):
            declared.update((target.id, True) for target in item.targets if isinstance(target, ast.Name))
    return declared


def an_instance(module, cls):
    """One instance of a runtime class whose stub declares attributes its instances carry."""
    from korvane_sdk import models

    client = KorvaneClient(api_key="sk-test")
    parts = {
        "Chat": client.chat,
        "ChatCompletions": client.chat.completions,
        "TenantManager": client.tenants,
        "FeedbackManager": client.feedback,
        "TrainingManager": client.training,
        "KorvaneClient": client,
    }
    if module == "aio":
        from korvane_sdk.aio import AsyncKorvane

        aclient = AsyncKorvane(api_key="sk-test")
        parts = {
            "AsyncChat": aclient.chat,
            "AsyncChatCompletions": aclient.chat.completions,
            "AsyncTenantManager": aclient.tenants,
            "AsyncFeedbackManager": aclient.feedback,
            "AsyncTrainingManager": aclient.training,
            "AsyncKorvane": aclient,
        }
    if module == "exceptions":
        return cls("job-1") if cls.__name__ == "TrainingJobNotFoundError" else cls("failed")
    if cls is models.FieldInfo:
        return models.Tenant.model_fields["id"]
    if cls is models.ValidationError:
        with pytest.raises(models.ValidationError) as caught:
            models.Tenant()
        return caught.value
    return parts.get(cls.__name__)


@pytest.mark.parametrize("module, node, classes", list(stub_classes()))
def test_classes_have_the_attributes_their_stubs_declare(module, node, classes):
    from korvane_sdk.models import BaseModel

    runtime_class = getattr(runtime_module(module), node.name)
    declared = declared_attributes(node, classes)
    public = {name for name in declared if not name.startswith("__")}
    instance = None
    if issubclass(runtime_class, BaseModel):
        # A record's fields are its instances' (model_fields); the rest is on the class.
        fields = {name for name, on_class in declared.items() if not on_class}
        assert fields == set(runtime_class.model_fields)
        public -= fields
    else:
        instance = an_instance(module, runtime_class)
        missing = {name for name in public if not hasattr(runtime_class, name)}
        if instance is not None:
            missing = {name for name in missing if not declared[name] and not hasattr(instance, name)}
        assert not missing, f"declared in the stub, not at runtime: {sorted(missing)}"
    # And the other way: what the runtime class (and an instance) adds to the built-in bases is declared.
    runtime_names = {name for name in getattr(instance, "__dict__", {}) if not name.startswith("_")}
    for klass in runtime_class.__mro__:
        if klass.__module__ != "builtins":
            runtime_names.update(name for name in vars(klass) if not name.startswith("_"))
    assert not runtime_names - set(declared), f"at runtime, not in the stub: {sorted(runtime_names - set(declared))}"


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


def test_patching_a_clients_method_with_autospec_checks_the_arguments():
    # The usual way to stub a call in a user's tests: the patched method keeps the real parameters.
    client = KorvaneClient(api_key="sk-test", api_url="http://127.0.0.1:9/")
    with mock.patch.object(client.tenants, "list", autospec=True) as listed:
        with pytest.raises(TypeError):
            client.tenants.list(page_size=10)
        client.tenants.list(limit=5)
        listed.assert_called_once_with(limit=5)
    with mock.patch.object(client.chat.completions, "create", autospec=True):
        with pytest.raises(TypeError, match="model"):
            client.chat.completions.create(messages=[])


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


def stub_spelling(type_text):
    """A record table's type text as the stubs spell it: Optional[X] is `X | None`, List and Dict
    the builtins."""
    head, bracket, rest = type_text.partition("[")
    if not bracket:
        return head
    args, depth, start = [], 0, 0
    for at, char in enumerate(rest[:-1]):
        depth += {"[": 1, "]": -1}.get(char, 0)
        if char == "," and depth == 0:
            args.append(rest[start:at].strip())
            start = at + 1
    args = [stub_spelling(arg) for arg in [*args, rest[start:-1].strip()]]
    if head == "Optional":
        return f"{args[0]} | None"
    head = {"List": "list", "Dict": "dict"}.get(head, head)
    return f"{head}[{', '.join(args)}]"


# Fields whose stub names the shape of what the table holds as plain values.
NARROWED_IN_STUB = {
    ("ChatCompletionChunk", "choices"): "list[ChunkChoice]",
    ("TrainingJob", "status"): "_JobStatus",
}


@pytest.mark.parametrize("name", korvane_sdk._core._record_names)
def test_record_stub_declares_the_tables_fields(name):
    """A record's stub: its table's documentation line and fields, in order, with their types."""
    from korvane_sdk import models

    node = next(n for n in stub_tree(RECORD_MODULE).body if isinstance(n, ast.ClassDef) and n.name == name)
    stubbed = {
        item.target.id: ast.unparse(item.annotation)
        for item in node.body
        if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name)
    }
    fields = getattr(models, name).model_fields
    expected = {
        field: NARROWED_IN_STUB.get((name, field), stub_spelling(info.type_text)) for field, info in fields.items()
    }
    assert list(stubbed.items()) == list(expected.items())
    assert ast.get_docstring(node) == getattr(models, name).__doc__
