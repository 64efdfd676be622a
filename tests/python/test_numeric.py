"""common/numeric.hpp against NumPy and Python: each helper must return their bits exactly.

NaN is compared as NaN, not by payload: which NaN an addition passes on depends on the operand
order the compiler picks, and no caller can tell them apart.
"""
import numpy as np
import pytest

import tessaryn_numeric_probe as probe

SEED = 614


def rng(*key):
    return np.random.default_rng([SEED, *key])


def awkward(gen, n, dtype):
    """Mixed signs, magnitudes over eight decades, and a fifth of tenths that binary cannot hold."""
    values = gen.standard_normal(n) * 10.0 ** gen.uniform(-4, 4, n)
    tenths = gen.random(n) < 0.2
    values[tenths] = gen.integers(-10000, 10000, int(tenths.sum())) / 10
    return values.astype(dtype)


def assert_bits(got, want, what=""):
    got, want = np.asarray(got), np.asarray(want)
    assert (got.dtype, got.shape) == (want.dtype, want.shape), what
    nan = np.isnan(want) if want.dtype.kind == "f" else np.zeros(want.shape, bool)
    unsigned = {1: np.uint8, 4: np.uint32, 8: np.uint64}[want.dtype.itemsize]
    same = (got.view(unsigned) == want.view(unsigned)) | (nan & np.isnan(got))
    bad = np.flatnonzero(~same)
    first = bad[:5]
    assert bad.size == 0, (f"{what}: {bad.size} differ, first at {first}: "
                           f"got {got.ravel()[first].tolist()}, want {want.ravel()[first].tolist()}")


# --- Python's round --------------------------------------------------------------------------------


def round_cases(gen, n):
    """Doubles over 25 decades, dyadic fractions that make exact decimal ties, and values whose ulp
    is about 10^-ndigits, where the answer can be a neighbour of x."""
    x = gen.choice([-1.0, 1.0], n) * 10.0 ** gen.uniform(-8, 17, n) * gen.random(n)
    ndigits = gen.integers(0, 7, n)
    ties = slice(0, n // 5)
    x[ties] = gen.integers(-(2**20), 2**20, n // 5) / 2.0 ** gen.integers(1, 12, n // 5)
    near_ulp = slice(n // 5, 2 * n // 5)
    k = n // 5
    ulp_exponent = (-np.log2(10.0 ** ndigits[near_ulp])).astype(int) + gen.integers(-1, 2, k)
    x[near_ulp] = np.ldexp(gen.integers(2**52, 2**53, k).astype(np.float64), ulp_exponent)
    return x, ndigits.astype(np.int32)


def test_round_decimals_random_values_match_python():
    x, ndigits = round_cases(rng(1), 100_000)
    want = np.array([round(float(v), int(d)) for v, d in zip(x, ndigits)])
    assert_bits(probe.round_decimals(x, ndigits), want, "round(x, ndigits)")


def test_round_decimals_many_digits_match_python():
    gen = rng(2)
    x = gen.choice([-1.0, 1.0], 10_000) * 10.0 ** gen.uniform(-22, 8, 10_000) * gen.random(10_000)
    ndigits = gen.integers(7, 22, 10_000).astype(np.int32)
    want = np.array([round(float(v), int(d)) for v, d in zip(x, ndigits)])
    assert_bits(probe.round_decimals(x, ndigits), want, "round(x, ndigits) for 7..21 digits")


HAND_PICKED = [0.0625, 0.5, 1.5, 2.5, -0.5, 2.675, 0.0005, 1.0005, 5e-324, 1e16, -0.0004, -0.0, 0.0, 0.125,
               1e300, -2.5e-7, 4503599627370495.5, float.fromhex("0x1.4fd42fa03fcd7p+32"),
               float("inf"), float("-inf"), float("nan")]


@pytest.mark.parametrize("x", HAND_PICKED)
def test_round_hand_picked(x):
    ndigits = np.arange(7, dtype=np.int32)
    xs = np.full(ndigits.size, x)
    want = np.array([round(x, int(d)) for d in ndigits])
    assert_bits(probe.round_decimals(xs, ndigits), want, f"round({x!r}, n)")
    assert_bits(probe.round_half_even(xs[:1]), np.array([round(x, 0)]), f"round({x!r})")


def test_round_half_even_matches_python():
    gen = rng(3)
    halves = gen.integers(-1000, 1000, 5000) + 0.5
    x = np.concatenate([halves, gen.standard_normal(5000) * 10.0 ** gen.uniform(0, 17, 5000)])
    assert_bits(probe.round_half_even(x), np.array([round(float(v), 0) for v in x]), "round(x)")


# --- sums and means -------------------------------------------------------------------------------

# Past 128 the halves split; past 8192 NumPy reduces block by block.
SUM_SIZES = list(range(0, 301)) + [1000, 4097, 8192, 8193, 16391, 100000, 250001]
SUMS = {np.float32: (probe.sum_f32, probe.sum_f32_strided),
        np.float64: (probe.sum_f64, probe.sum_f64_strided)}


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_sum_matches_numpy_for_every_size(dtype):
    gen = rng(10, np.dtype(dtype).itemsize)
    total, _ = SUMS[dtype]
    for n in SUM_SIZES:
        a = awkward(gen, n, dtype)
        assert_bits(dtype(total(a)), a.sum(), f"sum of {n}")


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("n, step", [(5, 2), (17, 3), (300, 2), (1001, 7), (20000, 2),
                                     (5, -1), (200, -1), (1001, -2), (20000, -3)])
def test_strided_sum_matches_numpy_view(dtype, n, step):
    base = awkward(rng(11, n, step + 10), n * abs(step) + 3, dtype)
    start = 0 if step > 0 else base.size - 1
    view = base[start::step][:n]
    _, strided = SUMS[dtype]
    assert_bits(dtype(strided(base, start, n, step)), view.sum(), "strided sum")


def test_sums_of_special_values():
    cases = {
        "negative zeros": [-0.0] * 9,
        "one negative zero": [-0.0],
        "infinity": [1.0] * 20 + [np.inf] + [2.0] * 200,
        "opposite infinities": [np.inf, -np.inf] + [1.0] * 10,
        "nan": [1.0] * 150 + [np.nan] + [1.0] * 100,
        "overflow": [3e38] * 12,
    }
    for what, values in cases.items():
        a = np.array(values, np.float32)
        with np.errstate(invalid="ignore", over="ignore"):
            assert_bits(np.float32(probe.sum_f32(a)), a.sum(), what)
            assert_bits(probe.sum_rows_f32(a.reshape(1, -1)), a.reshape(1, -1).sum(axis=1), what)
            assert_bits(probe.sum_cols_f32(a.reshape(-1, 1)), a.reshape(-1, 1).sum(axis=0), what)
            two_columns = np.stack([a, a[::-1]], axis=1)
            assert_bits(probe.sum_cols_f32(two_columns), two_columns.sum(axis=0), what)


@pytest.mark.parametrize("rows, cols", [(0, 3), (3, 0), (1, 1), (1, 300), (300, 1), (7, 3), (129, 2), (3, 129),
                                        (1000, 17), (64, 1000), (2, 10000), (20000, 2), (16391, 1)])
def test_2d_sums_match_numpy(rows, cols):
    a = awkward(rng(12, rows, cols), rows * cols, np.float32).reshape(rows, cols)
    assert_bits(probe.sum_rows_f32(a), a.sum(axis=1), "axis=1")
    assert_bits(probe.sum_cols_f32(a), a.sum(axis=0), "axis=0")
    assert_bits(np.float32(probe.sum_f32(a.ravel())), a.sum(), "whole array")


def test_means_match_numpy():
    gen = rng(13)
    for n in [1, 2, 7, 8, 129, 1000, 8193, 100000]:
        f = awkward(gen, n, np.float32)
        assert_bits(np.float32(probe.mean_f32(f)), np.mean(f), f"float32 mean of {n}")
        d = f.astype(np.float64)
        assert_bits(np.float64(probe.mean_f64(d)), np.mean(d), f"float64 mean of {n}")
        u = gen.integers(0, 256, n).astype(np.uint8)
        assert_bits(np.float64(probe.mean_u8(u)), np.mean(u), f"uint8 mean of {n}")
        i = gen.integers(-(2**62), 2**62, n)  # too wide for double, so the order of the additions shows
        assert_bits(np.float64(probe.mean_i64(i)), np.mean(i), f"int64 mean of {n}")


def test_float32_mean_divides_by_the_exact_count():
    # 2^24 + 3 is not a float32: NumPy divides in double and rounds once more to float32.
    a = np.full(2**24 + 3, 1.0, np.float32)
    a[::3] = 0.1  # a sum whose quotient by float32(2^24 + 3) rounds differently
    assert_bits(np.float32(probe.mean_f32(a)), np.mean(a), "mean over 2^24 + 3")


# --- percentile -----------------------------------------------------------------------------------

QS = [10, 55, 82, 94, 99, 0, 100, 50, 33.3]
PERCENTILES = {np.float64: probe.percentile_f64, np.float32: probe.percentile_f32,
               np.uint8: probe.percentile_u8}


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.uint8])
def test_percentile_matches_numpy(dtype):
    gen = rng(20, np.dtype(dtype).itemsize)
    sizes = list(range(1, 65)) + sorted(gen.integers(65, 2001, 40).tolist()) + [2000]
    for n in sizes:
        a = gen.integers(0, 256, n).astype(np.uint8) if dtype is np.uint8 else awkward(gen, n, dtype)
        for q in QS:
            assert_bits(np.float64(PERCENTILES[dtype](a, q)), np.percentile(a, q), f"{q}th of {n}")


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_percentile_of_infinities_and_nan(dtype):
    cases = [[np.inf, 1.0, 2.0], [-np.inf, np.inf], [np.inf, np.inf, 3.0], [-np.inf, -np.inf, 0.5],
             [1.0, np.nan, 2.0], [np.nan]]
    for values in cases:
        a = np.array(values, dtype)
        for q in QS:
            want = np.float64(np.percentile(a, q))
            assert_bits(np.float64(PERCENTILES[dtype](a, q)), want, f"{q}th of {values}")


# --- convolve -------------------------------------------------------------------------------------

CONVOLVE = {np.float32: probe.convolve_same_f32, np.float64: probe.convolve_same_f64}


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("kernel", ["box", "random"])
def test_convolve_same_matches_numpy(dtype, kernel):
    gen = rng(30, np.dtype(dtype).itemsize, kernel == "box")
    # Inputs shorter than the kernel swap roles with it, as in NumPy.
    lengths = list(range(1, 41)) + list(range(41, 401, 9)) + [400]
    for m in range(1, 16):
        v = np.full(m, 1 / m, dtype) if kernel == "box" else awkward(gen, m, dtype)
        for n in lengths:
            a = awkward(gen, n, dtype)
            assert_bits(CONVOLVE[dtype](a, v), np.convolve(a, v, mode="same"), f"len {n} with kernel {m}")


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_convolve_same_of_signed_zeros_and_infinities(dtype):
    cases = [(np.full(9, -0.0), np.ones(3)), (np.full(9, -0.0), np.ones(1)),
             (np.array([1.0, np.inf, 2.0, 3.0]), np.ones(2)),
             (np.array([1.0, 2.0]), np.array([np.inf, -1.0, 1.0, 0.0, 2.0]))]
    for a, v in cases:
        a, v = a.astype(dtype), v.astype(dtype)
        with np.errstate(invalid="ignore"):
            assert_bits(CONVOLVE[dtype](a, v), np.convolve(a, v, mode="same"), f"{a} with {v}")


# --- ordering, running sums, clip -----------------------------------------------------------------

ARGSORT = {np.float64: probe.argsort_stable_f64, np.float32: probe.argsort_stable_f32,
           np.int64: probe.argsort_stable_i64}


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64])
@pytest.mark.parametrize("n", [0, 1, 16, 17, 1000, 5000])
def test_argsort_stable_matches_numpy(dtype, n):
    gen = rng(40, n)
    a = gen.integers(-5, 5, n).astype(dtype)  # many ties
    if dtype is not np.int64:
        a[gen.random(n) < 0.1] = np.nan
        a[gen.random(n) < 0.1] = -0.0
    got = ARGSORT[dtype](a)
    assert got.dtype == np.intp
    np.testing.assert_array_equal(got, np.argsort(a, kind="stable"))


def test_searchsorted_left_matches_numpy():
    gen = rng(41)
    for n in [0, 1, 5, 100, 1000]:
        values = gen.integers(0, 20, n).astype(np.float64)
        a = np.sort(np.concatenate([values, [np.nan] * (n // 10), [-0.0] * (n // 10)]))
        keys = np.concatenate([gen.integers(-2, 22, 50).astype(np.float64), [np.nan, -0.0, 0.0, -np.inf, np.inf, 19.5]])
        np.testing.assert_array_equal(probe.searchsorted_left_f64(a, keys), np.searchsorted(a, keys, side="left"))
        ints = np.sort(gen.integers(0, 20, n))
        int_keys = gen.integers(-2, 22, 50)
        np.testing.assert_array_equal(probe.searchsorted_left_i64(ints, int_keys),
                                      np.searchsorted(ints, int_keys, side="left"))


def test_cumsum_matches_numpy():
    gen = rng(50)
    for n in [0, 1, 2, 7, 100, 10000, 100000]:
        a = awkward(gen, n, np.float32)
        assert_bits(probe.cumsum_f32(a), np.cumsum(a), f"cumsum of {n}")
    a = np.array([-0.0, -0.0, np.inf, -np.inf, 1.0], np.float32)
    with np.errstate(invalid="ignore"):
        assert_bits(probe.cumsum_f32(a), np.cumsum(a), "special values")


def test_clip_matches_numpy_on_special_values():
    special = np.array([np.nan, -np.inf, np.inf, -0.0, 0.0, 1.0, -1.0, 0.5, 2.0])
    x, lo, hi = (g.ravel() for g in np.meshgrid(special, special, special, indexing="ij"))
    assert_bits(probe.clip(x, lo, hi), np.clip(x, lo, hi), "every combination of special values")
    gen = rng(60)
    x, lo = gen.standard_normal(20000), gen.standard_normal(20000)
    hi = lo + gen.standard_normal(20000)  # a third of the bounds are reversed
    assert_bits(probe.clip(x, lo, hi), np.clip(x, lo, hi), "random values")
