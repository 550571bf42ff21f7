"""Record access costs: run `python bench/bench_records.py`.

What to look for:
- names() and len() cost the same whatever the size of the values: they
  build no value objects;
- get() costs one scan and one value, far below records();
- one lookup per fresh block pays no index; repeated lookups of one block
  get cheaper once the second lookup has built it.
"""

import time

from molvane.native import SDBlock

HEAD = "title\n  bench\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"


def block(records, value_size):
    sd = "".join(f">  <field_{i}>  ({i})\n{'x' * value_size}\n\n" for i in range(records))
    return SDBlock((HEAD + sd + "$$$$\n").encode())


def timed(label, action, repeat):
    start = time.perf_counter()
    for _ in range(repeat):
        action()
    per_call = (time.perf_counter() - start) / repeat
    print(f"{label:<48} {per_call * 1e6:10.2f} us")


def main():
    for value_size in (10, 10_000):
        b = block(50, value_size)
        print(f"-- 50 records, values of {value_size} bytes")
        timed("names()", b.names, 2000)
        timed("len()", lambda b=b: len(b), 2000)
        timed("records()", b.records, 200)
        timed("iterate names", lambda b=b: list(b), 2000)
        timed("get(last name), index built", lambda b=b: b.get(b"field_49"), 2000)

    b = block(200, 20)
    copies = [SDBlock._from_state(*b.__reduce__()[1]) for _ in range(2000)]
    it = iter(copies)
    timed("one get() on a fresh block (scan, no index)", lambda: next(it).get(b"field_199"), 2000)
    copies = [SDBlock._from_state(*b.__reduce__()[1]) for _ in range(2000)]
    it = iter(copies)

    def twice():
        fresh = next(it)
        fresh.get(b"field_199")
        fresh.get(b"field_199")

    timed("two get()s on a fresh block (scan, then index)", twice, 2000)
    timed("get() on an indexed block", lambda: b.get(b"field_199"), 20000)
    timed("'field_0' in block, indexed", lambda: b"field_0" in b, 20000)


if __name__ == "__main__":
    main()
