"""The commands: what a user types. run-suite's sequence and its options
(run_suite.py, suite_options.py), the results command (results.py), the
launch lines shell scripts ask for (launch_lines.py), the options they share
(options.py) and the one table of exit statuses that every help text names
(exits.py). Everything below may be imported here; nothing below imports a
command."""
