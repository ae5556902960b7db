"""Where the command writes: a file that appears whole or not at all.

A regular file is written to a hidden temporary file beside it and renamed
over it once complete, so a failure, a full disk or a signal never leaves half
a file or clobbers the old one; the old file's mode, owner and group carry
over. A symbolic link is written through: its target is replaced and the link
stays a link. Anything else (stdout, a terminal, /dev/null, a FIFO) cannot be
renamed over and is written in place.
"""

from __future__ import annotations

import errno
import io
import os
import re
import stat
from typing import Any, BinaryIO, List, Optional

from ._tables import InputError, shown_path

BUFFER_BYTES = 1 << 20
# Names of a descriptor already open: written to that descriptor, not reopened.
_OPEN_DESCRIPTOR = re.compile(r"/(?:dev/fd|proc/self/fd)/(\d+)")
_STANDARD = {"/dev/stdout": 1, "/dev/stderr": 2}


class Interrupted(BaseException):
    """A stop signal (SIGINT, SIGTERM, SIGHUP) arrived; carries its number."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


# The stop signals received, appended by the command's handler: checked again
# before an output is put in place.
stopped: List[int] = []


class OutputError(InputError):
    """The destination refused a write: one line naming it."""


def describe(error: OSError) -> str:
    """An OSError's reason in words, with what to do when the disk is full."""
    reason = error.strerror or str(error)
    if error.errno in (errno.ENOSPC, errno.EDQUOT):
        return f"{reason} (the file system is full)"
    return reason


class Output:
    """One destination: `open()` gives the binary stream to write, `commit()`
    puts it in place, `abort()` (or leaving the `with` block by an exception)
    leaves nothing behind."""

    def __init__(self, path: str, input_path: Optional[str] = None) -> None:
        self.path, self.shown = path, shown_path(path) if path != "-" else "stdout"
        self.temp: Optional[str] = None
        self._target: Optional[str] = None  # the regular file renamed over, once complete
        self._fd: Optional[int] = None
        self._old: Optional[os.stat_result] = None
        self.stream: Optional[BinaryIO] = None
        self.in_place = False
        self._check(input_path)

    # ---- Before anything is written ------------------------------------------------

    def _check(self, input_path: Optional[str]) -> None:
        path, shown = self.path, self.shown
        if path == "":
            raise InputError("the output path is empty; name a file, or - for stdout")
        if path == "-" or path in _STANDARD or _OPEN_DESCRIPTOR.fullmatch(path):
            self.in_place = True
            return
        try:
            found: Optional[os.stat_result] = os.stat(path)
        except FileNotFoundError:
            found = None
        except NotADirectoryError:
            raise InputError(f"{shown}: cannot write: a part of the path is not a directory") from None
        except OSError as error:
            raise InputError(f"{shown}: cannot write: {describe(error)}") from None
        if found is not None and input_path is not None and input_path != "-":
            try:
                source = os.stat(input_path)
            except OSError:
                source = None
            if source is not None and (source.st_dev, source.st_ino) == (found.st_dev, found.st_ino):
                raise InputError(f"{shown}: the output is the input file; write the cleaned copy to another path")
        if found is not None and stat.S_ISDIR(found.st_mode):
            raise InputError(f"{shown}: is a directory; name a file to write")
        if found is not None and not stat.S_ISREG(found.st_mode):
            self.in_place = True  # a device or a FIFO: renaming over it would replace the node
            return
        # Through any symbolic links to the file they name, existing or not.
        target = os.path.realpath(path)
        directory = os.path.dirname(target)
        if not os.path.isdir(directory):
            missing = shown_path(os.path.dirname(path) or ".")
            raise InputError(f"{shown}: cannot write: the directory {missing} does not exist")
        self._target, self._old = target, found

    # ---- Writing -----------------------------------------------------------------

    def open(self) -> BinaryIO:
        if self.in_place:
            fd = self._open_in_place()
        else:
            assert self._target is not None
            fd = self._create_temp()
            self._take_attributes(fd)
        self._fd = fd
        raw = _Descriptor(fd, self.shown)
        self.stream = io.BufferedWriter(raw, BUFFER_BYTES)
        return self.stream

    def _create_temp(self) -> int:
        """A new hidden file beside the target. Its name is known before it
        exists, so that a signal at any moment leaves nothing `abort` misses."""
        assert self._target is not None
        directory, name = os.path.split(self._target)
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
        for _ in range(100):
            self.temp = os.path.join(directory, f".{name}.{os.urandom(4).hex()}.part")
            try:
                return os.open(self.temp, flags, 0o600)
            except FileExistsError:
                self.temp = None
            except OSError as error:
                self.temp = None
                raise InputError(f"{self.shown}: cannot write: {describe(error)}") from None
        raise InputError(f"{self.shown}: cannot write: no free name for a temporary file beside it")

    def _open_in_place(self) -> int:
        path = self.path
        number = 1 if path == "-" else _STANDARD.get(path)
        match = _OPEN_DESCRIPTOR.fullmatch(path)
        if match:
            number = int(match.group(1))
        try:
            if number is not None:
                return os.dup(number)
            return os.open(path, os.O_WRONLY | os.O_TRUNC | getattr(os, "O_CLOEXEC", 0))
        except OSError as error:
            raise InputError(f"{self.shown}: cannot write: {describe(error)}") from None

    def _take_attributes(self, fd: int) -> None:
        old = self._old
        if old is None:
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(fd, 0o666 & ~umask)
            return
        # Owner and group first: changing them may clear set-id bits.
        for uid, gid in ((old.st_uid, old.st_gid), (-1, old.st_gid)):
            try:
                os.fchown(fd, uid, gid)
                break
            except OSError:
                continue  # not permitted: as much of it as may be kept
        os.fchmod(fd, stat.S_IMODE(old.st_mode))

    def commit(self) -> None:
        """Everything written: the destination now holds it."""
        if stopped:
            raise Interrupted(stopped[0])
        stream, self.stream = self.stream, None
        if stream is not None:
            try:
                stream.close()
            except OSError as error:
                raise OutputError(f"{self.shown}: cannot write: {describe(error)}") from None
        self._fd = None
        if self.temp is not None:
            assert self._target is not None
            try:
                os.replace(self.temp, self._target)
            except OSError as error:
                raise OutputError(f"{self.shown}: cannot write: {describe(error)}") from None
            self.temp = None

    def abort(self) -> None:
        """Nothing written stays; safe to call more than once."""
        stream, self.stream = self.stream, None
        if stream is not None:
            # Close the descriptor first, so that the buffer's bytes are
            # dropped rather than flushed into a file about to go.
            try:
                stream.raw.close()  # type: ignore[attr-defined]
            except OSError:
                pass
            stream.close()
        self._fd = None
        if self.temp is not None:
            temp, self.temp = self.temp, None
            try:
                os.unlink(temp)
            except FileNotFoundError:
                pass

    def __enter__(self) -> "Output":
        return self

    def __exit__(self, kind: Any, value: Any, traceback: Any) -> None:
        if kind is None and self.stream is not None:
            self.commit()
        else:
            self.abort()


class _Descriptor(io.RawIOBase):
    """A file descriptor whose write errors name the destination."""

    def __init__(self, fd: int, shown: str) -> None:
        super().__init__()
        self._fd, self._shown = fd, shown
        try:
            self._seekable = stat.S_ISREG(os.fstat(fd).st_mode)
        except OSError:
            self._seekable = False

    def fileno(self) -> int:
        return self._fd

    def writable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return self._seekable

    def seek(self, offset: int, whence: int = 0) -> int:
        return os.lseek(self._fd, offset, whence)

    def tell(self) -> int:
        return os.lseek(self._fd, 0, os.SEEK_CUR)

    def write(self, data: Any) -> int:
        try:
            return os.write(self._fd, data)
        except BrokenPipeError:
            raise
        except OSError as error:
            raise OutputError(f"{self._shown}: cannot write: {describe(error)}") from None

    def close(self) -> None:
        if not self.closed:
            fd, self._fd = self._fd, -1
            super().close()
            try:
                os.close(fd)
            except OSError as error:
                raise OutputError(f"{self._shown}: cannot write: {describe(error)}") from None
