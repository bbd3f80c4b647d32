"""The document a suite run leaves behind, made from its results: the runs as
the document's records, with the summary and the scaling sections beside
them. Its CSV is written from that document (report/export.py)."""

from ..model import document

def stored_run(result):
    """A run's record in the document: its figures as printed (the CSV's text,
    "inf" included)."""
    figures = {name: result.figures.get(name) or None for name in document.FIGURES + ("verdict",)}
    return document.Run(result.group, result.run.index, figures, result.problem, result.status,
                        round(result.seconds, 3), result.binding, result.balance, result.placement)


def session_document(session, prov, results, rows, sweeps=(), interrupted=None, environments=None):
    """The Session of a suite run: `rows` its summary, `sweeps` its scaling
    sections, `interrupted` a document.Interruption or None, `environments`
    {name: what built and ran it} of --env."""
    return document.build(session, prov, [stored_run(r) for r in results], rows, sweeps, interrupted,
                          environments)
