#!/usr/bin/python3
"""Screenshots of the phone page at a phone's size (390x844), under headless Chromium, for the README.

  bash docs/phone_screenshots.sh          (as root: installs chromium if needed, builds, runs in a namespace)

Writes docs/phone-root.png, docs/phone-music.png, docs/phone-song.png and docs/phone-video.png, of media made
here with ffmpeg: tagged songs with covers, an album folder with its cover, a photo, videos (one with subtitles).
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


def webm(path, secs=5):
    """A test picture with a tone, VP8 and Vorbis in WebM, which every browser plays."""
    peers.ffmpeg('-f', 'lavfi', '-i', 'testsrc2=s=640x360:r=30:d=%d' % secs, '-f', 'lavfi', '-i',
                 'sine=frequency=440:duration=%d' % secs, '-c:v', 'libvpx', '-deadline', 'realtime', '-b:v', '1M',
                 '-c:a', 'libvorbis', '-shortest', path)


SUBTITLES = """1
00:00:00,000 --> 00:00:30,000
The tide comes in at six.

"""


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
        'Music/Evening <img src=x onerror=alert(1)>.mp3': peers.mp3_bytes(500), 'Music/a"b\'&c.mp3': peers.mp3_bytes(100),
        'Pictures/Sunset.png': png(640, 400), 'Documents/Recipes.txt': b'Pancakes\n',
        'Music/Live/Encore.mp3': peers.mp3_bytes(50), 'Videos/Holiday 2026.en.srt': SUBTITLES.encode()}
    peers.write_files(share, files)
    # Tagged songs with their covers, an album folder with its own, a photo, and videos with thumbnails.
    covers = os.path.join(tmp, 'covers')
    os.makedirs(covers)
    albums = [('Blue Hours', '0xf4a261', '0x264653'), ('Harbour', '0x8ecae6', '0x023047'),
              ('Night Train', '0xb5179e', '0x3a0ca3')]
    for name, top, bottom in albums:
        peers.cover_jpeg(os.path.join(covers, name + '.jpg'), name, top, bottom)
    for track, (title, artist, album, secs) in enumerate([
            ('Morning Light', 'The Tovaly Ensemble', 'Blue Hours', 205), ('Harbour Lights', 'Mara Quinn', 'Harbour', 252),
            ('Night Train', 'Leo & the Lanterns', 'Night Train', 187)], 1):
        peers.tagged_mp3(os.path.join(share, 'Music', '%02d %s.mp3' % (track, title)), secs, title, artist, album,
                         track, os.path.join(covers, album + '.jpg'))
    album = os.path.join(share, 'Music', 'Blue Hours')
    os.makedirs(album)
    shutil.copy(os.path.join(covers, 'Blue Hours.jpg'), os.path.join(album, 'cover.jpg'))
    peers.tagged_mp3(os.path.join(album, '01 Dawn.mp3'), 64, 'Dawn', 'The Tovaly Ensemble', 'Blue Hours', 1)
    peers.cover_jpeg(os.path.join(share, 'Pictures', 'Harbour at dusk.jpg'), '', '0xffb703', '0x023047', 1200)
    webm(os.path.join(share, 'Videos', 'Holiday 2026.webm'))
    peers.video_mp4(os.path.join(share, 'Videos', 'Beach.mp4'), 12)
    srv = peers.serve(cli, tmp, share)
    page = srv.find(r'Phone page:\s+(\S+)').group(1)
    try:
        # The first listing starts the reading of the files' tags; the shots are of a folder already read.
        for path in ('', 'browse/Music/', 'browse/Videos/', 'browse/Pictures/'):
            peers.fetch(page + path)
        check_read(page + 'browse/Music/', 'Morning Light')
        check_read(page + 'browse/Videos/', '/art/Videos/Beach.mp4')
        shoot(page, os.path.join(HERE, 'phone-root.png'), tmp)
        shoot(page + 'browse/Music/', os.path.join(HERE, 'phone-music.png'), tmp)
        shoot(page + 'play/Music/01%20Morning%20Light.mp3', os.path.join(HERE, 'phone-song.png'), tmp)
        shoot(page + 'play/Videos/Holiday%202026.webm', os.path.join(HERE, 'phone-video.png'), tmp, 3000)
    finally:
        srv.stop()


def check_read(url, part):
    """Waits until the page carries what the files' metadata gives."""
    peers.check(peers.poll(lambda: part in peers.fetch(url).decode()), '%s never showed %r' % (url, part))


if __name__ == '__main__':
    if not shutil.which('chromium'):
        sys.exit('chromium is missing (docs/phone_screenshots.sh installs it)')
    sys.exit(peers.main(main))
