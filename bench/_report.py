"""The table of figures, their ratios and the targets each must meet."""

import dataclasses


@dataclasses.dataclass
class Figure:
    name: str
    cpp: float | None  # seconds per operation
    baseline: float | None
    floor: float | None = None
    members: int = 0  # > 0: also shown per member
    targets: tuple = ()

    def speedup(self):
        """How many times faster the C++ module is than the baseline."""
        if self.cpp and self.baseline:
            return self.baseline / self.cpp
        return None

    def over_floor(self):
        if self.cpp and self.floor:
            return self.cpp / self.floor
        return None


@dataclasses.dataclass(frozen=True)
class Target:
    label: str
    check: object  # Figure -> bool, or None when it cannot be judged

    def judge(self, figure):
        return self.check(figure)


def _known(value, test):
    return None if value is None else test(value)


AS_FAST_AS_BASELINE = Target("≥ baseline", lambda f: _known(f.speedup(), lambda r: r >= 1.0))


def speedup_at_least(factor):
    return Target(f"≥{factor:g}× baseline", lambda f: _known(f.speedup(), lambda r: r >= factor))


def floor_within(factor):
    return Target(f"≤{factor:g}× floor", lambda f: _known(f.over_floor(), lambda r: r <= factor))


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


def _verdict(figure):
    results = [(t.label, t.judge(figure)) for t in figure.targets]
    if any(ok is None for _, ok in results):
        return "n/a"
    missed = [label for label, ok in results if not ok]
    return "yes" if not missed else "MISSED " + ", ".join(missed)


HEADER = ("figure", "C++ µs", "baseline µs", "floor µs", "base/C++", "C++/floor", "target", "met")


def print_table(figures, out):
    """Prints one row per figure; fan-out rows also give µs per member in brackets."""
    rows = [HEADER]
    for f in figures:
        rows.append((f.name, _us(f.cpp, f.members), _us(f.baseline, f.members),
                     _us(f.floor, f.members) if f.floor is not None else "-",
                     _ratio(f.speedup()), _ratio(f.over_floor()) if f.floor is not None else "-",
                     ", ".join(t.label for t in f.targets), _verdict(f)))
    widths = [max(len(row[i]) for row in rows) for i in range(len(HEADER))]
    for number, row in enumerate(rows):
        cells = [row[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(row[1:6], widths[1:6])]
        cells += [c.ljust(w) for c, w in zip(row[6:], widths[6:])]
        print("  ".join(cells).rstrip(), file=out)
        if number == 0:
            print("  ".join("-" * w for w in widths), file=out)


def summary(figures):
    """(met, missed, not judged) counts over every figure's targets."""
    verdicts = [_verdict(f) for f in figures if f.targets]
    return (sum(v == "yes" for v in verdicts), sum(v.startswith("MISSED") for v in verdicts),
            sum(v == "n/a" for v in verdicts))
