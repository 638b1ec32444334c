"""Plain-Python twin of the hurdle's exact detection test: every table with
the observed margins walked one by one, for the tests to compare the
compiled law of the table probability with."""
import itertools
import math


def exact_detection_p(sizes, measured):
    """Freeman-Halton p-value of the 2 x G table (Fisher's for two groups),
    by walking every table with the same margins: the total hypergeometric
    probability of those no more probable than the observed one (within a
    relative 1e-7)."""
    total = sum(measured)

    def probability(table):
        return math.prod(math.comb(n, k) for n, k in zip(sizes, table)) / math.comb(sum(sizes),
                                                                                   total)

    tables = [t for t in itertools.product(*(range(n + 1) for n in sizes)) if sum(t) == total]
    observed = probability(measured)
    return min(1.0, sum(p for p in map(probability, tables) if p <= observed * (1 + 1e-7)))


def least_detection_p(sizes, total):
    """The smallest p-value exact_detection_p gives for these margins."""
    tables = [t for t in itertools.product(*(range(n + 1) for n in sizes)) if sum(t) == total]
    return min(exact_detection_p(sizes, t) for t in tables)
