"""Waking the agent the moment a receiver replaces its preview.

The receivers replace the preview by renaming a finished temporary file over it, so a rename into
the folder (or a file closed after writing, for writers that do not rename) under the preview's
name is the signal. On Linux the kernel's inotify says so at once; elsewhere, or when inotify is not
available, the file's identity is polled every 20 ms.
"""

import ctypes
import ctypes.util
import os
import select
import struct
import time

from agent_files import file_identity

POLL_S = 0.020

_IN_CLOSE_WRITE = 0x00000008
_IN_MOVED_TO = 0x00000080
_IN_NONBLOCK = 0o4000
_IN_CLOEXEC = 0o2000000
_EVENT = struct.Struct("iIII")


def _libc():
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
        libc.inotify_init1.argtypes = [ctypes.c_int]
        libc.inotify_add_watch.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_uint32]
        return libc
    except (OSError, AttributeError):
        return None


class PreviewWatch:
    """wait(timeout) returns True as soon as the watched file may have been replaced, False when
    the timeout passed without a sign of it. Spurious True answers are harmless: the caller checks
    the file's identity anyway."""

    def __init__(self, use_inotify=True):
        self.path = None
        self._fd = None
        self._name = None
        self._identity = None
        self._libc = _libc() if use_inotify else None
        # What wakes the agent: "inotify", or "poll" (every 20 ms).
        self.mechanism = "inotify" if self._libc is not None else "poll"

    def watch(self, path):
        if path == self.path:
            return
        self.close()
        self.path = path
        self._name = os.fsencode(os.path.basename(path))
        self._identity = file_identity(path)[1]
        self.mechanism = "poll"
        if self._libc is None:
            return
        folder = os.path.dirname(path) or "."
        fd = self._libc.inotify_init1(_IN_NONBLOCK | _IN_CLOEXEC)
        if fd < 0:
            return
        if self._libc.inotify_add_watch(fd, os.fsencode(folder), _IN_MOVED_TO | _IN_CLOSE_WRITE) < 0:
            # The folder does not exist yet (the receiver makes it): poll until it does.
            os.close(fd)
            return
        self._fd = fd
        self.mechanism = "inotify"

    def _drain(self):
        """True when one of the queued events names the preview."""
        named = False
        while True:
            try:
                data = os.read(self._fd, 65536)
            except BlockingIOError:
                return named
            except OSError:
                return True
            if not data:
                return named
            offset = 0
            while offset + _EVENT.size <= len(data):
                _, _, _, length = _EVENT.unpack_from(data, offset)
                name = data[offset + _EVENT.size:offset + _EVENT.size + length].rstrip(b"\0")
                offset += _EVENT.size + length
                if name == self._name:
                    named = True

    def wait(self, timeout):
        deadline = time.monotonic() + max(0.0, timeout)
        if self.path is not None and self._fd is None and self._libc is not None \
                and os.path.isdir(os.path.dirname(self.path) or "."):
            path, self.path = self.path, None
            self.watch(path)
        if self._fd is not None:
            while True:
                left = deadline - time.monotonic()
                ready, _, _ = select.select([self._fd], [], [], max(0.0, left))
                if ready and self._drain():
                    return True
                if time.monotonic() >= deadline:
                    return False
        while True:
            if self.path is not None:
                identity = file_identity(self.path)[1]
                if identity != self._identity:
                    self._identity = identity
                    return True
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            time.sleep(min(POLL_S, left))

    def close(self):
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None
        self.path = None
