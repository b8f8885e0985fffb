"""Bulk add against one-by-one add and against building a plain list of the objects,
and the same objects with a list attribute (1-3 tags out of 10) against them without.

    .venv/bin/python bench/bulk_bench.py [--size 1000000] [--seed 1] [--tags-only]

--tags-only skips one-by-one adding (slow at several million objects) and times
only bulk add with and without the tags list.

Prints objects per second for each and the ratios, all measured in one run.
"""
import argparse
import gc
import random

from PyVorlane import Index

from common import TAGS, Person, six_attribute_rows, timed_once


def timed(fn):
    """One call after a collection, the collector on: building the objects sets it off, as it
    does for a user."""
    gc.collect()
    return timed_once(fn, quiet=False)


def tag_lists(n, seed):
    """1-3 tags a row, drawn evenly (not with the suite's skew)."""
    rng = random.Random(seed + 1)
    return [list(dict.fromkeys(rng.choices(TAGS, k=rng.randint(1, 3)))) for _ in range(n)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--tags-only", action="store_true")
    args = parser.parse_args()
    data = list(six_attribute_rows(args.size, args.seed))

    t_list, people = timed(lambda: [Person(id=a, age=b, score=c, name=d, city=e, active=f)
                                    for a, b, c, d, e, f in data])
    if not args.tags_only:
        bulk = Index()
        t_bulk, _ = timed(lambda: bulk.add_object_many(people))
        single = Index()
        t_single, _ = timed(lambda: [single.add_object(p) for p in people])
        assert len(bulk.collect()) == len(single.collect()) == args.size
        del single, bulk
    tags = tag_lists(args.size, args.seed)
    tagged = [Person(id=a, age=b, score=c, name=d, city=e, active=f, tags=t) for (a, b, c, d, e, f), t in zip(data, tags)]
    del tags
    plain = Index()
    t_plain, _ = timed(lambda: plain.add_object_many(people))
    del plain
    with_tags = Index()
    t_tags, _ = timed(lambda: with_tags.add_object_many(tagged))
    assert len(with_tags.collect()) == args.size

    n = args.size
    print(f"{n:,} six-attribute objects")
    print(f"{'step':<32}{'seconds':>9}{'objects/s':>14}")
    print(f"{'build a list of the objects':<32}{t_list:>9.2f}{n / t_list:>14,.0f}")
    if not args.tags_only:
        for label, t in [("Index.add_object one by one", t_single), ("Index.add_object_many", t_bulk)]:
            print(f"{label:<32}{t:>9.2f}{n / t:>14,.0f}")
        print(f"\nbulk vs one by one: {t_single / t_bulk:.2f}x faster")
        print(f"bulk vs building the list: {t_bulk / t_list:.2f}x the time")
    print(f"\n{'bulk add, six attributes':<32}{t_plain:>9.2f}{n / t_plain:>14,.0f}")
    print(f"{'the same with a tags list':<32}{t_tags:>9.2f}{n / t_tags:>14,.0f}")
    print(f"the tags list: {t_tags / t_plain:.2f}x the time")


if __name__ == "__main__":
    main()
