"""shaderbench's Python side, in sub-packages by concern: system (processes,
/proc, signals, scratch files, writes), running (the benchmark run, X, the
campaign), results (what runs leave), analysis (the statistics and
verdicts), presentation (tables, charts, the page), bisection (a driver's
commits, built and searched), history (every result kept in a store, its
series by commit, the changes found there and the trend page), corpus
(.shader_test files imported as pairs, and the pairs a run takes) and commands
(compare's subcommands, one module each; compare is their entry).
docs/development.md has a line per module; ./run, tools/run-headless,
tools/compare and the tests import it all from here."""
