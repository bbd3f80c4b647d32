"""What a person reads or a spreadsheet loads: the report page and its
templates (page.py, templates/), the pictures (plots.py), and the runs as
CSV or JSON lines (export.py). It may import analysis, model and base."""
