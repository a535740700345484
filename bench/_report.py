"""The wall-clock table: each figure for both implementations, their ratios
and the noise of the rounds.  It gives no verdicts: wall-clock time on a
shared machine moves more between runs than the differences it would judge;
the targets are judged on instruction counts (bench/instructions.py)."""

import dataclasses


@dataclasses.dataclass
class Figure:
    name: str
    cpp: float | None  # seconds per operation
    baseline: float | None
    floor: float | None = None
    members: int = 0  # > 0: also shown per member
    noise: float | None = None  # the rounds' largest relative spread (see _measure.Timings)

    def speedup(self):
        """How many times faster the C++ module is than the baseline."""
        if self.cpp and self.baseline:
            return self.baseline / self.cpp
        return None

    def over_floor(self):
        if self.cpp and self.floor:
            return self.cpp / self.floor
        return None


def figure(name, timings, members=0):
    """A Figure from the Timings of candidates "C++", "baseline" and, when
    measured, "floor"."""
    return Figure(name, timings["C++"], timings["baseline"], timings.get("floor"), members, timings.noise)


def amount(value, members=0, *, scale=1.0, spec=".2f", member_spec=".3f"):
    """A figure as text, with its share per member in brackets; "n/a" when missing."""
    if value is None:
        return "n/a"
    text = format(value * scale, spec)
    if members:
        text += f" ({format(value * scale / members, member_spec)})"
    return text


def _us(seconds, members=0):
    return amount(seconds, members, scale=1e6)


def _ratio(value):
    return "n/a" if value is None else f"{value:.2f}×"


def _noise(value):
    return "n/a" if value is None else f"±{value:.0%}"


HEADER = ("figure", "C++ µs", "baseline µs", "floor µs", "base/C++", "C++/floor", "noise")


def print_table(figures, out):
    """Prints one row per figure; fan-out rows also give µs per member in brackets."""
    rows = [HEADER]
    for f in figures:
        rows.append((f.name, _us(f.cpp, f.members), _us(f.baseline, f.members),
                     _us(f.floor, f.members) if f.floor is not None else "-",
                     _ratio(f.speedup()), _ratio(f.over_floor()) if f.floor is not None else "-",
                     _noise(f.noise)))
    widths = [max(len(row[i]) for row in rows) for i in range(len(HEADER))]
    for number, row in enumerate(rows):
        cells = [row[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(row[1:], widths[1:])]
        print("  ".join(cells).rstrip(), file=out)
        if number == 0:
            print("  ".join("-" * w for w in widths), file=out)


def largest_noise(figures):
    known = [f.noise for f in figures if f.noise is not None]
    return max(known) if known else None
