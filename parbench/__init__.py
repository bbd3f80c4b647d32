"""The suite runner: runs the benchmark programs, keeps and compares their results.

`python3 -m parbench` is run-suite; `python3 -m parbench.history` is the results
store's command. The modules import one way: the sequence (suite, history) on
top; the program table, the MPI families and the report parser at the bottom.
"""
