#!/usr/bin/python3
"""Interop test: what a TV shows. The same folder served by minidlna and by tovaly-cli; every field minidlna
publishes for a file, tovaly publishes with the same value.

  - tagged MP3s in an album folder with a cover, a video with a subtitle file beside it, photos (made here with
    ffmpeg and exiftool: no downloaded media);
  - art and thumbnails are JPEGs of at most 160x160; the subtitle reaches a client as a res and by the
    CaptionInfo.sec header; GUPnP-AV's strict reader reads the whole tree;
  - files made to trouble a parser (cut short, sizes of gigabytes declared, a picture of 20000x20000 declared):
    the server keeps answering, they are listed as before, and good files are read afterwards;
  - a file added to a browsed folder moves its update id, sent to a subscriber as ContainerUpdateIDs.

Usage: netns.sh run /usr/bin/python3 test_metadata.py PATH/TO/tovaly-cli
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import threading
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402
from peers import ADDR, CDS_TYPE, WAIT, check, group, note  # noqa: E402

DIDL = '{urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/}'
DC, UPNP = '{http://purl.org/dc/elements/1.1/}', '{urn:schemas-upnp-org:metadata-1-0/upnp/}'
ART_NAMES = ('album_art_names=Cover.jpg/cover.jpg/AlbumArtSmall.jpg/albumartsmall.jpg\n'
             'album_art_names=AlbumArt.jpg/albumart.jpg/Album.jpg/album.jpg\n'
             'album_art_names=Folder.jpg/folder.jpg/Thumb.jpg/thumb.jpg\n')
MINIDLNA_UUID = '4d696e69-444c-164e-9d41-0000000e7a11'
SONGS = [('01 - First Track.mp3', 'First Track', '1', 32000, 1, 60),
         ('02 - Second & <Third>.mp3', 'Second & <Third>', '2', 44100, 2, 31)]


def ffmpeg(*args):
    subprocess.run(['ffmpeg', '-loglevel', 'error', '-y'] + list(args), check=True, timeout=120)


def make_share(share):
    album, film, photos, hostile = (os.path.join(share, d) for d in ('Album One', 'Films', 'Photos', 'Hostile'))
    for d in (album, film, photos, hostile):
        os.makedirs(d)
    for name, title, track, rate, channels, secs in SONGS:
        ffmpeg('-f', 'lavfi', '-i', 'sine=frequency=440:duration=%d' % secs, '-ar', str(rate), '-ac', str(channels),
               '-b:a', '64k', '-id3v2_version', '3', '-metadata', 'title=' + title, '-metadata', 'artist=Sample Artist',
               '-metadata', 'album=Album One', '-metadata', 'genre=Test', '-metadata', 'track=' + track,
               '-metadata', 'date=2020', os.path.join(album, name))
    ffmpeg('-f', 'lavfi', '-i', 'testsrc=size=500x500:rate=1', '-frames:v', '1', os.path.join(album, 'cover.jpg'))
    ffmpeg('-f', 'lavfi', '-i', 'testsrc=size=640x360:rate=25', '-f', 'lavfi', '-i', 'sine=duration=12', '-t', '12',
           '-c:v', 'libx264', '-profile:v', 'main', '-pix_fmt', 'yuv420p', '-c:a', 'aac', '-b:a', '96k',
           os.path.join(film, 'clip.mp4'))
    with open(os.path.join(film, 'clip.srt'), 'w') as f:
        f.write('1\n00:00:01,000 --> 00:00:03,000\nHello\n')
    for name, size in (('landscape.jpg', '1024x768'), ('small.jpg', '640x480')):
        path = os.path.join(photos, name)
        ffmpeg('-f', 'lavfi', '-i', 'testsrc=size=%s:rate=1' % size, '-frames:v', '1', path)
        subprocess.run(['exiftool', '-q', '-overwrite_original', '-DateTimeOriginal=2019:05:06 07:08:09', path],
                       check=True, timeout=60)
    with open(os.path.join(album, '01 - First Track.mp3'), 'rb') as f:
        good = f.read()
    hostile_files = {
        'cut.mp3': good[:700],
        'huge tag.mp3': b'ID3\x03\x00\x00\x7f\x7f\x7f\x7f' + b'\x00' * 64 + good[-4096:],
        'garbage.mp4': b'\x00\x00\x00\x18ftypisom' + b'\xff' * 4000,
        'atom of gigabytes.mp4': b'\x00\x00\x00\x18ftypisom\x00\x00\x02\x00isomiso2' + struct.pack('>I', 0xFFFFFFF0) +
                                 b'moov' + b'\x00' * 1000,
        'vast.jpg': b'\xff\xd8\xff\xc0\x00\x11\x08\x4e\x20\x4e\x20\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01' +
                    b'\x00' * 2000 + b'\xff\xd9',
        'empty.mp3': b'',
    }
    for name, data in hostile_files.items():
        with open(os.path.join(hostile, name), 'wb') as f:
            f.write(data)
    return {'album': album, 'film': film, 'photos': photos, 'hostile': hostile, 'hostile_files': hostile_files}


def browse_raw(port, ctl, oid, flag='BrowseDirectChildren', headers=()):
    """(Result DIDL as elements, UpdateID) of a Browse; all of a folder."""
    body = peers.envelope('Browse', CDS_TYPE, (('ObjectID', oid), ('BrowseFlag', flag), ('Filter', '*'),
                                               ('StartingIndex', '0'), ('RequestedCount', '0'), ('SortCriteria', '')))
    status, _, data = peers.raw_http(port, 'POST', ctl, ['SOAPACTION: "%s#Browse"' % CDS_TYPE,
                                                         'Content-Type: text/xml; charset="utf-8"'] + list(headers), body)
    check(status == 200, 'Browse %s on %d: HTTP %s' % (oid, port, status))
    out = ET.fromstring(data).find('.//{%s}BrowseResponse' % CDS_TYPE)
    return ET.fromstring(out.findtext('Result')), out.findtext('UpdateID')


def objects(didl):
    return [(e.tag[len(DIDL):], e) for e in didl]


def fields(item):
    """What a client reads of an item: element texts by name, the first res's attributes and text, the extra
    res (thumbnail, subtitle) by their type."""
    out = {}
    for child in item:
        tag = child.tag.split('}')[-1]
        if child.tag == DIDL + 'res':
            info = child.get('protocolInfo', '')
            if 'res' not in out:
                out['res'] = dict(child.attrib, url=child.text)
            elif ':image/jpeg:' in info:
                out['thumbnail'] = child.text
            elif ':text/' in info or 'smi/caption' in info:
                out['subtitle'] = child.text
        elif tag != 'res':
            out.setdefault(tag, child.text)
    return out


def duration_seconds(text):
    h, m, s = text.split(':')
    return int(h) * 3600 + int(m) * 60 + float(s)


def jpeg_size(data):
    """(width, height) from a JPEG's SOF marker, or None."""
    if data[:2] != b'\xff\xd8':
        return None
    i = 2
    while i + 9 < len(data):
        if data[i] != 0xFF:
            return None
        marker, length = data[i + 1], struct.unpack('>H', data[i + 2:i + 4])[0]
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            h, w = struct.unpack('>HH', data[i + 5:i + 9])
            return w, h
        i += 2 + length
    return None


def small_jpeg(url, what):
    data = peers.fetch(url)
    size = jpeg_size(data)
    check(size and size[0] <= 160 and size[1] <= 160, '%s: %s is not a JPEG of at most 160x160 (%s)' % (what, url, size))
    return size


def by_folder(port, ctl, root):
    """{folder title: {file key: item fields}} of the server's folders under root (one level)."""
    folders = {}
    didl, _ = browse_raw(port, ctl, root)
    for kind, e in objects(didl):
        if kind != 'container':
            continue
        title = e.findtext(DC + 'title')
        items = {}
        sub, _ = browse_raw(port, ctl, e.get('id'))
        for k, item in objects(sub):
            if k == 'item':
                f = fields(item)
                items[f['res'].get('size')] = f  # both servers give every res its size: the file's key here
        folders[title] = (e, items)
    return folders


def check_same_as_minidlna(st):
    ours = by_folder(st['srv'].info['port'], '/upnp/control/cds', '0')
    theirs = by_folder(8200, '/ctl/ContentDir', '64')  # minidlna's folder view
    st['ours'] = ours
    compared = 0
    for folder in ('Album One', 'Films', 'Photos'):
        check(folder in ours and folder in theirs, 'folder %s: ours %s, minidlna %s' % (folder, sorted(ours),
                                                                                       sorted(theirs)))
        for size, m in theirs[folder][1].items():
            t = ours[folder][1].get(size)
            check(t, '%s: a file of %s bytes minidlna lists is not ours (%s)' % (folder, size, sorted(ours[folder][1])))
            name = m.get('title')
            for key in ('title', 'artist', 'creator', 'album', 'genre', 'originalTrackNumber', 'date'):
                if key not in m or (key == 'title' and os.path.splitext(t.get('title', ''))[0] == m['title']):
                    continue  # a file without a title tag: its name either way (ours keeps its extension)
                want = m[key][:10] if key == 'date' else m[key]  # the day; ours has its time in scheduledStartTime
                check(t.get(key) == want, '%s/%s: %s is %r, minidlna says %r' % (folder, name, key, t.get(key), m[key]))
            for attr in ('size', 'sampleFrequency', 'resolution'):
                if attr in m['res']:
                    check(t['res'].get(attr) == m['res'][attr], '%s/%s: res@%s is %r, minidlna says %r'
                          % (folder, name, attr, t['res'].get(attr), m['res'][attr]))
            if 'duration' in m['res']:
                check('duration' in t['res'] and abs(duration_seconds(t['res']['duration']) -
                                                     duration_seconds(m['res']['duration'])) <= 1,
                      '%s/%s: duration %r, minidlna says %r' % (folder, name, t['res'].get('duration'),
                                                                m['res']['duration']))
            if 'bitrate' in m['res']:  # bytes a second; minidlna gives songs' in bits
                ours_bytes, bits = int(t['res'].get('bitrate', 0)), max(1, int(m['res']['bitrate']))
                check(any(0.9 <= ours_bytes * k / bits <= 1.1 for k in (1, 8)), '%s/%s: bitrate %s bytes/s, minidlna %s'
                      % (folder, name, t['res'].get('bitrate'), m['res']['bitrate']))
            if 'nrAudioChannels' in m['res']:
                check('nrAudioChannels' in t['res'], '%s/%s: no nrAudioChannels' % (folder, name))
            pn = re.search(r'DLNA\.ORG_PN=([A-Z0-9_]+)', m['res']['protocolInfo'])
            ours_pn = re.search(r'DLNA\.ORG_PN=([A-Z0-9_]+)', t['res']['protocolInfo'])
            if pn and not pn.group(1).startswith('AVC_'):
                check(ours_pn and ours_pn.group(1) == pn.group(1), '%s/%s: DLNA.ORG_PN %s, minidlna says %s'
                      % (folder, name, ours_pn and ours_pn.group(1), pn.group(1)))
            elif pn:
                note('%s/%s: DLNA.ORG_PN ours %s, minidlna %s' % (folder, name, ours_pn and ours_pn.group(1),
                                                                 pn.group(1)))
            if 'albumArtURI' in m:
                check('albumArtURI' in t, '%s/%s: no albumArtURI' % (folder, name))
            compared += 1
    note('%d files compared field by field' % compared)
    check(compared >= 5, 'only %d files compared' % compared)


def check_pictures_and_subtitles(st):
    ours = st['ours']
    container = ours['Album One'][0]
    art = container.find(UPNP + 'albumArtURI')
    check(art is not None, 'the album folder has no albumArtURI')
    small_jpeg(art.text, 'the album folder')
    for _, f in ours['Album One'][1].items():
        if f['res']['protocolInfo'].split(':')[2] == 'audio/mpeg':
            check(f.get('class') == 'object.item.audioItem.musicTrack', 'a tagged song is %s' % f.get('class'))
            small_jpeg(f['albumArtURI'], f['title'])
    for folder in ('Films', 'Photos'):
        for _, f in ours[folder][1].items():
            small_jpeg(f['thumbnail'], f['title'])
            small_jpeg(f['albumArtURI'], f['title'])
    clip = next(f for f in ours['Films'][1].values() if f['title'].startswith('clip'))
    check(clip.get('subtitle', '').endswith('/clip.srt'), 'the video has no subtitle res: %s' % clip)
    check(clip.get('CaptionInfoEx', '').endswith('/clip.srt'), 'no sec:CaptionInfoEx: %s' % clip)
    check(peers.fetch(clip['subtitle']).startswith(b'1\n00:00:01'), 'the subtitle res is not the file')
    titles = [f['title'] for f in ours['Films'][1].values()]
    check(titles == ['clip.mp4'], 'the subtitle file is listed beside the video: %s' % titles)
    m = re.match(r'http://[^/]+(/media/.*)', clip['res']['url'])
    for method in ('HEAD', 'GET'):
        status, hdrs, _ = peers.raw_http(st['srv'].info['media_port'], method, m.group(1), ['getCaptionInfo.sec: 1'])
        check(status == 200 and hdrs.get('captioninfo.sec', '').endswith('/media/Films/clip.srt'),
              '%s with getCaptionInfo.sec: HTTP %s, CaptionInfo.sec %r' % (method, status, hdrs.get('captioninfo.sec')))


def check_gupnp_reads_everything(st):
    watch = peers.Watch(st['srv'].info['udn'])
    cds = watch.found().get_service(CDS_TYPE)
    check(cds, 'GUPnP: no ContentDirectory')
    seen, stack = 0, ['0']
    while stack:
        oid = stack.pop()
        out = peers.browse(cds, oid, 'BrowseDirectChildren')
        check('error' not in out, 'GUPnP-AV Browse %s: %s' % (oid, out.get('error')))
        parser = peers.GUPnPAV.DIDLLiteParser()
        found = []
        parser.connect('container-available', lambda p, c: found.append(('c', c.get_id())))
        parser.connect('item-available', lambda p, i: found.append(('i', i.get_title())))
        ok = parser.parse_didl(out['value'][0])
        check(ok, 'GUPnP-AV refuses the DIDL-Lite of %s' % oid)
        for kind, value in found:
            seen += 1
            if kind == 'c':
                stack.append(value)
    note('GUPnP-AV read %d objects' % seen)
    check(seen >= 15, 'GUPnP-AV read only %d objects' % seen)


def check_hostile_files(st):
    didl, _ = browse_raw(st['srv'].info['port'], '/upnp/control/cds', 'Hostile')
    ids = sorted(e.get('id') for kind, e in objects(didl))
    check(ids == sorted('Hostile/' + n for n in st['files']['hostile_files']), 'the troublesome files are listed as %s'
          % ids)  # (the song cut short keeps its tag, and its title)
    check(st['srv'].alive(), 'the server exited on troublesome files')
    for name in st['files']['hostile_files']:
        status = peers.raw_http(st['srv'].info['media_port'], 'GET', '/art/Hostile/' + name.replace(' ', '%20'))[0]
        check(status in (200, 404), 'the picture of %s: HTTP %s' % (name, status))
    # Good files are read afterwards: a new tagged song gets its title.
    shutil.copy(os.path.join(st['files']['album'], '01 - First Track.mp3'),
                os.path.join(st['files']['hostile'], 'good.mp3'))
    os.utime(os.path.join(st['files']['hostile'], 'good.mp3'), (1, 1))  # another content key than its twin's
    titles = peers.poll(lambda: (lambda t: t if 'First Track' in t else None)(
        [e.findtext(DC + 'title') for _, e in objects(browse_raw(st['srv'].info['port'], '/upnp/control/cds',
                                                                 'Hostile')[0])]))
    check(titles, 'a good file is not read after the troublesome ones')


def check_live_updates(st):
    """A subscriber to ContentDirectory learns that a browsed folder changed."""
    events, cond = [], threading.Condition()

    def keep(request, body):
        with cond:
            events.append(body)
            cond.notify_all()
        return 200, b'', {}
    httpd = peers.http_server(keep)
    try:
        status, hdrs, _ = peers.raw_http(st['srv'].info['port'], 'SUBSCRIBE', '/upnp/event/cds',
                                         ['CALLBACK: <http://%s:%d/>' % (ADDR, httpd.server_address[1]),
                                          'NT: upnp:event', 'TIMEOUT: Second-300'])
        check(status == 200, 'SUBSCRIBE: HTTP %s' % status)
        _, before = browse_raw(st['srv'].info['port'], '/upnp/control/cds', 'Photos')
        with open(os.path.join(st['files']['photos'], 'new.jpg'), 'wb') as f:
            f.write(b'\xff\xd8\xff\xd9')
        with cond:
            got = cond.wait_for(lambda: any(b'ContainerUpdateIDs>Photos,' in e for e in events), 2 * WAIT)
        check(got, 'no ContainerUpdateIDs for Photos within %d s: %s' % (2 * WAIT, events[-2:]))
        _, after = browse_raw(st['srv'].info['port'], '/upnp/control/cds', 'Photos')
        check(int(after) > int(before), 'Photos\' UpdateID %s, before the new file %s' % (after, before))
    finally:
        httpd.shutdown()
        httpd.server_close()


def main(cli, tmp):
    st = {}
    share = os.path.join(tmp, 'share')
    st['files'] = make_share(share)
    st['mini'] = peers.minidlna(tmp, share, MINIDLNA_UUID, 'minidlna reference', extra=ART_NAMES)
    st['srv'] = peers.serve(cli, tmp, share)
    ready = group('minidlna has read the folder', lambda: check(peers.poll(
        lambda: len(by_folder(8200, '/ctl/ContentDir', '64').get('Photos', (None, {}))[1]) == 2, 3 * WAIT),
        'minidlna did not list the photos'))
    same = group('every field minidlna publishes, tovaly publishes alike', check_same_as_minidlna, st, runnable=ready)
    group('art and thumbnails at most 160x160; the subtitle as a res, in sec:CaptionInfoEx and by header',
          check_pictures_and_subtitles, st, runnable=same)
    group('GUPnP-AV reads the whole tree', check_gupnp_reads_everything, st)
    group('files that trouble a parser: listed, the server answers, good files read afterwards',
          check_hostile_files, st)
    group('a browsed folder that changes: its update id moves, subscribers are told', check_live_updates, st)
    group('SIGTERM: clean exit', peers.clean_exit, st['srv'])


if __name__ == '__main__':
    sys.exit(peers.main(main, tools=('minidlnad', 'ffmpeg', 'exiftool'), gi=True))
