"""Tables, charts and the page made from results."""
