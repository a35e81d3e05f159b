"""Throws random and hostile Python values at ossel._native and fails on any
outcome a caller should never see: a crash (the process dies), an internal
fault (PanicException), a SystemError, an exception of an unexpected type, a
record that does not read back as the value written, or a reference count
that grows over repeated failing calls.

    PYTHONPATH=build/cmake/python build/venv-3.12/bin/python scripts/fuzz_native.py [iterations] [seed]

The hostile values are containers whose methods raise (Exception and
BaseException subclasses), return the wrong types, lie about their length,
mutate the value being converted, or call back into the object that is
converting them. A few threads run the same operations on shared objects
while the main thread mutates shared inputs.
"""
import collections.abc
import dataclasses
import gc
import json
import math
import os
import random
import sys
import tempfile
import threading
import types

import ossel._native as native

POLICY = """\
version: "1"
name: fuzz
tools:
  allow: [a, b, c]
  deny: [d]
aliases:
  group: [a, b]
sequences:
  - type: before
    first: a
    then: b
  - type: require
    tool: c
"""


class Stop(BaseException):
    """Stands for KeyboardInterrupt and the like: must reach the caller unchanged."""


class Hostile:
    """What a hostile method does when called: chosen per instance."""
    actions = ["ok", "raise", "stop", "wrong_type", "reenter", "mutate", "lie"]

    def __init__(self, rng, payload, env):
        self.rng, self.payload, self.env = rng, payload, env
        self.action = rng.choice(self.actions)

    def act(self, result):
        action = self.action
        if action == "raise":
            raise ValueError("hostile")
        if action == "stop":
            self.env.local.stopped = True
            raise Stop("stop")
        if action == "wrong_type":
            return self.rng.choice([None, 3, "text", object(), 2.5])
        if action == "reenter":
            self.env.reenter(self.rng)
        if action == "mutate":
            self.env.mutate(self.rng)
            if isinstance(self.payload, list) and self.payload:
                self.payload.pop()
            elif isinstance(self.payload, dict) and self.payload:
                self.payload.popitem()
        return result


class HostileSequence(collections.abc.Sequence):
    def __init__(self, hostile):
        self.hostile = hostile

    def __len__(self):
        h = self.hostile
        if h.action == "lie":
            return h.rng.choice([0, len(h.payload) + 5, sys.maxsize, 2**40])
        return h.act(len(h.payload))

    def __getitem__(self, index):
        return self.hostile.act(self.hostile.payload[index])


class HostileMapping(collections.abc.Mapping):
    def __init__(self, hostile):
        self.hostile = hostile

    def keys(self):
        h = self.hostile
        if h.action == "lie":
            return list(h.payload) + ["extra"]
        return h.act(list(h.payload))

    def values(self):
        h = self.hostile
        if h.action == "lie":
            return list(h.payload.values())[:1]
        return h.act(list(h.payload.values()))

    def __len__(self):
        h = self.hostile
        if h.action == "lie":
            return h.rng.choice([0, sys.maxsize])
        return h.act(len(h.payload))

    def __getitem__(self, key):
        return self.hostile.payload[key]

    def __iter__(self):
        return iter(self.hostile.act(list(self.hostile.payload)))


class HostileSet(set):
    def __iter__(self):
        return self.hostile.act(super().__iter__())


class Text(str):
    pass


class Number(int):
    def __index__(self):
        raise Stop("index")


class Real(float):
    def __float__(self):
        raise Stop("float")


class Threshold:
    def __init__(self, hostile):
        self.hostile = hostile

    def __float__(self):
        return self.hostile.act(0.5)


@dataclasses.dataclass
class Record:
    tool: object = None
    args: object = None


class Environment:
    """The shared objects that hostile callbacks reach for."""

    def __init__(self, directory):
        path = os.path.join(directory, "policy.yaml")
        with open(path, "w") as f:
            f.write(POLICY)
        self.policy = native.Policy.from_file(path)
        self.explainer = native.TraceExplainer(self.policy)
        self.analyzer = native.CoverageAnalyzer(self.policy)
        self.client = native.OsselClient(os.path.join(directory, "trace.jsonl"))
        self.shared = [{"tool": "a"}, {"tool": "b", "args": {"k": [1, 2]}}]
        self.depth = 0
        self.local = threading.local()

    def reenter(self, rng):
        if self.depth > 3:
            return
        self.depth += 1
        stopped = getattr(self.local, "stopped", False)
        try:
            call = rng.choice([
                lambda: self.explainer.explain(self.shared),
                lambda: self.analyzer.analyze([self.shared], 50),
                lambda: self.client.record_trace(self.shared),
                lambda: native.TraceExplainer(self.policy),
            ])
            try:
                call()
            except (ValueError, TypeError, RuntimeError, Stop, RecursionError):
                pass
        finally:
            self.local.stopped = stopped
            self.depth -= 1

    def mutate(self, rng):
        shared = self.shared
        choice = rng.randrange(4)
        if choice == 0 and shared:
            shared.pop()
        elif choice == 1:
            shared.append({"tool": rng.choice("abcd")})
        elif choice == 2:
            shared.clear()
        else:
            shared[:] = [{"tool": "a", "args": list(range(rng.randrange(5)))}]


def scalar(rng):
    return rng.choice([
        lambda: None, lambda: True, lambda: False,
        lambda: rng.randrange(-2**63, 2**64),
        lambda: rng.choice([2**64, -2**63 - 1, 2**128, -2**200, Number(7)]),
        lambda: rng.uniform(-1e300, 1e300),
        lambda: rng.choice([math.nan, math.inf, -math.inf, -0.0, 5e-324, Real(1.5)]),
        lambda: "".join(chr(rng.randrange(0x110000)) for _ in range(rng.randrange(5))),
        lambda: rng.choice(["\ud800", "a\udfffb", Text("t"), "", "\x00"]),
        lambda: rng.choice([b"x", bytearray(b"y"), object(), 1j, range(3)]),
    ])()


def value(rng, env, depth=0):
    """A random value; None of the containers is deeper than about 8 levels,
    except the occasional chain near the nesting limit."""
    if depth > 6 or rng.random() < 0.3:
        return scalar(rng)
    kind = rng.randrange(11)
    if kind == 10:
        leaf = value(rng, env, 7)
        for _ in range(rng.choice([250, 255, 256, 257])):
            leaf = [leaf]
        return leaf
    items = [value(rng, env, depth + 1) for _ in range(rng.randrange(4))]
    if kind == 0:
        return items
    if kind == 1:
        return tuple(items)
    if kind in (2, 3):
        pairs = {rng.choice(["tool", "name", "args", "params", "k", Text("x")]) + str(i % 2 and i): v
                 for i, v in enumerate(items)}
        if rng.random() < 0.05:
            pairs[rng.choice([1, None, ("t",)])] = 0
        return pairs if kind == 2 else types.MappingProxyType(pairs)
    if kind == 4:
        return HostileSequence(Hostile(rng, items, env))
    if kind == 5:
        return HostileMapping(Hostile(rng, {f"k{i}": v for i, v in enumerate(items)}, env))
    if kind == 6:
        s = HostileSet(i for i in items if isinstance(i, (int, str, float, type(None))))
        s.hostile = Hostile(rng, items, env)
        return s
    if kind == 7:
        return frozenset(i for i in items if isinstance(i, (int, str, tuple)))
    if kind == 8:
        return Record(*items[:2])
    return rng.choice([env.shared, env.policy, env.client])


def tool_call(rng, env):
    if rng.random() < 0.1:
        return value(rng, env)
    call = {"tool": rng.choice(["a", "b", "c", "d", "zz", None, 3, Text("a")])}
    if rng.random() < 0.7:
        call[rng.choice(["args", "params", "arguments"])] = value(rng, env)
    if rng.random() < 0.2:
        return HostileMapping(Hostile(rng, call, env))
    if rng.random() < 0.1:
        return Record(call["tool"], call.get("args"))
    return call


EXPECTED = (ValueError, TypeError, RuntimeError, MemoryError, RecursionError, OverflowError)


def plain(value):
    """The JSON value of a value built only from the plain built-in kinds, or
    raise LookupError when the value holds anything else."""
    if value is None or type(value) in (bool, str):
        return value
    if type(value) is int:
        return value
    if type(value) is float:
        return value if math.isfinite(value) else None
    if type(value) in (list, tuple):
        return [plain(v) for v in value]
    if type(value) is dict:
        return {k: plain(v) for k, v in value.items()}
    raise LookupError


def check_record(env, value):
    """Records `value`; a plain value must read back unchanged."""
    try:
        expected = plain(value)
        json.dumps(expected)
    except (LookupError, ValueError, RecursionError):
        expected = LookupError
    path = env.client_path
    before = os.path.getsize(path)
    try:
        env.client.record_trace(value)
    except EXPECTED:
        return
    if expected is LookupError or not env.solo:
        return
    with open(path, "rb") as f:
        f.seek(before)
        written = f.read().decode()
    last = written.splitlines()[-1]
    assert json.loads(last) == expected, (value, last)


def one_round(rng, env):
    env.local.stopped = False
    try:
        operation(rng, env)
    except Stop:
        return
    except BaseException:
        if env.local.stopped:
            raise AssertionError("a Stop raised by a callback was not passed on")
        raise
    assert not env.local.stopped, "a Stop raised by a callback was swallowed"


def operation(rng, env):
    op = rng.randrange(4)
    try:
        if op == 0:
            result = env.explainer.explain([tool_call(rng, env) for _ in range(rng.randrange(4))])
            json.loads(result)
        elif op == 1:
            traces = [[tool_call(rng, env) for _ in range(rng.randrange(3))] for _ in range(rng.randrange(3))]
            if rng.random() < 0.2:
                traces = HostileSequence(Hostile(rng, traces, env))
            threshold = rng.choice([50, 0.0, -1, math.nan, math.inf, True, Threshold(Hostile(rng, [], env)),
                                    "50", None, Real(2.0), 10**400])
            json.loads(env.analyzer.analyze(traces, threshold))
        elif op == 2:
            check_record(env, value(rng, env))
        else:
            env.explainer.explain(value(rng, env))
    except EXPECTED:
        pass


def worker(seed, env, iterations, failures):
    rng = random.Random(seed)
    for _ in range(iterations):
        try:
            one_round(rng, env)
        except BaseException as error:  # anything else is a finding
            failures.append(f"{type(error).__module__}.{type(error).__qualname__}: {error!r}"[:400])


def refcount_check(env):
    """Failing calls must not leak: the total reference count stays flat."""
    bad = HostileMapping(Hostile(random.Random(0), {"tool": "a"}, env))
    bad.hostile.action = "raise"
    inputs = [
        lambda: env.explainer.explain([{"tool": 1}]),
        lambda: env.explainer.explain([bad]),
        lambda: env.analyzer.analyze([[{"args": b"x"}]], 1),
        lambda: env.analyzer.analyze([[{}]], "x"),
        lambda: env.client.record_trace([1, {"k": 2**70}]),
        lambda: env.client.record_trace(HostileSequence(Hostile(random.Random(1), [1], env))),
        lambda: native.Policy.from_file("/nonexistent/x"),
        lambda: native.TraceExplainer(None),
    ]
    for call in inputs:
        def run(n):
            for _ in range(n):
                try:
                    call()
                except BaseException:
                    pass
        run(200)
        gc.collect()
        before = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
        blocks = sys.getallocatedblocks()
        run(20000)
        gc.collect()
        grown = sys.getallocatedblocks() - blocks
        assert grown < 200, f"allocated blocks grew by {grown}"
        if before is not None:
            assert sys.gettotalrefcount() - before < 200


def main():
    iterations = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    sys.setrecursionlimit(3000)
    with tempfile.TemporaryDirectory() as directory:
        env = Environment(directory)
        env.client_path = os.path.join(directory, "trace.jsonl")
        failures = []
        env.solo = True
        worker(seed, env, iterations, failures)
        env.solo = False
        threads = [threading.Thread(target=worker, args=(seed * 100 + i, env, iterations // 4, failures))
                   for i in range(4)]
        for t in threads:
            t.start()
        rng = random.Random(seed)
        while any(t.is_alive() for t in threads):
            env.mutate(rng)
        for t in threads:
            t.join()
        refcount_check(env)
        gc.collect()
    for failure in sorted(set(failures)):
        print("FAIL", failure)
    print(f"{iterations + 4 * (iterations // 4)} rounds, {len(failures)} failures")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
