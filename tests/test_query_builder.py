"""PyQueryExpr: one node per builder call, its text form, argument rules, deep copies."""
import re
import sys

import pytest

import PyVorlane
from PyVorlane import PyQueryExpr as Q


def strip_values(text):
    """The text form with each PyValue reduced to its primitave."""
    return re.sub(r"PyValue \{ obj: Some\(Py\(0x[0-9a-f]+\)\), primitave: (.*?), hash: \d+ \}", r"\1", text)


@pytest.mark.parametrize(
    "method, variant",
    [("eq", "Eq"), ("ne", "Ne"), ("gt", "Gt"), ("ge", "Ge"), ("lt", "Lt"), ("le", "Le"),
     ("starts_with", "StartsWi"), ("ends_with", "EndsWi"), ("contains", "Contains")],
)
def test_attr_value_methods(method, variant):
    fn = getattr(Q, method)
    assert fn.__text_signature__ == "(attr, value)"
    assert fn.__doc__ is None  # the docstring is only the text signature
    expr = fn("age", 30)
    assert strip_values(repr(expr)) == f'<QueryExpr: {variant}("age", Int(30))>'
    assert strip_values(repr(fn(value="x", attr="a.b"))) == f'<QueryExpr: {variant}("a.b", Str("x"))>'
    if method in ("gt", "ge", "lt", "le"):
        # a range over a value matched by identity would match nothing in silence
        with pytest.raises(TypeError, match="'NoneType' have no order"):
            fn("n", None)
    else:
        assert strip_values(repr(fn("n", None))) == f'<QueryExpr: {variant}("n", Unknown)>'


def test_bt_keeps_lower_and_upper_in_call_order():
    assert Q.bt.__text_signature__ == "(attr, lower, upper)"
    assert strip_values(repr(Q.bt("x", 10, 1))) == '<QueryExpr: Bt("x", Int(10), Int(1))>'
    assert strip_values(repr(Q.bt("x", upper=2.5, lower=-1))) == '<QueryExpr: Bt("x", Int(-1), Float(2.5))>'


def test_in_takes_sequences_but_not_str_or_set():
    assert Q.in_.__text_signature__ == "(attr, values)"
    a = strip_values(repr(Q.in_("tag", ["a", "b", "a"])))
    assert a == '<QueryExpr: In("tag", [Str("a"), Str("b"), Str("a")])>'
    assert strip_values(repr(Q.in_("tag", ("a", "b", "a")))) == a
    assert strip_values(repr(Q.in_("n", range(3)))) == '<QueryExpr: In("n", [Int(0), Int(1), Int(2)])>'
    assert strip_values(repr(Q.in_("n", []))) == '<QueryExpr: In("n", [])>'
    for bad in ({"a"}, "ab", (x for x in "ab"), 5, {"a": 1}):
        with pytest.raises(TypeError, match="values"):
            Q.in_("tag", bad)


def test_combinators_accept_only_expressions_and_copy_them():
    e1, e2 = Q.eq("a", 1), Q.gt("b", 2.0)
    assert Q.and_.__text_signature__ == "(*exprs)"
    assert Q.or_.__text_signature__ == "(*exprs)"
    assert Q.not_.__text_signature__ == "(exprs)"
    assert repr(Q.and_()) == "<QueryExpr: And([])>"
    assert repr(Q.or_()) == "<QueryExpr: Or([])>"
    both = Q.and_(e1, e2)
    assert repr(both) == f"<QueryExpr: And([{repr(e1)[12:-1]}, {repr(e2)[12:-1]}])>"
    assert repr(Q.or_(e1, e2)) == f"<QueryExpr: Or([{repr(e1)[12:-1]}, {repr(e2)[12:-1]}])>"
    neg = Q.not_(e1)
    assert repr(neg) == f"<QueryExpr: Not({repr(e1)[12:-1]})>"
    assert repr(Q.not_(exprs=neg)) == f"<QueryExpr: Not({repr(neg)[12:-1]})>"
    for bad_call in (lambda: Q.and_(e1, "x"), lambda: Q.or_(1), lambda: Q.not_("a"), lambda: Q.not_(exprs=None)):
        with pytest.raises(TypeError, match="exprs"):
            bad_call()
    with pytest.raises(TypeError):
        Q.and_(e1, x=e2)
    with pytest.raises(TypeError):
        Q.not_()


def test_combined_trees_are_independent_of_their_arguments():
    value = object()
    before = sys.getrefcount(value)
    e = Q.eq("a", value)
    combined = Q.and_(e, Q.not_(e))
    text = repr(combined)
    del e
    assert repr(combined) == text  # the copies live on without the argument
    # Copies of a value share one counted handle: one Python reference for all of them.
    assert sys.getrefcount(value) == before + 1
    del combined
    assert sys.getrefcount(value) == before


def test_argument_binding_errors_name_the_argument():
    with pytest.raises(TypeError, match="'attr'"):
        Q.eq(1, 2)
    with pytest.raises(TypeError, match="'value'"):
        Q.eq("a")
    with pytest.raises(TypeError, match="'lower'"):
        Q.bt("a", upper=3)
    with pytest.raises(TypeError, match="'bogus'"):
        Q.eq("a", 1, bogus=2)
    with pytest.raises(TypeError):
        Q.eq("a", 1, 2)
    with pytest.raises(TypeError, match="'attr'"):
        Q.in_(None, [1])

    class S(str):
        pass

    assert strip_values(repr(Q.eq(S("sub"), 1))) == '<QueryExpr: Eq("sub", Int(1))>'


def test_value_conversion_failures_build_nothing():
    with pytest.raises(OverflowError, match="^attribute 'n'"):
        Q.eq("n", 2**64)
    with pytest.raises(OverflowError, match="^attribute 'n'"):
        Q.bt("n", 1, 2**64)
    with pytest.raises(TypeError, match="^attribute 'n': unhashable"):
        Q.in_("n", [1, bytearray()])


def test_in_collects_items_before_converting():
    class Grows:
        """A sequence whose items' conversion would see it change."""

        def __init__(self):
            self.items = [1, 2]

        def __len__(self):
            return len(self.items)

        def __getitem__(self, i):
            if i >= len(self.items):
                raise IndexError(i)
            return self.items[i]

    seq = Grows()
    assert strip_values(repr(Q.in_("n", seq))) == '<QueryExpr: In("n", [Int(1), Int(2)])>'

    class Boom:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise RuntimeError("boom")

    with pytest.raises(RuntimeError, match="boom"):
        Q.in_("n", Boom())
