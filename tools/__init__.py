"""Helpers shared by the tests, the demo and the benchmarks (not part of the package)."""
