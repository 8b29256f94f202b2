"""The statistics of the report: a median with the lowest and highest value
beside it, and lines fitted through points."""
import itertools
import statistics
from dataclasses import dataclass


@dataclass(frozen=True)
class Spread:
    median: float
    low: float
    high: float
    count: int

    def scaled(self, factor: float) -> "Spread":
        return Spread(self.median * factor, self.low * factor, self.high * factor, self.count)


def spread_of(values) -> Spread:
    values = list(values)
    return Spread(statistics.median(values), min(values), max(values), len(values))


def slope(xs, ys) -> float:
    """The slope of the least-squares line through the points (x, y)."""
    return statistics.linear_regression(list(xs), list(ys)).slope


def robust_line(xs, ys):
    """(intercept, slope) of the Theil-Sen line: the slope is the median of the
    slopes between every two points of different x, the intercept the median
    of what each point leaves over. A point far off, such as a run the machine
    slowed down, moves it little, unlike a least-squares line."""
    points = list(zip(xs, ys))
    slopes = [(y2 - y1) / (x2 - x1) for (x1, y1), (x2, y2) in itertools.combinations(points, 2)
              if x2 != x1]
    gradient = statistics.median(slopes)
    return statistics.median(y - gradient * x for x, y in points), gradient


@dataclass(frozen=True)
class PollRuns:
    """How a measure over polls was taken: its runs, each of the same number of
    polls; the measures' figures extend it."""
    runs: int
    polls: int  # polls measured per run
