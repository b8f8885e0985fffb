"""Values a caller passes that the index cannot take end the call with an
ordinary exception naming the attribute, and leave every object and index as
they were."""
import gc
import pickle

import pytest

import PyVorlane
from PyVorlane import Index, Indexable
from PyVorlane import PyQueryExpr as Q


class Item(Indexable):
    pass


class NoHash:
    __hash__ = None


class BadHash:
    def __hash__(self):
        raise ValueError("no hash today")


WIDE = (2**63, -(2**63) - 1, 2**64, 10**30)
SURROGATE = "ab\ud800"


def ids(objs):
    return sorted(o.n for o in objs)


@pytest.fixture
def idx():
    index = Index()
    index.add_object_many([Item(n=k, v=k, tags=[k, f"t{k}"]) for k in range(5)])
    return index


def state(index):
    """What the index answers, as plain data."""
    return (ids(index.collect()), ids(index.reduced(v=2).collect()), ids(index.reduced_query(Q.eq("tags", "t3")).collect()))


@pytest.mark.parametrize("wide", WIDE)
def test_wide_ints_raise_overflow_naming_the_attribute(wide):
    for make in (lambda: Q.eq("age", wide), lambda: Q.ge("age", wide), lambda: Q.bt("age", 0, wide),
                 lambda: Q.in_("age", [1, wide]), lambda: Index().reduced(age=wide), lambda: Item(age=wide)):
        with pytest.raises(OverflowError, match=r"^attribute 'age': .*signed 64-bit range") as info:
            make()
        assert isinstance(info.value, Exception)
    assert str(2**63) in str(pytest.raises(OverflowError, Q.eq, "age", 2**63).value)
    # The bounds themselves still convert.
    assert Q.eq("age", 2**63 - 1) is not None and Q.eq("age", -(2**63)) is not None


def test_huge_int_message_leaves_out_its_digits():
    with pytest.raises(OverflowError, match=r"^attribute 'x': int outside the signed 64-bit range"):
        Q.eq("x", 10**5000)


def test_unhashable_values_raise_type_error_naming_attribute_and_type():
    for value, type_name in ((bytearray(b"x"), "bytearray"), (NoHash(), "NoHash"), ({1: 2}.keys(), "dict_keys")):
        with pytest.raises(TypeError, match=rf"^attribute 'colour': unhashable type: '{type_name}'$"):
            Q.eq("colour", value)
        with pytest.raises(TypeError, match=rf"attribute 'colour': unhashable type: '{type_name}'"):
            Item(colour=value)
        with pytest.raises(TypeError, match="attribute 'colour'"):
            Item().colour = [1, (value,)]


def test_lone_surrogates_raise_unicode_encode_error():
    for make in (lambda: Q.starts_with("name", SURROGATE), lambda: Item(name=SURROGATE),
                 lambda: Index().reduced(name=SURROGATE)):
        with pytest.raises(UnicodeEncodeError, match=r"surrogates not allowed \(attribute 'name'\)"):
            make()


def test_an_error_of_the_values_own_code_goes_out_as_it_was():
    with pytest.raises(ValueError, match="no hash today") as info:
        Q.eq("thing", BadHash())
    assert any("attribute 'thing'" in note for note in info.value.__notes__)


def test_dotted_paths_are_named_whole():
    with pytest.raises(OverflowError, match=r"^attribute 'owner\.age': "):
        Q.lt("owner.age", 2**64)


def test_a_refused_write_changes_neither_object_nor_index(idx):
    obj = idx.reduced(n=2).collect()[0]
    before = state(idx)
    for bad in (2**64, SURROGATE, bytearray(), [1, [2, 2**70]], (NoHash(),)):
        with pytest.raises(Exception) as info:
            obj.v = bad
        assert not isinstance(info.value, PyVorlane.InternalError)
        with pytest.raises(Exception):
            obj.fresh = bad
        assert obj.v == 2 and not hasattr(obj, "fresh")
        assert state(idx) == before
    obj.v = 7  # the object and the index keep working
    assert ids(idx.reduced(v=7).collect()) == [2] and idx.reduced(v=2).collect() == []


def test_a_refused_construction_makes_no_object():
    gc.collect()
    count = sum(isinstance(o, Item) for o in gc.get_objects())
    for bad in (2**64, SURROGATE, NoHash()):
        with pytest.raises((OverflowError, UnicodeEncodeError, TypeError)):
            Item(a=1, b=bad)
    gc.collect()
    assert sum(isinstance(o, Item) for o in gc.get_objects()) == count


def test_elements_that_cannot_convert_refuse_add_and_bulk_add(idx):
    before = state(idx)
    late = Item(n=9, v=9, tags=[9])
    late.tags.append(2**64)  # the list changed after it was assigned: read when added
    with pytest.raises(OverflowError, match="^attribute 'tags': "):
        idx.add_object(late)
    with pytest.raises(OverflowError, match="^attribute 'tags': "):
        idx.add_object_many([Item(n=8, v=8), late])
    assert state(idx) == before and late not in idx
    late.v = 3  # not registered with the index by the refused calls
    assert idx.reduced(v=3).collect() == [idx.reduced(n=3).collect()[0]]


def test_rebase_of_a_view_whose_list_cannot_convert_fails_cleanly(idx):
    view = idx.reduced()
    idx.reduced(n=1).collect()[0].tags.append(bytearray())
    with pytest.raises(TypeError, match="^attribute 'tags': unhashable type: 'bytearray'"):
        view.rebase()
    assert state(idx)[0] == [0, 1, 2, 3, 4]


def test_keyword_filters_with_bad_values_make_no_view(idx):
    before = state(idx)
    with pytest.raises(OverflowError, match="^attribute 'v': "):
        idx.reduce(v=2**64)
    with pytest.raises(OverflowError, match="^attribute 'v': "):
        idx.reduced(v=2).reduced(v=2**64)
    with pytest.raises(OverflowError, match="^attribute 'v': "):
        idx.get_by_attribute(v=2**64)
    assert state(idx) == before


def test_restoring_a_state_with_an_unconvertible_value_is_refused():
    obj = Item()
    with pytest.raises(OverflowError, match="attribute 'a'"):
        obj.__setstate__({"a": 2**64})
    assert not hasattr(obj, "a")
    assert pickle.loads(pickle.dumps(Item(a=2**63 - 1))).a == 2**63 - 1
