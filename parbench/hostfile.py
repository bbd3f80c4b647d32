"""A hostfile, read once: its hosts and their slots, in either of the two forms
MPIs read ("node1 slots=4" and "node1:4"), and its text in the other form."""

import re
from dataclasses import dataclass
from .mpi import COLON


@dataclass(frozen=True)
class Hostfile:
    path: str
    hosts: tuple            # (host, slots or None) for each host line
    colons: tuple           # for each host line, whether it is in the "host:N" form

    @classmethod
    def read(cls, path):
        hosts, colons = [], []
        with open(path) as f:
            for line in f:
                words = line.split("#", 1)[0].split()
                if not words:
                    continue
                host, colon, count = words[0].partition(":")
                m = re.search(r"\bslots\s*=\s*(\d+)", " ".join(words[1:]))
                hosts.append((host, int(m.group(1)) if m else int(count) if count.isdigit() else None))
                colons.append(bool(colon))
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

