#!/usr/bin/python3
"""Screenshots of the phone page at a phone's size (390x844), under headless Chromium, for the README.

  bash docs/phone_screenshots.sh          (as root: installs chromium if needed, builds, runs in a namespace)

Writes docs/phone-root.png, docs/phone-music.png and docs/phone-video.png.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'interop'))
import peers  # noqa: E402


def png(width, height):
    """A sunset-coloured gradient."""
    rows = b''.join(b'\0' + bytes(v for x in range(width) for v in (
        255 - y * 120 // height, 120 + x * 60 // width, 60 + y * 150 // height)) for y in range(height))
    chunk = lambda kind, data: (struct.pack('>I', len(data)) + kind + data +
                                struct.pack('>I', zlib.crc32(kind + data)))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b''))


def webm(path):
    subprocess.run(['gst-launch-1.0', '-q', 'videotestsrc', 'num-buffers=150', 'pattern=smpte', '!',
                    'video/x-raw,width=640,height=360,framerate=30/1', '!', 'vp8enc', 'deadline=1', '!', 'webmmux',
                    '!', 'filesink', 'location=' + path], check=True)


def shoot(url, out, tmp, wait_ms=1500):
    profile = tempfile.mkdtemp(dir=tmp)
    subprocess.run(['chromium', '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                    '--disable-background-networking', '--disable-component-update', '--disable-sync',
                    '--hide-scrollbars', '--autoplay-policy=no-user-gesture-required', '--mute-audio',
                    '--user-data-dir=' + profile, '--window-size=390,844', '--virtual-time-budget=%d' % wait_ms,
                    '--screenshot=' + out, url], check=True, capture_output=True, timeout=120)
    print('wrote', out)


def main(cli, tmp):
    share = os.path.join(tmp, 'Shared')
    files = {
        'Music/01 Morning Light.wav': peers.wav_bytes(30), 'Music/Track 2.mp3': peers.mp3_bytes(3000),
        'Music/Track 10.mp3': peers.mp3_bytes(9000), 'Music/Evening <img src=x onerror=alert(1)>.mp3':
            peers.mp3_bytes(500), 'Music/a"b\'&c.mp3': peers.mp3_bytes(100),
        'Pictures/Sunset.png': png(640, 400), 'Videos/Beach.mp4': os.urandom(1 << 20),
        'Documents/Recipes.txt': b'Pancakes\n', 'Music/Live/Encore.mp3': peers.mp3_bytes(50)}
    peers.write_files(share, files)
    webm(os.path.join(share, 'Videos', 'Holiday 2026.webm'))
    srv = peers.serve(cli, tmp, share)
    page = srv.find(r'Phone page:\s+(\S+)').group(1)
    try:
        shoot(page, os.path.join(HERE, 'phone-root.png'), tmp)
        shoot(page + 'browse/Music/', os.path.join(HERE, 'phone-music.png'), tmp)
        shoot(page + 'play/Videos/Holiday%202026.webm', os.path.join(HERE, 'phone-video.png'), tmp, 3000)
    finally:
        srv.stop()


if __name__ == '__main__':
    if not shutil.which('chromium'):
        sys.exit('chromium is missing (docs/phone_screenshots.sh installs it)')
    sys.exit(peers.main(main))
