"""Interleaved timing: every contender of a group is timed in every round, in rotating order.

A contender is a Python statement and the namespace it runs in. The statement is compiled into a
loop of its own (no lambda or extra call around it), so the loop overhead is the same few
instructions for every contender and the statement pays exactly what a user's line would pay.

In each round every contender runs its statement `number` times in a row (calibrated once so that
a run lasts at least `min_time`, far above the clock's resolution) and the time per execution is
recorded. The order of the contenders rotates from round to round (A B C, B C A, C A B, ...), so
drift in the machine's speed and cache effects of the preceding contender spread evenly. The
cyclic collector is disabled for the whole measurement and run explicitly between rounds.

Figures are then computed per round (ratios of two contenders timed in the same round, or any
other combination) and summarised by their median and interquartile range over the rounds.
"""

import gc
import math
import statistics
import time
from dataclasses import dataclass, field

CLOCK = time.perf_counter

_LOOP = """
def _run(_count, _clock):
    _iterator = _repeat(None, _count)
    _start = _clock()
    for _ in _iterator:
        {statement}
    return _clock() - _start
"""


@dataclass
class Contender:
    name: str
    statement: str
    namespace: dict
    number: int = 0
    run: object = None

    def compile(self):
        from itertools import repeat

        scope = dict(self.namespace)
        scope["_repeat"] = repeat
        exec(compile(_LOOP.format(statement=self.statement), f"<{self.name}>", "exec"), scope)
        self.run = scope["_run"]


@dataclass
class Measurement:
    """Seconds per execution, one list entry per round, for each contender by name."""

    times: dict = field(default_factory=dict)
    numbers: dict = field(default_factory=dict)
    rounds: int = 0

    def per_round(self, function):
        """Applies function(times of one round, as a dict by name) to every round."""
        names = list(self.times)
        return [function({name: self.times[name][r] for name in names}) for r in range(self.rounds)]

    def median_time(self, name):
        return statistics.median(self.times[name])


def calibrate(contender, min_time):
    """Picks the inner repetition count so that one run takes at least min_time seconds."""
    number = 1
    while True:
        elapsed = contender.run(number, CLOCK)
        if elapsed >= min_time:
            contender.number = number
            return elapsed / number
        if elapsed <= 0.0:
            number *= 10
        else:
            number = max(number + 1, math.ceil(number * 1.3 * min_time / elapsed))


def measure(
    contenders, *, min_time, min_rounds, max_rounds, budget, reuse_after=1.0, slow_round=math.inf, slow_min_rounds=None
):
    """Times the contenders in interleaved rounds.

    The number of rounds is what fits in `budget` seconds by the calibration's estimate, between
    min_rounds and max_rounds. When every contender needed a single execution to reach min_time
    and the calibration took `reuse_after` seconds or more, the calibration pass (contenders in
    their given order, which is the first round's order) counts as the first round. A round that
    lasts `slow_round` seconds or more lowers the minimum to slow_min_rounds.
    """
    enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        for contender in contenders:
            contender.compile()
        round_time = 0.0
        first = {}
        for contender in contenders:
            per_call = calibrate(contender, min_time)
            first[contender.name] = per_call
            round_time += per_call * contender.number
            gc.collect()
        if round_time >= slow_round and slow_min_rounds:
            min_rounds = slow_min_rounds
        rounds = min_rounds if round_time <= 0 else int(budget / round_time)
        rounds = max(min_rounds, min(max_rounds, rounds))
        result = Measurement(
            times={c.name: [] for c in contenders}, numbers={c.name: c.number for c in contenders}, rounds=rounds
        )
        start = 0
        if all(c.number == 1 for c in contenders) and round_time >= reuse_after:
            for name, per_call in first.items():
                result.times[name].append(per_call)
            start = 1
        count = len(contenders)
        for r in range(start, rounds):
            shift = r % count
            for contender in contenders[shift:] + contenders[:shift]:
                elapsed = contender.run(contender.number, CLOCK)
                result.times[contender.name].append(elapsed / contender.number)
            gc.collect()
        return result
    finally:
        if enabled:
            gc.enable()


def summary(values):
    """(median, first quartile, third quartile) of a list of figures."""
    if len(values) == 1:
        return values[0], values[0], values[0]
    q1, median, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return median, q1, q3
