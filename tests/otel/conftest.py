"""OpenTelemetry providers for one test: spans into memory, metrics read on demand.

The API lets an application set its global providers once; each test here sets fresh ones and puts
the globals back unset afterwards, so no other test runs with telemetry on.
"""

from dataclasses import dataclass

import pytest
from support.emulator import ADMIN_KEY

otel_trace = pytest.importorskip("opentelemetry.trace")
from opentelemetry import metrics  # noqa: E402
from opentelemetry.metrics import _internal as metrics_internal  # noqa: E402
from opentelemetry.sdk.metrics import MeterProvider  # noqa: E402
from opentelemetry.sdk.metrics.export import InMemoryMetricReader  # noqa: E402
from opentelemetry.sdk.trace import TracerProvider  # noqa: E402
from opentelemetry.sdk.trace.export import SimpleSpanProcessor  # noqa: E402
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter  # noqa: E402
from opentelemetry.util._once import Once  # noqa: E402


def _unset_globals():
    otel_trace._TRACER_PROVIDER = None
    otel_trace._TRACER_PROVIDER_SET_ONCE = Once()
    metrics_internal._METER_PROVIDER = None
    metrics_internal._METER_PROVIDER_SET_ONCE = Once()


@dataclass
class Telemetry:
    spans: InMemorySpanExporter
    reader: InMemoryMetricReader
    tracer: object

    def finished(self):
        return list(self.spans.get_finished_spans())

    def only_span(self):
        spans = self.finished()
        assert len(spans) == 1, [s.name for s in spans]
        return spans[0]

    def points(self, name):
        """The data points of the metric `name` recorded so far."""
        data = self.reader.get_metrics_data()
        found = []
        for resource in data.resource_metrics if data else ():
            for scope in resource.scope_metrics:
                for metric in scope.metrics:
                    if metric.name == name:
                        found.extend(metric.data.data_points)
        return found


@pytest.fixture
def telemetry():
    _unset_globals()
    spans = InMemorySpanExporter()
    tracer_provider = TracerProvider()
    tracer_provider.add_span_processor(SimpleSpanProcessor(spans))
    reader = InMemoryMetricReader()
    meter_provider = MeterProvider(metric_readers=[reader])
    otel_trace.set_tracer_provider(tracer_provider)
    metrics.set_meter_provider(meter_provider)
    yield Telemetry(spans, reader, tracer_provider.get_tracer("tests"))
    _unset_globals()
    tracer_provider.shutdown()
    meter_provider.shutdown()


@pytest.fixture
def client(emulator, new_client):
    """A client of the stand-in: each case runs with the blocking and the async client."""
    with new_client(api_key=ADMIN_KEY, api_url=emulator.url, proxy_url=emulator.url, timeout=5) as c:
        yield c


@pytest.fixture
def model(client, telemetry):
    """A model of the stand-in (the listing's span is not kept)."""
    name = client.list_models()[0].id
    telemetry.spans.clear()
    return name
