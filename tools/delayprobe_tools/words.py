"""The verdicts' words: as the code and --fail-on name them, as tables and
the JSON mark them, and as pictures colour them. Every tool and module
takes them from here; it needs no numpy, as options are checked before the
comparison's modules load."""

import dataclasses


@dataclasses.dataclass(frozen=True)
class Verdict:
    word: str  # as the code and --fail-on name it
    mark: str  # as a table and the JSON show it
    colour: str  # as a picture draws it, a matplotlib colour


VERDICTS = (Verdict("slower", "slower", "tab:red"), Verdict("faster", "faster", "tab:blue"),
            Verdict("same", "same", "tab:green"),
            Verdict("within margin", "within margin", "tab:olive"),
            Verdict("inconclusive", "~", "tab:gray"))
MARKS = {v.word: v.mark for v in VERDICTS}
# The baseline's colour too: a picture draws it beside the verdicts.
COLOURS = {**{v.word: v.colour for v in VERDICTS}, "baseline": "black"}


def listed_verdicts(text, allowed=MARKS):
    """The verdicts of a comma-separated list, as words, each given as its
    word or its mark, of those allowed; ValueError names the first that is
    not one."""
    by_name = {**{w: w for w in allowed}, **{MARKS[w]: w for w in allowed if w in MARKS}}
    found = [w.strip() for w in text.split(",")]
    bad = [w for w in found if w not in by_name]
    if bad:
        raise ValueError(f"{bad[0]!r}: not one of {', '.join(by_name)}")
    return tuple(by_name[w] for w in found)
