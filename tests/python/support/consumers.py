"""The optional Arrow consumers, each None where it is not installed, for the
tests that read through them (they skip without them)."""

import pytest

try:
    import pyarrow as pa
    import pyarrow.compute  # noqa: F401
    import pyarrow.parquet  # noqa: F401
except ImportError:
    pa = None
try:
    import polars as pl
except ImportError:
    pl = None
try:
    import pandas as pd
except ImportError:
    pd = None
try:
    import duckdb
except ImportError:
    duckdb = None

needs_pyarrow = pytest.mark.skipif(pa is None, reason="pyarrow is not installed")
needs_polars = pytest.mark.skipif(pa is None or pl is None, reason="polars (with pyarrow) is not installed")
needs_pandas = pytest.mark.skipif(pa is None or pd is None, reason="pandas (with pyarrow) is not installed")
needs_duckdb = pytest.mark.skipif(pa is None or duckdb is None, reason="duckdb (with pyarrow) is not installed")
