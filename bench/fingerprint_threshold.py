#!/usr/bin/env python3
"""How long a fingerprint must be before equal fingerprints mean equal audio.

Encodes clips of distinct audio (tones, noises and chords of many lengths,
rates, channel counts and lame settings), scans them with the real scanner and
counts, for each length L, the pairs of different clips whose fingerprints
agree in their first L bytes, and the pairs whose whole fingerprints of exactly
L bytes are equal. Prints a table and `threshold=<L>`: the shortest length from
which no two different clips agree.

usage: fingerprint_threshold.py SCAN_BENCH CACHE_DIR [CLIPS]
  SCAN_BENCH  the built kavelin_scan_bench
  CACHE_DIR   where the clips are kept between runs"""
import os
import random
import sqlite3
import subprocess
import sys
import tempfile
from collections import Counter
from concurrent.futures import ThreadPoolExecutor

KINDS = ["sine", "square", "triangle", "sawtooth", "pinknoise", "whitenoise", "brownnoise"]
RATES = [22050, 32000, 44100, 48000]
ENCODINGS = ["-b 32", "-b 64", "-b 96", "-b 128", "-b 192", "-b 256", "-b 320", "-V 0", "-V 2",
             "-V 5", "-V 9"]
LENGTHS = [0.03, 0.06, 0.1, 0.2, 0.4, 0.8, 1.5, 3]


def clip_recipe(index, rng):
    kind = rng.choice(KINDS)
    frequency = rng.randint(40, 8000)
    second = rng.randint(40, 8000)
    synth = f"{kind} {frequency}"
    if rng.random() < 0.4:
        synth += f" sine {second}"  # one tone per channel
    return {
        "synth": synth,
        "rate": rng.choice(RATES),
        "channels": rng.choice([1, 2]),
        "length": rng.choice(LENGTHS),
        "gain": -rng.randint(1, 20),
        "lame": rng.choice(ENCODINGS),
    }


def signal_start(recipe):
    # Clips that differ only in length begin with the same audio, and so do
    # noises that differ only in the frequency sox ignores for them (they are
    # seeded alike): such clips may rightly share their first frames.
    words = recipe["synth"].split()
    if words[0].endswith("noise"):
        del words[1]
    start = dict(recipe, synth=" ".join(words))
    return tuple(value for key, value in sorted(start.items()) if key not in ("length", "lame"))


def make_clip(path, recipe):
    temporary = path + ".part"
    subprocess.run(
        f"sox -q -R -n -r {recipe['rate']} -c {recipe['channels']} -t wav - "
        f"synth {recipe['length']} {recipe['synth']} gain {recipe['gain']} 2>/dev/null | "
        f"lame --quiet {recipe['lame']} - {temporary}",
        shell=True, check=True)
    os.rename(temporary, path)


def distinct_pairs(items):
    """Pairs of items with equal prints whose audio begins differently."""
    by_print = {}
    for start, print_ in items:
        by_print.setdefault(print_, Counter())[start] += 1
    pairs = 0
    for starts in by_print.values():
        total = sum(starts.values())
        pairs += total * (total - 1) // 2 - sum(n * (n - 1) // 2 for n in starts.values())
    return pairs


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    scanner, cache = sys.argv[1], sys.argv[2]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 800
    clips = os.path.join(cache, "fingerprint-clips")
    os.makedirs(clips, exist_ok=True)
    rng = random.Random(20261208)
    recipes = {}
    for i in range(count):
        recipe = clip_recipe(i, rng)
        key = (recipe["synth"], recipe["rate"], recipe["channels"], recipe["length"],
               recipe["gain"], recipe["lame"])
        recipes.setdefault(key, (os.path.join(clips, f"clip{i:05d}.mp3"), recipe))
    missing = [item for item in recipes.values() if not os.path.exists(item[0])]
    with ThreadPoolExecutor(max_workers=2) as pool:
        list(pool.map(lambda item: make_clip(*item), missing))

    with tempfile.TemporaryDirectory() as work:
        catalog = os.path.join(work, "Kavelin.mdb")
        subprocess.run([scanner, catalog, clips], check=True, stdout=subprocess.DEVNULL)
        db = sqlite3.connect(catalog)
        db.text_factory = bytes
        rows = db.execute("SELECT Filename, FingerPrint FROM tTrack UNION ALL "
                          "SELECT Filename, FingerPrint FROM tDuplicate").fetchall()
    start_of = {path: signal_start(recipe) for path, recipe in recipes.values()}
    found = [(start_of[row[0].decode()], row[1] or b"") for row in rows]
    prints = [p for _, p in found]
    print(f"clips={len(prints)} with {len(set(start_of.values()))} different beginnings; "
          f"pairs counted only between different beginnings")
    lengths = Counter(len(p) for p in prints)
    print("length  clips_with_it  equal_pairs_whole  equal_pairs_first_L_bytes")
    threshold = None
    for length in range(0, 32):
        whole_pairs = distinct_pairs([(s, p) for s, p in found if len(p) == length])
        prefix_pairs = distinct_pairs([(s, p[:length]) for s, p in found if len(p) >= length])
        if lengths[length] or prefix_pairs:
            print(f"{length:6d}  {lengths[length]:13d}  {whole_pairs:17d}  {prefix_pairs:25d}")
        if prefix_pairs == 0 and whole_pairs == 0 and threshold is None and length > 0:
            threshold = length
    print(f"threshold={threshold}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
