"""A driver's results kept along its history, and the changes found in them."""
