"""Python SDK for the Korvane platform: chat completions, models, tenants, feedback, fine-tuning."""

# Names and submodules are looked up when first used, so importing one part of the SDK (say
# korvane_sdk.models) does not import the others.
_EXPORTS = {
    "Korvane": "client",
    "KorvaneClient": "client",
    "ChatCompletions": "chat",
    "TenantManager": "tenants",
    "FeedbackManager": "feedback",
    "TrainingManager": "training",
    "AuthenticationError": "exceptions",
    "InvalidRequestError": "exceptions",
    "KorvaneError": "exceptions",
    "RateLimitError": "exceptions",
    "ChatCompletion": "models",
    "ChatMessage": "models",
    "Feedback": "models",
    "Tenant": "models",
    "TrainingJob": "models",
}
_SUBMODULES = frozenset(
    (
        "client",
        "chat",
        "tenants",
        "feedback",
        "training",
        "exceptions",
        "models",
        "http",
        "aio",
        "types",
        "batch",
        "hooks",
    )
)

__version__ = "1.0.0"

__all__ = [
    "Korvane",
    "KorvaneClient",
    "ChatCompletions",
    "ChatCompletion",
    "ChatMessage",
    "TenantManager",
    "Tenant",
    "FeedbackManager",
    "Feedback",
    "TrainingManager",
    "TrainingJob",
    "KorvaneError",
    "AuthenticationError",
    "RateLimitError",
    "InvalidRequestError",
    "__version__",
]


def __getattr__(name):
    part = _EXPORTS.get(name)
    if part is None and name not in _SUBMODULES:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    __import__(f"{__name__}.{part or name}")
    module = globals()[part or name]  # the import binds each submodule on its package
    value = module if part is None else getattr(module, name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_EXPORTS) | _SUBMODULES)
