"""What the runner knows and keeps: the table of programs (programs.py),
the session document with its schema, checks, upgrades and typed records
(document.py, schema/), the results store (store.py), and reading what the
programs print (printouts.py). It may import base alone."""
