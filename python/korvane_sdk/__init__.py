"""Python SDK for the Korvane platform: chat completions, models, tenants, feedback, fine-tuning."""

from .client import Korvane, KorvaneClient
from .chat import ChatCompletions
from .tenants import TenantManager
from .feedback import FeedbackManager
from .training import TrainingManager
from .exceptions import AuthenticationError, InvalidRequestError, KorvaneError, RateLimitError
from .models import ChatCompletion, ChatMessage, Feedback, Tenant, TrainingJob

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
