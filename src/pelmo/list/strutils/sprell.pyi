# Type information for the native module pelmo.list.strutils.sprell.
#
# multi_str_sprell calls each argument's own split method with `sep`; str and
# bytes are the types whose split takes a separator (or None) and answers a
# list of their own type.
from typing import List, Optional, overload

# Accepts any two arguments and does nothing with them.
def str_sprell(sep: object, s: object) -> None: ...

@overload
def multi_str_sprell(sep: Optional[str], *args: str) -> List[str]: ...
@overload
def multi_str_sprell(sep: Optional[bytes], *args: bytes) -> List[bytes]: ...
