"""What the tools write: one-line messages on stderr, text on stdout that
nothing buffers, and files that are replaced only by complete ones."""

import argparse
import errno
import os
import re
import select
import signal
import stat
import sys
import tempfile
import time

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
    as it would any filter; one that has stopped reading stops it a second
    after a signal, where a blocked write would never return."""
    try:
        if sys.stdout is None:  # Python found fd 1 closed
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))
        view = memoryview(words.encode(sys.stdout.encoding or "utf-8", "backslashreplace"))
        while view:
            wait_writable(1)
            # No more than a pipe takes at once once it has room, so that no
            # write blocks.
            view = view[os.write(1, view[:select.PIPE_BUF]):]
    except BrokenPipeError:
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGPIPE)
    except OSError as e:
        say(f"{NAME}: stdout: {e.strerror}")
        sys.exit(128 + stopped if stopped else 1)  # as after SIGHUP, whose terminal has gone


# When the tool was stopped, by time.monotonic(): what is left to write
# then gets a second.
stopped_at = None
GRACE = 1.0


def wait_writable(fd):
    """Return once fd can take a write; raise once a second has passed
    since a signal stopped the tool and it still cannot."""
    global stopped_at
    while not select.select([], [fd], [], 0.1)[1]:
        if stopped:
            stopped_at = stopped_at or time.monotonic()
            if time.monotonic() > stopped_at + GRACE:
                raise OSError(errno.ETIMEDOUT, "not read for a second after the signal; "
                                               "the rest is not written")


class Parser(argparse.ArgumentParser):
    """Errors as one line and status 1; help through out(). An unknown
    option is named as such, where argparse would first ask for a missing
    argument that the user may well have given."""

    def parse_args(self, args=None, namespace=None):
        args = sys.argv[1:] if args is None else list(args)
        for arg in args:
            if arg == "--":
                break
            if isinstance(arg, str) and arg.startswith("-") and arg != "-" \
                    and not re.fullmatch(r"-[0-9.]+", arg) \
                    and arg.split("=", 1)[0] not in self._option_string_actions:
                fail(f"unrecognized option: {text.shown(arg)}")
        return super().parse_args(args, namespace)

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


def target(path):
    """The file that path names once its symbolic links are followed, and
    whether to write it in place: a name that passes through /proc, as
    /dev/stdout does, is a file already open in some process, and a rename
    over where it leads would leave that process writing to nothing."""
    seen = set()
    path = os.path.abspath(path)
    while True:
        path = os.path.join(os.path.realpath(os.path.dirname(path)), os.path.basename(path))
        if path.startswith("/proc/"):
            return path, True
        if not os.path.islink(path) or path in seen:
            break
        seen.add(path)
        path = os.path.join(os.path.dirname(path), os.readlink(path))
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return path, False
    return path, not stat.S_ISREG(st.st_mode)


def open_in_place(real):
    """A descriptor to write real, a file target() says to write in place:
    one of this process's own descriptors shares its offset, so that what
    goes through the name and what goes through the descriptor, as a table
    on stdout beside a CSV file on /dev/stdout, do not overwrite each other."""
    own = re.fullmatch(r"/proc/(?:self|%d)/fd/(\d+)" % os.getpid(), real)
    if own:
        return os.dup(int(own[1]))
    return os.open(real, os.O_WRONLY | os.O_APPEND)


def executable(path):
    """Whether path is a regular file that some user may run: never what a
    run file, a table or a picture replaces."""
    try:
        st = os.stat(path)
    except OSError:
        return False
    return stat.S_ISREG(st.st_mode) and bool(st.st_mode & 0o111)


def save(path, write):
    """Write what path names through a temporary file beside it, so that an
    old file is replaced only by a complete new one, with its mode kept. A
    device or a pipe, such as /dev/stdout, is written in place: renaming
    over it would replace it."""
    name = text.shown(path)
    real, in_place = target(path)
    if in_place:
        try:
            with os.fdopen(open_in_place(real), "wb") as f:
                write(f)
        except OSError as e:
            fail(f"{name}: {e.strerror}")
        return
    try:
        st = os.stat(real)
    except OSError:
        st = None
    try:
        fd, tmp = tempfile.mkstemp(dir=os.path.dirname(real), prefix=".", suffix=".tmp")
    except OSError as e:
        fail(f"{name}: {e.strerror}")
    try:
        with os.fdopen(fd, "wb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, new_mode(st))
        os.replace(tmp, real)
    except OSError as e:
        os.unlink(tmp)
        fail(f"{name}: {e.strerror}")
    except BaseException:
        os.unlink(tmp)
        raise
