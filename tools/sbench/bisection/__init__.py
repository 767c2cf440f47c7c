"""Finding the commit of a driver's history that changed a figure."""
