"""shaderbench's Python side, a module per job: running the benchmark
(harness: X servers, windows, pipes; runner: one run and how it ended;
interrupts), reading what it prints (output), and comparing drivers (plan,
observe, campaign, results, stats, verdicts, tables, charts; calls and
trace_events for where the time goes). compare is the comparison's command
line; ./run, tools/run-headless, tools/compare and the tests import it all
from here."""
