#!/usr/bin/python3
"""Interop test: the shared folder of tovaly-cli serve, browsed with GUPnP-AV and fetched over HTTP.

Usage: netns.sh run /usr/bin/python3 test_media.py PATH/TO/tovaly-cli
Talks only to addresses inside the private network namespace that netns.sh creates.
"""
import functools
import hashlib
import http.client
import os
import re
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import uuid
import xml.etree.ElementTree as ET
import zlib

try:
    import gi
    gi.require_version('GUPnP', '1.6')
    gi.require_version('GSSDP', '1.6')
    gi.require_version('GUPnPAV', '1.0')
    from gi.repository import GLib, GObject, Gio, GSSDP, GUPnP, GUPnPAV
except (ImportError, ValueError) as e:
    print('SKIP: GUPnP 1.6 / GUPnP-AV 1.0 introspection data is missing (%s)' % e)
    sys.exit(77)

ADDR = os.environ.get('TOVALY_TEST_ADDR', '192.0.2.1')
IFACE = 'upnp0'
WAIT = 30  # seconds; generous upper bound for anything we wait on, never a pass criterion
MS_TYPE = 'urn:schemas-upnp-org:device:MediaServer:1'
CDS_TYPE = 'urn:schemas-upnp-org:service:ContentDirectory:1'
NS_UPNP = '{urn:schemas-upnp-org:metadata-1-0/upnp/}'
GIB = 1 << 30
SPARSE_SIZE = 5 * GIB + 1000
SPARSE_MARKS = {(1 << 32) - 2: b'<4G|', 4 * GIB + GIB // 2: b'at 4.5 GiB', SPARSE_SIZE - 1: b'Z'}
SECRET = ('TOP-SECRET-%s' % uuid.uuid4().hex).encode()
CLASSES = {'.mp3': 'audioItem', '.wav': 'audioItem', '.mkv': 'videoItem', '.mp4': 'videoItem',
           '.mpg': 'videoItem', '.png': 'imageItem', '.txt': 'textItem'}
FIXED_MTIME = 1551675967  # 2019-03-04T05:06:07Z

results = []  # (group, ok, detail)
notes = {}    # section -> lines: how libupnp and the program answered
leaks = []    # responses that carried secret bytes


def check(cond, msg):
    if not cond:
        raise AssertionError(msg)


def note(section, line):
    notes.setdefault(section, []).append(line)


def group(name, fn, *args, runnable=True):
    if not runnable:
        results.append((name, None, 'not run: needs a group that failed'))
        return False
    try:
        fn(*args)
        results.append((name, True, ''))
        return True
    except Exception as e:  # a failed group must not stop the others
        results.append((name, False, '%s: %s' % (type(e).__name__, e)))
        return False


def wait_loop(pred, timeout=WAIT):
    """Runs the GLib main loop until pred() holds or the timeout passes."""
    loop = GLib.MainLoop()
    deadline = time.monotonic() + timeout

    def tick():
        if pred() or time.monotonic() > deadline:
            loop.quit()
            return False
        return True
    GLib.timeout_add(20, tick)
    loop.run()
    return pred()


def scan(what, body):
    if SECRET[:16] in body or b'root:x:0:0' in body:
        leaks.append(what)


def raw_http(port, method, target, headers=(), body=b''):
    """One request with a byte-exact target on a fresh connection; (status or None, headers, body)."""
    head = b'%s %s HTTP/1.1\r\nHost: %s:%d\r\n' % (method.encode(), target, ADDR.encode(), port)
    head += b''.join(b'%s\r\n' % h.encode() for h in headers)
    if body:
        head += b'Content-Length: %d\r\n' % len(body)
    chunks = []
    with socket.create_connection((ADDR, port), timeout=WAIT) as s:
        try:
            s.sendall(head + b'\r\n' + body)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the server may answer and close before it has read everything
        try:
            while True:
                c = s.recv(1 << 20)
                if not c:
                    break
                chunks.append(c)
        except ConnectionResetError:
            pass
    resp = b''.join(chunks)
    head_part, _, rest = resp.partition(b'\r\n\r\n')
    lines = head_part.decode('latin-1').split('\r\n')
    m = re.match(r'HTTP/\d\.\d (\d{3})', lines[0])
    hdrs = {}
    for ln in lines[1:]:
        k, _, v = ln.partition(':')
        hdrs[k.strip().lower()] = v.strip()
    scan('%s %r' % (method, target), resp)
    return (int(m.group(1)) if m else None), hdrs, rest


# ---------------------------------------------------------------- the sample tree

def mp3_bytes(tag):
    frame = b'\xff\xfb\x90\x64' + bytes(413)  # MPEG-1 Layer III, 128 kbit/s, 44.1 kHz: silence
    return frame * 8 + b'TAG' + tag.ljust(125, b'\0')[:125]


def wav_bytes(tag):
    data = bytes(16000)  # 1 s of 8 kHz mono 16-bit silence
    return (b'RIFF' + struct.pack('<I', 36 + len(data)) + b'WAVEfmt ' +
            struct.pack('<IHHIIHH', 16, 1, 1, 8000, 16000, 2, 16) + b'data' +
            struct.pack('<I', len(data)) + data + tag)


def png_bytes(tag):
    def chunk(kind, payload):
        return struct.pack('>I', len(payload)) + kind + payload + struct.pack('>I', zlib.crc32(kind + payload))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', 1, 1, 8, 0, 0, 0, 0)) +
            chunk(b'tEXt', b'Comment\0' + tag) + chunk(b'IDAT', zlib.compress(b'\0\0')) + chunk(b'IEND', b''))


def content_for(rel):
    tag = hashlib.sha1(rel).hexdigest().encode()
    ext = os.path.splitext(rel)[1].lower()
    maker = {b'.mp3': mp3_bytes, b'.wav': wav_bytes, b'.png': png_bytes}.get(ext)
    return maker(tag) if maker else b'file ' + rel + b'\n' + os.urandom(200)


FILES = ['top.mp3', '.hidden.mp3', '.hiddendir/inside.mp3', 'Movies/2019/Deep/clip.mp4',
         'Movies/2019/Deep/Level 4/x.txt', 'Movies/2019/new year.mkv', 'Movies/a b.mp4', 'Movies/ep 2.mkv',
         'Movies/ep 10.mkv', 'Movies/Ep 1.mkv', 'Music/silence.mp3', 'Music/tone.wav', 'Music/hash#tag.mp3',
         'Music/what?.mp3', 'Music/100%.mp3', 'Music/50%25 off.mp3', 'Music/rock&roll.mp3', 'Music/a+b.mp3',
         "Music/it's.mp3", 'Music/Кино.mp3', 'Music/🎵 song.mp3', 'Pictures/pic.png', 'Pictures/notes.txt',
         'Pictures/.hidden.png', 'Pictures/data.bin', 'Sub/a.mp3', 'Sub?/q.txt', 'x#/h.txt']


def build_tree(tmp):
    t = {'tmp': tmp, 'share': os.path.join(tmp, 'share'), 'secret': os.path.join(tmp, 'secret.txt')}
    share = os.fsencode(t['share'])
    os.makedirs(os.path.join(tmp, 'outside'))
    with open(t['secret'], 'wb') as f:
        f.write(SECRET + b'\n')
    with open(os.path.join(tmp, 'outside', 'other.txt'), 'wb') as f:
        f.write(SECRET + b' (other)\n')
    for rel in [r.encode() for r in FILES] + [b'Music/bad\xff.mp3']:
        path = os.path.join(share, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as f:
            f.write(content_for(rel))
    with open(os.path.join(share, b'Movies/big random.mpg'), 'wb') as f:
        f.write(os.urandom(3 * 1024 * 1024 + 123))
    os.makedirs(os.path.join(share, b'Huge'))
    sparse = os.path.join(share, b'Huge/sparse.mkv')
    with open(sparse, 'wb') as f:
        f.write(b'sparse head')
        for off, data in SPARSE_MARKS.items():
            f.seek(off)
            f.write(data)
    os.truncate(sparse, SPARSE_SIZE)
    os.symlink(t['secret'], os.path.join(share, b'Music/leak.txt'))
    os.symlink(os.path.join(tmp, 'outside'), os.path.join(share, b'Music/outdir'))
    os.symlink(os.path.join(tmp, 'outside'), os.path.join(share, b'outside dir'))
    os.symlink('silence.mp3', os.path.join(share, b'Music/alias.mp3'))
    os.mkfifo(os.path.join(share, b'Music/pipe.mp3'))
    os.symlink('../Movies/2019', os.path.join(share, b'Music/year link'))
    os.symlink('../.hiddendir/inside.mp3', os.path.join(share, b'Music/peek.mp3'))  # inside, but hidden
    for rel in (b'Music/silence.mp3', b'Movies/a b.mp4', b'Pictures/pic.png'):
        os.utime(os.path.join(share, rel), (FIXED_MTIME, FIXED_MTIME))
    t['snapshot'] = snapshot(tmp)
    return t


def snapshot(top):
    """Every entry below top: type, size, times and (for small files) a hash."""
    snap = {}
    for d, dirs, files in os.walk(os.fsencode(top)):
        for name in dirs + files:
            p = os.path.join(d, name)
            st = os.lstat(p)
            digest = None
            if stat.S_ISREG(st.st_mode):
                with open(p, 'rb') as f:
                    if st.st_size < 64 << 20:
                        digest = hashlib.sha256(f.read()).hexdigest()
                    else:  # the sparse file: its marks (and the unchanged times) stand in for a hash
                        digest = [(f.seek(o), f.read(len(v)))[1] for o, v in SPARSE_MARKS.items()]
            snap[p] = (stat.S_IFMT(st.st_mode), st.st_size, st.st_mtime_ns, st.st_ctime_ns, digest)
    return snap


def natural_less(a, b):
    """Natural, ASCII-case-insensitive order on the UTF-8 bytes; ties broken by the bytes."""
    i = j = 0
    while i < len(a) and j < len(b):
        if 48 <= a[i] <= 57 and 48 <= b[j] <= 57:
            ei, ej = i, j
            while i < len(a) and 48 <= a[i] <= 57:
                i += 1
            while j < len(b) and 48 <= b[j] <= 57:
                j += 1
            na, nb = int(a[ei:i]), int(b[ej:j])
            if na != nb:
                return na < nb
            continue
        ca, cb = a[i:i + 1].lower(), b[j:j + 1].lower()
        if ca != cb:
            return ca < cb
        i += 1
        j += 1
    if (i < len(a)) != (j < len(b)):
        return j < len(b)
    return a < b


def expected_tree(share):
    """Object id -> ordered children (id, is_folder, real path), from the publishing rules."""
    root = os.path.realpath(share)
    tree = {}

    def visit(oid, folder):
        dirs, files = [], []
        for name in os.listdir(os.fsencode(folder)):
            p = os.path.join(os.fsencode(folder), name)
            if name.startswith(b'.'):
                continue
            try:
                text = name.decode('utf-8')
            except UnicodeDecodeError:
                continue
            real = os.path.realpath(p)
            inside = os.fsencode(root) + b'/'
            # A link is followed only to a visible entry inside the folder.
            if os.path.islink(p) and (not real.startswith(inside) or b'/.' in real[len(inside) - 1:]):
                continue
            st = os.stat(p)
            if stat.S_ISDIR(st.st_mode):
                dirs.append(text)
            elif stat.S_ISREG(st.st_mode) and oid != '0':
                files.append(text)
        key = functools.cmp_to_key(lambda x, y: -1 if natural_less(x.encode(), y.encode())
                                   else 1 if natural_less(y.encode(), x.encode()) else 0)
        kids = [(n, True) for n in sorted(dirs, key=key)] + [(n, False) for n in sorted(files, key=key)]
        tree[oid] = [(n if oid == '0' else oid + '/' + n, d, os.path.join(folder, n)) for n, d in kids]
        for cid, is_dir, path in tree[oid]:
            if is_dir:
                visit(cid, path)
    visit('0', share)
    return tree


# ---------------------------------------------------------------- the server and GUPnP

def start_server(cli, tmp, share):
    cfg = os.path.join(tmp, 'config.ini')
    with open(cfg, 'w') as f:
        f.write('[setting]\ncontent_path=%s\n' % share)
    proc = subprocess.Popen([cli, '--config', cfg, 'serve', '--address', ADDR],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    lines, ready = [], threading.Event()

    def reader():
        for ln in proc.stdout:
            lines.append(ln.rstrip('\n'))
            if ln.startswith('Press Ctrl-C'):
                ready.set()
        ready.set()
    thread = threading.Thread(target=reader, daemon=True)
    thread.start()
    ready.wait(WAIT)
    text = '\n'.join(lines)
    srv = {'proc': proc, 'lines': lines, 'reader': thread}
    for key, pat in (('udn', r'UDN:\s+(\S+)'), ('base', r'Address:\s+(\S+)')):
        m = re.search(pat, text)
        if not m:
            raise AssertionError('server output lacks %s (exit %s):\n%s' % (key, proc.poll(), text))
        srv[key] = m.group(1)
    srv['port'] = urllib.parse.urlsplit(srv['base']).port
    return srv


def browse(sp, oid, flag, start=0, count=0):
    """One Browse through GUPnP's async API: {'values': [...]} or {'error': GLib.Error}."""
    out = {}
    names = ['ObjectID', 'BrowseFlag', 'Filter', 'StartingIndex', 'RequestedCount', 'SortCriteria']
    values = [GObject.Value(str, oid), GObject.Value(str, flag), GObject.Value(str, '*'),
              GObject.Value(GObject.TYPE_UINT, start), GObject.Value(GObject.TYPE_UINT, count),
              GObject.Value(str, '')]

    def done(proxy, res, *_):
        try:
            act = proxy.call_action_finish(res)
            out['values'] = act.get_result_list(['Result', 'NumberReturned', 'TotalMatches'],
                                                [str, GObject.TYPE_UINT, GObject.TYPE_UINT]).out_values
        except GLib.Error as e:
            out['error'] = e
    sp.call_action_async(GUPnP.ServiceProxyAction.new_from_list('Browse', names, values), None, done)
    check(wait_loop(lambda: out), 'Browse %r %s got no answer within %d s' % (oid, flag, WAIT))
    return out


def parse_page(didl, context):
    """All objects of one Result, parsed by GUPnP-AV and (for what it does not expose) by ElementTree."""
    objs = []
    parser = GUPnPAV.DIDLLiteParser.new()
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
            check(len(res) == 1, '%s: %s has %d res' % (context, r['id'], len(res)))
            pi = res[0].get_protocol_info()
            r['url'], r['mime'] = res[0].get_uri(), pi.get_mime_type()
            r['pi'] = (pi.get_protocol(), pi.get_network(), pi.get_mime_type())
        records.append(r)
    return records


# ---------------------------------------------------------------- checks

def check_tree(state, tree):
    sp, seen = state['cds'], state['records']
    movies = [k[0] for k in tree['Movies']]
    check(movies.index('Movies/Ep 1.mkv') < movies.index('Movies/ep 2.mkv') < movies.index('Movies/ep 10.mkv'),
          'the expected order itself is not natural: %s' % movies)
    for oid, kids in tree.items():
        got, start = [], 0
        while True:
            out = browse(sp, oid, 'BrowseDirectChildren', start, 5)
            check('error' not in out, 'Browse %r from %d failed: %s' % (oid, start, out.get('error')))
            didl, returned, total_now = out['values']
            page = parse_page(didl, 'Browse %r from %d' % (oid, start))
            check(returned == len(page) == min(5, len(kids) - start),
                  '%r from %d: NumberReturned %d, %d objects, want %d' % (oid, start, returned, len(page),
                                                                         min(5, len(kids) - start)))
            check(total_now == len(kids), '%r: TotalMatches %d, want %d' % (oid, total_now, len(kids)))
            got += page
            start += len(page)
            if not page or start >= total_now:
                break
        want_ids = [k[0] for k in kids]
        check([r['id'] for r in got] == want_ids, 'children of %r:\n  got  %s\n  want %s'
              % (oid, [r['id'] for r in got], want_ids))
        for r, (cid, is_dir, path) in zip(got, kids):
            check(r['parent'] == oid and r['title'] == cid.rsplit('/', 1)[-1] and r['folder'] == is_dir,
                  '%s: parentID %r title %r container %s' % (cid, r['parent'], r['title'], r['folder']))
            if is_dir:
                check(r['class'] == 'object.container', '%s: class %s' % (cid, r['class']))
            else:
                want_cls = 'object.item.' + CLASSES[os.path.splitext(cid)[1]] \
                    if os.path.splitext(cid)[1] in CLASSES else 'object.item'
                url = state['srv']['base'] + 'media/' + urllib.parse.quote(cid, safe='/')
                check(r['class'] == want_cls, '%s: class %s, want %s' % (cid, r['class'], want_cls))
                check(r['url'] == url, '%s: res %s, want %s' % (cid, r['url'], url))
                check(r['pi'][:2] == ('http-get', '*') and r['mime'], '%s: protocolInfo %s' % (cid, r['pi']))
                t = time.gmtime(os.stat(path).st_mtime)
                check(r['date'] == time.strftime('%Y-%m-%d', t) and r['start'] == time.strftime('%Y-%m-%dT%H:%M:%S', t),
                      '%s: dc:date %r scheduledStartTime %r' % (cid, r['date'], r['start']))
            seen[cid] = dict(r, path=path)
    pinned = seen.get('Music/silence.mp3', {})
    check((pinned.get('date'), pinned.get('start')) == ('2019-03-04', '2019-03-04T05:06:07'),
          'fixed mtime seen as %s %s' % (pinned.get('date'), pinned.get('start')))
    for absent in ('top.mp3', '.hiddendir', 'Music/leak.txt', 'Music/outdir', 'Music/pipe.mp3',
                   'Pictures/.hidden.png', 'outside dir', 'Music/peek.mp3'):
        check(absent not in seen, '%s is published' % absent)
    check(not [i for i in seen if '\ufffd' in i or 'bad' in i], 'the non-UTF-8 name is published')
    note('tree', '%d folders, %d items browsed by pages of 5' % (len(tree), len(seen) - len(tree) + 1))


def expect_dlna(hdrs, rec, context):
    want_mode = 'Streaming' if rec['class'].split('.')[-1] in ('audioItem', 'videoItem') else 'Interactive'
    check('DLNA.ORG_OP=01' in hdrs.get('contentfeatures.dlna.org', ''), '%s: contentFeatures.dlna.org %r'
          % (context, hdrs.get('contentfeatures.dlna.org')))
    check(hdrs.get('transfermode.dlna.org') == want_mode, '%s: transferMode.dlna.org %r, want %s'
          % (context, hdrs.get('transfermode.dlna.org'), want_mode))


def check_fetch(state):
    for cid, rec in state['records'].items():
        if rec['folder']:
            continue
        target = urllib.parse.urlsplit(rec['url']).path
        size = os.stat(rec['path']).st_size
        c = http.client.HTTPConnection(ADDR, state['srv']['port'], timeout=WAIT)
        c.request('GET', target)
        r = c.getresponse()
        hdrs = {k.lower(): v for k, v in r.getheaders()}
        check(r.status == 200, 'GET %s: HTTP %d' % (target, r.status))
        check(r.getheader('Content-Type') == rec['mime'], 'GET %s: Content-Type %r, protocolInfo says %r'
              % (target, r.getheader('Content-Type'), rec['mime']))
        check(int(r.getheader('Content-Length', -1)) == size, 'GET %s: Content-Length %s, file has %d'
              % (target, r.getheader('Content-Length'), size))
        expect_dlna(hdrs, rec, 'GET ' + target)
        got, digest, n, t0 = hashlib.sha256(), hashlib.sha256(), 0, time.monotonic()
        with open(rec['path'], 'rb') as f:
            while True:
                chunk = r.read(1 << 20)
                if not chunk:
                    break
                scan('GET ' + target, chunk)
                got.update(chunk)
                digest.update(f.read(len(chunk)))
                n += len(chunk)
        c.close()
        if size > 1 << 30:
            note('tree', 'GET of the %.1f GiB sparse file took %.1f s' % (size / GIB, time.monotonic() - t0))
        check(n == size and got.digest() == digest.digest(), 'GET %s: %d bytes, not the file\'s %d' % (target, n, size))


def check_raw_forms(state):
    port, recs = state['srv']['port'], state['records']
    forms = [('Music/rock&roll.mp3', b'Music/rock&roll.mp3'), ('Music/a+b.mp3', b'Music/a+b.mp3'),
             ("Music/it's.mp3", b"Music/it's.mp3"), ('Music/what?.mp3', b'Music/what?.mp3'),
             ('Music/hash#tag.mp3', b'Music/hash#tag.mp3'), ('Music/100%.mp3', b'Music/100%.mp3'),
             ('Music/50%25 off.mp3', b'Music/50%25%20off.mp3'), ('Movies/a b.mp4', b'Movies/a b.mp4'),
             ('Music/Кино.mp3', 'Music/Кино.mp3'.encode()), ('Music/🎵 song.mp3', 'Music/🎵%20song.mp3'.encode()),
             ('Music/Кино.mp3', b'Music/' + urllib.parse.quote('Кино').lower().encode() + b'.mp3'),
             ('Sub/a.mp3', b''.join(b'%%%02X' % c for c in b'Sub/a.mp3'))]
    for cid, raw in forms:
        status, hdrs, body = raw_http(port, 'GET', b'/media/' + raw)
        with open(recs[cid]['path'], 'rb') as f:
            right = body == f.read()
        note('raw path forms', '%-40s -> %s%s' % ('/media/' + raw.decode('utf-8', 'backslashreplace'), status, ' (file bytes)' if right else ''))
        check(status != 200 or right, 'GET /media/%r: 200 with other bytes than %s' % (raw, cid))
        check(status == 200 or (status or 400) >= 400, 'GET /media/%r: HTTP %s' % (raw, status))


def range_cases(size):
    """(Range, first, last byte or None for 416); 'bytes=0-' of the sparse file is checked by HEAD only."""
    cases = [('0-0', 0, 0), ('1000-1999', 1000, 1999), ('%d-%d' % (size - 1, size - 1), size - 1, size - 1),
             ('-1', size - 1, size - 1), ('%d-' % (size - 10), size - 10, size - 1),
             ('%d-' % size, None, None), ('%d-%d' % (size + 100, size + 200), None, None)]
    if size < 64 << 20:
        cases.append(('0-', 0, size - 1))
    else:
        cases += [('%d-%d' % ((1 << 32) - 4, (1 << 32) + 3), (1 << 32) - 4, (1 << 32) + 3),
                  ('%d-%d' % (4 * GIB + GIB // 2 - 5, 4 * GIB + GIB // 2 + 20), 4 * GIB + GIB // 2 - 5,
                   4 * GIB + GIB // 2 + 20)]
    return cases


def check_ranges(state):
    port = state['srv']['port']
    for cid in ('Movies/big random.mpg', 'Huge/sparse.mkv'):
        rec = state['records'][cid]
        target = urllib.parse.urlsplit(rec['url']).path.encode()
        size = os.stat(rec['path']).st_size
        with open(rec['path'], 'rb') as f:
            for rng, lo, hi in range_cases(size):
                status, hdrs, body = raw_http(port, 'GET', target, ['Range: bytes=' + rng])
                note('ranges', '%-22s bytes=%-24s -> %s %s len %s' % (cid, rng, status,
                     hdrs.get('content-range', '-'), hdrs.get('content-length')))
                if lo is None:
                    check(status == 416, '%s bytes=%s: HTTP %s, want 416' % (cid, rng, status))
                    continue
                if rng == '-1' and status != 206:
                    check(status in (400, 416), '%s bytes=-1: HTTP %s' % (cid, status))
                    continue
                f.seek(lo)
                want = f.read(hi - lo + 1)
                check(status == 206, '%s bytes=%s: HTTP %s' % (cid, rng, status))
                check(hdrs.get('content-range') == 'bytes %d-%d/%d' % (lo, hi, size),
                      '%s bytes=%s: Content-Range %r' % (cid, rng, hdrs.get('content-range')))
                check(body == want and int(hdrs.get('content-length', -1)) == len(want),
                      '%s bytes=%s: %d wrong bytes (Content-Length %s)' % (cid, rng, len(body),
                                                                          hdrs.get('content-length')))
                expect_dlna(hdrs, rec, '%s bytes=%s' % (cid, rng))
        for first in (None, 0, size - 3):
            extra = [] if first is None else ['Range: bytes=%d-' % first]
            status, hdrs, body = raw_http(port, 'HEAD', target, extra)
            note('ranges', '%-22s HEAD %-24s -> %s %s len %s body %d' % (cid, ' '.join(extra), status,
                 hdrs.get('content-range', '-'), hdrs.get('content-length'), len(body)))
            want = (200, size, None) if first is None else (206, size - first,
                                                            'bytes %d-%d/%d' % (first, size - 1, size))
            got = (status, int(hdrs.get('content-length', -1)), hdrs.get('content-range'))
            check(got == want and not body, '%s HEAD %s: %s, want %s; %d body bytes' % (cid, extra, got, want, len(body)))
            check(hdrs.get('content-type') == rec['mime'], '%s HEAD: Content-Type %r' % (cid, hdrs.get('content-type')))
            expect_dlna(hdrs, rec, cid + ' HEAD')


def check_metadata(state, tree):
    sp, recs = state['cds'], state['records']
    out = browse(sp, '0', 'BrowseMetadata')
    check('error' not in out, 'BrowseMetadata "0" failed: %s' % out.get('error'))
    didl, returned, total = out['values']
    page = parse_page(didl, 'BrowseMetadata "0"')
    check(returned == total == len(page) == 1, 'BrowseMetadata "0": %d/%d/%d' % (returned, total, len(page)))
    r = page[0]
    check(r['id'] == '0' and r['parent'] == '-1' and r['folder'] and r['class'] == 'object.container',
          'root record %s' % {k: r[k] for k in ('id', 'parent', 'folder', 'class')})
    check(r['child_count'] == len(tree['0']), 'root childCount %d, want %d' % (r['child_count'], len(tree['0'])))
    for oid in [i for i in recs if not recs[i]['folder']][::3] + ['Movies', 'Movies/2019/Deep', 'Sub?']:
        out = browse(sp, oid, 'BrowseMetadata')
        check('error' not in out, 'BrowseMetadata %r failed: %s' % (oid, out.get('error')))
        page = parse_page(out['values'][0], 'BrowseMetadata %r' % oid)
        check(len(page) == 1 and page[0]['xml'] == recs[oid]['xml'], 'BrowseMetadata %r:\n  %s\n  listing: %s'
              % (oid, page[0]['xml'] if page else None, recs[oid]['xml']))
    for oid, flag in [('nope', 'BrowseMetadata'), ('top.mp3', 'BrowseMetadata'), ('.hiddendir', 'BrowseMetadata'),
                      ('Music/leak.txt', 'BrowseMetadata'), ('Music/../Sub', 'BrowseMetadata'),
                      ('/etc', 'BrowseMetadata'), ('', 'BrowseMetadata'), ('0', 'BrowseEverything')]:
        out = browse(sp, oid, flag)
        err = out.get('error')
        note('faults', '%-16s %-16r -> %s' % (flag, oid, 'fault %d %s' % (err.code, err.message) if err else 'success'))
        check(err is not None and err.code == 402, '%s %r: want fault 402, got %s' % (flag, oid, err or out))


def check_hostile(state):
    port, share = state['srv']['port'], state['tree']['share']
    with open(os.path.join(share, 'Sub', 'a.mp3'), 'rb') as f:
        a_mp3 = f.read()
    may_serve_a = {b'/media/Sub/a.mp3?../../secret.txt', b'/media/Sub/a.mp3%00.jpg', b'/media/Sub/a.mp3#/../../x',
                   b'/media/Sub/a.mp3?/../../../secret.txt'}
    targets = [b'/media/../secret.txt', b'/media/%2e%2e/secret.txt', b'/media/..%2fsecret.txt',
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
               b'/../secret.txt', b'/media/top.mp3', b'/media/Music/peek.mp3'] + sorted(may_serve_a)
    for target in targets:
        status, hdrs, body = raw_http(port, 'GET', target)
        served_a = status == 200 and body == a_mp3
        note('hostile requests', '%-52s -> %s%s' % (target.decode('latin-1'), status,
             ' (Sub/a.mp3 bytes)' if served_a else ' (%d body bytes)' % len(body) if status == 200 else ''))
        ok = (status or 400) >= 300 or (target in may_serve_a and served_a)
        check(ok, 'GET %r answered HTTP %s with %r' % (target, status, body[:120]))
        check(b'<root' not in body and b'<scpd' not in body,
              'GET %r returned a description document' % target)
    for target in (b'/media/../description.xml', b'/media/../cm.xml'):
        status, _, body = raw_http(port, 'GET', target)
        note('hostile requests', '%-52s -> %s (recorded only: %d body bytes)' % (target.decode(), status, len(body)))
    for method, target, extra in [('POST', b'/media/Sub/a.mp3', []), ('POST', b'/media/Sub/new.mp3', []),
                                  ('POST', b'/media/new.txt', []), ('PUT', b'/media/Sub/a.mp3', []),
                                  ('PUT', b'/media/Sub/new.mp3', []), ('POST', b'/media/Sub%3F/../../new.txt', []),
                                  ('POST', b'/media/Sub/a.mp3', ['SOAPACTION: "%s#Browse"' % CDS_TYPE])]:
        status, _, body = raw_http(port, method, target, extra + ['Content-Type: audio/mpeg'], b'OVERWRITTEN' * 300)
        note('hostile requests', '%-52s -> %s' % ('%s %s%s' % (method, target.decode(), ' +SOAPACTION' if extra else ''),
                                                  status))
        check((status or 400) >= 400, '%s %r answered HTTP %s' % (method, target, status))


def check_after(state, tree):
    check(state['srv']['proc'].poll() is None, 'the server exited: %s' % state['srv']['lines'][-5:])
    out = browse(state['cds'], '0', 'BrowseDirectChildren', 0, 0)
    check('error' not in out and out['values'][2] == len(tree['0']),
          'Browse "0" after the hostile requests: %s' % (out.get('error') or out['values'][1:]))
    status, _, body = raw_http(state['srv']['port'], 'GET', b'/media/Sub/a.mp3')
    check(status == 200, 'GET /media/Sub/a.mp3 after the hostile requests: HTTP %s' % status)
    before, after = state['tree']['snapshot'], snapshot(state['tree']['tmp'])
    new = sorted(set(after) - set(before) - {os.fsencode(os.path.join(state['tree']['tmp'], 'config.ini'))})
    check(not new, 'new files appeared: %s' % new)
    changed = sorted(p for p in before if after.get(p) != before[p])
    check(not changed, 'changed: %s' % ['%s %s -> %s' % (p, before[p][:4], after.get(p, (None,))[:4]) for p in changed])
    check(not leaks, 'secret bytes came back in: %s' % leaks)


def main():
    if len(sys.argv) != 2:
        sys.exit('usage: test_media.py PATH/TO/tovaly-cli')
    with tempfile.TemporaryDirectory() as tmp:
        tree_info = build_tree(tmp)
        tree = expected_tree(tree_info['share'])
        srv = start_server(sys.argv[1], tmp, tree_info['share'])
        state = {'srv': srv, 'tree': tree_info, 'records': {}}
        try:
            ctx = GUPnP.Context.new_full(IFACE, Gio.InetAddress.new_from_string(ADDR), 0,
                                         GSSDP.UDAVersion.VERSION_1_0)
            cp = GUPnP.ControlPoint.new(ctx, MS_TYPE)

            def available(_, dev):
                if dev.get_udn() == srv['udn']:
                    state['dev'] = dev
            cp.connect('device-proxy-available', available)
            cp.set_active(True)

            def discovery():
                check(wait_loop(lambda: 'dev' in state), 'GUPnP did not find %s within %d s' % (srv['udn'], WAIT))
                state['cds'] = state['dev'].get_service(CDS_TYPE)
                check(state['cds'] is not None, 'the device has no ContentDirectory')
            found = group('discovery of the server by GUPnP', discovery)
            browsed = group('GUPnP-AV browse of the whole tree, pages of 5', check_tree, state, tree, runnable=found)
            group('every res URL: bytes, Content-Type, DLNA headers', check_fetch, state, runnable=browsed)
            group('raw (unencoded) path forms', check_raw_forms, state, runnable=browsed)
            group('byte ranges and HEAD (3 MB and 5 GiB sparse)', check_ranges, state, runnable=browsed)
            group('BrowseMetadata: root, items, faults 402', check_metadata, state, tree, runnable=browsed)
            group('hostile paths and methods refused', check_hostile, state)
            group('alive afterwards; no file changed, no secret leaked', check_after, state, tree, runnable=found)

            def shutdown():
                srv['proc'].send_signal(signal.SIGTERM)
                rc = srv['proc'].wait(WAIT)
                check(rc == 0, 'exit code %d after SIGTERM' % rc)
            group('SIGTERM: clean exit', shutdown)
        finally:
            if srv['proc'].poll() is None:
                srv['proc'].kill()
                srv['proc'].wait()
    for section, lines in notes.items():
        print('\n%s:' % section.capitalize())
        for ln in lines:
            print('  ' + ln)
    print('\nSummary:')
    for name, ok, detail in results:
        print('  %s  %s%s' % ({True: 'PASS', False: 'FAIL', None: 'SKIP'}[ok], name,
                                ('\n        ' + detail) if detail else ''))
    passed = sum(1 for _, ok, _ in results if ok)
    print('%d of %d groups passed' % (passed, len(results)))
    return 0 if passed == len(results) else 1


if __name__ == '__main__':
    sys.exit(main())
