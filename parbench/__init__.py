"""The suite runner: runs the benchmark programs, keeps and compares their results.

`python3 -m parbench` is run-suite; `python3 -m parbench.history` the results
command (both under the names that scripts/ and the batch scripts use). The
package is in rooms whose imports run one way, each room importing only the
rooms after it in this list:

    commands   what a user types: run-suite, results, their options, exit statuses
    run        running a suite: plan, runs, tracing, scratch folders, its document
    report     the page, the plots, the exports
    analysis   statistics, summary, scaling, comparison, nodes, changes
    platform   build, machine, MPI families, hostfiles, launch, provenance
    model      the program table, the document, the store, the programs' printouts
    base       files, text, optional packages, signals, supervision

(platform and model are side by side: neither imports the other.)
"""
