"""Work on many items in a process a core, the results in the items' order."""

import multiprocessing
import os

# Below this many items, starting the processes costs more than it saves.
FEW = 500
CHUNK = 200


def chunked(function, items, few=None, chunk=None):
    """Yields function(part) for consecutive parts of `items`, in order: in
    this process when they are few, else in a pool of a process a core (at
    most 8), so that a reader of 100,000 documents uses every core. `function`
    must be a module's own, taking and returning what pickles."""
    items = list(items)
    few, chunk = FEW if few is None else few, chunk or CHUNK
    parts = [items[i:i + chunk] for i in range(0, len(items), chunk)]
    if len(items) < few:
        yield from map(function, parts)
        return
    with multiprocessing.get_context("fork").Pool(max(1, min(8, os.cpu_count() or 1))) as pool:
        yield from pool.imap(function, parts)
