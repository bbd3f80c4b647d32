"""What every room uses and that knows nothing of benchmarks: files written
whole and read safely (files.py), text shown safely, plurals and tables
(text.py), the optional packages and how to install them (optional.py),
signals (signals.py), and starting and stopping a process with all it starts
(supervise.py). It imports nothing of the runner."""
