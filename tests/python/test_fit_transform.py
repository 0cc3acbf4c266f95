"""fit and transform end to end: storing the fitted table, the imputed values of the worked
examples, the order in which errors are reported, and what stays unchanged."""

import math

import numpy as np
import pytest

import mirel
from conftest import NAN, PanicException, refusal, table

KnnImputer = mirel.KnnImputer
FOUR_BY_TWO = table([[1.0, 10.0], [2.0, NAN], [3.0, 30.0], [4.0, 40.0]])


class TestFit:
    def test_returns_the_imputer_itself(self):
        imputer = KnnImputer()
        assert imputer.fit(FOUR_BY_TWO) is imputer
        assert imputer.fit(data=FOUR_BY_TWO) is imputer

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, "KnnImputer.fit() missing 1 required positional argument: 'data'"),
            ((1, 2), {}, "KnnImputer.fit() takes 1 positional arguments but 2 were given"),
            ((1, 2, 3), {}, "KnnImputer.fit() takes 1 positional arguments but 3 were given"),
            ((), {"X": 1}, "KnnImputer.fit() got an unexpected keyword argument 'X'"),
            ((1,), {"data": 1}, "KnnImputer.fit() got multiple values for argument 'data'"),
            ((), {"dáta": 1}, "KnnImputer.fit() got an unexpected keyword argument 'dáta'"),
        ],
    )
    def test_binding_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            KnnImputer().fit(*args, **kwargs)
        assert str(info.value) == message

    def test_refit_replaces_matrix_and_shape(self):
        imputer = KnnImputer(k=1).fit(np.zeros((3, 2)))
        second = np.arange(20.0).reshape(5, 4)
        imputer.fit(second)
        assert imputer.transform(second).shape == (5, 4)

    def test_failed_fit_keeps_the_earlier_fit(self):
        imputer = KnnImputer(k=2).fit(FOUR_BY_TWO)
        with refusal("list"):
            imputer.fit([[1.0, 2.0]])
        assert imputer.transform(FOUR_BY_TWO)[1, 1] == 20.0

    def test_failed_fit_leaves_an_unfitted_imputer_unfitted(self):
        imputer = KnnImputer()
        with refusal("ndarray"):
            imputer.fit(np.ones((2, 2), dtype=np.int64))
        with pytest.raises(TypeError, match="^Imputer is not fitted$"):
            imputer.transform(FOUR_BY_TWO)

    def test_fitted_values_are_a_private_copy(self):
        data = FOUR_BY_TWO.copy()
        imputer = KnnImputer(k=2).fit(data)
        data[:, 1] = 1000.0
        data[1, 1] = NAN
        assert imputer.transform(data)[1, 1] == 20.0

    @pytest.mark.parametrize("shape", [(0, 2), (2, 0), (0, 0)])
    def test_empty_matrices_are_stored(self, shape):
        imputer = KnnImputer().fit(np.zeros(shape))
        assert imputer.transform(np.zeros(shape)).shape == shape

    def test_all_missing_table_is_stored(self):
        imputer = KnnImputer(k=2).fit(np.full((3, 2), NAN))
        # no row has a donor in any column: every cell becomes 0.0
        assert imputer.transform(np.full((3, 2), NAN)).tolist() == [[0.0, 0.0]] * 3


class TestTransformErrors:
    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, "KnnImputer.transform() missing 1 required positional argument: 'data'"),
            ((1, 2), {}, "KnnImputer.transform() takes 1 positional arguments but 2 were given"),
            ((), {"x": 1}, "KnnImputer.transform() got an unexpected keyword argument 'x'"),
            ((1,), {"data": 1}, "KnnImputer.transform() got multiple values for argument 'data'"),
        ],
    )
    def test_binding_errors_come_before_the_fitted_check(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            KnnImputer().transform(*args, **kwargs)
        assert str(info.value) == message

    @pytest.mark.parametrize("data", [None, np.ones((2, 2)), [[1.0]]])
    def test_unfitted_is_reported_before_looking_at_data(self, data):
        with pytest.raises(TypeError) as info:
            KnnImputer().transform(data)
        assert str(info.value) == "Imputer is not fitted"

    @pytest.mark.parametrize("metric", ["euclid", "NAN_EUCLID", "", "nan_euclid ", "ñ"])
    @pytest.mark.parametrize("data", [FOUR_BY_TWO, np.ones((4, 2)), np.ones((3, 2)), np.zeros((0, 2))])
    def test_unknown_metric_is_reported_on_every_call(self, metric, data):
        imputer = KnnImputer(metric=metric).fit(FOUR_BY_TWO)
        with pytest.raises(TypeError) as info:
            imputer.transform(data)
        assert str(info.value) == f"{metric} is a unknown metric"

    def test_bad_data_is_reported_before_the_unknown_metric(self):
        imputer = KnnImputer(metric="nope").fit(FOUR_BY_TWO)
        with refusal("list"):
            imputer.transform([[1.0]])

    @pytest.mark.parametrize(
        "shape, message",
        [
            ((3, 2), "ShapeError/OutOfBounds: out of bounds indexing"),
            ((5, 2), "ShapeError/IncompatibleShape: incompatible shapes"),
            ((1, 9), "ShapeError/IncompatibleShape: incompatible shapes"),
            ((0, 2), "ShapeError/OutOfBounds: out of bounds indexing"),
        ],
    )
    def test_cell_count_other_than_fitted_is_a_value_error(self, shape, message):
        imputer = KnnImputer().fit(FOUR_BY_TWO)
        with pytest.raises(ValueError) as info:
            imputer.transform(np.ones(shape))
        assert str(info.value) == message

    def test_unknown_metric_is_reported_before_the_shape(self):
        imputer = KnnImputer(metric="x").fit(FOUR_BY_TWO)
        with pytest.raises(TypeError, match="^x is a unknown metric$"):
            imputer.transform(np.ones((3, 2)))

    @pytest.mark.parametrize(
        "fitted_shape, data, message",
        [
            # more rows than fitted, same cell count: the candidate sort meets row index R
            ((4, 3), [[1.0, NAN]] + [[1.0, 2.0]] * 5, "index out of bounds: the len is 4 but the index is 4"),
            # a missing cell in input row R
            ((2, 2), [[1.0, 2.0], [3.0, 4.0], [NAN, 5.0]], "range end index 6 out of range for slice of length 4"),
            # a missing cell beyond input row R
            ((2, 2), [[1.0, 2.0]] * 3 + [[NAN, 1.0]], "range start index 6 out of range for slice of length 4"),
            # no columns were fitted: no row can be addressed
            ((3, 0), [[NAN]], "attempt to divide by zero"),
        ],
    )
    def test_internal_failures_come_before_the_shape_check(self, fitted_shape, data, message, capfd):
        imputer = KnnImputer().fit(np.ones(fitted_shape))
        with pytest.raises(PanicException) as info:
            imputer.transform(table(data))
        assert str(info.value) == message
        assert message in capfd.readouterr().err
        # the imputer is unchanged and usable
        assert imputer.transform(np.ones(fitted_shape)).shape == fitted_shape

    def test_zero_column_fit_without_missing_cells_is_a_shape_error(self):
        imputer = KnnImputer().fit(np.ones((3, 0)))
        with pytest.raises(ValueError, match="IncompatibleShape"):
            imputer.transform(np.ones((1, 2)))


class TestWorkedExamples:
    def test_four_by_two_k2_and_k3(self):
        out = KnnImputer(k=2).fit(FOUR_BY_TWO).transform(FOUR_BY_TWO)
        assert out.tolist() == [[1.0, 10.0], [2.0, 20.0], [3.0, 30.0], [4.0, 40.0]]
        out = KnnImputer(k=3).fit(FOUR_BY_TWO).transform(FOUR_BY_TWO)
        assert out[1, 1] == 26.666666666666664

    @pytest.mark.parametrize("k, expected", [(2, 20.0), (4, 25.0)])
    def test_the_row_itself_donates_when_reached(self, k, expected):
        fitted = table([[1.0, 10.0], [2.0, 20.0], [3.0, 30.0], [4.0, 40.0]])
        data = fitted.copy()
        data[1, 1] = NAN
        assert KnnImputer(k=k).fit(fitted).transform(data)[1, 1] == expected

    def test_distances_come_from_fitted_rows_and_present_cells_from_the_input(self):
        fitted = table([[1.0, 10.0], [2.0, 20.0], [3.0, 30.0], [4.0, 40.0]])
        data = table([[100.0, 10.0], [200.0, NAN], [300.0, 30.0], [400.0, 40.0]])
        out = KnnImputer(k=2).fit(fitted).transform(data)
        assert out.tolist() == [[100.0, 10.0], [200.0, 20.0], [300.0, 30.0], [400.0, 40.0]]

    @pytest.mark.parametrize("k, cell01, cell10", [(1, 30.0, 3.0), (3, 11.666666666666666, 1.3333333333333333)])
    def test_rows_without_shared_coordinates(self, k, cell01, cell10):
        data = table([[1.0, NAN], [NAN, 5.0], [3.0, 30.0]])
        out = KnnImputer(k=k).fit(data).transform(data)
        assert out[0, 1] == cell01 and out[1, 0] == cell10
        assert out[2].tolist() == [3.0, 30.0]

    def test_unnormalised_sum_with_fewer_donors_than_k(self):
        data = table([[1.0, 10.0], [2.0, NAN], [3.0, 30.0], [4.0, NAN]])
        out = KnnImputer(k=3).fit(data).transform(data)
        # two donors found (30 and 10), each times 1/3: not their mean
        assert out[1, 1] == 13.333333333333332

    def test_distance_weights_are_not_divided_by_their_total(self):
        data = table([[0.0, 10.0], [1.0, NAN], [3.0, 30.0]])
        out = KnnImputer(k=2, weights="distance").fit(data).transform(data)
        # distances from row 1 (one shared column of two, so scaled by 2): 2.0 and 8.0
        assert out[1, 1] == 0.0 + 10.0 * (1.0 / 2.0) + 30.0 * (1.0 / 8.0)

    def test_expected_distance_ranks_differently(self):
        data = table([[1.0, NAN, 3.0], [2.0, 5.0, NAN], [0.0, 0.5, 0.5], [1.0, 0.7, 2.9]])
        out = KnnImputer(k=1, metric="expected_distance").fit(data).transform(data)
        # from row 0: 9.0 to row 1, 0.5 + sqrt(7.25) to row 2, 0.7 + sqrt(0.01) to row 3
        assert out[0, 1] == 0.7
        # from row 1: 9.0 to row 0, 0.5 + sqrt(24.25) to row 2, 2.9 + sqrt(19.49) to row 3
        assert out[1, 2] == 0.5

    def test_k_zero_uses_one_donor_times_infinity(self):
        # row 1 shares no coordinate with any row: both others are at +inf, row 0 first by index
        data = table([[1.0, 0.0, -2.0], [NAN, NAN, NAN], [1.0, 5.0, 4.0]])
        out = KnnImputer(k=0).fit(data).transform(data)
        assert out[1, 0] == math.inf
        assert math.isnan(out[1, 1])  # 0 x inf
        assert out[1, 2] == -math.inf

    def test_k_assigned_after_fit_takes_effect(self):
        imputer = KnnImputer(k=2).fit(FOUR_BY_TWO)
        assert imputer.transform(FOUR_BY_TWO)[1, 1] == 20.0
        imputer.k = 3
        assert imputer.transform(FOUR_BY_TWO)[1, 1] == 26.666666666666664

    def test_fitted_cell_count_in_another_shape(self):
        imputer = KnnImputer().fit(np.arange(12.0).reshape(4, 3))
        data = np.arange(100.0, 112.0).reshape(6, 2)
        out = imputer.transform(data)
        assert out.shape == (4, 3)
        assert out.ravel().tolist() == data.ravel().tolist()

    def test_fewer_input_rows_limit_the_candidates(self):
        fitted = table([[0.0, 0.0, 0.0], [1.0, 1.0, 1.0], [9.0, 9.0, 9.0], [1.5, 1.5, 7.0]])
        data = table([[NAN, 0.0, 0.0, 1.0, 1.0, 1.0], [9.0, 9.0, 9.0, 1.5, 1.5, 7.0]])  # 2 x 6 = 4 rows of 3
        out = KnnImputer(k=1).fit(fitted).transform(data)
        # only fitted rows 0 and 1 are candidates (the input has 2 rows); row 0 itself is missing
        assert out[0, 0] == 1.0


class TestNothingElseChanges:
    def test_input_is_never_modified_and_present_cells_are_kept(self):
        data = FOUR_BY_TWO.copy()
        data[0, 0] = -0.0
        before = data.tobytes()
        out = KnnImputer(k=2).fit(FOUR_BY_TWO).transform(data)
        assert data.tobytes() == before
        mask = ~np.isnan(data)
        assert out[mask].tobytes() == data[mask].tobytes()
        assert math.copysign(1.0, out[0, 0]) == -1.0

    def test_repeated_calls_are_identical(self):
        rng = np.random.default_rng(3)
        data = rng.normal(size=(60, 5))
        data[rng.random(data.shape) < 0.2] = NAN
        imputer = KnnImputer(k=4, weights="distance").fit(data)
        first = imputer.transform(data)
        for _ in range(3):
            assert imputer.transform(data).tobytes() == first.tobytes()

    def test_same_missing_cells_give_the_same_fill_values(self):
        fitted = table([[1.0, 10.0], [2.0, 20.0], [3.0, 30.0], [4.0, 40.0]])
        a = fitted.copy()
        b = fitted * 7.0
        a[2, 1] = b[2, 1] = NAN
        imputer = KnnImputer(k=2).fit(fitted)
        assert imputer.transform(a)[2, 1] == imputer.transform(b)[2, 1]
