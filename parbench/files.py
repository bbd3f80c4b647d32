"""Every file the runner writes and every document it reads goes through here.

Writing: the content exists before the target is touched; it goes to a hidden
temporary file beside the target, is flushed to disk and renamed over it, so a
failure never leaves half a file or empties an old one, and many writers on
shared storage need no lock.

Reading: only regular files (a FIFO would hang, /dev/zero would never end), and
at most `limit` bytes of them.
"""

import errno
import os
import secrets
import stat

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
    having changed nothing."""
    if isinstance(data, str):
        # Text from a document may hold lone surrogates, which UTF-8 cannot.
        data = data.encode("utf-8", "backslashreplace")
    temporary = temporary_beside(path)
    try:
        with open(temporary, "xb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def unwritable(path):
    """Why `path` cannot be written as a whole file (its folder must exist and
    take new files, for the rename), or None."""
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
    if not os.access(folder, os.W_OK | os.X_OK):
        return "the folder %s cannot be written" % folder
    return None


def _nearest_problem(folder):
    """`folder`, or the part of it that is a file rather than a folder."""
    parent = folder
    while parent != os.path.dirname(parent):
        if os.path.lexists(parent) and not os.path.isdir(parent):
            return "%s (%s is not a folder)" % (folder, parent)
        parent = os.path.dirname(parent)
    return folder


def unmakeable_folder(path):
    """Why `path` cannot be (or become) a folder that takes new files, or None."""
    path = os.path.abspath(path)
    if os.path.isdir(path):
        return None if os.access(path, os.W_OK | os.X_OK) else "it cannot be written"
    if os.path.lexists(path):
        return "it is not a folder"
    parent = path
    while not os.path.lexists(parent):
        parent = os.path.dirname(parent)
    if not os.path.isdir(parent):
        return "%s is not a folder" % parent
    if not os.access(parent, os.W_OK | os.X_OK):
        return "%s cannot be written" % parent
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
