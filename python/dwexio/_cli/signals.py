"""SIGINT and SIGTERM as exceptions that the command unwinds from, so that an
output being written is discarded and the file it replaces is left alone.

Python runs a signal's handler in the main thread between two steps of its
code, never inside a C call. A signal that lands while that thread is in C
code on its way to a blocking system call (between two reads of a pipe within
one buffered read, say) is noted, but the call blocks anyway, and the handler
waits for it to return: for a pipe that stays open, forever. So each signal
also wakes a watcher thread, through the interpreter's wakeup descriptor, and
the watcher sends the signal to the main thread again, every few hundredths
of a second, until the handler has run: one of these lands inside the
blocking call, which then fails with EINTR, and the interpreter runs the
handler before retrying it.
"""

from __future__ import annotations

import contextlib
import os
import signal
import threading
from collections.abc import Iterator
from typing import NoReturn

SIGNALS = (signal.SIGINT, signal.SIGTERM)

# How long the watcher lets the main thread find a pending signal by itself
# before it sends the signal again.
_RESEND_AFTER = 0.05

# Written to the wakeup pipe by the command itself when it is done; no signal
# has the number 0.
_DONE = b"\0"


class Terminated(BaseException):
    """SIGTERM, raised where the program stands, as SIGINT raises
    KeyboardInterrupt."""


@contextlib.contextmanager
def raised() -> Iterator[None]:
    """Within the block, SIGINT raises KeyboardInterrupt and SIGTERM raises
    Terminated in the main thread, even when it is blocked reading or
    writing; after the first, both are ignored while the program cleans up.
    The handlers and the wakeup descriptor that were in place come back at the
    block's end. Outside the main thread, and for a signal that the caller
    ignores, nothing changes."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {number: signal.getsignal(number) for number in SIGNALS}
    caught = [number for number in SIGNALS if previous[number] is not signal.SIG_IGN]
    if not caught:
        yield
        return
    handled = threading.Event()

    def stop(number: int, frame: object) -> NoReturn:
        # Cleaning up is not interrupted by a second signal.
        for each in SIGNALS:
            signal.signal(each, signal.SIG_IGN)
        handled.set()
        raise KeyboardInterrupt if number == signal.SIGINT else Terminated

    woken, wake = os.pipe()
    os.set_blocking(wake, False)
    watcher = threading.Thread(target=_watch, args=(woken, caught, handled),
                               name="dwex signals", daemon=True)
    try:
        previous_wakeup = signal.set_wakeup_fd(wake, warn_on_full_buffer=False)
        try:
            for number in caught:
                signal.signal(number, stop)
            watcher.start()
            yield
        finally:
            handled.set()
            for number in caught:
                signal.signal(number, previous[number])
            signal.set_wakeup_fd(previous_wakeup)
            if watcher.is_alive():
                os.write(wake, _DONE)
                watcher.join()
    finally:
        os.close(woken)
        os.close(wake)


def _watch(woken: int, caught: list[int], handled: threading.Event) -> None:
    main = threading.main_thread().ident
    assert main is not None
    while True:
        numbers = os.read(woken, 64)
        if _DONE in numbers:
            return
        arrived = [number for number in numbers if number in caught]
        if not arrived:
            continue
        while not handled.wait(_RESEND_AFTER):
            signal.pthread_kill(main, arrived[0])
        return
