# Type information for the native module pelmo.list.read.
#
# Lines come from the builtin input(), so they are str; the prompt `s` is
# printed with str() and may be any object. Without `func` the lines are
# returned as read (the default is an identity function); with it, the list
# holds func's results. `func` can only be passed positionally after `s`,
# hence the keyword-only variant.
from typing import Callable, List, Optional, TypeVar, overload

_T = TypeVar("_T")

@overload
def read(n: int, s: object = "") -> List[str]: ...
@overload
def read(n: int, s: object, func: Callable[[str], _T]) -> List[_T]: ...
@overload
def read(n: int, s: object = "", *, func: Callable[[str], _T]) -> List[_T]: ...

# `spl` goes to str.split unchanged: a separator string, or None to split at
# runs of whitespace. The default is one space, not None.
@overload
def read_split(s: object = "", spl: Optional[str] = " ") -> List[str]: ...
@overload
def read_split(s: object, spl: Optional[str], func: Callable[[str], _T]) -> List[_T]: ...
@overload
def read_split(s: object = "", spl: Optional[str] = " ", *,
               func: Callable[[str], _T]) -> List[_T]: ...
