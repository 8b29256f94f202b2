"""Number and table formatting for bench/REPORT.md."""
from .stats import Spread

def ns(value: float) -> str:
    return f"{value:.1f}" if value < 100 else f"{value:.0f}"


def whole(value: float) -> str:
    return f"{value:.0f}"


def percent(share: float) -> str:
    return f"{100 * share:.1f} %"


def with_spread(spread: Spread, shown=whole) -> str:
    """The median, and the lowest and highest value beside it."""
    if spread.count == 1:
        return shown(spread.median)
    return f"{shown(spread.median)} ({shown(spread.low)}–{shown(spread.high)})"


def runs(count: int) -> str:
    return "one run" if count == 1 else f"{count} runs"


def time_verdict(value: float, limit: float) -> str:
    if value < limit:
        return "met"
    return f"missed by {value - limit:.0f} ns ({value / limit:.1f}× the target)"


def met_if(condition: bool) -> str:
    return "met" if condition else "missed"


def table(header: tuple, alignment: str, rows) -> list:
    """A Markdown table; ALIGNMENT has one letter per column, l or r."""
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join("---:" if a == "r" else "---" for a in alignment) + "|"]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return lines


def prose(text: str) -> list:
    """A paragraph written as one block, its lines as they stand, and the blank
    line that ends it."""
    return text.strip("\n").split("\n") + [""]
