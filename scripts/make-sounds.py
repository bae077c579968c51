#!/usr/bin/env python3
"""Synthesises the app's three short sounds into app/resources/sounds/ (16-bit mono WAV).

appear: a soft rising two-note chime; juice (success): a quick bubbly upward glide;
fail: a low falling two-note. Run again after changing a recipe and commit the files.
"""
import math
import os
import struct
import wave

RATE = 22050


def tone(start_hz, end_hz, seconds, level=0.6, harmonics=(1.0, 0.25, 0.08)):
    """A glide from start_hz to end_hz with a fast attack and an exponential decay."""
    count = int(RATE * seconds)
    phase = 0.0
    out = []
    for i in range(count):
        t = i / count
        freq = start_hz * (end_hz / start_hz) ** t
        phase += 2 * math.pi * freq / RATE
        attack = min(1.0, i / (0.004 * RATE))
        decay = math.exp(-4.0 * t)
        sample = sum(a * math.sin(phase * (n + 1)) for n, a in enumerate(harmonics))
        out.append(level * attack * decay * sample / sum(harmonics))
    return out


def silence(seconds):
    return [0.0] * int(RATE * seconds)


def mix_in(base, extra, at_seconds):
    start = int(RATE * at_seconds)
    needed = start + len(extra)
    if len(base) < needed:
        base = base + [0.0] * (needed - len(base))
    for i, s in enumerate(extra):
        base[start + i] += s
    return base


def write(path, samples):
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        frames = b"".join(struct.pack("<h", int(max(-1.0, min(1.0, s)) * 32767)) for s in samples)
        out.writeframes(frames)


def main():
    directory = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "app", "resources", "sounds")
    os.makedirs(directory, exist_ok=True)
    appear = mix_in(tone(660, 660, 0.14, 0.5), tone(990, 990, 0.2, 0.45), 0.07)
    juice = mix_in(tone(420, 880, 0.12, 0.55, (1.0, 0.15)), tone(880, 1320, 0.18, 0.4, (1.0, 0.1)), 0.1)
    fail = mix_in(tone(330, 330, 0.16, 0.55), tone(247, 220, 0.24, 0.5), 0.12)
    for name, samples in (("appear", appear), ("juice", juice), ("fail", fail)):
        write(os.path.join(directory, name + ".wav"), samples + silence(0.02))


if __name__ == "__main__":
    main()
