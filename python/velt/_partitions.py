"""What velt.dask and velt.spark share: one structure built from the items of a
partition and shipped as bytes, and a fold of shipped structures with merge.

A column means the same on every engine: its values are the items a Python list of
the same values gives, and a missing value (a null in Arrow; NaN, NA or NaT in
pandas) is the item None, as a None in a list is. Text and integer columns are
handed to `update` as Arrow arrays, read in place; other types as Python values,
whose text is what a list of them gives (an Arrow scalar's text is not always).
TopK, which counts text, leaves missing values out.
"""

from collections.abc import Iterable, Sequence

from velt import BloomFilter, CountingBloomFilter, CountMinSketch, HyperLogLog, MinHash, MinHashLSH, TopK

# The classes whose structures merge; the others cannot be built in pieces.
MERGEABLE = (BloomFilter, CountingBloomFilter, HyperLogLog, CountMinSketch, MinHash, TopK)


def check_settings(cls, settings):
    """Raises, before any work is sent out, what building `cls(**settings)` raises."""
    if cls not in MERGEABLE:
        names = ", ".join(c.__name__ for c in MERGEABLE)
        raise TypeError(f"{getattr(cls, '__name__', cls)!r} cannot be built in pieces: it has no merge (use one of {names})")
    cls(**settings)


def items_of(column, cls):
    """The items of a pandas Series, an Arrow array or a sequence, as `cls.update` takes them."""
    import pyarrow as pa

    if type(column).__module__.startswith("pandas"):
        try:
            column = pa.Array.from_pandas(column)
        except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError):
            # Values of several types in one object column.
            return [None if missing else value for value, missing in zip(column, column.isna())]
    if isinstance(column, (pa.Array, pa.ChunkedArray)):
        kind = column.type
        is_text = any(test(kind) for test in (pa.types.is_string, pa.types.is_large_string, pa.types.is_string_view))
        if cls is TopK:
            # Text is counted in place, its nulls left out; other values are refused as a list of them is.
            return column.drop_null() if is_text else texts(column.to_pylist())
        return column if is_text or pa.types.is_integer(kind) else column.to_pylist()
    if cls is TopK:
        return texts(column)
    return column if isinstance(column, Sequence) else list(column)


def texts(values):
    """TopK counts text: a missing value is no text and is left out (other values must be str)."""
    return [value for value in values if value is not None]


def sketch(cls, settings, columns: Iterable):
    """One structure built from the columns of one partition, shipped as bytes."""
    structure = cls(**settings)
    for column in columns:
        structure.update(items_of(column, cls))
    return structure.to_bytes()


def merge_sketches(cls, payloads: Iterable[bytes]):
    """Shipped structures folded into one with merge, shipped as bytes too."""
    payloads = iter(payloads)
    merged = cls.from_bytes(next(payloads))
    for payload in payloads:
        merged.merge(cls.from_bytes(payload))
    return merged.to_bytes()


# ---- Near-duplicates ------------------------------------------------------------------
# The engines find each row's duplicate group as MinHashLSH.duplicate_of() does in one
# process, with keys the rows' positions: each partition signs its texts and gives every
# band of every row as (band key, row); the engine groups the band keys (a shuffle); each
# band shared by two or more rows gives the edges from its first row to the others; and
# the driver joins the edges into components (union-find), each led by its first row.


def lsh_settings(threshold=0.8, num_hashes=128, seed=0, shingle="word", n=5, scheme="classic"):
    """The settings of a deduplication, checked, with the bands and rows that MinHashLSH chooses."""
    index = MinHashLSH(threshold=threshold, num_hashes=num_hashes, seed=seed, scheme=scheme)
    MinHash.signatures([], num_hashes=num_hashes, seed=seed, shingle=shingle, n=n, scheme=scheme)
    return {"num_hashes": num_hashes, "seed": seed, "shingle": shingle, "n": n, "scheme": scheme,
            "bands": index.bands, "rows": index.rows}


def band_keys(texts, first_row, settings):
    """(band key, row) for every band of every text, rows numbered from `first_row`. A band key
    is the text of the band's number and its slots' bytes in hexadecimal (engines keep text
    columns, not bytes, as strings): rows share it exactly when they share the band."""
    import numpy as np

    texts = texts if isinstance(texts, list) else list(texts)
    signatures = np.asarray(MinHash.signatures(texts, num_hashes=settings["num_hashes"], seed=settings["seed"],
                                               shingle=settings["shingle"], n=settings["n"], scheme=settings["scheme"]))
    bands, rows = settings["bands"], settings["rows"]
    keys, positions = [], []
    for band in range(bands):
        prefix = f"{band}:"
        for offset, row in enumerate(signatures[:, band * rows : (band + 1) * rows]):
            keys.append(prefix + row.astype("<u8").tobytes().hex())
            positions.append(first_row + offset)
    return keys, positions


def star_edges(rows):
    """The edges joining the rows of one band: from its first row to each other."""
    rows = sorted(rows)
    return [(rows[0], row) for row in rows[1:]]


def leaders(count, edges):
    """For each of `count` rows, the first row of its connected component."""
    parent = list(range(count))

    def find(row):
        while parent[row] != row:
            parent[row] = parent[parent[row]]
            row = parent[row]
        return row

    for a, b in edges:
        a, b = find(a), find(b)
        if a != b:
            parent[max(a, b)] = min(a, b)
    return [find(row) for row in range(count)]
