"""What the tools write: one-line messages on stderr, text on stdout that
nothing buffers, and files that are replaced only by complete ones."""

import argparse
import errno
import os
import signal
import sys
import tempfile

from . import text

NAME = os.path.basename(sys.argv[0])
# The signal that stopped the tool, for its exit status once stdout fails.
stopped = None


def say(line, end="\n"):
    # A terminal that has gone (after SIGHUP) takes nothing, and that must
    # not stop the tool from finishing its work.
    try:
        sys.stderr.write(line + end)
        sys.stderr.flush()
    except (OSError, AttributeError):
        pass


def fail(message):
    say(f"{NAME}: {message}")
    sys.exit(1)


def warn(message):
    say(f"{NAME}: warning: {message}")


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def out(words):
    """Write words on stdout at once, in the locale's encoding with escapes
    for what it cannot hold: nothing waits in a buffer to fail at exit. A
    reader that has gone, as after `| head -1`, ends this process quietly,
    as it would any filter."""
    try:
        if sys.stdout is None:  # Python found fd 1 closed
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))
        write_all(1, words.encode(sys.stdout.encoding or "utf-8", "backslashreplace"))
    except BrokenPipeError:
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGPIPE)
    except OSError as e:
        say(f"{NAME}: stdout: {e.strerror}")
        sys.exit(128 + stopped if stopped else 1)  # as after SIGHUP, whose terminal has gone


class Parser(argparse.ArgumentParser):
    """Errors as one line and status 1; help through out()."""

    def error(self, message):
        fail(message)

    def _print_message(self, message, file=None):
        if file is sys.stderr:
            say(message or "", end="")
        else:
            out(message or "")


def new_mode(st):
    """The mode of a file that replaces one of mode st, or is new."""
    if st is not None:
        return st.st_mode & 0o7777
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


def save(path, write):
    """Write path through a temporary file beside it, so that an old file is
    replaced only by a complete new one. A device or a pipe, such as
    /dev/stdout, is written in place: renaming over it would replace it."""
    name = text.shown(path)
    if os.path.exists(path) and not os.path.isfile(path):
        try:
            with open(path, "wb") as f:
                write(f)
        except OSError as e:
            fail(f"{name}: {e.strerror}")
        return
    try:
        fd, tmp = tempfile.mkstemp(dir=os.path.dirname(path) or ".", prefix=".", suffix=".tmp")
    except OSError as e:
        fail(f"{name}: {e.strerror}")
    try:
        with os.fdopen(fd, "wb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, new_mode(None))
        os.replace(tmp, path)
    except OSError as e:
        os.unlink(tmp)
        fail(f"{name}: {e.strerror}")
    except BaseException:
        os.unlink(tmp)
        raise
