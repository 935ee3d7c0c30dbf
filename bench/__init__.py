"""Side-by-side benchmarks of kestpy against peer modelling libraries.

Run ``python -m bench --help``.
"""
import os
import sys

BACKENDS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "backends")


def backends_on_path():
    """Makes the benchmark's own backends (kestpy_null, kestpy_count) importable."""
    if BACKENDS not in sys.path:
        sys.path.insert(0, BACKENDS)
