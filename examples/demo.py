"""A short tour of pelmo.list on an embedded sample.

Run it with the built package tree on sys.path (./demo does that).
"""
import io
import sys

from pelmo.list.ambrel import ambrel
from pelmo.list.count import elemcount
from pelmo.list.read import read, read_split
from pelmo.list.strutils.sprell import multi_str_sprell, str_sprell
from pelmo.list.write import write

SAMPLE = """3
apple banana apple cherry
12 25 37
"""


def show(what, value):
    print("%-52s -> %r" % (what, value))


def main():
    real_stdin = sys.stdin
    sys.stdin = io.StringIO(SAMPLE)  # input() reads from sys.stdin when it is not the console
    try:
        (n,) = read(1, "", int)
        show("read(1, '', int) on the first line", n)
        words = read_split()
        show("read_split() on 'apple banana apple cherry'", words)
        numbers = read_split("", " ", int)
        show("read_split('', ' ', int) on '12 25 37'", numbers)
    finally:
        sys.stdin = real_stdin

    show("elemcount(words)", elemcount(words))
    show("elemcount('mississippi')", elemcount("mississippi"))
    show("ambrel(numbers, pow, 2)", ambrel(numbers, pow, 2))
    show("ambrel(words, str.upper)", ambrel(words, str.upper))
    show("ambrel(numbers, round, ndigits=-1)", ambrel(numbers, round, ndigits=-1))
    show("multi_str_sprell(',', 'a,b', 'c,d,e')", multi_str_sprell(",", "a,b", "c,d,e"))
    show("multi_str_sprell(None, ' x  y ', 'z')", multi_str_sprell(None, " x  y ", "z"))
    show("str_sprell(',', 'a,b')", str_sprell(",", "a,b"))
    print("write(words, ', ', '.\\n') prints:")
    write(words, ", ", ".\n")

    try:
        elemcount()
    except TypeError as e:
        import traceback
        entry = traceback.extract_tb(e.__traceback__)[-1]
        print('elemcount() raises TypeError: %s\n  last traceback entry: File "%s", line %d, in %s'
              % (e, entry.filename, entry.lineno, entry.name))


if __name__ == "__main__":
    main()
