# Type information for the native module pelmo.list.ambrel.
#
# Every element is passed to `func` first, followed by the extra positional
# and keyword arguments, which are not checked against func's own signature.
from typing import Any, Callable, Iterable, List, TypeVar

_T = TypeVar("_T")
_R = TypeVar("_R")

def ambrel(ls: Iterable[_T], func: Callable[..., _R], *args: Any, **kwargs: Any) -> List[_R]: ...
