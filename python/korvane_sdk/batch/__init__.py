"""Batch work: many chat completions at once, paced to rate limits, written to a file that a later
run resumes from.

    from korvane_sdk.batch import RateLimits, run

    summary = run("requests.jsonl", "results.jsonl", limits=RateLimits(requests_per_minute=600))

Each request is {"id": "...", "body": {chat.completions.create keywords}}; each line of the output
is {"id": ..., "response": {...}} or {"id": ..., "error": {"type": ..., "status": ..., "message": ...}}.
"""

from ._limiter import Limiter, RateLimits, TokenBucket, estimate_tokens
from ._runner import BATCH_ID_HEADER, BatchSummary, aresults, arun, error_entry, run

__all__ = [
    "run",
    "arun",
    "aresults",
    "BatchSummary",
    "RateLimits",
    "Limiter",
    "TokenBucket",
    "estimate_tokens",
    "error_entry",
    "BATCH_ID_HEADER",
]
