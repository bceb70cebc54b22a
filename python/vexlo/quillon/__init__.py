"""Quillon data service: scenario catalogue and execution."""
