"""The one rule for arguments: a value a call can never take is refused
before anything is sent, as ArgumentError naming the argument and the values
it takes."""

import math
from typing import Any, Optional

from .errors import ArgumentError

INT32_MAX = (1 << 31) - 1


def whole_number(value: Any, name: str, code: Optional[int] = None) -> int:
    """``value`` as an int, refusing what is not a whole number (bools too:
    True is not a count)."""
    refusal = _refusal("%s must be a whole number, not %r" % (name, value), name, code)
    if isinstance(value, bool):
        raise refusal
    try:
        number = int(value)
    except (TypeError, ValueError, OverflowError):
        raise refusal from None
    if number != value:
        raise refusal
    return number


def in_range(value: Any, name: str, low: int, high: Optional[int],
             code: Optional[int] = None) -> int:
    """A whole number from ``low`` to ``high`` (no upper limit when None)."""
    number = whole_number(value, name, code)
    if number < low or (high is not None and number > high):
        limit = "%d or more" % low if high is None else "%d to %d" % (low, high)
        raise _refusal("%s must be %s, not %d" % (name, limit, number), name, code)
    return number


def seconds(value: Any, name: str = "seconds") -> float:
    """A finite, positive duration in seconds."""
    if isinstance(value, bool) or not isinstance(value, (int, float)) \
            or not math.isfinite(value) or value <= 0:
        raise ArgumentError("%s must be a finite number above 0, not %r" % (name, value),
                            argument=name)
    return float(value)


def one_of(value: Any, name: str, choices: Any) -> Any:
    if value not in choices:
        raise ArgumentError("%s must be one of %s, not %r"
                            % (name, ", ".join(repr(c) for c in choices), value), argument=name)
    return value


def _refusal(why: str, name: str, code: Optional[int]) -> ArgumentError:
    if code is None:
        return ArgumentError(why, argument=name)
    return ArgumentError(why, code, name)
