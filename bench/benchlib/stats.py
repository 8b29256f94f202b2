"""The statistics of the report: a median with the lowest and highest value
beside it, and the slope of a least-squares line."""
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
