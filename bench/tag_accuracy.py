#!/usr/bin/env python3
"""How often the scanner stores what a reference tag reader reads.

Builds a corpus as users make one: lame encodes (CBR and VBR, MPEG-1, 2 and
2.5, mono and stereo) tagged by eyeD3, mid3v2 and id3v2 (ID3v1, v2.3, v2.4,
Latin-1, UTF-16 with BOM, UTF-16BE and UTF-8 text, genres as names, numbers
and "(17)Rock"), hand-written v2.2 tags and UTF-16 without a BOM, junk bytes
between tag and audio, and data that is no MP3 (PNG, ZIP, Ogg, WAV, text,
random bytes) named .mp3. Scans it with the real scanner into a fresh catalog
and compares every stored field with python3-mutagen's reading of the file.

Prints the match rate per field and `field_match_min=<value>`.

usage: tag_accuracy.py SCAN_BENCH GENRES_SQL CACHE_DIR [--seed=N] [--random-names]
                       [--show-misses]
  SCAN_BENCH      the built kavelin_scan_bench
  GENRES_SQL      resources/catalog/genres.sql (genre names to numbers)
  CACHE_DIR       where the corpus is built (reused when it is complete; one
                  directory per seed and option)
  --seed=N        another corpus of the same kinds (tags, texts, junk) than the default
  --random-names  titles, artists and albums made up from letters of a dozen
                  scripts, digits, symbols and the punctuation of real names,
                  and genres drawn from the reference reader's whole list in
                  any letter case, instead of the fixed lists"""
import io
import os
import random
import re
import shutil
import sqlite3
import struct
import subprocess
import sys
import tempfile
import unicodedata
import zipfile
import zlib

import mutagen.id3
import mutagen.mp3

TITLES = ["Song", "Caf\u00e9 del Mar", "Bj\u00f6rk \u00e0 la plage", "\u041a\u0438\u043d\u043e",
          "\u0393\u03b5\u03b9\u03ac \u03c3\u03bf\u03c5", "\u65e5\u672c\u306e\u6b4c",
          "\u0633\u0644\u0627\u0645", "Emoji \U0001F3B5 track", "Quote's \"double\"",
          "A" * 300, "  spaced  ", "Na\u00efve r\u00e9sum\u00e9"]
ARTISTS = ["Artist", "Sigur R\u00f3s", "\u00c9dith Piaf", "\u0410\u0440\u0438\u044f",
           "\u5742\u672c\u9f8d\u4e00", "AC/DC", "Mot\u00f6rhead", "\u00d8ystein"]
ALBUMS = ["Album", "Gr\u00fcn", "\u0410\u043b\u044c\u0431\u043e\u043c", "Live at the \u00d6per"]
GENRE_TEXTS = ["Rock", "Heavy Metal", "electronic", "HIP-HOP", "17", "9", "(17)Rock", "(80)",
               "Psybient", "Indie Rock", "Chillwave", "Synthpop", "Trip-Hop", "Jazz"]
AUDIO = [  # (sox synth, rate, channels, lame options)
    ("pinknoise", 44100, 2, "-b 128"), ("whitenoise", 44100, 2, "-b 192"),
    ("brownnoise", 48000, 2, "-b 320"), ("pinknoise", 44100, 1, "-m m -b 64"),
    ("pinknoise", 44100, 2, "-V 2"), ("whitenoise", 44100, 2, "-V 0"),
    ("pinknoise", 48000, 2, "-V 5"), ("brownnoise", 32000, 1, "-V 7"),
    ("pinknoise", 22050, 2, "-b 64"), ("whitenoise", 24000, 1, "-b 32"),
    ("pinknoise", 16000, 1, "-V 4"), ("pinknoise", 11025, 1, "-b 24"),
    ("sine 440 sine 660", 44100, 2, "-b 160"), ("square 220", 44100, 2, "-V 3"),
]


# Letters, digits and symbols of the scripts names are written in, and the
# punctuation found in real names.
SCRIPT_RANGES = [(0x41, 0x5A), (0x61, 0x7A), (0x30, 0x39), (0xC0, 0x24F), (0x370, 0x3FF),
                 (0x400, 0x4FF), (0x5D0, 0x5EA), (0x620, 0x64A), (0x905, 0x939),
                 (0x3041, 0x30FF), (0x4E00, 0x9FFF), (0xAC00, 0xD7A3), (0x1F300, 0x1F5FF)]
NAME_PUNCTUATION = [" & ", " feat. ", "'s", " - ", "!", " (Live)", ", ", ".", "?", " / ", "#",
                    "’", "…", " vs. ", "_"]


def random_name(rng):
    words = []
    for _ in range(rng.randint(1, 4)):
        low, high = rng.choice(SCRIPT_RANGES)
        word = ""
        length = rng.randint(1, 9)
        while len(word) < length:
            c = chr(rng.randint(low, high))
            if unicodedata.category(c)[0] in "LNS":
                word += c
        words.append(word)
    name = " ".join(words)
    if rng.random() < 0.4:
        cut = rng.randint(0, len(name))
        name = name[:cut] + rng.choice(NAME_PUNCTUATION) + name[cut:]
    return name


def random_genre(rng):
    name = rng.choice(mutagen.id3.TCON.GENRES)
    return rng.choice([name, name.upper(), name.lower(), str(rng.randint(0, 191)),
                       f"({rng.randint(0, 191)}){name}", random_name(rng)])


def run(command):
    subprocess.run(command, shell=True, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def syncsafe(size):
    return bytes([(size >> 21) & 0x7F, (size >> 14) & 0x7F, (size >> 7) & 0x7F, size & 0x7F])


def strip_id3v2(data):
    if data[:3] == b"ID3":
        size = (data[6] << 21) | (data[7] << 14) | (data[8] << 7) | data[9]
        return data[10 + size:]
    return data


def hand_tag(version, fields, utf16_without_bom=False):
    """A v2.2 or v2.3 tag written byte by byte, as tools that predate the
    usual taggers left them."""
    ids = {2: {"title": b"TT2", "artist": b"TP1", "album": b"TAL", "year": b"TYE",
               "genre": b"TCO"},
           3: {"title": b"TIT2", "artist": b"TPE1", "album": b"TALB", "year": b"TYER",
               "genre": b"TCON"}}[version]
    body = b""
    for key, text in fields.items():
        if utf16_without_bom:
            payload = b"\x01" + text.encode("utf-16-le")
        elif all(ord(c) < 256 for c in text):
            payload = b"\x00" + text.encode("latin-1")
        else:
            payload = b"\x01" + b"\xff\xfe" + text.encode("utf-16-le")
        if version == 2:
            body += ids[key] + struct.pack(">I", len(payload))[1:] + payload
        else:
            body += ids[key] + struct.pack(">I", len(payload)) + b"\x00\x00" + payload
    body += bytes(64)
    return b"ID3" + bytes([version, 0, 0]) + syncsafe(len(body)) + body


def png_bytes(rng):
    raw = b"".join(b"\x00" + bytes(rng.getrandbits(8) for _ in range(48)) for _ in range(16))
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 16, 16, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def zip_bytes(rng):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("a.bin", bytes(rng.getrandbits(8) for _ in range(20000)))
    return out.getvalue()


def build_corpus(root, rng, random_names):
    base = os.path.join(root, "base")
    os.makedirs(base, exist_ok=True)
    clips = []
    for i, (synth, rate, channels, lame) in enumerate(AUDIO):
        path = os.path.join(base, f"clip{i:02d}.mp3")
        if not os.path.exists(path):
            run(f"sox -q -n -r {rate} -c {channels} -t wav - synth 3 {synth} gain -3 | "
                f"lame --quiet {lame} - {path}")
        clips.append(path)
    corpus = os.path.join(root, "corpus")
    if os.path.exists(os.path.join(root, "corpus.complete")):
        return corpus
    shutil.rmtree(corpus, ignore_errors=True)
    os.makedirs(corpus)

    number = 0

    def new_file(clip, stem):
        nonlocal number
        number += 1
        stem = stem.replace("/", "_")
        while len(stem.encode()) > 200:  # a file name holds at most 255 bytes
            stem = stem[:-1]
        path = os.path.join(corpus, f"{number:03d} {stem}.mp3")
        shutil.copyfile(clip, path)
        return path

    def pick():
        if random_names:
            return (random_name(rng), random_name(rng), random_name(rng),
                    str(rng.randint(1950, 2025)), random_genre(rng))
        return (rng.choice(TITLES), rng.choice(ARTISTS), rng.choice(ALBUMS),
                str(rng.randint(1950, 2025)), rng.choice(GENRE_TEXTS))

    for round_ in range(3):
        for clip in clips:
            title, artist, album, year, genre = pick()
            tags = f"-t {quote(title)} -a {quote(artist)} -A {quote(album)}"
            # eyeD3: v2.3 and v2.4 in each of its encodings.
            for version, encoding in [("2.3", "latin1"), ("2.3", "utf16"), ("2.4", "utf8"),
                                      ("2.4", "utf16"), ("2.4", "utf16-be"), ("2.4", "latin1")]:
                text_ok = encoding != "latin1" or all(ord(c) < 256 for c in title + artist + album)
                path = new_file(clip, f"eyed3 {version} {encoding}")
                genre_option = f"-G {quote(genre)}"
                if genre.isdigit() and round_ == 1:
                    genre_option = f"--non-std-genres -G {genre}"
                if encoding == "latin1" and any(ord(c) > 255 for c in genre):
                    genre_option = "-G Plain"
                run(f"eyeD3 -Q --to-v{version} --encoding {encoding} "
                    f"{tags if text_ok else '-t Plain -a Plain -A Plain'} "
                    f"-Y {year} {genre_option} {quote(path)}")
            # mid3v2 (v2.4, UTF-8 or Latin-1 as the text allows), with a full date.
            path = new_file(clip, "mid3v2")
            run(f"mid3v2 {tags} -y {year}-0{rng.randint(1, 9)}-1{rng.randint(0, 9)} "
                f"-g {quote(genre)} {quote(path)}")
            # id3v2: v2.3 and v1 with numeric genres, Latin-1 text.
            path = new_file(clip, "id3v2")
            run(f"id3v2 -2 -t {quote(title.encode('ascii', 'replace').decode())} "
                f"-a {quote(artist.encode('ascii', 'replace').decode())} -A Album -y {year} "
                f"-g {rng.randint(0, 125)} {quote(path)}")
            path = new_file(clip, "id3v1")
            run(f"id3v2 -1 -t Title -a Artist -A Album -y {year} -g {rng.randint(0, 147)} "
                f"{quote(path)}")
            # Hand-written v2.2, and v2.3 with UTF-16 text without a BOM.
            audio = strip_id3v2(open(clip, "rb").read())
            fields = {"title": title, "artist": artist, "album": album, "year": year,
                      "genre": genre}
            with open(new_file(clip, "v22"), "wb") as out:
                out.write(hand_tag(2, fields) + audio)
            with open(new_file(clip, "utf16 no bom"), "wb") as out:
                out.write(hand_tag(3, fields, utf16_without_bom=True) + audio)
            # Junk between the tag and the audio: stray bytes, sync-like bytes among them.
            junk = bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 3000)))
            junk += b"\xff\xff\x90\x00\xff\xfb" * rng.randint(0, 3)
            path = new_file(clip, "junk")
            run(f"eyeD3 -Q --to-v2.3 {tags} -G {quote(genre)} {quote(path)}")
            data = open(path, "rb").read()
            tag_end = len(data) - len(strip_id3v2(data))
            with open(path, "wb") as out:
                out.write(data[:tag_end] + junk + data[tag_end:])
            # No tag at all: the name gives artist and title.
            with open(new_file(clip, f"{artist} - {title[:40]}"), "wb") as out:
                out.write(audio)

    # Data that is no MP3, named .mp3.
    others = {
        "image.mp3": png_bytes(rng),
        "archive.mp3": zip_bytes(rng),
        "notes.mp3": ("Notes about music. " * 200).encode(),
        "random.mp3": bytes(rng.getrandbits(8) for _ in range(100000)),
        "syncs.mp3": bytes(rng.choice([0xFF, 0xFB, 0xE0, 0x90, 0x00]) for _ in range(50000)),
    }
    wav = os.path.join(root, "tone.wav")
    run(f"sox -q -n -r 44100 -c 2 {wav} synth 1 sine 440")
    others["wave.mp3"] = open(wav, "rb").read()
    ogg = os.path.join(root, "tone.ogg")
    try:
        run(f"sox -q {wav} {ogg}")
        others["vorbis.mp3"] = open(ogg, "rb").read()
    except subprocess.CalledProcessError:
        pass
    for name, data in others.items():
        with open(os.path.join(corpus, name), "wb") as out:
            out.write(data)
    open(os.path.join(root, "corpus.complete"), "w").close()
    return corpus


def genre_numbers(genres_sql):
    numbers = {}
    for match in re.finditer(r"\((\d+), '((?:[^']|'')*)'\)", open(genres_sql).read()):
        numbers[match.group(2).replace("''", "'").lower()] = int(match.group(1))
    return numbers


def cut(text, length):
    return text[:length] if text else ""


def name_fallback(path):
    """Artist and title from a file name, by the program's documented rule."""
    name = os.path.basename(path)[:-4]
    for old, new in (("_", " "), ("  ", " "), (" -", "-"), ("- ", "-")):
        name = name.replace(old, new)
    dash = name.find("-")
    if dash > 0:
        return name[:dash], name[dash + 1:]
    return "", name


def reference(path, genres):
    """The fields as the reference reader gives them."""
    expected = {}
    try:
        info = mutagen.mp3.MP3(path).info
        expected["BitRate"] = round(info.bitrate / 1000)
    except (mutagen.mp3.HeaderNotFoundError, mutagen.MutagenError):
        expected["BitRate"] = 0
    expected["FingerPrint present"] = expected["BitRate"] > 0
    try:
        tag = mutagen.id3.ID3(path)
        version = tag.version[1]
    except mutagen.id3.ID3NoHeaderError:
        tag, version = {}, 0

    def text(*ids):
        for frame_id in ids:
            if frame_id in tag and tag[frame_id].text:
                return str(tag[frame_id].text[0])
        return ""

    title = text("TIT2")
    artist = text("TPE1", "TPE2", "TPE3", "TCOM")
    if not title and not artist:
        artist, title = name_fallback(path)
    expected["Trackname"] = cut(title, 255)
    expected["Artist"] = cut(artist, 255)
    expected["Album"] = cut(text("TALB"), 255)
    date = text("TDRC") or text("TDRL")
    # The recording date, else the release date. Before v2.4 the year frame
    # holds the year alone; the reference reader joins the day and time frames to it.
    expected["Year"] = cut(date, 10) if version == 4 else date[:4]
    genre = 255
    if "TCON" in tag and tag["TCON"].genres:
        first = tag["TCON"].genres[0].strip()
        genre = genres.get(first.lower(), 255)
        # The reference reader names list numbers with its own spellings.
        spellings = [name.lower() for name in mutagen.id3.TCON.GENRES]
        if genre == 255 and first.lower() in spellings:
            genre = spellings.index(first.lower())
        if genre == 255 and first.isdigit():
            genre = min(int(first), 255)
    expected["GenreID"] = genre
    return expected


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    show = "--show-misses" in sys.argv
    if len(args) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    scanner, genres_sql, cache = args
    seeds = [int(a.split("=", 1)[1]) for a in sys.argv[1:] if a.startswith("--seed=")]
    rng = random.Random(seeds[0] if seeds else 1508)
    corpus = build_corpus(cache, rng, "--random-names" in sys.argv)
    genres = genre_numbers(genres_sql)

    with tempfile.TemporaryDirectory() as work:
        catalog = os.path.join(work, "Kavelin.mdb")
        subprocess.run([scanner, catalog, corpus], check=True, stdout=subprocess.DEVNULL)
        db = sqlite3.connect(catalog)
        db.text_factory = bytes  # fingerprints are bytes, not text
        columns = "Filename, Trackname, Artist, Album, Year, GenreID, BitRate, FingerPrint"
        rows = db.execute(f"SELECT {columns} FROM tTrack UNION ALL "
                          f"SELECT {columns} FROM tDuplicate").fetchall()
    stored = {}
    def text(value):
        return value.decode("utf-8", "replace") if value else ""

    for filename, title, artist, album, year, genre, bitrate, fingerprint in rows:
        stored[text(filename)] = {"Trackname": text(title), "Artist": text(artist),
                            "Album": text(album), "Year": text(year), "GenreID": genre,
                            "BitRate": bitrate, "FingerPrint present": bool(fingerprint)}

    files = sorted(os.path.join(corpus, name) for name in os.listdir(corpus))
    fields = ["Trackname", "Artist", "Album", "Year", "GenreID", "BitRate", "FingerPrint present"]
    matches = {field: 0 for field in fields}
    recorded = 0
    for path in files:
        expected = reference(path, genres)
        got = stored.get(path)
        recorded += got is not None
        for field in fields:
            if got is not None and got[field] == expected[field]:
                matches[field] += 1
            elif show:
                print(f"miss {field}: {os.path.basename(path)!r} stored "
                      f"{None if got is None else got[field]!r} reference {expected[field]!r}")
    print(f"files={len(files)} recorded={recorded}")
    print(f"{'field':22s} match_rate")
    rates = []
    for field in fields:
        rate = matches[field] / len(files)
        rates.append(rate)
        print(f"{field:22s} {rate:.4f}  ({matches[field]}/{len(files)})")
    print(f"field_match_min={min(rates):.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
