"""The candidate index behind ``mirel.sklearn.KNNImputer(algorithm="ivf")`` (private).

The engine (``mirel._index_engine.Index``) groups the fitted rows into lists by k-means (a
coarse quantiser with nan_euclidean distances) and lets each query row measure only the rows of
its nearest lists; every candidate is ranked by the exact rule (nan_euclidean, ties by row
index), and a cell whose candidates hold fewer donors than the exact pass could give it is
served by a scan of every fitted row. With every list probed the result is the exact pass's,
bit for bit.

How many lists a query probes is chosen at fit, by measurement: on a sample of the fitted rows
(rows with a missing cell, or rows with one present cell hidden when the table is complete)
the engine finds the exact donors of every sampled cell once and counts, for every probe count
at once, how many of them the index would select. The smallest probe whose measured recall,
less two binomial standard errors, meets the target is kept. When that probe would measure more than ``NO_GAIN_FRACTION`` of the
fitted rows per query (random high-dimensional rows, where lists do not separate neighbours),
the index is not used: transform runs the exact pass, and a warning says so.
"""

import math
import warnings

import numpy as np

from mirel import _index_engine

# Rows of the recall sample: 1000 (some 10,000 donors at 20 columns and 10% missing). Their full
# scans cost about 1000 rows of the exact pass (some 1e9 pairs at a million fitted rows). A
# smaller sample (300 rows) was measured to overstate the recall by 0.007 at a million rows.
RECALL_SAMPLE_ROWS = 1000
RECALL_SAMPLE_PAIRS = 1e9
RECALL_SAMPLE_MIN_ROWS = 1000
# The probe kept is the smallest whose measured recall, less this many binomial standard errors
# (over the sampled donors), meets the target: a margin for the sample's own error.
RECALL_MARGIN_SE = 2.0


def sample_rows(fitted_rows):
    """Rows of the recall sample for a table of `fitted_rows` rows."""
    return int(min(RECALL_SAMPLE_ROWS, max(RECALL_SAMPLE_MIN_ROWS, RECALL_SAMPLE_PAIRS // max(fitted_rows, 1))))


# Above this share of the fitted rows measured per query, the index is not worth its overheads
# (the exact pass prunes and, in fit_transform, measures each pair of rows once).
NO_GAIN_FRACTION = 0.35
# Beyond this many neighbours the index is not used (its selections would cover much of the
# lists it probes): transform runs the exact pass.
MAX_NEIGHBOURS = 1024


def default_lists(rows):
    """Lists of the quantiser for `rows` fitted rows: about sqrt(rows) / 2."""
    return max(1, min(rows, int(round(math.sqrt(rows) / 2))))


def _sample(fit_X, valid, rng):
    """Query rows to measure recall on: fitted rows with a missing cell in a column that has
    donors; for a table without such rows, fitted rows with one present cell hidden."""
    n = fit_X.shape[0]
    wanted = sample_rows(n)
    missing = np.isnan(fit_X)
    candidates = np.flatnonzero((missing & valid).any(axis=1))
    if candidates.size:
        take = min(wanted, candidates.size)
        rows = np.sort(rng.choice(candidates, size=take, replace=False))
        return np.ascontiguousarray(fit_X[rows])
    present = ~missing & valid
    candidates = np.flatnonzero(present.sum(axis=1) >= 2)
    if not candidates.size:
        return np.empty((0, fit_X.shape[1]))
    take = min(wanted, candidates.size)
    rows = np.sort(rng.choice(candidates, size=take, replace=False))
    sample = np.array(fit_X[rows], dtype=np.float64, order="C")
    for i, r in enumerate(rows):
        cols = np.flatnonzero(present[r])
        sample[i, cols[rng.integers(cols.size)]] = np.nan
    return sample


class CandidateIndex:
    """A trained index, the probe chosen at fit and what its measurement found."""

    def __init__(self, engine, donors, probe, recall, cells, rows, measured_fraction, used):
        self._engine = engine
        self._donors = donors
        self.probe = probe
        self.recall = recall
        self.sample_cells = cells
        self.sample_rows = rows
        self.measured_fraction = measured_fraction
        self.used = used

    @property
    def lists(self):
        return self._engine.lists

    @property
    def nbytes(self):
        return self._engine.nbytes

    @classmethod
    def fit(cls, donors, fit_X, valid, n_neighbors, target, n_lists, rng, n_threads=1):
        n = fit_X.shape[0]
        lists = default_lists(n) if n_lists is None else min(int(n_lists), max(n, 1))
        seed = int(rng.integers(0, 2**63))
        engine = _index_engine.Index(fit_X, max(lists, 1), seed, n_threads=n_threads)
        lists = engine.lists
        k = max(1, min(int(n_neighbors), n))
        if k > MAX_NEIGHBOURS:
            warnings.warn(
                f"the candidate index serves at most {MAX_NEIGHBOURS} neighbours: transform runs the exact pass",
                UserWarning,
                stacklevel=4,
            )
            return cls(engine, donors, lists, 1.0, 0, 0, 1.0, False)
        sample = _sample(fit_X, valid, rng)
        donors_total, cells, rows, found, fallback, measured = engine.recall(sample, k, n_threads)
        if donors_total == 0 or lists <= 1:
            # Nothing to measure on (or one list: the exact pass): every list probed.
            return cls(engine, donors, max(lists, 1), 1.0, cells, rows, 1.0, lists > 1 and donors_total == 0)
        achieved = found[1:] / float(donors_total)
        margin = RECALL_MARGIN_SE * np.sqrt(achieved * (1.0 - achieved) / donors_total)
        probe = int(np.argmax(achieved - margin >= target)) + 1  # every list probed: recall 1, margin 0
        fraction = (float(measured[probe]) / rows + lists) / max(n, 1)
        used = fraction <= NO_GAIN_FRACTION
        if not used:
            warnings.warn(
                f"the candidate index would measure {fraction:.0%} of the fitted rows per query "
                f"to reach a recall of {target}: transform runs the exact pass instead",
                UserWarning,
                stacklevel=4,
            )
        return cls(engine, donors, probe, float(achieved[probe - 1]), cells, rows, fraction, used)

    def serves(self, k):
        """Whether transform with `k` neighbours searches the index."""
        return self.used and k <= MAX_NEIGHBOURS

    def impute(self, work, k, weights, n_threads, report):
        """Imputes the NaN cells of `work` (C-ordered float64, the fitted width) in place.

        The engine reads `work` once, groups the rows that impute a cell by their nearest list
        (rows probing the same lists then read them from the cache), runs them on `n_threads`
        threads and writes the imputed cells back at the end: a stopped or failed call writes
        nothing, as the exact pass does. Each row measures exactly its own probed lists, so any
        number of threads or chunking gives the same bits. `report(done, total)` is called about
        every 0.1 s and at the end; Ctrl-C stops the search."""
        self._engine.impute_all(work, k, weights, self.probe, n_threads, report)

    def __reduce__(self):
        # The fitted table travels once, with the Donors object the estimator pickles anyway
        # (pickle keeps one copy of an object referenced twice); the quantiser travels as its
        # centroids and the list of every row, so unpickling builds the panel and no k-means.
        centroids, lists_of_rows = self._engine.parts()
        return (
            _rebuild,
            (
                self._donors,
                centroids,
                lists_of_rows,
                self.probe,
                self.recall,
                self.sample_cells,
                self.sample_rows,
                self.measured_fraction,
                self.used,
            ),
        )


def _rebuild(donors, centroids, lists_of_rows, probe, recall, cells, rows, fraction, used):
    engine = _index_engine.Index(donors.fitted(), centroids.shape[0], 0, centroids, lists_of_rows)
    return CandidateIndex(engine, donors, probe, recall, cells, rows, fraction, used)


FITTED_ATTRIBUTES = ("recall_", "recall_sample_cells_", "n_probe_", "index_used_")


def set_fitted(estimator, index):
    """Gives `estimator` the fitted index and its attributes (or removes an earlier fit's)."""
    state = estimator.__dict__
    if index is None:
        state.pop("_index", None)
        for name in FITTED_ATTRIBUTES:
            state.pop(name, None)
        return
    state["_index"] = index
    state["recall_"] = index.recall if index.used else 1.0
    state["recall_sample_cells_"] = int(index.sample_cells)
    state["n_probe_"] = int(index.probe)
    state["index_used_"] = bool(index.used)
