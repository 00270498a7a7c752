from . import aio as aio
from . import batch as batch
from . import chat as chat
from . import client as client
from . import exceptions as exceptions
from . import feedback as feedback
from . import hooks as hooks
from . import http as http
from . import models as models
from . import tenants as tenants
from . import training as training
from . import types as types
from .chat import ChatCompletions as ChatCompletions
from .client import Korvane as Korvane
from .client import KorvaneClient as KorvaneClient
from .exceptions import AuthenticationError as AuthenticationError
from .exceptions import InvalidRequestError as InvalidRequestError
from .exceptions import KorvaneError as KorvaneError
from .exceptions import RateLimitError as RateLimitError
from .feedback import FeedbackManager as FeedbackManager
from .models import ChatCompletion as ChatCompletion
from .models import ChatMessage as ChatMessage
from .models import Feedback as Feedback
from .models import Tenant as Tenant
from .models import TrainingJob as TrainingJob
from .tenants import TenantManager as TenantManager
from .training import TrainingManager as TrainingManager

__version__: str
__all__: list[str]
