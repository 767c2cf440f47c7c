"""Leaf helpers over the operating system: processes, signals, scratch files, writes."""
