"""A hostfile, read once: its hosts and their slots, in either of the two forms
MPIs read ("node1 slots=4" and "node1:4"), and its text in the other form."""

import re
from dataclasses import dataclass

from ..base import files
from .mpi import COLON

FORMS = "'host', 'host slots=N' or 'host:N', N a whole number of 1 or more"
_HOST = r"[^\x00-\x20\x7f:=#]+"
_COUNT = r"0*[1-9][0-9]*"
_COLON_LINE = re.compile(r"(%s)(?::(%s))?" % (_HOST, _COUNT))
# Open MPI also reads a ceiling, max_slots=N, beside the slots.
_SLOTS_WORD = re.compile(r"(slots|max_slots)=(%s)" % _COUNT)


class HostfileError(Exception):
    """A hostfile that cannot be read or has a line no MPI would take; the text
    names the file and the line."""


@dataclass(frozen=True)
class Hostfile:
    path: str
    hosts: tuple            # (host, slots or None) for each host line
    colons: tuple           # for each host line, whether it is in the "host:N" form

    @classmethod
    def read(cls, path):
        """The hostfile at `path`; HostfileError when it cannot be used."""
        try:
            data = files.read(path)
        except files.ReadError as e:
            raise HostfileError("cannot read %s: %s" % (path, e))
        try:
            text = data.decode("utf-8-sig")
        except UnicodeDecodeError as e:
            raise HostfileError("%s, line %d: not UTF-8 text" % (path, data[:e.start].count(b"\n") + 1))
        hosts, colons = [], []
        for number, line in enumerate(text.split("\n"), 1):
            # "slots = 4" is "slots=4" to the MPIs.
            words = re.sub(r"\s*=\s*", "=", line.split("#", 1)[0].strip()).split()
            if not words:
                continue
            entry = _entry(words)
            if entry is None:
                raise HostfileError("%s, line %d: %r is not %s" % (path, number, line.strip(), FORMS))
            hosts.append(entry[:2])
            colons.append(entry[2])
        if not hosts:
            raise HostfileError("%s lists no hosts" % path)
        return cls(path, tuple(hosts), tuple(colons))

    def slots(self, cores):
        """The slots it lists. A host without a count gets its cores from the
        MPI, which only it can see; `cores` (this host's) stands in."""
        return sum(n or cores for _, n in self.hosts)

    def reads_as(self, form):
        return all(self.colons) if form == COLON else not any(self.colons)

    def text_in(self, form, cores):
        """Its hosts in `form`; a host without a count gets `cores`."""
        return "".join(("%s:%d\n" if form == COLON else "%s slots=%d\n") % (host, n or cores)
                       for host, n in self.hosts)


def _entry(words):
    """(host, slots or None, colon form) of a line's words, or None."""
    first = _COLON_LINE.fullmatch(words[0])
    if not first:
        return None
    host, count = first.groups()
    if count:
        return (host, int(count), True) if len(words) == 1 else None
    found = {}
    for word in words[1:]:
        m = _SLOTS_WORD.fullmatch(word)
        if not m or m.group(1) in found:
            return None
        found[m.group(1)] = int(m.group(2))
    return host, found.get("slots"), False
