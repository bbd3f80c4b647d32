"""The session document: its format, its checks, its upgrades, its reading and
its writing, all here.

The format is published as a JSON Schema (schema/session.schema.json). Every
document read is first upgraded to the current format, then checked against
that schema by this module's own small validator (the `jsonschema` library,
where installed, checks it too on import and in the tests), so that what the
rest of the runner gets is a `Session` whose accessors can be trusted: no
reader digs in the raw dict. A document that cannot be read is a
DocumentError that says why, never another exception.
"""

import datetime
import functools
import hashlib
import json
import math
import os
import re
from dataclasses import dataclass
from typing import Optional

from . import programs, printouts
from ..base import files
from .programs import Group

# 1: run-suite --json before the store (no session id, no scaling);
# 2: the session id and the scaling analysis; 3: `interrupted`; 4: `balance`;
# 5: environments and placement.
FORMAT = 5
SCHEMA_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "schema", "session.schema.json")
TIMES = ("parallel_s", "sequential_s", "time_s")
# Set by the tests: every document written is checked against the schema by `jsonschema`.
CHECK_VARIABLE = "PARBENCH_CHECK_DOCUMENTS"
FIGURES = TIMES + ("speedup_pct",)
BALANCE_FIGURES = ("load_balance", "communication_efficiency", "parallel_efficiency")
# No document nests deeper than a few levels; this is far from Python's recursion limit.
MAX_DEPTH = 32
# Beyond this an integer is no longer exact as a double, nor safe in float arithmetic.
MAX_INTEGER = 2 ** 53


class DocumentError(Exception):
    """A document that cannot be used: `where` it is, and `why` (the text
    says both); `unreadable` when the file itself could not be read."""

    def __init__(self, where, why, unreadable=False):
        super().__init__(("cannot read %s: %s" if unreadable else "%s %s") % (where, why))
        self.where, self.why, self.unreadable = where, why, unreadable

    def named(self):
        """The error as a skipped file is named: where, and why."""
        return "%s: %s" % (self.where, self.why) if self.unreadable else str(self)


def _load_schema():
    with open(SCHEMA_PATH) as f:
        return json.load(f)


SCHEMA = _load_schema()
# The placements a run may have asked for (run-suite --bind), as the format gives them.
BINDS = tuple(v for v in SCHEMA["$defs"]["bind"]["enum"] if v is not None)


@functools.lru_cache(maxsize=None)
def _pattern(text):
    """A schema's pattern as Python reads it: there `$` also matches before a
    final newline, in the schema's own dialect only at the end."""
    return re.compile(re.sub(r"(?<!\\)\$", r"\\Z", text))


_ID = _pattern(SCHEMA["properties"]["session"]["pattern"])


# Reading

def _no_constant(name):
    raise ValueError("%s is not a JSON value" % name)


def parse(data, where):
    """The Session in `data` (the bytes of a document); DocumentError says
    what is wrong, naming `where`."""
    try:
        raw = json.loads(data.decode("utf-8"), parse_constant=_no_constant)
    except UnicodeDecodeError:
        raise DocumentError(where, "is not UTF-8 text")
    except RecursionError:
        raise DocumentError(where, "nests too deep to be a document")
    except ValueError as e:
        raise DocumentError(where, "is not JSON (%s)" % str(e)[:120])
    return from_json(raw, where)


def load(path):
    """The Session of the document file `path`."""
    try:
        data = files.read(path)
    except files.ReadError as e:
        raise DocumentError(path, e, unreadable=True)
    return parse(data, path)


def from_json(raw, where):
    """The Session of a document already read as JSON."""
    if not isinstance(raw, dict) or not isinstance(raw.get("summary"), list):
        raise DocumentError(where, "is not a document written by run-suite")
    problem = _unusable_value(raw)
    if problem:
        raise DocumentError(where, "is not a document: %s" % problem)
    version = raw.get("format", 1)
    if not isinstance(version, int) or isinstance(version, bool) or version < 1:
        raise DocumentError(where, "has no format this runner knows (%r)" % (version,))
    if version > FORMAT:
        raise DocumentError(where, "is in format %d, newer than this runner reads (%d); update the runner"
                            % (version, FORMAT))
    upgraded = upgrade(raw)
    problem = (None if _conforms(upgraded) else conformity(upgraded)) or _sense(upgraded)
    if problem:
        raise DocumentError(where, "does not hold a session: %s" % problem)
    return Session(upgraded, original_format=version)


def _unusable_value(raw):
    """What in `raw` no document holds, wherever it is: nesting too deep, or a
    number that is not finite or too large to compute with; or None."""
    stack = [(raw, 0)]
    while stack:
        value, depth = stack.pop()
        if isinstance(value, (dict, list)):
            if depth >= MAX_DEPTH:
                return "it nests deeper than %d levels" % MAX_DEPTH
            stack.extend((v, depth + 1) for v in (value.values() if isinstance(value, dict) else value))
        elif isinstance(value, float) and not math.isfinite(value):
            return "it holds a number that is not finite (%s)" % value
        elif isinstance(value, int) and not isinstance(value, bool) and abs(value) > MAX_INTEGER:
            return "it holds an integer beyond 2**53"
    return None


def upgrade(raw):
    """A copy of `raw` in the current format."""
    doc = dict(raw)
    if doc.get("format", 1) < 2:
        doc["session"] = _made_up_id(raw)
        doc.setdefault("runs", [])
        doc.setdefault("provenance", {})
        doc["scaling"] = []   # made from the summary when asked for
        for key in ("runs", "summary"):
            if isinstance(doc.get(key), list):
                doc[key] = [_threads_of_old(r) for r in doc[key]]
    if doc.get("format", 1) < 3:
        doc["interrupted"] = None
    # Format 4 only added `balance`, which earlier runs never had; 5 the
    # environments, of which an earlier session had its one build.
    if doc.get("format", 1) < 5:
        doc["environments"] = {}
    doc["format"] = FORMAT
    return doc


def _made_up_id(raw):
    """An id for a document written before ids: from its date, host and
    content, the same every time it is read."""
    prov = raw.get("provenance") if isinstance(raw.get("provenance"), dict) else {}
    try:
        when = datetime.datetime.fromisoformat(prov["date"]).astimezone(datetime.timezone.utc)
    except (KeyError, TypeError, ValueError, OverflowError):
        when = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
    try:
        digest = hashlib.sha256(json.dumps(raw, sort_keys=True).encode("utf-8", "replace")).hexdigest()[:6]
    except (TypeError, ValueError):
        digest = "000000"
    return "%s-%s-%s" % (stamp(when), host_part(prov.get("host")), digest)


def _sense(doc):
    """What the schema cannot say: each record's count fits its program, and
    each sweep is of a program that sweeps."""
    for where, records in (("runs", doc["runs"]), ("summary", doc["summary"])):
        for i, record in enumerate(records):
            program = programs.get(record["program"])
            mine, other = ("procs", "threads") if program.mpi else ("threads", "procs")
            if record.get(mine) is None or record.get(other) is not None:
                return "%s[%d] gives %s no %s count" % (where, i, program.name, program.unit)
    for i, record in enumerate(doc["summary"]):
        for name in TIMES:
            spread = record.get(name)
            if spread and not spread["min"] <= spread["median"] <= spread["max"]:
                return "summary[%d].%s has a median outside its fastest and slowest runs" % (i, name)
    names = doc["environments"]
    for where, records in (("runs", doc["runs"]), ("summary", doc["summary"]), ("scaling", doc["scaling"])):
        for i, record in enumerate(records):
            if (record.get("environment") is not None) != bool(names) or \
                    names and record["environment"] not in names:
                return "%s[%d] names an environment the session does not give" % (where, i)
    for i, section in enumerate(doc["scaling"]):
        sweep = programs.get(section["program"]).sweep
        if not sweep or sweep.unit != section["unit"]:
            return "scaling[%d] is no sweep of %s" % (i, section["program"])
        if section["capacity"] is None and any(p["oversubscribed"] for p in section["points"]):
            return "scaling[%d] has counts beyond a capacity it does not give" % i
    return None


def _threads_of_old(record):
    """A format-1 record of a program with a team of its own may lack the count."""
    name = record.get("program") if isinstance(record, dict) else None
    program = programs.BY_NAME.get(name) if isinstance(name, str) else None
    if program and not program.mpi and program.team and record.get("threads") is None:
        return dict(record, threads=program.team)
    return record


def stamp(when):
    return when.strftime("%Y%m%dT%H%M%S") + ".%03dZ" % (when.microsecond // 1000)


def host_part(host):
    return re.sub(r"[^A-Za-z0-9.-]", "-", host if isinstance(host, str) else "unknown").strip(".-")[:64] or "unknown"


def valid_id(text):
    return isinstance(text, str) and bool(_ID.match(text))


# The schema, checked by a validator of the few keywords it uses: no document
# reaches the accessors below without it, with or without `jsonschema`.

_TYPES = {
    "object": lambda v: isinstance(v, dict),
    "array": lambda v: isinstance(v, list),
    "string": lambda v: isinstance(v, str),
    "integer": lambda v: isinstance(v, int) and not isinstance(v, bool),
    # An integer too large for a float is still finite: no OverflowError here.
    "number": lambda v: isinstance(v, int) and not isinstance(v, bool) or isinstance(v, float) and math.isfinite(v),
    "boolean": lambda v: isinstance(v, bool),
    "null": lambda v: v is None,
}


def conformity(doc, schema=None, path=()):
    """The first way `doc` departs from the schema, or None."""
    schema = SCHEMA if schema is None else schema
    if "$ref" in schema:
        problem = conformity(doc, _target(schema["$ref"]), path)
        if problem:
            return problem
    if "oneOf" in schema:
        problems = [conformity(doc, option, path) for option in schema["oneOf"]]
        if all(problems):
            # The option of the value's own type says best what is wrong with it.
            own = [p for option, p in zip(schema["oneOf"], problems)
                   if "type" in option and _TYPES[option["type"]](doc)]
            return min(own or problems, key=len)
    kinds = schema.get("type")
    if kinds is not None:
        kinds = [kinds] if isinstance(kinds, str) else kinds
        if not any(_TYPES[k](doc) for k in kinds):
            return "%s is %s, not %s" % (_where(path), _kind(doc), " or ".join(kinds))
    if "enum" in schema and not any(doc == v and type(doc) is type(v) for v in schema["enum"]):
        return "%s is %s, not one of %s" % (_where(path), _short(doc),
                                            ", ".join(json.dumps(v) for v in schema["enum"]))
    if isinstance(doc, (int, float)) and not isinstance(doc, bool):
        if "minimum" in schema and doc < schema["minimum"]:
            return "%s is %s, below %s" % (_where(path), _short(doc), schema["minimum"])
        if "maximum" in schema and doc > schema["maximum"]:
            return "%s is %s, above %s" % (_where(path), _short(doc), schema["maximum"])
    if isinstance(doc, str) and "pattern" in schema and not _pattern(schema["pattern"]).search(doc):
        return "%s %s is not of the form it takes" % (_where(path), _short(doc))
    if isinstance(doc, dict):
        for name in schema.get("required", ()):
            if name not in doc:
                return "%s lacks %s" % (_where(path), name)
        if "propertyNames" in schema:
            for name in doc:
                problem = conformity(name, schema["propertyNames"], path + (name,))
                if problem:
                    return "%s: not a name it takes" % problem
        properties = schema.get("properties", {})
        others = schema.get("additionalProperties")
        for name, value in doc.items():
            sub = properties.get(name, others)
            if isinstance(sub, dict):
                problem = conformity(value, sub, path + (name,))
                if problem:
                    return problem
    if isinstance(doc, list):
        if len(doc) < schema.get("minItems", 0) or len(doc) > schema.get("maxItems", len(doc)):
            return "%s has %d items" % (_where(path), len(doc))
        if "items" in schema:
            items = schema["items"]
            for i, item in enumerate(doc):
                problem = conformity(item, items, path + (i,))
                if problem:
                    return problem
    return None


def _compiled(schema, made=None):
    """A function that says whether a value conforms to `schema`, as
    conformity() would find, in a fraction of its time: conformity() is asked
    what is wrong only where something is."""
    made = {} if made is None else made
    if id(schema) in made:
        return made[id(schema)]
    checks = []
    # A $ref may lead back here: until this one is made, it is looked up when called.
    made[id(schema)] = lambda doc: made[id(schema)](doc)
    if "$ref" in schema:
        checks.append(_compiled(_target(schema["$ref"]), made))
    if "oneOf" in schema:
        options = [_compiled(option, made) for option in schema["oneOf"]]
        checks.append(lambda doc: any(option(doc) for option in options))
    if schema.get("type") is not None:
        kinds = schema["type"]
        tests = [_TYPES[k] for k in ([kinds] if isinstance(kinds, str) else kinds)]
        checks.append(tests[0] if len(tests) == 1 else lambda doc: any(test(doc) for test in tests))
    if "enum" in schema:
        enum = schema["enum"]
        checks.append(lambda doc: any(doc == v and type(doc) is type(v) for v in enum))
    low, high = schema.get("minimum"), schema.get("maximum")
    if low is not None or high is not None:
        def bounded(doc):
            if isinstance(doc, (int, float)) and not isinstance(doc, bool):
                return (low is None or doc >= low) and (high is None or doc <= high)
            return True
        checks.append(bounded)
    if "pattern" in schema:
        pattern = _pattern(schema["pattern"])
        checks.append(lambda doc: not isinstance(doc, str) or bool(pattern.search(doc)))
    required = tuple(schema.get("required", ()))
    properties = {name: _compiled(sub, made) for name, sub in schema.get("properties", {}).items()
                  if isinstance(sub, dict)}
    others = schema.get("additionalProperties")
    others = _compiled(others, made) if isinstance(others, dict) else None
    names = _compiled(schema["propertyNames"], made) if "propertyNames" in schema else None
    if required or properties or others or names:
        def members(doc):
            if not isinstance(doc, dict):
                return True
            if not all(name in doc for name in required):
                return False
            if names is not None and not all(names(name) for name in doc):
                return False
            for name, value in doc.items():
                check = properties.get(name, others)
                if check is not None and not check(value):
                    return False
            return True
        checks.append(members)
    fewest, most, items = schema.get("minItems", 0), schema.get("maxItems"), schema.get("items")
    items = _compiled(items, made) if items is not None else None
    if fewest or most is not None or items:
        def elements(doc):
            if not isinstance(doc, list):
                return True
            if len(doc) < fewest or most is not None and len(doc) > most:
                return False
            return items is None or all(items(item) for item in doc)
        checks.append(elements)

    def conforms(doc):
        for check in checks:
            if not check(doc):
                return False
        return True
    made[id(schema)] = checks[0] if len(checks) == 1 else conforms
    return made[id(schema)]


@functools.lru_cache(maxsize=None)
def _target(ref):
    target = SCHEMA
    for part in ref.lstrip("#/").split("/"):
        target = target[part]
    return target


_conforms = _compiled(SCHEMA)


def _where(path):
    """"runs[2].time_s" of a path of names and indices; "the document" of none."""
    text = ""
    for part in path:
        text += "[%d]" % part if isinstance(part, int) else ("." if text else "") + part
    return text or "the document"


def _kind(value):
    for name in ("null", "boolean", "integer", "number", "string", "array", "object"):
        if _TYPES[name](value):
            return "null" if name == "null" else ("an %s" if name[0] in "aeiou" else "a %s") % name
    return "a number that is not finite" if isinstance(value, float) else type(value).__name__


def _short(value):
    text = json.dumps(value) if not isinstance(value, float) or math.isfinite(value) else str(value)
    return text if len(text) <= 40 else text[:37] + "..."


def balance_problem(balance):
    """Why a run holding the Balance `balance` would make its document fail
    these checks on reading, or None."""
    raw = balance.to_json()
    return _unusable_value(raw) or conformity(raw, _target("#/$defs/balance"), ("balance",))


def schema_problems(raw):
    """What the `jsonschema` library finds wrong with `raw`, as lines; None
    where the library is not installed."""
    try:
        import jsonschema
    except ImportError:
        return None
    validator = jsonschema.Draft202012Validator(SCHEMA)
    return ["%s: %s" % ("/".join(str(p) for p in e.absolute_path) or "document", e.message[:200])
            for e in validator.iter_errors(raw)]


# The document, read

def main_time_of(program_name):
    """The time a group of `program_name` (a program the table knows: the
    schema admits no other) is judged by."""
    return programs.get(program_name).main_time


@dataclass(frozen=True)
class Spread:
    median: float
    min: float
    max: float
    cv_pct: Optional[float] = None

    @classmethod
    def of(cls, raw):
        return cls(raw["median"], raw["min"], raw["max"], raw.get("cv_pct")) if raw else None

    def to_json(self):
        return {"median": self.median, "min": self.min, "max": self.max, "cv_pct": self.cv_pct}


@dataclass(frozen=True)
class Summary:
    """One group's runs summarised."""
    group: Group
    runs: int
    failed: int
    parallel_s: Optional[Spread] = None
    sequential_s: Optional[Spread] = None
    time_s: Optional[Spread] = None
    speedup_pct: Optional[float] = None
    efficiency_pct: Optional[float] = None
    balance: Optional["GroupBalance"] = None   # where any of its valid runs was traced

    @property
    def main_time(self):
        return main_time_of(self.group.program)

    @property
    def main_spread(self):
        return getattr(self, self.main_time)

    def spread(self, name):
        return getattr(self, name)

    @classmethod
    def of(cls, raw):
        return cls(Group.of(raw), raw["runs"], raw["failed"], *(Spread.of(raw.get(t)) for t in TIMES),
                   raw.get("speedup_pct"), raw.get("efficiency_pct"), GroupBalance.of(raw.get("balance")))

    def to_json(self):
        def finite(v):
            return v if v is not None and math.isfinite(v) else None
        entry = dict(self.group.key(), runs=self.runs, failed=self.failed)
        for name in TIMES:
            spread = self.spread(name)
            entry[name] = _finite_spread(spread)
        entry.update(speedup_pct=finite(self.speedup_pct), efficiency_pct=finite(self.efficiency_pct),
                     main_time=self.main_time)
        if self.balance is not None:
            entry["balance"] = self.balance.to_json()
        return entry


@dataclass(frozen=True)
class GroupBalance:
    """The medians of a group's traced runs."""
    traced: int
    load_balance: Optional[float]
    communication_efficiency: Optional[float]
    parallel_efficiency: Optional[float]
    work_s: Optional[float] = None   # the sleep a run's work items asked for, all lanes together

    @classmethod
    def of(cls, raw):
        return cls(raw["traced"], *(raw.get(name) for name in BALANCE_FIGURES), raw.get("work_s")) if raw else None

    def to_json(self):
        return finite_tree({"traced": self.traced, **{name: getattr(self, name) for name in BALANCE_FIGURES},
                            "work_s": self.work_s})

    def figure(self, name):
        return getattr(self, name)


def _finite_spread(spread):
    if spread is None:
        return None
    values = {k: v if v is None or math.isfinite(v) else None for k, v in spread.to_json().items()}
    return values if None not in (values["median"], values["min"], values["max"]) else None


@dataclass(frozen=True)
class Balance:
    """What a traced run's threads or processes did in its timed phase."""
    lanes: str                       # "thread" or "process"
    useful_s: tuple                  # per lane: the time it worked
    waiting_s: tuple                 # per lane: the time it waited (region's end, collectives)
    load_balance: Optional[float]    # mean useful / max useful
    communication_efficiency: Optional[float]  # max useful / the phase's time as printed
    parallel_efficiency: Optional[float]       # their product
    items: Optional[tuple] = None    # per lane: work items run (the sleeping programs)
    work_s: Optional[tuple] = None   # per lane: the sleep those items asked for
    timeline: tuple = ()             # per lane: ((kind, start s, end s), ...) from the phase's start

    @classmethod
    def of(cls, raw):
        if not raw:
            return None
        def tup(name):
            return tuple(raw[name]) if raw.get(name) is not None else None
        return cls(raw["lanes"], tuple(raw["useful_s"]), tuple(raw.get("waiting_s") or ()),
                   *(raw.get(name) for name in BALANCE_FIGURES), tup("items"), tup("work_s"),
                   tuple(tuple(tuple(i) for i in lane) for lane in raw.get("timeline") or ()))

    def to_json(self):
        def listed(values):
            return list(values) if values is not None else None
        out = {"lanes": self.lanes, "useful_s": list(self.useful_s), "waiting_s": list(self.waiting_s)}
        out.update({name: getattr(self, name) for name in BALANCE_FIGURES})
        out.update(items=listed(self.items), work_s=listed(self.work_s),
                   timeline=[[list(i) for i in lane] for lane in self.timeline])
        return finite_tree(out)

    def figure(self, name):
        return getattr(self, name)


@dataclass(frozen=True)
class Placement:
    """Where a run's threads or processes ran, as the runtimes reported it:
    per lane (number, host or None, CPUs as "0-1,4", or None where not bound);
    how that departs from the policy asked for, or None; why nothing could be
    read back, or None."""
    asked: Optional[str] = None
    threads: Optional[tuple] = None
    processes: Optional[tuple] = None
    differs: Optional[str] = None
    unread: Optional[str] = None

    @classmethod
    def of(cls, raw):
        if not raw:
            return None
        def places(name):
            found = raw.get(name)
            return tuple((p["number"], p.get("host"), p["cpus"]) for p in found) if found is not None else None
        return cls(raw.get("asked"), places("threads"), places("processes"), raw.get("differs"), raw.get("unread"))

    def to_json(self):
        def places(found):
            return [{"number": n, "host": host, "cpus": cpus} for n, host, cpus in found] if found is not None \
                else None
        return {"asked": self.asked, "threads": places(self.threads), "processes": places(self.processes),
                "differs": self.differs, "unread": self.unread}

    def note(self):
        """What a reader is told of it: how it differs, or why it is not known; None where all is as asked."""
        return self.differs or self.unread


@dataclass(frozen=True)
class Run:
    """One run as stored: its figures as the program printed them."""
    group: Group
    index: int
    figures: dict            # name -> printed text or None, for FIGURES and "verdict"
    problem: Optional[str] = None
    exit_status: Optional[int] = None
    duration_s: Optional[float] = None
    binding: Optional[str] = None
    balance: Optional[Balance] = None   # where it was traced
    placement: Optional["Placement"] = None   # where its threads or processes ran, where reported

    @classmethod
    def of(cls, raw):
        figures = {name: raw.get(name) for name in FIGURES + ("verdict",)}
        return cls(Group.of(raw), raw["run"], figures, raw.get("problem"), raw.get("exit_status"),
                   raw.get("duration_s"), raw.get("binding"), Balance.of(raw.get("balance")),
                   Placement.of(raw.get("placement")))

    def to_json(self):
        run = {"program": self.group.program, "run": self.index}
        run.update({name: self.figures.get(name) for name in FIGURES + ("verdict",)})
        run.update(self.group.key(), exit_status=self.exit_status, duration_s=self.duration_s, problem=self.problem,
                   binding=self.binding)
        if self.placement is not None:
            run["placement"] = self.placement.to_json()
        if self.balance is not None:
            run["balance"] = self.balance.to_json()
        return run

    @property
    def main_time(self):
        return main_time_of(self.group.program)

    @property
    def main_value(self):
        """Its main time in seconds, or None where it printed no usable one."""
        text = self.figures.get(self.main_time)
        return float(text) if text is not None and printouts.usable_time(text) else None

    @property
    def valid(self):
        """A run is compared only when it had no problem and a usable main time."""
        return self.problem is None and self.main_value is not None


@dataclass(frozen=True)
class Provenance:
    """What produced a session's numbers; every field may be None."""
    raw: dict

    def text(self, *path):
        """The text at `path` (("mpi", "version")), or None."""
        value = self.raw
        for key in path:
            value = value.get(key) if isinstance(value, dict) else None
        return value if isinstance(value, str) else None

    def number(self, name):
        value = self.raw.get(name)
        return value if isinstance(value, int) and not isinstance(value, bool) else None

    @property
    def date(self):
        return self.text("date")

    @property
    def host(self):
        return self.text("host")

    @property
    def cpu_model(self):
        return self.text("cpu_model")

    @property
    def command(self):
        return self.text("command")

    @property
    def physical_cores(self):
        return self.number("physical_cores")

    @property
    def hardware_threads(self):
        return self.number("hardware_threads")

    @property
    def memory_bytes(self):
        return self.number("memory_bytes")

    def compiler(self):
        return " ".join(v for v in (self.text("compiler", "id"), self.text("compiler", "version")) if v) or None

    def openmp(self):
        """"libgomp 12.2.0-14", else the OpenMP version, or None."""
        runtime = " ".join(v for v in (self.text("openmp", "runtime"), self.text("openmp", "runtime_version")) if v)
        return runtime or ("OpenMP %s" % self.text("openmp", "version") if self.text("openmp", "version") else None)

    def mpi(self):
        """"Open MPI 4.1.4", or None."""
        name = self.text("mpi", "implementation") or self.text("mpi", "family")
        return " ".join(v for v in (name, self.text("mpi", "version")) if v) or None

    def commit(self):
        """The commit's first ten digits, "+" after them for uncommitted changes."""
        git = self.raw.get("git") if isinstance(self.raw.get("git"), dict) else {}
        return (self.text("git", "commit") or "")[:10] + ("+" if git.get("uncommitted_changes") is True else "")

    def environment(self):
        env = self.raw.get("environment")
        return dict(env) if isinstance(env, dict) else {}

    def uncommitted(self):
        git = self.raw.get("git") if isinstance(self.raw.get("git"), dict) else {}
        return git.get("uncommitted_changes") is True


@dataclass(frozen=True)
class ScalingPoint:
    """One count of a sweep."""
    count: int
    speedup: float                 # median, as a factor
    efficiency_pct: float
    karp_flatt: Optional[float]    # the serial fraction this count alone implies
    oversubscribed: bool           # beyond the capacity
    fitted: bool

    @classmethod
    def of(cls, raw):
        return cls(raw["count"], raw["speedup"], raw["efficiency_pct"], raw.get("karp_flatt"),
                   raw["oversubscribed"], raw["fitted"])

    def to_json(self):
        return {"count": self.count, "speedup": self.speedup, "efficiency_pct": self.efficiency_pct,
                "karp_flatt": self.karp_flatt, "oversubscribed": self.oversubscribed, "fitted": self.fitted}


@dataclass(frozen=True)
class ScalingFit:
    """Amdahl's law fitted to a sweep's points."""
    serial_fraction: float
    ci95: tuple                    # (low, high)
    limit: Optional[float]         # 1/f; None for f of 0 or less
    counts: tuple                  # the counts fitted
    left_out: tuple

    @classmethod
    def of(cls, raw):
        return cls(raw["serial_fraction"], tuple(raw["ci95"]), raw.get("limit"), tuple(raw["counts"]),
                   tuple(raw["left_out"])) if raw else None

    def to_json(self):
        return {"serial_fraction": self.serial_fraction, "ci95": list(self.ci95), "limit": self.limit,
                "counts": list(self.counts), "left_out": list(self.left_out)}


@dataclass(frozen=True)
class Capacity:
    """What a kind of count had of its own: processes the launcher's slots,
    threads the host's hardware threads."""
    count: Optional[int]
    of: str                        # what the count is: "this host's cores", "the hostfile's slots"


@dataclass(frozen=True)
class ScalingSection:
    """The scaling analysis of one program's sweep."""
    program: str
    unit: str                      # "process" or "thread"
    reference: Optional[int]       # the count the speed-ups are against; None: its own sequential phase
    capacity: Capacity
    points: tuple                  # ScalingPoint
    fit: Optional[ScalingFit] = None
    no_fit: Optional[str] = None   # why there is no fit
    environment: Optional[str] = None
    bind: Optional[str] = None

    @classmethod
    def of(cls, raw):
        return cls(raw["program"], raw["unit"], raw.get("reference"), Capacity(raw.get("capacity"),
                   raw["capacity_of"]), tuple(ScalingPoint.of(p) for p in raw["points"]),
                   ScalingFit.of(raw.get("fit")), raw.get("no_fit"), raw.get("environment"), raw.get("bind"))

    @property
    def variant(self):
        """(environment, bind) of the groups it sweeps."""
        return self.environment, self.bind

    def title(self):
        """"dynamicwork", "dynamicwork (clang, bound close)"."""
        return self.program + programs.variant_text(self.environment, self.bind)

    def to_json(self):
        return finite_tree({"program": self.program, "environment": self.environment, "bind": self.bind,
                            "unit": self.unit, "reference": self.reference,
                            "capacity": self.capacity.count, "capacity_of": self.capacity.of,
                            "points": [p.to_json() for p in self.points],
                            "fit": self.fit.to_json() if self.fit else None, "no_fit": self.no_fit})


@dataclass(frozen=True)
class Interruption:
    signal: str
    planned_runs: int


class Session:
    """A session document, checked and in the current format."""

    def __init__(self, raw, original_format=FORMAT):
        self.raw = raw
        self.original_format = original_format
        self.id = raw["session"]
        self.provenance = Provenance(raw["provenance"])
        self.runs = tuple(Run.of(r) for r in raw["runs"])
        self.summary = tuple(Summary.of(g) for g in raw["summary"])
        cut = raw.get("interrupted")
        self.interrupted = Interruption(cut["signal"], cut["planned_runs"]) if cut else None
        # Each environment's compiler, OpenMP and MPI, read as the provenance's are.
        self.environments = {name: Provenance(value) for name, value in raw["environments"].items()}

    @property
    def scaling(self):
        """The stored ScalingSections; None for a document written before them."""
        return None if self.original_format < 2 else tuple(ScalingSection.of(s) for s in self.raw["scaling"])

    def groups(self):
        return [s.group for s in self.summary]

    def problems(self):
        """How many runs failed or are invalid."""
        if self.runs:
            return sum(1 for r in self.runs if not r.valid)
        return sum(s.failed for s in self.summary)

    def samples(self):
        """{group: main times of its valid runs}, in summary order; a document
        without runs gives each group its median alone."""
        found = {s.group: [] for s in self.summary}
        for run in self.runs:
            if run.group in found and run.valid:
                found[run.group].append(run.main_value)
        if not self.runs:
            for s in self.summary:
                if s.runs and s.main_spread:
                    found[s.group] = [s.main_spread.median]
        return found

    def cut_short(self):
        """"interrupted by SIGTERM after 3 of 10 runs", or None."""
        if not self.interrupted:
            return None
        return "interrupted by %s after %d of %d runs" % (self.interrupted.signal, len(self.runs),
                                                           self.interrupted.planned_runs)


# Writing

def build(session_id, provenance, runs, summary, scaling=(), interrupted=None, environments=None):
    """The Session of a suite session: `runs` and `summary` as Run and Summary
    records, `scaling` ScalingSections, `interrupted` an Interruption,
    `environments` {name: what built and ran it} where it ran in more than its one build."""
    raw = {"format": FORMAT, "session": session_id, "provenance": provenance, "environments": environments or {},
           "runs": [r.to_json() for r in runs], "summary": [s.to_json() for s in summary],
           "scaling": [s.to_json() for s in scaling],
           "interrupted": {"signal": interrupted.signal, "planned_runs": interrupted.planned_runs}
           if interrupted else None}
    return Session(raw)


def finite_tree(value):
    """JSON holds no infinity: a figure that is not finite is written as null."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: finite_tree(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [finite_tree(v) for v in value]
    return value


def dumps(session):
    if os.environ.get(CHECK_VARIABLE):
        problems = schema_problems(session.raw)
        if problems is None or problems:
            raise AssertionError("a document that breaks its schema: %s" % (problems or "no jsonschema to check"))
    return json.dumps(session.raw, indent=2, allow_nan=False) + "\n"


def save(session, path):
    """Writes the document whole to `path` or raises OSError having changed nothing."""
    files.write(path, dumps(session))
