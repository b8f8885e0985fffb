"""Ranges over values of both signs against the same ranges over the values
shifted to be positive (x + 1000): best of several runs each, printed as the
ratio signed / shifted, measured in the same run.

    .venv/bin/python bench/signed_ranges.py [--n 1000000] [--repeat 9]
"""
import argparse
import random

from PyVorlane import PyQueryExpr as Q

from common import Person, best, bulk


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    objs = []
    for _ in range(args.n):
        i = rng.randint(-500, 500)
        f = rng.uniform(-50.0, 50.0)
        if rng.random() < 0.001:
            f = -0.0
        objs.append(Person(i=i, i_s=i + 1000, f=f, f_s=f + 1000.0))
    idx = bulk(objs)
    cases = [
        ("le", 0), ("lt", 0), ("gt", 0), ("ge", 0), ("bt", (-5, 5)), ("lt", -250), ("ge", 250),
        ("gt", -400), ("le", 400), ("bt", (-300, -100)), ("bt", (-20, 300)),
    ]
    print(f"{args.n} objects, best of {args.repeat}: signed vs shifted by 1000 (reduced_query)")
    for attr, scale in (("i", 1), ("f", 0.1)):
        for op, arg in cases:
            if op == "bt":
                lo, hi = arg[0] * scale, arg[1] * scale
                signed = Q.bt(attr, lo, hi)
                shifted = Q.bt(attr + "_s", lo + 1000, hi + 1000)
                label = f"{attr} bt {lo:g} {hi:g}"
            else:
                v = arg * scale
                signed = getattr(Q, op)(attr, v)
                shifted = getattr(Q, op)(attr + "_s", v + 1000)
                label = f"{attr} {op} {v:g}"
            a = best(lambda: idx.reduced_query(signed), args.repeat, args.repeat, 0, quiet=False)[0]
            b = best(lambda: idx.reduced_query(shifted), args.repeat, args.repeat, 0, quiet=False)[0]
            print(f"{label:<20} {a * 1e3:8.3f} ms vs {b * 1e3:8.3f} ms  ratio {a / b:5.2f}")


if __name__ == "__main__":
    main()
