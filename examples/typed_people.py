"""Typed use of PyVorlane: a subclass that declares its attributes and passes
them on with super().__init__, so that checkers know their types.

    .venv/bin/python examples/typed_people.py
"""
from PyVorlane import FilteredIndex, Index, Indexable, PyQueryExpr as Q


class Person(Indexable):
    # Annotations only: they type the attributes and store nothing on the class.
    name: str
    age: int
    tags: list[str]

    def __init__(self, name: str, age: int, *tags: str) -> None:
        super().__init__(name=name, age=age, tags=list(tags))


def adults(idx: Index) -> FilteredIndex:
    return idx.reduced_query(Q.ge("age", 18))


def main() -> None:
    people = [Person("Ada", 36, "math"), Person("Tim", 12), Person("Alan", 41, "math", "chess")]
    idx = Index()
    idx.add_object_many(people)

    grown: list[Person] = adults(idx).collect()
    print("adults:", ", ".join(p.name for p in grown))
    chess = adults(idx).reduced_query(Q.eq("tags", "chess")).collect()
    assert chess == [people[2]]

    people[1].age = 18  # the index follows the assignment
    assert [p.name for p in adults(idx).collect()] == ["Ada", "Tim", "Alan"]
    print("after Tim's birthday:", ", ".join(p.name for p in adults(idx).collect()))


if __name__ == "__main__":
    main()
