"""velt's benchmarks: python -m bench.run (see run.py)."""
