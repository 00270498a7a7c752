"""Records as Python objects: equality, text forms, iteration, copying, pickling, fields, subclasses."""

import copy
import pickle
import weakref

import korvane_sdk
import pytest
from korvane_sdk import models
from korvane_sdk.models import BaseModel, ChatCompletion, ChatMessage, FieldInfo, Tenant, TrainingJobCreate

TENANT = {
    "id": "t1",
    "name": "Acme",
    "slug": "acme",
    "created_at": "2024-01-15T10:30:00Z",
    "metadata": {"deep": {"list": [1, 2]}},
}
# Every record class, as the core lists them (the one list a new record is added to).
RECORD_NAMES = list(korvane_sdk._core._record_names)


def test_module_surface():
    assert models.__all__ == ["BaseModel", "ValidationError", *RECORD_NAMES]
    for name in models.__all__:
        cls = getattr(models, name)
        assert cls.__module__ == "korvane_sdk.models" and cls.__name__ == name and cls.__doc__
    for name in RECORD_NAMES:
        assert issubclass(getattr(models, name), BaseModel)
    for name in ("ChatCompletion", "ChatMessage", "Tenant", "Feedback", "TrainingJob"):
        assert getattr(korvane_sdk, name) is getattr(models, name)
    assert korvane_sdk.__all__[2:11] == [
        "ChatCompletions",
        "ChatCompletion",
        "ChatMessage",
        "TenantManager",
        "Tenant",
        "FeedbackManager",
        "Feedback",
        "TrainingManager",
        "TrainingJob",
    ]


def test_equality_by_class_and_values():
    message = ChatMessage(role="user", content="Hi")
    assert message == ChatMessage(role="user", content="Hi")
    assert message != ChatMessage(role="user", content="Hi", name="n")
    assert message != {"role": "user", "content": "Hi", "name": None}

    class Other(ChatMessage):
        pass

    assert message != Other(role="user", content="Hi")
    with pytest.raises(TypeError):
        hash(message)


def test_repr_and_str_show_name_and_fields():
    message = ChatMessage(role="user", content="Hi")
    assert repr(message) == "ChatMessage(role='user', content='Hi', name=None)"
    assert str(message) == "role='user' content='Hi' name=None"
    completion = ChatCompletion(id="c", created=1, model="m", choices=[{"index": 0, "message": message}])
    assert "choices=[ChatCompletionChoice(index=0, message=ChatMessage(role='user'," in repr(completion)


def test_iteration_gives_name_value_pairs_in_order():
    assert list(ChatMessage(role="user", content="Hi")) == [("role", "user"), ("content", "Hi"), ("name", None)]
    assert dict(ChatMessage(role="user", content="Hi"))["content"] == "Hi"


def test_attributes_are_readable_and_assignable():
    tenant = Tenant(**TENANT)
    tenant.plan = "pro"
    tenant.monthly_tokens_used = "not checked on assignment"
    assert tenant.model_dump()["plan"] == "pro"
    with pytest.raises(AttributeError):
        tenant.not_a_field = 1
    del tenant.slug
    with pytest.raises(AttributeError):
        tenant.slug
    with pytest.raises(AttributeError):
        tenant.model_dump()


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickling_round_trips(protocol):
    tenant = Tenant(**TENANT)
    again = pickle.loads(pickle.dumps(tenant, protocol))
    assert again == tenant and type(again) is Tenant


def test_copy_is_shallow_and_deepcopy_is_deep():
    tenant = Tenant(**TENANT)
    shallow, deep = copy.copy(tenant), copy.deepcopy(tenant)
    assert shallow == tenant == deep
    assert shallow.metadata is tenant.metadata
    assert deep.metadata == tenant.metadata and deep.metadata["deep"] is not tenant.metadata["deep"]


def test_model_copy():
    tenant = Tenant(**TENANT)
    changed = tenant.model_copy(update={"name": "Other", "plan": 5})
    assert (changed.name, changed.plan, tenant.name) == ("Other", 5, "Acme")
    assert changed.metadata is tenant.metadata
    assert tenant.model_copy(deep=True).metadata["deep"] is not tenant.metadata["deep"]
    with pytest.raises(ValueError, match='"Tenant" object has no field "nope"'):
        tenant.model_copy(update={"nope": 1})


def test_model_validate_keeps_records_of_the_class_and_builds_from_mappings():
    message = ChatMessage(role="user", content="Hi")
    assert ChatMessage.model_validate(message) is message
    assert ChatMessage.model_validate({"role": "user", "content": "Hi"}) == message
    assert ChatMessage.model_validate_json('{"role": "user", "content": "Hi", "x": 1}') == message
    assert ChatMessage.model_validate_json(b'{"role": "user", "content": "Hi"}') == message
    assert ChatMessage.model_validate_json(bytearray(b'{"role": "user", "content": "Hi"}')) == message


def test_model_fields_describe_each_field():
    fields = TrainingJobCreate.model_fields
    assert list(fields) == ["training_type", "base_model", "dataset_id", "config", "num_gpus", "priority"]
    assert TrainingJobCreate(training_type="sft").model_fields is fields
    assert all(isinstance(info, FieldInfo) for info in fields.values())
    assert fields["training_type"].is_required() and fields["training_type"].annotation is str
    assert fields["training_type"].description == "Training type: 'sft', 'dpo', or 'lora'"
    assert not fields["config"].is_required() and fields["config"].default_factory is dict
    assert (fields["num_gpus"].default, fields["num_gpus"].ge, fields["num_gpus"].le) == (8, 1, 64)
    assert fields["dataset_id"].default is None
    assert repr(fields["num_gpus"]) == "FieldInfo(annotation=int, required=False, default=8, ge=1, le=64)"
    import typing  # the annotations are typing's aliases (List, Optional, Dict), as in pydantic

    from korvane_sdk.models import ChatCompletionChoice, ChatCompletionUsage

    assert ChatCompletion.model_fields["choices"].annotation == typing.List[ChatCompletionChoice]  # noqa: UP006
    assert ChatCompletion.model_fields["usage"].annotation == typing.Optional[ChatCompletionUsage]  # noqa: UP045
    assert Tenant.model_fields["metadata"].annotation == typing.Dict[str, typing.Any]  # noqa: UP006
    assert BaseModel.model_fields == {}


def test_subclasses_keep_the_fields_and_may_add_behaviour():
    class Message(ChatMessage):
        def shout(self):
            return self.content.upper()

    message = Message(role="user", content="hi")
    message.note = "extra attributes live on the subclass instance"
    assert message.shout() == "HI" and message.model_dump() == {"role": "user", "content": "hi", "name": None}
    assert Message.model_validate({"role": "user", "content": "hi"}).shout() == "HI"
    assert copy.deepcopy(message).note == message.note
    assert weakref.ref(message)() is message


def test_subclasses_cannot_declare_new_fields():
    with pytest.raises(TypeError, match=r"cannot declare new fields \(extra\)"):

        class WithExtra(ChatMessage):
            extra: int

    class Fine(ChatMessage):
        content: str
        _private: int = 0
        limit: "ClassVar[int]" = 3  # noqa: F821 (a string the records never evaluate)

    assert Fine(role="a", content="b").content == "b"


def test_base_model_itself_has_no_fields_to_build():
    with pytest.raises(TypeError):
        BaseModel()
    with pytest.raises(TypeError):
        BaseModel.model_validate({})
