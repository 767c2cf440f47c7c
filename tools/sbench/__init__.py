"""shaderbench's Python side: running the benchmark headless (harness), reading
what it prints (output), and comparing drivers (compare, stats, charts).

./run, tools/run-headless, tools/compare and the tests all import it from here."""
