#!/usr/bin/env python3
"""Makes a tree of N tagged MP3 files in nested artist/album directories for the
scan benchmark: distinct clips encoded by lame, each used for eight files with
different ID3v2 tags, so that most files repeat the audio of others.

usage: make_tree.py N CACHE_DIR  -> prints the tree's path; reuses what exists."""
import os
import struct
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

FILES_PER_ALBUM = 10
ALBUMS_PER_ARTIST = 10


def make_clip(path, index):
    # A one-second tone whose pitch and loudness differ per clip.
    frequency = 110 + (index * 37) % 3000
    gain = -1 - (index % 17)
    temporary = path + ".part"
    subprocess.run(
        f"sox -q -n -r 44100 -c 2 -t wav - synth 1 sine {frequency} gain {gain} 2>/dev/null | "
        f"lame --quiet -b 128 - {temporary}",
        shell=True, check=True)
    os.rename(temporary, path)


def syncsafe(size):
    return bytes([(size >> 21) & 0x7F, (size >> 14) & 0x7F, (size >> 7) & 0x7F, size & 0x7F])


def text_frame(frame_id, text):
    body = b"\x01" + "\ufeff".encode("utf-16-le") + text.encode("utf-16-le")
    return frame_id + struct.pack(">I", len(body)) + b"\x00\x00" + body


def tag(artist, album, title, year, genre, padding):
    frames = (text_frame(b"TIT2", title) + text_frame(b"TPE1", artist) +
              text_frame(b"TALB", album) + text_frame(b"TYER", str(year)) +
              text_frame(b"TCON", f"({genre})"))
    frames += bytes(padding)
    return b"ID3\x03\x00\x00" + syncsafe(len(frames)) + frames


def main():
    count = int(sys.argv[1])
    cache = sys.argv[2]
    tree = os.path.join(cache, f"tree-{count}")
    if os.path.exists(os.path.join(tree, ".complete")):
        print(tree)
        return
    clips_dir = os.path.join(cache, "clips")
    os.makedirs(clips_dir, exist_ok=True)
    clip_count = max(1, count // 8)
    clips = [os.path.join(clips_dir, f"clip{i:05d}.mp3") for i in range(clip_count)]
    missing = [(path, i) for i, path in enumerate(clips) if not os.path.exists(path)]
    with ThreadPoolExecutor(max_workers=2) as pool:
        list(pool.map(lambda item: make_clip(*item), missing))
    audio = {}
    for i in range(count):
        artist_no = i // (FILES_PER_ALBUM * ALBUMS_PER_ARTIST)
        album_no = (i // FILES_PER_ALBUM) % ALBUMS_PER_ARTIST
        track_no = i % FILES_PER_ALBUM
        artist = f"Artist {artist_no:04d}"
        album = f"Album {album_no:02d} of {artist}"
        title = f"Song {i:06d} \u00e9t\u00e9"
        directory = os.path.join(tree, artist, album)
        os.makedirs(directory, exist_ok=True)
        clip = clips[(i * 7919) % clip_count]
        if clip not in audio:
            with open(clip, "rb") as source:
                audio[clip] = source.read()
        header = tag(artist, album, title, 1960 + i % 60, i % 126, 256 * (i % 4))
        path = os.path.join(directory, f"{track_no:02d} - {title}.mp3")
        with open(path, "wb") as out:
            out.write(header + audio[clip])
    open(os.path.join(tree, ".complete"), "w").close()
    print(tree)


main()
