from typing import Any, Dict, Optional

class KorvaneError(Exception):
    message: Any
    http_status: Optional[int]
    error_code: Optional[str]
    details: Dict[str, Any]
    # The failed exchange, on errors raised by the client (None on errors made by callers).
    method: Optional[str]
    url: Optional[str]
    request_id: Optional[str]
    headers: Optional[Dict[str, str]]
    body: Optional[str]
    def __init__(
        self,
        message: str,
        http_status: Optional[int] = None,
        error_code: Optional[str] = None,
        details: Optional[Dict[str, Any]] = None,
    ) -> None: ...

class AuthenticationError(KorvaneError):
    def __init__(self, message: str = "Authentication failed", *, details: Optional[Dict[str, Any]] = None) -> None: ...

class RateLimitError(KorvaneError):
    retry_after: Optional[int]
    def __init__(
        self,
        message: str = "Rate limit exceeded",
        retry_after: Optional[int] = None,
        *,
        details: Optional[Dict[str, Any]] = None,
    ) -> None: ...

class InvalidRequestError(KorvaneError):
    def __init__(self, message: str = "Invalid request", *, details: Optional[Dict[str, Any]] = None) -> None: ...

class NotFoundError(KorvaneError):
    def __init__(self, message: str = "Resource not found", *, details: Optional[Dict[str, Any]] = None) -> None: ...

class ServerError(KorvaneError):
    def __init__(self, message: str = "Server error", *, details: Optional[Dict[str, Any]] = None) -> None: ...

class TrainingError(KorvaneError):
    def __init__(
        self,
        message: str = "Training error",
        *,
        http_status: Optional[int] = None,
        details: Optional[Dict[str, Any]] = None,
    ) -> None: ...

class TrainingJobNotFoundError(TrainingError):
    job_id: str
    def __init__(
        self, job_id: str, *, http_status: Optional[int] = None, details: Optional[Dict[str, Any]] = None
    ) -> None: ...

class TrainingDataError(TrainingError):
    def __init__(
        self,
        message: str = "Invalid training data",
        *,
        http_status: Optional[int] = None,
        details: Optional[Dict[str, Any]] = None,
    ) -> None: ...

class ConnectionError(KorvaneError):
    def __init__(
        self,
        message: str = "Failed to connect to Korvane API",
        *,
        http_status: Optional[int] = None,
        details: Optional[Dict[str, Any]] = None,
    ) -> None: ...

class TimeoutError(KorvaneError):
    def __init__(
        self,
        message: str = "Request timed out",
        *,
        http_status: Optional[int] = None,
        details: Optional[Dict[str, Any]] = None,
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
