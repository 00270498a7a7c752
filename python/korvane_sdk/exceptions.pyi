from typing import Any

class KorvaneError(Exception):
    message: Any
    http_status: int | None
    error_code: str | None
    details: dict[str, Any]
    # The failed exchange, on errors raised by the client (None on errors made by callers).
    method: str | None
    url: str | None
    request_id: str | None
    headers: dict[str, str] | None
    body: str | None
    def __init__(
        self,
        message: str,
        http_status: int | None = None,
        error_code: str | None = None,
        details: dict[str, Any] | None = None,
    ) -> None: ...

class AuthenticationError(KorvaneError):
    def __init__(self, message: str = "Authentication failed", *, details: dict[str, Any] | None = None) -> None: ...

class RateLimitError(KorvaneError):
    retry_after: int | None
    def __init__(
        self,
        message: str = "Rate limit exceeded",
        retry_after: int | None = None,
        *,
        details: dict[str, Any] | None = None,
    ) -> None: ...

class InvalidRequestError(KorvaneError):
    def __init__(self, message: str = "Invalid request", *, details: dict[str, Any] | None = None) -> None: ...

class NotFoundError(KorvaneError):
    def __init__(self, message: str = "Resource not found", *, details: dict[str, Any] | None = None) -> None: ...

class ServerError(KorvaneError):
    def __init__(self, message: str = "Server error", *, details: dict[str, Any] | None = None) -> None: ...

class TrainingError(KorvaneError):
    def __init__(
        self,
        message: str = "Training error",
        *,
        http_status: int | None = None,
        details: dict[str, Any] | None = None,
    ) -> None: ...

class TrainingJobNotFoundError(TrainingError):
    job_id: str
    def __init__(
        self, job_id: str, *, http_status: int | None = None, details: dict[str, Any] | None = None
    ) -> None: ...

class TrainingDataError(TrainingError):
    def __init__(
        self,
        message: str = "Invalid training data",
        *,
        http_status: int | None = None,
        details: dict[str, Any] | None = None,
    ) -> None: ...

class ConnectionError(KorvaneError):
    def __init__(
        self,
        message: str = "Failed to connect to Korvane API",
        *,
        http_status: int | None = None,
        details: dict[str, Any] | None = None,
    ) -> None: ...

class TimeoutError(KorvaneError):
    def __init__(
        self,
        message: str = "Request timed out",
        *,
        http_status: int | None = None,
        details: dict[str, Any] | None = None,
    ) -> None: ...

__all__ = [
    "KorvaneError",
    "AuthenticationError",
    "RateLimitError",
    "InvalidRequestError",
    "NotFoundError",
    "ServerError",
    "TrainingError",
    "TrainingJobNotFoundError",
    "TrainingDataError",
    "ConnectionError",
    "TimeoutError",
]
