#!/usr/bin/python3
"""Interop test: the shared folder of tovaly-cli serve, browsed with GUPnP-AV and fetched over HTTP.

Usage: netns.sh run /usr/bin/python3 test_media.py PATH/TO/tovaly-cli
"""
import email.utils
import hashlib
import html.parser
import http.client
import os
import re
import stat
import struct
import sys
import time
import urllib.parse
import uuid
import xml.etree.ElementTree as ET
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402
from peers import ADDR, CDS_TYPE, WAIT, GLib, GUPnPAV, browse, check, group  # noqa: E402

NS_UPNP = '{urn:schemas-upnp-org:metadata-1-0/upnp/}'
GIB = 1 << 30
SPARSE_SIZE = 5 * GIB + 1000
SPARSE_MARKS = {(1 << 32) - 2: b'<4G|', 4 * GIB + GIB // 2: b'at 4.5 GiB', SPARSE_SIZE - 1: b'Z'}
SECRET = ('TOP-SECRET-%s' % uuid.uuid4().hex).encode()
CLASSES = {'.mp3': '.audioItem', '.wav': '.audioItem', '.mkv': '.videoItem', '.mp4': '.videoItem',
           '.mpg': '.videoItem', '.png': '.imageItem', '.txt': '.textItem'}
FILES = ['top.mp3', '.hidden.mp3', '.hiddendir/inside.mp3', 'Movies/2019/Deep/clip.mp4',
         'Movies/2019/Deep/Level 4/x.txt', 'Movies/2019/new year.mkv', 'Movies/a b.mp4', 'Movies/ep 2.mkv',
         'Movies/ep 10.mkv', 'Movies/Ep 1.mkv', 'Music/silence.mp3', 'Music/tone.wav', 'Music/hash#tag.mp3',
         'Music/what?.mp3', 'Music/100%.mp3', 'Music/50%25 off.mp3', 'Music/rock&roll.mp3', 'Music/a+b.mp3',
         "Music/it's.mp3", 'Music/Кино.mp3', 'Music/🎵 song.mp3', 'Pictures/pic.png', 'Pictures/notes.txt',
         'Pictures/.hidden.png', 'Pictures/data.bin', 'Sub/a.mp3', 'Sub?/q.txt', 'x#/h.txt',
         'Music/<img src=x onerror=alert(1)>.mp3', 'Music/a"b\'&c.mp4'] + ['Big/%03d.txt' % i for i in range(401)]


def content_for(rel):
    """Valid small media (a 1x1 PNG), tagged with a hash of the path; random bytes for other names. In an MP3
    the hash is the ID3v1 comment, never the title: the titles below are the files' names."""
    def chunk(kind, payload):
        return struct.pack('>I', len(payload)) + kind + payload + struct.pack('>I', zlib.crc32(kind + payload))
    tag, ext = hashlib.sha1(rel).hexdigest().encode(), os.path.splitext(rel)[1].lower()
    if ext == b'.png':
        return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', 1, 1, 8, 0, 0, 0, 0)) +
                chunk(b'tEXt', b'Comment\0' + tag) + chunk(b'IDAT', zlib.compress(b'\0\0')) + chunk(b'IEND', b''))
    id3v1_comment = bytes(30 + 30 + 30 + 4) + tag[:28]  # after the empty title, artist, album and year
    media = {b'.mp3': peers.mp3_bytes(8, id3v1_comment), b'.wav': peers.wav_bytes(1, tag)}
    return media.get(ext, rel + os.urandom(200))


def build_tree(data):
    """The shared folder (data/share), a secret beside it and links that lead out, hidden and odd entries."""
    share = os.path.join(data, 'share')
    rels = [r.encode() for r in FILES] + [b'Music/bad\xff.mp3']
    peers.write_files(share, dict({r: content_for(r) for r in rels}, **{
        'Huge/sparse.mkv': b'sparse head', 'Movies/big random.mpg': os.urandom(3 << 20 | 123)}))
    peers.write_files(data, {'secret.txt': SECRET + b'\n', 'outside/other.txt': SECRET + b' (other)\n'})
    with open(os.path.join(share, 'Huge/sparse.mkv'), 'r+b') as f:
        for off, mark in SPARSE_MARKS.items():
            f.seek(off)
            f.write(mark)
    os.truncate(os.path.join(share, 'Huge/sparse.mkv'), SPARSE_SIZE)
    out = os.path.join(data, 'outside')
    for target, link in ((os.path.join(data, 'secret.txt'), 'Music/leak.txt'), (out, 'Music/outdir'),
                         (out, 'outside dir'), ('silence.mp3', 'Music/alias.mp3'),
                         ('../Movies/2019', 'Music/year link'), ('../.hiddendir/inside.mp3', 'Music/peek.mp3')):
        os.symlink(target, os.path.join(share, link))  # the last: inside, but to a hidden entry
    os.mkfifo(os.path.join(share, 'Music/pipe.mp3'))
    return share


def snapshot(top):
    """Every entry below top: type, size, times and a hash (for the sparse file: its marks)."""
    snap = {}
    for d, dirs, files in os.walk(os.fsencode(top)):
        for p in (os.path.join(d, n) for n in dirs + files):
            st, digest = os.lstat(p), None
            if stat.S_ISREG(st.st_mode):
                with open(p, 'rb') as f:
                    digest = hashlib.sha256(f.read()).hexdigest() if st.st_size < 64 << 20 else \
                        [(f.seek(o), f.read(len(v)))[1] for o, v in SPARSE_MARKS.items()]
            snap[p] = (stat.S_IFMT(st.st_mode), st.st_size, st.st_mtime_ns, st.st_ctime_ns, digest)
    return snap


def natural_key(name):
    """Natural, ASCII-case-insensitive order on the UTF-8 bytes; ties broken by the bytes."""
    b = name.encode()
    return [(48, int(d)) if d else (c.lower()[0], 0) for d, c in re.findall(rb'(\d+)|(.)', b, re.S)], b


def expected_tree(share):
    """Object id -> ordered children (id, is_folder, path): hidden and non-UTF-8 names, links to outside or to
    hidden entries, files directly in the shared folder and special files are not published."""
    inside = os.fsencode(os.path.realpath(share)) + b'/'
    tree = {}

    def visit(oid, folder):
        dirs, files = [], []
        for name in os.listdir(os.fsencode(folder)):
            p, text = os.path.join(os.fsencode(folder), name), name.decode('utf-8', 'replace')
            real = os.path.realpath(p)
            if '\ufffd' in text or name.startswith(b'.') or os.path.islink(p) and (
                    not real.startswith(inside) or b'/.' in real[len(inside) - 1:]):
                continue
            st = os.stat(p)
            if stat.S_ISDIR(st.st_mode):
                dirs.append(text)
            elif stat.S_ISREG(st.st_mode) and oid != '0':
                files.append(text)
        kids = [(n, True) for n in sorted(dirs, key=natural_key)] + [(n, False) for n in sorted(files, key=natural_key)]
        tree[oid] = [(n if oid == '0' else oid + '/' + n, d, os.path.join(folder, n)) for n, d in kids]
        for cid, is_dir, path in tree[oid]:
            if is_dir:
                visit(cid, path)
    visit('0', share)
    return tree


def parse_page(didl, context):
    """The objects of one Result as GUPnP-AV's parser sees them (and ElementTree, for what it does not expose)."""
    objs, parser = [], GUPnPAV.DIDLLiteParser.new()
    parser.connect('object-available', lambda _, o: objs.append(o))
    try:
        parser.parse_didl(didl)
    except GLib.Error as e:
        raise AssertionError('%s: GUPnP-AV rejects the Result: %s\n%s' % (context, e.message, didl[:400]))
    elems = [e for e in ET.fromstring(didl) if e.tag.endswith('}item') or e.tag.endswith('}container')]
    check(len(elems) == len(objs), '%s: GUPnP-AV saw %d objects, the XML has %d' % (context, len(objs), len(elems)))
    records = []
    for o, e in zip(objs, elems):
        r = {'id': o.get_id(), 'parent': o.get_parent_id(), 'title': o.get_title(), 'class': o.get_upnp_class(),
             'folder': isinstance(o, GUPnPAV.DIDLLiteContainer), 'date': o.get_date(),
             'start': e.findtext(NS_UPNP + 'scheduledStartTime'), 'xml': o.get_xml_string()}
        if r['folder']:
            r['child_count'] = o.get_child_count()
        else:
            res = o.get_resources()
            # The file, then for pictures and videos at most a thumbnail (a JPEG_TN).
            extra = [x.get_protocol_info() for x in res[1:]]
            check(len(res) >= 1 and all(pi.get_mime_type() == 'image/jpeg' and pi.get_dlna_profile() == 'JPEG_TN'
                                        for pi in extra) and len(extra) <= 1,
                  '%s: %s has %d res: %s' % (context, r['id'], len(res), [x.get_uri() for x in res]))
            pi = res[0].get_protocol_info()
            r.update(url=res[0].get_uri(), mime=pi.get_mime_type(),
                     pi=(pi.get_protocol(), pi.get_network(), pi.get_mime_type()))
        records.append(r)
    return records


def check_tree(st, tree):
    movies = [k[0] for k in tree['Movies']]  # the expected order itself is natural
    check(movies.index('Movies/Ep 1.mkv') < movies.index('Movies/ep 2.mkv') < movies.index('Movies/ep 10.mkv'), movies)
    seen = st['records']
    for oid, kids in tree.items():
        got = []
        while True:  # pages of 5
            out = browse(st['cds'], oid, 'BrowseDirectChildren', len(got), 5)
            check('error' not in out, 'Browse %r from %d failed: %s' % (oid, len(got), out.get('error')))
            didl, returned, total = out['value']
            page = parse_page(didl, 'Browse %r from %d' % (oid, len(got)))
            want = min(5, len(kids) - len(got))
            check(returned == len(page) == want and total == len(kids), '%r from %d: NumberReturned %d, %d objects, '
                  'TotalMatches %d; want %d of %d' % (oid, len(got), returned, len(page), total, want, len(kids)))
            got += page
            if not page or len(got) >= total:
                break
        check([r['id'] for r in got] == [k[0] for k in kids], 'children of %r:\n  got  %s\n  want %s'
              % (oid, [r['id'] for r in got], [k[0] for k in kids]))
        for r, (cid, is_dir, path) in zip(got, kids):
            cls = 'object.container' if is_dir else 'object.item' + CLASSES.get(os.path.splitext(cid)[1], '')
            check((r['parent'], r['title'], r['folder'], r['class']) == (oid, cid.rsplit('/', 1)[-1], is_dir, cls),
                  '%s: parent, title, folder, class %s' % (cid, (r['parent'], r['title'], r['folder'], r['class'])))
            if not is_dir:
                url = st['srv'].info['media_base'] + urllib.parse.quote(cid, safe='/')
                check(r['url'] == url, '%s: res %s, want %s' % (cid, r['url'], url))
                check(r['pi'][:2] == ('http-get', '*') and r['mime'], '%s: protocolInfo %s' % (cid, r['pi']))
                t = time.gmtime(os.stat(path).st_mtime)
                check((r['date'], r['start']) == (time.strftime('%Y-%m-%d', t), time.strftime('%Y-%m-%dT%H:%M:%S', t)),
                      '%s: dc:date %r scheduledStartTime %r' % (cid, r['date'], r['start']))
            seen[cid] = dict(r, path=path)
    for absent in ('top.mp3', '.hiddendir', 'Music/leak.txt', 'Music/outdir', 'Music/pipe.mp3',
                   'Pictures/.hidden.png', 'outside dir', 'Music/peek.mp3'):
        check(absent not in seen, '%s is published' % absent)
    check(not [i for i in seen if '\ufffd' in i or 'bad' in i], 'the non-UTF-8 name is published')
    peers.note('%d folders, %d items browsed by pages of 5' % (len(tree), len(seen) - len(tree) + 1))


def expect_dlna(hdrs, rec, context):
    mode = 'Streaming' if rec['class'].split('.')[-1] in ('audioItem', 'videoItem') else 'Interactive'
    check('DLNA.ORG_OP=01' in hdrs.get('contentfeatures.dlna.org', '') and hdrs.get('transfermode.dlna.org') == mode,
          '%s: contentFeatures.dlna.org %r, transferMode.dlna.org %r (want %s)' % (
              context, hdrs.get('contentfeatures.dlna.org'), hdrs.get('transfermode.dlna.org'), mode))


def check_fetch(st):
    """Every item, one after the other on one kept-alive connection, as a player fetches a playlist."""
    c = http.client.HTTPConnection(ADDR, st['srv'].info['media_port'], timeout=WAIT)
    for rec in (r for r in st['records'].values() if not r['folder']):
        target, st_ = urllib.parse.urlsplit(rec['url']).path, os.stat(rec['path'])
        size = st_.st_size
        c.request('GET', target)
        r = c.getresponse()
        hdrs = {k.lower(): v for k, v in r.getheaders()}
        check((r.status, hdrs.get('content-type'), int(hdrs.get('content-length', -1))) == (200, rec['mime'], size),
              'GET %s: HTTP %d, Content-Type %r, Content-Length %s; want %r and %d bytes'
              % (target, r.status, hdrs.get('content-type'), hdrs.get('content-length'), rec['mime'], size))
        expect_dlna(hdrs, rec, 'GET ' + target)
        check(hdrs.get('accept-ranges') == 'bytes' and hdrs.get('last-modified') ==
              email.utils.formatdate(int(st_.st_mtime), usegmt=True), 'GET %s: Accept-Ranges %r, Last-Modified %r' % (
                  target, hdrs.get('accept-ranges'), hdrs.get('last-modified')))
        got, want, n = hashlib.sha256(), hashlib.sha256(), 0
        with open(rec['path'], 'rb') as f:
            for chunk in iter(lambda: r.read(1 << 20), b''):
                got.update(chunk)
                want.update(f.read(len(chunk)))
                n += len(chunk)
        check(n == size and got.digest() == want.digest(), 'GET %s: %d bytes, not the file\'s %d' % (target, n, size))
        check(not r.will_close, 'GET %s: the server closes the connection (no keep-alive)' % target)
    c.close()


def check_raw_forms(st):
    """Unencoded, partly and wholly encoded forms of the same paths: the file's bytes or an error."""
    forms = [(n, n.encode()) for n in ('Music/rock&roll.mp3', 'Music/a+b.mp3', "Music/it's.mp3", 'Music/what?.mp3',
                                       'Music/hash#tag.mp3', 'Music/100%.mp3', 'Movies/a b.mp4', 'Music/Кино.mp3')]
    forms += [('Music/50%25 off.mp3', b'Music/50%25%20off.mp3'), ('Music/🎵 song.mp3', 'Music/🎵%20song.mp3'.encode()),
              ('Music/Кино.mp3', b'Music/' + urllib.parse.quote('Кино').lower().encode() + b'.mp3'),
              ('Sub/a.mp3', b''.join(b'%%%02X' % c for c in b'Sub/a.mp3'))]
    for cid, raw in forms:
        status, _, body = peers.raw_http(st['srv'].info['media_port'], 'GET', b'/media/' + raw)
        with open(st['records'][cid]['path'], 'rb') as f:
            check(status == 200 and body == f.read() or (status or 400) >= 400,
                  'GET /media/%r: HTTP %s, not the bytes of %s' % (raw, status, cid))


def check_ranges(st):
    port = st['srv'].info['media_port']
    for cid in ('Movies/big random.mpg', 'Huge/sparse.mkv'):
        rec = st['records'][cid]
        target, size = urllib.parse.urlsplit(rec['url']).path, os.stat(rec['path']).st_size
        cases = [('0-0', 0, 0), ('1000-1999', 1000, 1999), ('%d-%d' % (size - 1, size - 1), size - 1, size - 1),
                 ('-1', size - 1, size - 1), ('%d-' % (size - 10), size - 10, size - 1),
                 ('-%d' % (size + 5), 0, size - 1) if size < 64 << 20 else ('-5', size - 5, size - 1),
                 ('5-9,20-30', 5, 9), ('%d-%d' % (size - 5, size + 50), size - 5, size - 1),
                 ('%d-' % size, None, None), ('%d-%d' % (size + 100, size + 200), None, None)]  # None: 416
        if size < 64 << 20:
            cases.append(('0-', 0, size - 1))
        else:  # across 4 GiB, and beyond it
            cases += [('%d-%d' % (lo, hi), lo, hi) for lo, hi in (((1 << 32) - 4, (1 << 32) + 3),
                                                                  (4 * GIB + GIB // 2 - 5, 4 * GIB + GIB // 2 + 20))]
        with open(rec['path'], 'rb') as f:
            for rng, lo, hi in cases:
                status, hdrs, body = peers.raw_http(port, 'GET', target, ['Range: bytes=' + rng])
                if lo is None:
                    check((status, hdrs.get('content-range')) == (416, 'bytes */%d' % size),
                          '%s bytes=%s: HTTP %s, Content-Range %r' % (cid, rng, status, hdrs.get('content-range')))
                    continue
                f.seek(lo)
                want = f.read(hi - lo + 1)
                got = (status, hdrs.get('content-range'), int(hdrs.get('content-length', -1)))
                check(got == (206, 'bytes %d-%d/%d' % (lo, hi, size), len(want)) and body == want,
                      '%s bytes=%s: status, Content-Range, Content-Length %s; %d bytes %s' % (
                          cid, rng, got, len(body), 'right' if body == want else 'wrong'))
                expect_dlna(hdrs, rec, '%s bytes=%s' % (cid, rng))
        for first in (None, 0, size - 3):
            extra = [] if first is None else ['Range: bytes=%d-' % first]
            status, hdrs, body = peers.raw_http(port, 'HEAD', target, extra)
            want = (206, size - first, 'bytes %d-%d/%d' % (first, size - 1, size)) if extra else (200, size, None)
            got = (status, int(hdrs.get('content-length', -1)), hdrs.get('content-range'))
            check(got == want and not body and hdrs.get('content-type') == rec['mime'], '%s HEAD %s: %s, want %s; '
                  'Content-Type %r; %d body bytes' % (cid, extra, got, want, hdrs.get('content-type'), len(body)))
            expect_dlna(hdrs, rec, cid + ' HEAD')


def check_methods(st):
    """The media port answers GET and HEAD; other methods 405 with Allow, a malformed escape 400, what the device's
    port serves 404."""
    port = st['srv'].info['media_port']
    for method in ('POST', 'PUT', 'DELETE', 'OPTIONS', 'PROPFIND'):
        status, hdrs, _ = peers.raw_http(port, method, b'/media/Sub/a.mp3', body=b'x' * (method == 'POST'))
        check((status, hdrs.get('allow')) == (405, 'GET, HEAD'), '%s: HTTP %s, Allow %r' % (method, status,
                                                                                            hdrs.get('allow')))
    for target in (b'/media/Sub/a%zz.mp3', b'/media/Sub/a.mp3%00', b'/media/Sub/a.mp3%'):
        status = peers.raw_http(port, 'GET', target)[0]
        check(status == 400, 'GET %r: HTTP %s, want 400' % (target, status))
    for target in (b'/description.xml', b'/upnp/control/cds', b'/mediax/Sub/a.mp3'):
        status = peers.raw_http(port, 'GET', target)[0]
        check(status == 404, 'GET %r on the media port: HTTP %s, want 404' % (target, status))


class Entries(html.parser.HTMLParser):
    """The (href, name) of every entry of a folder page, and its page navigation text."""

    def __init__(self):
        super().__init__()
        self.entries, self.pages, self.href, self.name, self.in_name, self.in_pages = [], '', None, '', False, False

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == 'a' and self.href is None and not self.in_pages:
            self.href = a.get('href')
        if tag == 'span' and a.get('class') == 'name':
            self.in_name = True
        if tag == 'nav' and a.get('class') == 'pages':
            self.in_pages = True

    def handle_endtag(self, tag):
        if tag == 'span' and self.in_name:
            self.in_name = False
            self.entries.append((self.href, self.name))
        if tag == 'li' or tag == 'nav':
            self.href, self.name, self.in_pages = None, '', False

    def handle_data(self, data):
        if self.in_name:
            self.name += data
        if self.in_pages:
            self.pages += data


def phone_get(st, target):
    status, hdrs, body = peers.raw_http(st['srv'].info['media_port'], 'GET', target)
    if status == 200:
        check(hdrs.get('content-type') == 'text/html; charset=utf-8' and hdrs.get('x-content-type-options') ==
              'nosniff' and hdrs.get('content-security-policy') ==
              "default-src 'self'; media-src 'self'; img-src 'self'", 'GET %r: headers %s' % (target, hdrs))
    return status, body.decode('utf-8')


def check_phone(st, tree):
    """Every folder on the phone page lists what Browse lists, in the same order, page after page."""
    for oid, kids in tree.items():
        base = '/' if oid == '0' else '/browse/%s/' % urllib.parse.quote(oid, safe='/')
        got, page, pages = [], 1, 1
        while page <= pages:
            status, body = phone_get(st, base + ('?page=%d' % page if page > 1 else ''))
            check(status == 200, 'GET %s page %d: HTTP %s' % (base, page, status))
            parsed = Entries()
            parsed.feed(body)
            got += parsed.entries
            m = re.search(r'Page (\d+) of (\d+)', parsed.pages)
            pages = int(m.group(2)) if m else 1
            page += 1
        want = [(('/browse/%s/' if d else '/play/%s') % urllib.parse.quote(cid, safe='/'), cid.rsplit('/', 1)[-1])
                for cid, d, _ in kids]
        check(got == want, '%s on the phone page:\n  got  %s\n  want %s' % (base, got[:8], want[:8]))
    check(len(tree['Big']) == 401, 'the large folder has %d entries' % len(tree['Big']))
    for cid in ('Music/<img src=x onerror=alert(1)>.mp3', 'Music/a"b\'&c.mp4', 'Music/Кино.mp3', 'Sub?/q.txt'):
        status, body = phone_get(st, '/play/' + urllib.parse.quote(cid, safe='/'))
        src = re.search(r'class="button" href="([^"]+)"', body)
        check(status == 200 and src and '<img src=x' not in body, '/play/ of %r: HTTP %s' % (cid, status))
        got = peers.raw_http(st['srv'].info['media_port'], 'GET', html.unescape(src.group(1)))
        with open(st['records'][cid]['path'], 'rb') as f:
            check(got[0] == 200 and got[2] == f.read(), '%r from its page: HTTP %s' % (cid, got[0]))
    for target in ('/browse/.hiddendir/', '/browse/Music/outdir/', '/browse/outside%20dir/', '/browse/../',
                   '/browse/%2e%2e/', '/browse/Music/../../', '/play/Music/leak.txt', '/play/top.mp3',
                   '/play/Music/peek.mp3', '/play/Music/bad%FF.mp3', '/browse/Music/year%20link/../../../',
                   '/play/Movies', '/nothing', '/browse/nope/'):
        status, body = phone_get(st, target)
        check(status in (400, 404) and SECRET.decode()[:16] not in body, 'GET %s: HTTP %s' % (target, status))


def check_metadata(st, tree):
    sp, recs = st['cds'], st['records']
    out = browse(sp, '0', 'BrowseMetadata')
    check('error' not in out, 'BrowseMetadata "0" failed: %s' % out.get('error'))
    didl, returned, total = out['value']
    page = parse_page(didl, 'BrowseMetadata "0"')
    check(returned == total == len(page) == 1, 'BrowseMetadata "0": %d/%d/%d' % (returned, total, len(page)))
    r = page[0]
    check((r['id'], r['parent'], r['folder'], r['class'], r['child_count']) ==
          ('0', '-1', True, 'object.container', len(tree['0'])), 'root record %s' % r)
    for oid in [i for i in recs if not recs[i]['folder']][::3] + ['Movies', 'Movies/2019/Deep', 'Sub?']:
        out = browse(sp, oid, 'BrowseMetadata')
        check('error' not in out, 'BrowseMetadata %r failed: %s' % (oid, out.get('error')))
        page = parse_page(out['value'][0], 'BrowseMetadata %r' % oid)
        check(len(page) == 1 and page[0]['xml'] == recs[oid]['xml'], 'BrowseMetadata %r:\n  %s\n  listing: %s'
              % (oid, page[0]['xml'] if page else None, recs[oid]['xml']))
    for oid, flag, code in [('nope', 'BrowseMetadata', 701), ('top.mp3', 'BrowseMetadata', 701),
                            ('.hiddendir', 'BrowseMetadata', 701), ('Music/leak.txt', 'BrowseMetadata', 701),
                            ('Music/../Sub', 'BrowseMetadata', 701), ('/etc', 'BrowseMetadata', 701),
                            ('nope', 'BrowseDirectChildren', 701), ('.hiddendir', 'BrowseDirectChildren', 701),
                            ('', 'BrowseMetadata', 402), ('0', 'BrowseEverything', 402)]:
        err = browse(sp, oid, flag).get('error')
        check(err is not None and err.code == code, '%s %r: want fault %d, got %s' % (flag, oid, code,
                                                                                    err or 'success'))


HOSTILE = [b'/media/../secret.txt', b'/media/%2e%2e/secret.txt', b'/media/..%2fsecret.txt',
           b'/media/%252e%252e/secret.txt', b'/media/Sub%3F/../../secret.txt', b'/media/Sub%3F/../../../secret.txt',
           b'/media/x%23/../../secret.txt', b'/media/x%23/../../../secret.txt', b'/media/Sub?/../../../secret.txt',
           b'/media/Sub/%2e%2e/%2e%2e/secret.txt', b'/media/Sub%3F/%2e%2e/%2e%2e/%2e%2e/secret.txt',
           b'/media/Sub%3F/../../../../../../../etc/passwd', b'/media/..%5c..%5csecret.txt',
           b'/media/Sub%3F/../../../secret.txt%00.mp3', b'/media/Music/leak.txt', b'/media/Music/leak.txt%3F',
           b'/media/Music/outdir/other.txt', b'/media/outside%20dir/other.txt', b'/media/.hidden.mp3',
           b'/media/.hiddendir/inside.mp3', b'/media/Pictures/.hidden.png', b'/media/Pictures/%2ehidden.png',
           b'/media/Music/bad%FF.mp3', b'/media/Music/pipe.mp3', b'/media//etc/passwd', b'/media/%2Fetc%2Fpasswd',
           b'/media/Sub/', b'/media/Sub', b'/media/', b'/media', b'/media/description.xml', b'/media/cm.xml',
           b'/media/cds.xml', b'/media/Sub%3F/../description.xml', b'/media/x%23/../../cds.xml',
           b'/media/Sub/x%3F/../../../description.xml', b'/media/x#/../../secret.txt', b'/secret.txt',
           b'/../secret.txt', b'/media/top.mp3', b'/media/Music/peek.mp3']
MAY_SERVE_A = [b'/media/Sub/a.mp3?../../secret.txt', b'/media/Sub/a.mp3%00.jpg', b'/media/Sub/a.mp3#/../../x',
               b'/media/Sub/a.mp3?/../../../secret.txt']  # query and fragment tricks: Sub/a.mp3 itself, or an error
WRITES = [('POST', b'/media/Sub/a.mp3'), ('POST', b'/media/Sub/new.mp3'), ('POST', b'/media/new.txt'),
          ('PUT', b'/media/Sub/a.mp3'), ('PUT', b'/media/Sub/new.mp3'), ('POST', b'/media/Sub%3F/../../new.txt')]


def check_hostile(st):
    for port in (st['srv'].info['media_port'], st['srv'].info['port'], st['srv'].info['stack_port']):
        hostile_on(st, port)


def hostile_on(st, port):
    with open(os.path.join(st['share'], 'Sub', 'a.mp3'), 'rb') as f:
        a_mp3 = f.read()
    for target in HOSTILE + MAY_SERVE_A:
        status, _, body = peers.raw_http(port, 'GET', target)
        check((status or 400) >= 300 or target in MAY_SERVE_A and status == 200 and body == a_mp3,
              'GET %r answered HTTP %s with %r' % (target, status, body[:120]))
        check(not re.search(rb'<root|<scpd|root:x:0:0|' + SECRET[:16], body),
              'GET %r returned secret bytes or a description document' % target)
    for target in (b'/media/../description.xml', b'/media/../cm.xml'):  # may be normalised to the real ones
        check(SECRET[:16] not in peers.raw_http(port, 'GET', target)[2], 'GET %r returned secret bytes' % target)
    for method, target, extra in [(m, t, []) for m, t in WRITES] + [
            ('POST', b'/media/Sub/a.mp3', ['SOAPACTION: "%s#Browse"' % CDS_TYPE])]:
        status, _, body = peers.raw_http(port, method, target, extra + ['Content-Type: audio/mpeg'], b'NEW' * 900)
        check((status or 400) >= 400 and SECRET[:16] not in body, '%s %r answered HTTP %s' % (method, target, status))


def check_after(st, tree):
    check(st['srv'].alive(), 'the server exited')
    out = browse(st['cds'], '0', 'BrowseDirectChildren', 0, 0)
    check('error' not in out and out['value'][2] == len(tree['0']),
          'Browse "0" after the hostile requests: %s' % (out.get('error') or out['value'][1:]))
    check(peers.raw_http(st['srv'].info['media_port'], 'GET', b'/media/Sub/a.mp3')[0] == 200, 'GET Sub/a.mp3 fails now')
    after, before = snapshot(st['data']), st['snapshot']
    check(after == before, 'created or changed: %s' % [p for p in {*after, *before} if after.get(p) != before.get(p)])


def main(cli, tmp):
    data = os.path.join(tmp, 'data')
    st = {'data': data, 'share': build_tree(data), 'records': {}}
    tree, st['snapshot'] = expected_tree(st['share']), snapshot(data)
    st['srv'] = peers.serve(cli, tmp, st['share'])
    watch = peers.Watch(st['srv'].info['udn'])
    found = group('GUPnP finds the server', lambda: check(st.setdefault('cds', watch.found().get_service(CDS_TYPE)),
                                                          'the device has no ContentDirectory'))
    browsed = group('GUPnP-AV browses the whole tree, pages of 5', check_tree, st, tree, runnable=found)
    group('every res URL: bytes, Content-Type, DLNA headers', check_fetch, st, runnable=browsed)
    group('raw and encoded path forms', check_raw_forms, st, runnable=browsed)
    group('byte ranges and HEAD (3 MiB and 5 GiB sparse)', check_ranges, st, runnable=browsed)
    group('other methods 405, malformed paths 400, nothing but /media/ on the media port', check_methods, st)
    group('the phone page lists what Browse lists; hostile names are text; nothing hidden is reached',
          check_phone, st, tree, runnable=browsed)
    group('BrowseMetadata: root, items; faults 701 and 402', check_metadata, st, tree, runnable=browsed)
    group('hostile paths and methods refused on both ports, no secret byte returned', check_hostile, st)
    group('alive afterwards; no file changed or created', check_after, st, tree, runnable=found)
    group('SIGTERM: clean exit', peers.clean_exit, st['srv'])


if __name__ == '__main__':
    sys.exit(peers.main(main, gi=True))
