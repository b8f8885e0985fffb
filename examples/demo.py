"""Runs the usage example of the README until the full demo arrives."""

from PyVorlane import Indexable, PyQueryExpr as Q, sum_as_string


class Person(Indexable):
    pass


p = Person(name="Ada", age=36)
p.age = 37
print(p.age, repr(p))
print(Q.and_(Q.gt("age", 30), Q.starts_with("name", "A")))
print(sum_as_string(1, 2))
