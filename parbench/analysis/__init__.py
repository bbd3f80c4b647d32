"""Judging the numbers: the statistics (stats.py), the rules comparisons
share (judging.py), the summary of a session (summary.py), scaling and the
Amdahl fit (scaling.py), a session against a baseline (comparison.py), hosts
side by side (nodes.py), the steps in a history (changes.py), and the figures
of traced groups (balance.py). It may import model and base."""
