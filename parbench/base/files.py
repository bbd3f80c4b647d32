"""Every file the runner writes and every document it reads goes through here,
and its standard output.

Writing: the content exists before the target is touched; it goes to a hidden
temporary file beside the target, is flushed to disk and renamed over it, so a
failure never leaves half a file or empties an old one, and many writers on
shared storage need no lock. Whether a file or folder can be written is found
out up front by writing there: permission bits alone do not tell (root passes
them everywhere, /proc refuses every new file).

Reading: only regular files (a FIFO would hang, /dev/zero would never end), and
at most `limit` bytes of them.

Standard output: closed at the start, it is refused; a reader that goes away
costs what was still to be shown and nothing else.
"""

import contextlib
import errno
import io
import os
import secrets
import stat
import sys
import threading

# What a document of the runner can grow to: --repeat at its cap over every
# group of a wide sweep stays well below it.
READ_LIMIT = 64 * 2 ** 20


class ReadError(Exception):
    """A file that cannot be read as asked; the text says why."""


def temporary_beside(path):
    folder, name = os.path.split(os.path.abspath(path))
    return os.path.join(folder, ".%s.%d.%s.tmp" % (name, os.getpid(), secrets.token_hex(3)))


def write(path, data):
    """Writes `data` (str or bytes) as the whole of `path`, or raises OSError
    having changed nothing. A file written over keeps its permission bits, and
    its owner and group where this process may give them."""
    with streamed(path, binary=True) as f:
        # Text from a document may hold lone surrogates, which UTF-8 cannot.
        f.write(data.encode("utf-8", "backslashreplace") if isinstance(data, str) else data)


@contextlib.contextmanager
def streamed(path, binary=False):
    """A file to write the whole of `path` into piece by piece, as `write`
    does at once: the pieces go to a temporary file beside it, which replaces
    `path` only when the block ends without an exception."""
    temporary = temporary_beside(path)
    try:
        old = os.stat(path)
    except OSError:
        old = None
    try:
        with open(temporary, "xb") if binary else \
                open(temporary, "x", encoding="utf-8", errors="backslashreplace", newline="") as f:
            if old:
                _keep_owner_and_mode(f.fileno(), old)
            yield f
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _keep_owner_and_mode(fd, old):
    if (old.st_uid, old.st_gid) != (os.geteuid(), os.getegid()):
        try:
            os.fchown(fd, old.st_uid, old.st_gid)
        except OSError:
            pass  # only root may give a file away; the mode is kept all the same
    # Set-id bits do not pass to new content.
    os.fchmod(fd, stat.S_IMODE(old.st_mode) & ~(stat.S_ISUID | stat.S_ISGID))


def unwritable(path):
    """Why `path` cannot be written as a whole file (its folder must exist and
    take new files, for the rename), or None. A file this process may not write
    is refused, as a shell's redirection would; root may write over it."""
    path = os.path.abspath(path)
    folder = os.path.dirname(path)
    if os.path.isdir(path):
        return "it is a folder"
    if os.path.lexists(path) and not os.path.isfile(path):
        return "it is not a regular file"
    if not os.path.exists(folder):
        return "no folder %s" % _nearest_problem(folder)
    if not os.path.isdir(folder):
        return "%s is not a folder" % folder
    if os.path.exists(path) and not os.access(path, os.W_OK):
        return "it is read-only"
    # The very name write() will use: one too long for the folder shows now too.
    why = _refuses(folder, temporary_beside(path))
    return why and "the folder %s cannot be written: %s" % (folder, why)


def _nearest_problem(folder):
    """`folder`, or the part of it that is a file rather than a folder."""
    parent = folder
    while parent != os.path.dirname(parent):
        if os.path.lexists(parent) and not os.path.isdir(parent):
            return "%s (%s is not a folder)" % (folder, parent)
        parent = os.path.dirname(parent)
    return folder


def unmakeable_folder(path):
    """Why `path` cannot be (or become) a folder that takes new files, or None.
    A folder still to be made is judged by the nearest one there, the only
    place the check writes in."""
    path = os.path.abspath(path)
    if os.path.isdir(path):
        why = _refuses(path, temporary_beside(os.path.join(path, "probe")))
        return why and "it cannot be written: %s" % why
    if os.path.lexists(path):
        return "it is not a folder"
    parent = path
    while not os.path.lexists(parent):
        parent = os.path.dirname(parent)
    if not os.path.isdir(parent):
        return "%s is not a folder" % parent
    why = _refuses(parent, temporary_beside(os.path.join(parent, "probe")))
    return why and "%s cannot be written: %s" % (parent, why)


def _refuses(folder, probe):
    """Why the folder would not take the new file `probe`, or None: found by
    making it and removing it again."""
    try:
        fd = os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o600)
    except OSError as e:
        if e.errno == errno.ENOENT and os.path.isdir(folder):
            return "it takes no new files"  # /proc's answer
        return e.strerror or str(e)
    os.close(fd)
    try:
        os.unlink(probe)
    except OSError as e:
        return "a new file there could not be removed: %s" % (e.strerror or e)
    return None


def read(path, limit=READ_LIMIT):
    """The bytes of the regular file `path`, or ReadError saying why not."""
    try:
        # O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    except OSError as e:
        raise ReadError(_reason(e))
    try:
        info = os.fstat(fd)
        if stat.S_ISDIR(info.st_mode):
            raise ReadError("it is a folder")
        if not stat.S_ISREG(info.st_mode):
            raise ReadError("it is not a regular file")
        if info.st_size > limit:
            raise ReadError("it is larger than %d MB" % (limit // 2 ** 20))
        chunks, size = [], 0
        while True:
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                break
            size += len(chunk)
            if size > limit:
                raise ReadError("it is larger than %d MB" % (limit // 2 ** 20))
            chunks.append(chunk)
        return b"".join(chunks)
    except OSError as e:
        raise ReadError(_reason(e))
    finally:
        os.close(fd)


def _reason(error):
    if error.errno == errno.ELOOP:
        return "a symbolic link that leads to itself"
    return error.strerror or str(error)


def closed_output():
    """Whether standard output was closed when the process started (Python
    then has no sys.stdout), so that nothing shown could reach anyone."""
    out = sys.stdout.stream if isinstance(sys.stdout, Output) else sys.stdout
    if out is None or out.closed:
        return True
    try:
        os.fstat(out.fileno())
    except (OSError, ValueError) as e:   # a stream of the tests' has no descriptor
        return getattr(e, "errno", None) == errno.EBADF
    return False


class Output:
    """A standard stream that outlives its reader: from the first write that
    finds the pipe broken on, what is written goes nowhere, and `gone`, where
    set, is called once, in the main thread (the only one that may stop the
    process), at its next write."""

    def __init__(self, stream):
        # None: the stream was closed when the process started.
        self.stream, self.gone, self.lost, self._told = stream, None, stream is None, False

    def write(self, text):
        if not self.lost:
            try:
                return self._write(text)
            except BrokenPipeError:
                self._lose()
        self._tell()
        return len(text)

    def _write(self, text):
        raw = getattr(self.stream, "buffer", None)
        if not isinstance(raw, io.RawIOBase):
            return self.stream.write(text)
        # Unbuffered (PYTHONUNBUFFERED): the text layer would drop the rest of a
        # short write, which is what a reader going away leaves.
        data = memoryview(text.encode(self.stream.encoding, self.stream.errors))
        while data:
            written = raw.write(data)
            if not written:
                break   # non-blocking and full: dropped, as the text layer would
            data = data[written:]
        return len(text)

    def flush(self):
        if not self.lost:
            try:
                self.stream.flush()
            except BrokenPipeError:
                self._lose()
        self._tell()

    def _lose(self):
        self.lost = True
        # What stays in the stream's buffer goes to /dev/null when Python flushes it at exit.
        try:
            fd = self.stream.fileno()
            null = os.open(os.devnull, os.O_WRONLY)
        except (OSError, ValueError):
            return
        os.dup2(null, fd)
        os.close(null)

    def _tell(self):
        if self.lost and self.gone and not self._told and threading.current_thread() is threading.main_thread():
            self._told = True
            self.gone()

    def __getattr__(self, name):
        return getattr(self.stream, name)


@contextlib.contextmanager
def standard_streams():
    """Within, sys.stdout and sys.stderr are Output streams; yields standard
    output's, whose `gone` the caller sets. A broken standard error is only
    dropped: there is nowhere left to say so."""
    saved = sys.stdout, sys.stderr
    out, err = Output(sys.stdout), Output(sys.stderr)
    sys.stdout, sys.stderr = out, err
    try:
        yield out
    finally:
        out.gone = None
        for stream in (out, err):
            with contextlib.suppress(OSError):   # the caller has flushed what it meant to show
                stream.flush()
        sys.stdout, sys.stderr = saved
