"""Records as field types of a user's pydantic models (pydantic is optional and imported only then)."""

import subprocess
import sys

import pytest
from korvane_sdk.models import ChatMessage, Tenant, ValidationError


def test_importing_and_using_records_does_not_import_pydantic():
    code = (
        "import sys, korvane_sdk.models as m\n"
        "t = m.Tenant(id='t', name='n', slug='s', created_at='2024-01-01T00:00:00Z')\n"
        "t.model_dump(); t.model_dump_json(); m.Tenant.model_fields\n"
        "print('pydantic' in sys.modules)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_records_inside_pydantic_models():
    pydantic = pytest.importorskip("pydantic")

    class Conversation(pydantic.BaseModel):
        tenant: Tenant
        messages: list[ChatMessage] = []

    data = {
        "tenant": {"id": "t", "name": "n", "slug": "s", "created_at": "2024-01-01T00:00:00Z"},
        "messages": [{"role": "user", "content": "Hi"}, ChatMessage(role="assistant", content="Yo")],
    }
    conversation = Conversation(**data)
    assert isinstance(conversation.tenant, Tenant) and conversation.messages[1].content == "Yo"
    assert Conversation.model_validate_json(conversation.model_dump_json()) == conversation
    assert conversation.model_dump()["messages"][0] == {"role": "user", "content": "Hi", "name": None}
    assert conversation.model_dump(mode="json")["tenant"]["created_at"] == "2024-01-01T00:00:00Z"
    assert "name" not in conversation.model_dump(exclude_none=True)["messages"][0]
    schema = Conversation.model_json_schema()
    assert "tenant" in schema["properties"]

    with pytest.raises(pydantic.ValidationError) as info:
        Conversation(tenant={"id": "t"})
    assert "validation error" in str(info.value)
    with pytest.raises(ValidationError):
        Tenant.model_validate({"id": "t"})
