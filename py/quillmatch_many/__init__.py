"""Many queries against many candidates: matrices, top lists, joins, the search Index,
row-by-row scores and clusters.

The functions and Index are the extension quillmatch_many._quillmatch_many's.
quillmatch_many.duckdb (SQL functions for a DuckDB connection), quillmatch_many.polars
(the `qm` expression namespace) and quillmatch_many.pandas (the `qm` Series accessor)
bring the row-by-row scores to where linkage already runs; each is imported on its own,
and the package itself needs neither DuckDB, polars nor pandas.
quillmatch_many.dask and quillmatch_many.spark run the exact self join of an edit
distance on a cluster, through key_rows and bucket_pairs.
"""

# Every public name of the extension is re-exported here, where it has always
# been imported from. The extension's functions and its Index type give
# "quillmatch_many" as their module, so pickles (an Index pickles as its type
# and its arguments) and help() name this package, as they did when the
# extension was the module itself.
from quillmatch_many._quillmatch_many import *  # noqa: F403
from quillmatch_many._quillmatch_many import __all__, __version__, _with_plan, simd  # noqa: F401
