"""Summaries, sequential looks, the gate and the verdicts."""
