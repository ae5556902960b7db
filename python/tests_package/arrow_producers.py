"""Arrow producers for the tests of tevora.arrow: pyarrow's own capsules with
their release callbacks counted, and arrays a careless producer might make."""

import ctypes
from collections import Counter

import pyarrow as pa

RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


class ArrowSchemaStruct(ctypes.Structure):
    _fields_ = [
        ("format", ctypes.c_char_p),
        ("name", ctypes.c_char_p),
        ("metadata", ctypes.c_char_p),
        ("flags", ctypes.c_int64),
        ("n_children", ctypes.c_int64),
        ("children", ctypes.c_void_p),
        ("dictionary", ctypes.c_void_p),
        ("release", ctypes.c_void_p),
        ("private_data", ctypes.c_void_p),
    ]


class ArrowArrayStruct(ctypes.Structure):
    _fields_ = [
        ("length", ctypes.c_int64),
        ("null_count", ctypes.c_int64),
        ("offset", ctypes.c_int64),
        ("n_buffers", ctypes.c_int64),
        ("n_children", ctypes.c_int64),
        ("buffers", ctypes.c_void_p),
        ("children", ctypes.c_void_p),
        ("dictionary", ctypes.c_void_p),
        ("release", ctypes.c_void_p),
        ("private_data", ctypes.c_void_p),
    ]


class ArrowArrayStreamStruct(ctypes.Structure):
    _fields_ = [
        ("get_schema", ctypes.c_void_p),
        ("get_next", ctypes.c_void_p),
        ("get_last_error", ctypes.c_void_p),
        ("release", ctypes.c_void_p),
        ("private_data", ctypes.c_void_p),
    ]


class Counting:
    """Exports `data` (a pyarrow Array or ChunkedArray) and counts how often each
    exported struct is released; `mutate(array_struct)` may spoil the array first."""

    def __init__(self, data, mutate=None, stream=False):
        self.data, self.mutate, self.stream = data, mutate, stream
        self.releases = Counter()
        self._keep = []

    def _count(self, capsule, name, struct):
        value = struct.from_address(_get_pointer(capsule, name))
        original = RELEASE(value.release)

        def release(pointer):
            self.releases[name.decode()] += 1
            original(pointer)

        wrapped = RELEASE(release)
        self._keep += [original, wrapped]
        value.release = ctypes.cast(wrapped, ctypes.c_void_p).value
        return value

    def __getattr__(self, name):
        if name == "__arrow_c_array__" and not self.stream:
            return self._array
        if name == "__arrow_c_stream__" and self.stream:
            return self._stream
        raise AttributeError(name)

    def _array(self, requested_schema=None):
        schema, array = self.data.__arrow_c_array__()
        self._count(schema, b"arrow_schema", ArrowSchemaStruct)
        value = self._count(array, b"arrow_array", ArrowArrayStruct)
        if self.mutate:
            self.mutate(value)
        return schema, array

    def _stream(self, requested_schema=None):
        stream = self.data.__arrow_c_stream__()
        self._count(stream, b"arrow_array_stream", ArrowArrayStreamStruct)
        return stream


def strings_with_offsets(offsets, data=b"4006381333931"):
    """A string array whose offsets are changed to `offsets` after pyarrow checked them."""
    memory = bytearray(pa.array([0] * len(offsets), pa.int32()).buffers()[1].to_pybytes())
    column = pa.StringArray.from_buffers(len(offsets) - 1, pa.py_buffer(memory), pa.py_buffer(data))
    memory[:] = pa.array(offsets, pa.int32()).buffers()[1].to_pybytes()
    return column
