# Type information for the native module pelmo.list.write.
#
# `ls` needs len() and integer indexing; every element goes to the builtin
# print() on its own, followed by `sep` (all but the last) or `end` (the
# last), which print() accepts as str or None.
from typing import Optional, Sequence

def write(ls: Sequence[object], sep: Optional[str] = " ", end: Optional[str] = "\n") -> None: ...
