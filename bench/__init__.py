"""Side-by-side benchmarks of kestpy against peer modelling libraries.

Run ``python -m bench --help``.
"""
