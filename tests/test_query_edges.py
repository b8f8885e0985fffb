"""What the README promises about `ne` and the empty string, on plain, list and
dotted paths, checked against a scan."""
from PyVorlane import Index, Indexable, PyQueryExpr as Q


class P(Indexable):
    pass


def test_ne_is_the_complement_of_eq_on_every_path_and_the_empty_string_never_matches():
    inner_empty, inner_x = P(s=""), P(s="x")
    objs = [P(s=""), P(s="x"), P(s="xy"), P(n=1), P(s=["", "x"]), P(s=[""]), P(s=[]),
            P(m=inner_empty), P(m=inner_x), P(m=P(n=2))]
    index = Index()
    index.add_object_many(objs)
    everyone = set(map(id, index.collect()))

    def ids(q):
        return set(map(id, index.reduced_query(q).collect()))

    for path in ("s", "m.s", "n", "absent"):
        for v in ("", "x", 1):
            eq = ids(Q.eq(path, v))
            assert ids(Q.ne(path, v)) == everyone - eq, (path, v)
            assert ids(Q.not_(Q.eq(path, v))) == everyone - eq, (path, v)
        assert ids(Q.eq(path, "")) == set()
        assert ids(Q.in_(path, ["", "zz"])) == set()
    # Substring searches with "" match every non-empty string (and lists holding one).
    non_empty = {id(objs[1]), id(objs[2]), id(objs[4])}
    for q in (Q.starts_with("s", ""), Q.ends_with("s", ""), Q.contains("s", "")):
        assert ids(q) == non_empty
    assert ids(Q.starts_with("m.s", "")) == {id(objs[8])}
    assert ids(Q.eq("s", "x")) == {id(objs[1]), id(objs[4])}
