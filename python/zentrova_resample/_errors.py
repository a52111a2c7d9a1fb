"""The errors of bad arguments where scipy.ndimage raises RuntimeError (an order or a mode it does not
take, a matrix, offset, coordinates or output of the wrong shape, a dtype it does not take): ours
name the argument and are ValueError or TypeError, as the rest of NumPy's world raises for a bad
argument, and RuntimeError too, so that code written for scipy that catches RuntimeError still does
(as NumPy's AxisError is both a ValueError and an IndexError)."""

from __future__ import annotations


class ArgumentValueError(ValueError, RuntimeError):
    """An argument's value (its range, or an array's shape) that the function does not take."""


class ArgumentTypeError(TypeError, RuntimeError):
    """An argument of a kind or dtype that the function does not take, where scipy.ndimage raises
    RuntimeError for it."""


class StoreReadError(OSError):
    """A chunk of an input store (a Zarr array or the like) that could not be read; the message names
    the chunk."""
