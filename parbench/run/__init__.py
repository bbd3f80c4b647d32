"""Running a suite: the plan made from the options in one place (plan.py),
each run started, logged and judged (runs.py), tracing a run and reading
what its processes saw (tracing.py, otf2.py), the session folders in the
scratch folder (scratch.py), and the document made of the results
(outputs.py). It may import the report (for the names of the files it will
write), analysis, platform, model and base; never a command."""
