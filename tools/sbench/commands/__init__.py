"""The comparison tool's subcommands, one module each, and the option groups
and endings they share (common). The entry that chooses among them is
sbench.compare, whose COMMAND_NAMES lists them in the order of a user's
work."""
