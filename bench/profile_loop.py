"""Runs one step of the suite in a loop so that perf can sample where the time goes.

    perf record -g -o /tmp/q.data -- .venv/bin/python bench/profile_loop.py --query "age == 42" --seconds 10
    perf report -i /tmp/q.data --no-children --percent-limit 2

--query takes a query label of bench/suite.py (a prefix is enough); "bulk" and "single"
loop index builds and "write" loops attribute writes on indexed objects instead. Use a
build of the extension with symbols on PYTHONPATH to see function names.
"""
import argparse
import random
import time

import suite
from common import bulk, make_people, make_rows, one_by_one
from peers import CITY


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--query", required=True)
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    people = make_people(make_rows(args.size, args.seed))
    if args.query in ("bulk", "single"):
        build = bulk if args.query == "bulk" else one_by_one
        step = lambda: build(people)
    else:
        idx = bulk(people)
        ctx = {"people": people, "idx": idx, "view": idx.reduced(city=CITY)}
        if args.query == "write":
            sample = random.Random(args.seed).sample(people, 10_000)

            def step():
                for p in sample:
                    p.age = (p.age + 1) % 100
        else:
            fn = next(fns[0] for label, *fns in suite.queries() if label.startswith(args.query))
            step = lambda: fn(ctx)
    print(f"looping {args.query!r} for {args.seconds} s", flush=True)
    end = time.perf_counter() + args.seconds
    runs = 0
    t0 = time.perf_counter()
    while time.perf_counter() < end:
        step()
        runs += 1
    print(f"{runs} runs, {(time.perf_counter() - t0) / runs * 1e3:.3f} ms each")


if __name__ == "__main__":
    main()
