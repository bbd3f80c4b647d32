"""The optional Python packages: what each one is called, what it is imported
as, which Debian packages and pip names install it, whether it is there, and
the one way every message says how to install it. The runner works without
any of them; each only adds what needs it (a test, a fit, a picture, a page,
an archive)."""

import importlib
from dataclasses import dataclass


@dataclass(frozen=True)
class Package:
    name: str          # as its users call it, in messages
    module: str        # what is imported
    debian: tuple      # the Debian packages that bring it, all it needs included
    pip: tuple = ()    # its names for pip; none where pip has no build of it
    call: str = ""     # how the message names it, where not by its name


SCIPY = Package("SciPy", "scipy.stats", ("python3-scipy",), ("scipy",))
NUMPY = Package("NumPy", "numpy", ("python3-numpy",), ("numpy",))
MATPLOTLIB = Package("matplotlib", "matplotlib", ("python3-matplotlib",), ("matplotlib",))
JINJA2 = Package("Jinja2", "jinja2", ("python3-jinja2",), ("jinja2",))
# Debian 13's package lacks its dependency on six.
OTF2 = Package("OTF2", "otf2", ("python3-otf2", "python3-six"), call="python3-otf2")
# Where one need brings another along: the fit and the drawings of a session.
DRAWING = (MATPLOTLIB, SCIPY)


def hint(*packages):
    """How to install `packages`: "apt-get install A B, or pip install --user a b",
    or with sudo where pip has none of them."""
    debian = " ".join(d for p in packages for d in p.debian[:1])
    pip = " ".join(n for p in packages for n in p.pip)
    if not pip:
        return "sudo apt-get install %s" % debian
    return "apt-get install %s, or pip install --user %s" % (debian, pip)


def load(package):
    """The imported module of `package`, or None where it cannot be imported."""
    try:
        return importlib.import_module(package.module)
    except (ImportError, OSError):
        return None


def missing(package, hint_of=()):
    """Why `package` cannot be used, or None: not installed, lacking a module
    of its own, or lacking its C library. The hint is for `hint_of` where
    given: the packages the same need wants together (DRAWING)."""
    try:
        importlib.import_module(package.module)
    except ImportError as e:
        top = package.module.split(".")[0]
        if e.name is None or e.name == top or e.name.startswith(top + ".") or e.name == "_" + top:
            return "%s is not installed (%s)" % (package.call or package.name, hint(*(hint_of or (package,))))
        return "%s cannot be imported: %s (%s)" % (package.call or package.name, e,
                                                    hint(Package(e.name, e.name, ("python3-%s" % e.name,))))
    except OSError as e:   # the module is there but its C library is not
        return "%s cannot load the %s library: %s" % (package.call or package.name, package.name, e)
    return None
