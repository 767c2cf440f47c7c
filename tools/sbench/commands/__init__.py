"""The comparison tool's subcommands, one module each (run, report, diff,
calibrate), and the option groups and endings they share (common). The
entry that chooses among them is sbench.compare."""
