"""The wall-clock table: each figure for both implementations, their ratios,
the noise of the rounds and a verdict stated beside it: the C++ module is
faster or slower than the baseline only where the ratio differs from 1.00×
by more than the row's noise; anything closer is level."""

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

    def verdict(self):
        """"faster", "SLOWER" or "level" (within the noise); None when not measured."""
        speedup = self.speedup()
        if speedup is None or self.noise is None:
            return None
        if speedup > 1 + self.noise:
            return "faster"
        if speedup < 1 - self.noise:
            return "SLOWER"
        return "level"

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


HEADER = ("figure", "C++ µs", "baseline µs", "floor µs", "base/C++", "C++/floor", "noise", "verdict")


def print_table(figures, out):
    """Prints one row per figure; fan-out rows also give µs per member in brackets."""
    rows = [HEADER]
    for f in figures:
        rows.append((f.name, _us(f.cpp, f.members), _us(f.baseline, f.members),
                     _us(f.floor, f.members) if f.floor is not None else "-",
                     _ratio(f.speedup()), _ratio(f.over_floor()) if f.floor is not None else "-",
                     _noise(f.noise), f.verdict() or "n/a"))
    widths = [max(len(row[i]) for row in rows) for i in range(len(HEADER))]
    for number, row in enumerate(rows):
        cells = [row[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(row[1:-1], widths[1:-1])] + [row[-1]]
        print("  ".join(cells).rstrip(), file=out)
        if number == 0:
            print("  ".join("-" * w for w in widths), file=out)


def largest_noise(figures):
    known = [f.noise for f in figures if f.noise is not None]
    return max(known) if known else None


def verdict_summary(figures):
    """One line: how many rows are faster, level and slower beyond their noise."""
    by = {}
    for f in figures:
        by.setdefault(f.verdict() or "n/a", []).append(f.name)
    slower = by.get("SLOWER", [])
    return (f"verdicts: {len(by.get('faster', []))} faster, {len(by.get('level', []))} level within their noise, "
            f"{len(slower)} slower beyond it" + (f" ({'; '.join(slower)})" if slower else ""))
