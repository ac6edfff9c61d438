#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz harness (fuzz/corpus/). The encoding mirrors fuzz/harness.cpp:
a header (flags, rate, vector size, the first box's arguments), then operations."""
import os
import struct
import sys

OPS = dict(create=0, destroy=1, send=2, float=3, bang=4, buffer=5, resize=6, delete=7, valid=8,
           inuse=9, connect=10, feed=11, disable=12, dsp_start=13, dsp_stop=14, run=15, assist=16,
           failalloc=17, clear=18)
SELECTORS = ["setenv", "envbuffer", "nvoices", "tellme", "bang", "float", "assist", "dsp", "sinterp",
             "clear", "panic", "grain", "poll", "info", "freeze", "constraint", "int", "list", "signal"]
SYMBOLS = ["env", "env2", "e3", "empty_buffer", "", "buffer~", "voices", "setenv", "bang", "dsp",
           "L" * 300, "%s%n%d%%", "signal", "float", "list", "1.5"]
NUM_PALETTE = {0.0: 0, 1.0: 1, -1.0: 2, 0.5: 3, 100.0: 4, 440.0: 5, 1e6: 6, -1e6: 7, "nan": 8,
               "inf": 9, "-inf": 10, 1e-40: 11, 0.1: 18, 0.05: 19, 0.25: 20, 44100.0: 21, 2.5: 22,
               1000.0: 24, 10.0: 25, 5000.0: 27, -0.5: 29}
INT_PALETTE = {63: 5, 64: 6, 255: 7, 256: 8, 511: 9, 512: 10, 2**31 - 1: 11, -2**31: 12}
RATES = [44100, 48000, 1000, 384000, 96000, 22050, 8000, 11025]
SIZES = [64, 1, 2, 3, 4096, 128, 256, 512, 7, 1024]
CLASSES = {"brindel~": 0, "carvell~": 1}


def num(v):
    if isinstance(v, str) or v in NUM_PALETTE:
        return bytes([NUM_PALETTE[v]])
    if isinstance(v, int) and -64 <= v <= 63:
        return bytes([v + 96])
    return bytes([224]) + struct.pack("<f", v)


def integer(v):
    if v in INT_PALETTE:
        return bytes([INT_PALETTE[v]])
    if -32 <= v <= 191:
        return bytes([v + 48])
    return bytes([240]) + struct.pack("<i", v)


def sym(s):
    return bytes([SYMBOLS.index(s)])


def atom(a):
    if a in ("nan", "inf", "-inf"):
        return bytes([1]) + num(a)
    if isinstance(a, str):
        return bytes([2]) + sym(a)
    if isinstance(a, float):
        return bytes([1]) + num(a)
    return bytes([0]) + integer(a)


def atoms(args):
    return bytes([len(args)]) + b"".join(atom(a) for a in args)


def bufname(s):
    return bytes([["env", "env2", "e3", "empty_buffer"].index(s)])


class Prog:
    def __init__(self, first, args, rate=44100, size=64, alias=False, no_env=False):
        flags = CLASSES[first] | (2 if alias else 0) | (4 if no_env else 0)
        self.b = bytes([flags, RATES.index(rate), SIZES.index(size)]) + atoms(args)

    def op(self, name, *parts):
        self.b += bytes([OPS[name]]) + b"".join(parts)
        return self

    def create(self, cls, args): return self.op("create", bytes([CLASSES[cls]]), atoms(args))
    def destroy(self, box): return self.op("destroy", bytes([box]))
    def send(self, box, sel, args=()):
        return self.op("send", bytes([box, SELECTORS.index(sel)]),
                       bytes([len(args) | (0x80 if sel == "grain" and len(args) == 8 else 0)]),
                       b"".join(atom(a) for a in args))
    def flt(self, box, inlet, v): return self.op("float", bytes([box, inlet]), num(v))
    def bang(self, box): return self.op("bang", bytes([box, 1]))
    # kinds: 0 hann, 1 constant v, 2 ramp up, 3 any numbers, 4 zeros, 5 ramp down, 6 ones, 7 spike
    def buffer(self, name, frames_tag, kind, v=1.0, channels=1, replace=False):
        return self.op("buffer", bufname(name), bytes([channels - 1, frames_tag, kind]), num(v),
                       struct.pack("<I", 12345), bytes([1 if replace else 0]))
    def resize(self, name, tag): return self.op("resize", bufname(name), bytes([tag]))
    def delete(self, name): return self.op("delete", bufname(name))
    def valid(self, name, on): return self.op("valid", bufname(name), bytes([on]))
    def inuse(self, name, on): return self.op("inuse", bufname(name), bytes([on]))
    def connect(self, src, outlet, dst, inlet): return self.op("connect", bytes([src, outlet, dst, inlet]))
    # generators: 0 constant, 1 pulses every period, 2 +-v alternating, 3 sawtooth, 4 any numbers,
    # 5 noise within +-v, 6 step at period
    def feed(self, box, inlet, kind, v, period=1):
        return self.op("feed", bytes([box, inlet - 1, kind]), num(v), bytes([period - 1]),
                       struct.pack("<I", 777))
    def disable(self, box, on): return self.op("disable", bytes([box, on]))
    def dsp_start(self, rate, size): return self.op("dsp_start", bytes([RATES.index(rate), SIZES.index(size)]))
    def dsp_stop(self): return self.op("dsp_stop")
    def run(self, n): return self.op("run", bytes([n - 1]))
    def assist(self, box, kind, index): return self.op("assist", bytes([box, kind]), integer(index))
    def failalloc(self, after, cls, args): return self.op("failalloc", bytes([after, CLASSES[cls]]), atoms(args))


def seeds():
    s = {}
    # brindel~: triggers, grains, envelopes, outputs, rates
    s["brindel_trigger"] = (Prog("brindel~", ["env", 2]).feed(0, 1, 1, 1.0, 50).run(8)
                            .flt(0, 2, 1000.0).flt(0, 5, -10).run(4).b)
    s["brindel_grain_clear"] = (Prog("brindel~", [4, "env"]).send(0, "poll", [1])
                                .send(0, "grain", [0.0, 440.0, 0.25, 1.0, 5.0, 0.25, 1.0, 0])
                                .run(2).send(0, "grain", [1.0, 100.0, 0.0, 0.5, 10.0, 0.5, 0.5, 0])
                                .send(0, "clear").send(0, "grain", [0.0, 440.0, 0.0, 1.0, 1.0, 0.0, 1.0, 0])
                                .run(4).send(0, "tellme").send(0, "info", [1]).run(1).b)
    s["brindel_envelopes"] = (Prog("brindel~", ["env", 1]).buffer("env2", 1, 2, channels=2)
                              .send(0, "setenv", [1, "env2"]).send(0, "envbuffer", [1]).bang(0).run(2)
                              .resize("env2", 4).bang(0).run(2).valid("env2", 0).run(1).inuse("env2", 1)
                              .delete("env2").bang(0).run(2).delete("env").run(1)
                              .buffer("env", 0, 0).bang(0).run(2).b)
    s["brindel_eight_outputs"] = (Prog("brindel~", ["env", 8], size=256).send(0, "nvoices", [511])
                                  .send(0, "sinterp", [0]).feed(0, 1, 2, 1.0).feed(0, 2, 5, 5000.0)
                                  .feed(0, 4, 5, 2.0).feed(0, 5, 3, 200.0, 7).feed(0, 6, 5, 1.0)
                                  .feed(0, 7, 5, 1.0).run(6).assist(0, 1, 3).assist(0, 2, 8).b)
    s["brindel_rates"] = (Prog("brindel~", ["env", 6], rate=1000, size=1).feed(0, 1, 1, 1.0, 3).run(8)
                          .dsp_start(384000, 4096).run(2).dsp_stop().bang(0).dsp_start(8000, 7).run(4)
                          .disable(0, 1).run(2).disable(0, 0).run(2).b)
    # carvell~: the ring, freeze, constraint, transposition, delays
    s["carvell_replay"] = (Prog("carvell~", ["env", 2]).feed(0, 1, 3, 1.0, 100).feed(0, 2, 1, 1.0, 40)
                           .run(8).flt(0, 3, 10.0).flt(0, 4, -2.0).run(4).b)
    s["carvell_freeze"] = (Prog("carvell~", ["env", 4, 500.0]).feed(0, 1, 5, 0.5).send(0, "poll", [1])
                           .run(4).send(0, "freeze", [1]).send(0, "constraint", [0]).feed(0, 2, 2, 1.0)
                           .feed(0, 3, 5, 600.0).feed(0, 4, 5, 4.0).run(6).send(0, "freeze", [0]).run(2)
                           .send(0, "tellme").b)
    s["carvell_ring_limits"] = (Prog("carvell~", ["env", 8, 100000.0], size=512)
                                .send(0, "nvoices", [255]).send(0, "sinterp", [0]).feed(0, 1, 0, 1.0)
                                .feed(0, 2, 2, 1.0).feed(0, 6, 5, 50.0).feed(0, 7, 5, 1.0).run(8).b)
    s["carvell_envelopes"] = (Prog("carvell~", [1, "env"], no_env=True).feed(0, 1, 3, 1.0, 64).buffer("e3", 6, 0)
                              .send(0, "setenv", ["e3"]).send(0, "setenv", [0, "e3"]).bang(0).run(2)
                              .resize("e3", 1).bang(0).run(2).buffer("e3", 2, 7, 1.0, replace=True)
                              .bang(0).run(2).send(0, "info", [-1]).b)
    s["carvell_from_brindel"] = (Prog("carvell~", ["env", 2]).create("brindel~", ["env", 1])
                                 .connect(1, 1, 0, 1).feed(1, 1, 1, 1.0, 30).feed(0, 2, 1, 1.0, 45)
                                 .run(8).destroy(1).run(2).b)
    s["carvell_failed_creation"] = (Prog("carvell~", ["env", 2]).failalloc(1, "carvell~", ["env", 2])
                                    .failalloc(3, "brindel~", ["env", 2]).run(2).b)
    # numbers at the bound and beyond the finite range, in messages, floats and signals
    big = [1e6, -1e6, 1e6, -1e6, 1e6, -1e6, 1e6, 0]
    s["brindel_extremes"] = (Prog("brindel~", ["env", 8], rate=384000, size=1024)
                             .send(0, "grain", big).send(0, "grain", [0.0, "nan", 0.0, 1.0, 10.0, 0.0, 1.0, 0])
                             .send(0, "grain", [0.0, 440.0, "inf", 1.0, 10.0, 0.0, 1.0, 0])
                             .flt(0, 2, "nan").flt(0, 3, "inf").flt(0, 4, "-inf").flt(0, 5, "nan")
                             .flt(0, 6, "inf").flt(0, 7, "nan").bang(0).run(2)
                             .flt(0, 2, 1e6).flt(0, 3, -1e6).flt(0, 4, 1e6).flt(0, 5, -1e6).flt(0, 6, 1e6)
                             .flt(0, 7, -1e6).feed(0, 1, 2, 1.0).run(2).b)
    s["carvell_extremes"] = (Prog("carvell~", ["env", 8, 1e6], rate=1000, size=1024)
                             .feed(0, 1, 5, 1e6).feed(0, 2, 1, 1.0, 3).feed(0, 3, 0, 1e6).feed(0, 4, 0, -1e6)
                             .feed(0, 6, 0, 1e6).feed(0, 7, 0, -1e6).feed(0, 8, 0, 1e6).run(2)
                             .send(0, "constraint", [0]).send(0, "freeze", [1]).run(2)
                             .feed(0, 3, 0, "nan").feed(0, 4, 0, "inf").feed(0, 5, 0, "-inf").run(2).b)
    return s


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    os.makedirs(out, exist_ok=True)
    for name, data in seeds().items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
