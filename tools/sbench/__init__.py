"""shaderbench's Python side, a module per job: running the benchmark
(desktop: X displays, locked private servers and the benchmark's window;
harness: its process and pipes; runner: one run and how it ended;
interrupts), reading what it prints (output), and comparing drivers (plan,
observe, campaign, results, outputs, stats, verdicts, tables, charts; calls
and trace_events for where the time goes). compare is the comparison's
command line, and commands/ its subcommands, one module each; ./run,
tools/run-headless, tools/compare and the tests import it all from here."""
