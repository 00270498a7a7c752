"""Exceptions raised by the Korvane SDK.

    Exception
     └── KorvaneError
          ├── AuthenticationError        401  AUTH_ERROR
          ├── RateLimitError             429  RATE_LIMIT  (retry_after)
          ├── InvalidRequestError        400  INVALID_REQUEST
          ├── NotFoundError              404  NOT_FOUND
          ├── ServerError                5xx  SERVER_ERROR
          ├── TrainingError                   TRAINING_ERROR
          │    ├── TrainingJobNotFoundError   JOB_NOT_FOUND  (job_id)
          │    └── TrainingDataError          INVALID_TRAINING_DATA
          ├── ConnectionError                 CONNECTION_ERROR
          └── TimeoutError                    TIMEOUT

ConnectionError and TimeoutError are the SDK's own, unrelated to the built-in exceptions.
"""

from ._core import (
    AuthenticationError,
    ConnectionError,
    InvalidRequestError,
    KorvaneError,
    NotFoundError,
    RateLimitError,
    ServerError,
    TimeoutError,
    TrainingDataError,
    TrainingError,
    TrainingJobNotFoundError,
)

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
