# Type information for the native module pelmo.list.count.
#
# elemcount keys the result by the distinct elements of `ls` and stores what
# `ls.count(element)` returns, unchecked. Every Sequence has a count method
# that answers an int; for any other iterable the values are whatever its own
# count method answers (and an iterable without one fails unless it is empty).
from typing import Any, Dict, Iterable, Sequence, TypeVar, overload

_T = TypeVar("_T")

@overload
def elemcount(ls: Sequence[_T]) -> Dict[_T, int]: ...
@overload
def elemcount(ls: Iterable[_T]) -> Dict[_T, Any]: ...
