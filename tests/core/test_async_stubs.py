"""The asyncio client's stub (aio.pyi) is the blocking stubs' surface, awaited: every class has its
blocking twin's methods and attributes with the same parameters (names, kinds, defaults,
annotations), an operation that gives X is a coroutine giving X, an iterator of X is an async
iterator of X; what only one side has is listed below with its reason. test_signatures checks
each stub against the runtime; this checks the two stubs against each other, so a parameter
added to one client and forgotten on the other fails here."""

import ast
import pathlib
import re

import korvane_sdk
import pytest

PACKAGE = pathlib.Path(korvane_sdk.__file__).parent
BLOCKING_MODULES = ("client", "chat", "tenants", "feedback", "training")
# The async class of each blocking class; the others are "Async" + the blocking name.
TWIN_NAMES = {"KorvaneClient": "AsyncKorvane"}
# Blocking types whose async counterparts are other classes (the stand-in names above included).
TYPE_TWINS = {
    "Response": "AsyncResponse",
    "Session": "AsyncSession",
    "Iterator": "AsyncIterator",
    "_KeySource": "_AsyncKeySource",
    "_Hook": "_AsyncHook",
}
# The protocol methods an async class has in place of the blocking ones, when it has no method of
# the blocking name (AsyncKorvane keeps close(), awaited, beside aclose()).
PROTOCOL_TWINS = {
    "__iter__": "__aiter__",
    "__next__": "__anext__",
    "__enter__": "__aenter__",
    "__exit__": "__aexit__",
    "close": "aclose",
}
# Methods that do no I/O: plain functions on both sides.
NOT_AWAITED = {"__init__", "__iter__", "with_options", "_get_headers", "_get_base_url", "_handle_error"}
# What one side has and the other lacks, and why.
ONLY_BLOCKING = {
    ("ChatCompletionStream", "send"): "a generator's; an async stream is pulled, never sent to",
    ("ChatCompletionStream", "throw"): "a generator's, as send",
}
ONLY_ASYNC = {
    ("AsyncKorvane", "aclose"): "the asyncio spelling of close()",
    ("AsyncKorvane", "max_connections"): "the event-loop transport's connection cap (a blocking client has none)",
}
# Parameters that differ, and why.
OWN_PARAMETERS = {
    ("AsyncKorvane", "__init__"): "max_connections, as ONLY_ASYNC",
    ("AsyncChatCompletionStream", "__aexit__"): "the generator's __exit__ is a C slot: positional only, gives False",
}


def stub_classes(module):
    tree = ast.parse((PACKAGE / f"{module}.pyi").read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def members(cls):
    """{name: [FunctionDef overloads]} and {name: annotation text} of a stub class."""
    methods, attributes = {}, {}
    for node in cls.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            methods.setdefault(node.name, []).append(node)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            attributes[node.target.id] = ast.unparse(node.annotation)
    return methods, attributes


def twin_name(name):
    return TWIN_NAMES.get(name, "Async" + name)


BLOCKING = {name: cls for module in BLOCKING_MODULES for name, cls in stub_classes(module).items()}
ASYNC = stub_classes("aio")


def awaited_spelling(text):
    """A blocking annotation as the async stub spells it: every class of the blocking stubs and
    every blocking type named by its async twin."""
    twins = {name: twin_name(name) for name in BLOCKING} | TYPE_TWINS
    return re.sub(r"\b[A-Za-z_]\w*\b", lambda word: twins.get(word[0], word[0]), text)


def signature(node):
    """(name, kind, default, annotation) of each parameter after self, the way they are written."""
    args = node.args
    positional = [("positional only", a) for a in args.posonlyargs] + [("positional", a) for a in args.args]
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    spelled = [(kind, a, d) for (kind, a), d in zip(positional, defaults, strict=True)]
    if args.vararg:
        spelled.append(("*args", args.vararg, None))
    spelled += [("keyword only", a, d) for a, d in zip(args.kwonlyargs, args.kw_defaults, strict=True)]
    if args.kwarg:
        spelled.append(("**kwargs", args.kwarg, None))
    return [
        (a.arg, kind, d and ast.unparse(d), a.annotation and ast.unparse(a.annotation)) for kind, a, d in spelled[1:]
    ]


def pairs():
    for name, blocking in BLOCKING.items():
        yield pytest.param(blocking, ASYNC.get(twin_name(name)), id=name)


def test_every_async_class_has_a_blocking_twin():
    twins = {twin_name(name) for name in BLOCKING}
    assert set(ASYNC) == twins


@pytest.mark.parametrize("blocking, awaited", list(pairs()))
def test_async_class_is_its_blocking_twin_awaited(blocking, awaited):
    assert awaited is not None, f"aio.pyi has no {twin_name(blocking.name)}"
    methods, attributes = members(blocking)
    async_methods, async_attributes = members(awaited)

    for name, annotation in attributes.items():
        assert async_attributes.get(name) == awaited_spelling(annotation), f"{awaited.name}.{name}"
    extra = {name for name in async_attributes if name not in attributes}
    assert extra == {name for cls, name in ONLY_ASYNC if cls == awaited.name and name in async_attributes}

    matched = set()
    for name, overloads in methods.items():
        if (blocking.name, name) in ONLY_BLOCKING:
            continue
        twin = name if name in async_methods else PROTOCOL_TWINS.get(name)
        assert twin in async_methods, f"{awaited.name} lacks {name}"
        matched.add(twin)
        theirs = async_methods[twin]
        assert len(theirs) == len(overloads), f"{awaited.name}.{twin}: overloads"
        for ours, their in zip(overloads, theirs, strict=True):
            where = f"{awaited.name}.{twin}"
            returns = awaited_spelling(ast.unparse(ours.returns)) if ours.returns else None
            # An operation is awaited; an iterator becomes an async iterator, got without awaiting.
            awaited_call = name not in NOT_AWAITED and not (returns or "").startswith("AsyncIterator[")
            assert isinstance(their, ast.AsyncFunctionDef) == awaited_call, f"{where}: async def or def"
            if (awaited.name, twin) in OWN_PARAMETERS:
                continue
            assert their.returns is not None and ast.unparse(their.returns) == returns, f"{where}: result"
            expected = [(n, k, d, a and awaited_spelling(a)) for n, k, d, a in signature(ours)]
            assert signature(their) == expected, where
            assert [ast.unparse(d) for d in their.decorator_list] == [ast.unparse(d) for d in ours.decorator_list]
    extra = set(async_methods) - matched
    assert extra == {name for cls, name in ONLY_ASYNC if cls == awaited.name and name in async_methods}


def test_the_async_client_takes_the_blocking_settings_and_its_own():
    """The one difference OWN_PARAMETERS lets through for the constructor, checked here instead."""
    ours = signature(members(BLOCKING["KorvaneClient"])[0]["__init__"][0])
    ours = [(n, k, d, a and awaited_spelling(a)) for n, k, d, a in ours]
    theirs = signature(members(ASYNC["AsyncKorvane"])[0]["__init__"][0])
    assert theirs == [*ours, ("max_connections", "keyword only", "100", "int")]
