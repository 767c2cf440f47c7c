"""What runs leave: the results file, per-call figures, trace events."""
