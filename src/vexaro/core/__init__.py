"""Vexaro core: readers for finite-element model and result files."""
