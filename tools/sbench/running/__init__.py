"""Running the benchmark: the plan, the X server, one run, a campaign of runs."""
