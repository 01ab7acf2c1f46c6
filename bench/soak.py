#!/usr/bin/python3
"""Soak benchmark of tovaly-cli serve: a long run under steady load, watching its memory, descriptors and threads.

  netns.sh run2 /usr/bin/python3 bench/soak.py PATH/TO/tovaly-cli [SECONDS]     (bench/soak.sh does this)

Load for SECONDS (default 600) after a warm-up:
  - PAUSED media connections that GET a file and then read a few KiB now and then (a TV on pause), and SLOW
    ones among them that read a little every few seconds; every byte read is compared with the file;
  - ACTIVE downloads that loop: whole files checked by SHA-256, and Range requests checked byte for byte;
  - BROWSERS SOAP clients that browse the root and the folders (metadata, children, pages), each request timed;
  - peers in the second namespace (gmediarender, minidlna, a second tovaly-cli serve) that come and go,
    so the control point of the served process sees arrivals and byebyes all the time.
The served process is sampled every few seconds (VmRSS, open descriptors, threads).

Last line: errors N, rss A -> B MiB, fds C -> D, threads E -> F (after the warm-up vs at the end); exit 1 when N > 0.
Talks only to addresses inside the namespaces that netns.sh made.
"""
import contextlib
import hashlib
import os
import random
import re
import shutil
import signal
import socket
import statistics
import sys
import tempfile
import threading
import time
import urllib.parse
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'interop'))
import peers  # noqa: E402
from peers import ADDR, ADDR2, CDS_TYPE, NS_SOAP  # noqa: E402

PAUSED = 200
SLOW = 50                # of the paused ones: they read every few seconds instead of every minute or two
ACTIVE = 8
RANGED = 3               # of the active ones: Range requests instead of whole files
BROWSERS = 4
# Each active download is held to this rate so that the client's own hashing leaves CPU to the server on a
# small machine; the Browse timings then measure the server, not the benchmark.
ACTIVE_MIBS = float(os.environ.get('SOAK_ACTIVE_MIBS', '24'))
BROWSE_PAUSE = 0.02      # seconds between one client's requests
SAMPLE_EVERY = 5
PROGRESS_EVERY = 30
TIMEOUT = 30             # any one socket operation
MIB = 1 << 20
BIG_SIZES = [64, 96, 128, 160, 192, 224, 256, 128]  # MiB, random content: 1.2 GiB on disk
SPARSE_SIZE = 4 << 30    # holes: streams that never end, no disk
MUSIC = 2000
ALBUMS, PHOTOS = 10, 100
PAGE = 50


VERBOSE = os.environ.get('SOAK_VERBOSE') == '1'


def verbose(msg):
    if VERBOSE:
        print('   %s %s' % (time.strftime('%H:%M:%S'), msg), flush=True)


class Soak:
    def __init__(self):
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.interrupted = False
        self.errors = []
        self.browse_ms = []
        self.full_done = self.ranges_done = self.bytes_done = 0
        self.paused_bytes = self.paused_reopened = self.paused_resumed = 0
        self.samples = []
        self.files = {}   # relative path -> (size, sha256 hex, fd)

    def error(self, what):
        if self.interrupted:
            return
        with self.lock:
            self.errors.append(what)
            first = len(self.errors) <= 10
        if first:
            print('   error: %s' % what, flush=True)

    def count(self, **kw):
        with self.lock:
            for k, v in kw.items():
                setattr(self, k, getattr(self, k) + v)


# ---------------------------------------------------------------- the shared folder

def make_share(root, soak):
    """Movies: random files with their SHA-256; Sparse: files of holes; Music: many small files; Photos: albums."""
    movies = os.path.join(root, 'Movies')
    os.makedirs(movies)
    # Random-looking content at memory speed (os.urandom alone is ~70 MB/s here): each MiB is a slice of a
    # random pool at a random place, so a byte served from the wrong offset still shows.
    pool = os.urandom(2 * MIB)
    rnd = random.Random(20240601)
    for i, mib in enumerate(BIG_SIZES):
        rel = 'Movies/movie %d.mkv' % (i + 1)
        h = hashlib.sha256()
        with open(os.path.join(root, rel), 'wb') as f:
            for _ in range(mib):
                k = rnd.randrange(MIB)
                chunk = pool[k:k + MIB]
                h.update(chunk)
                f.write(chunk)
        soak.files[rel] = (mib * MIB, h.hexdigest())
    os.makedirs(os.path.join(root, 'Sparse'))
    for i in range(2):
        rel = 'Sparse/endless %d.mp4' % (i + 1)
        with open(os.path.join(root, rel), 'wb') as f:
            f.write(pool[:4096])
            f.truncate(SPARSE_SIZE)
        soak.files[rel] = (SPARSE_SIZE, None)
    peers.write_files(root, {'Music/track %04d.mp3' % i: peers.mp3_bytes(2) for i in range(MUSIC)})
    peers.write_files(root, {'Photos/album %02d/photo %03d.jpg' % (a, p): b'\xff\xd8\xff\xe0' + bytes(512)
                             for a in range(ALBUMS) for p in range(PHOTOS)})
    for rel in soak.files:
        soak.files[rel] += (os.open(os.path.join(root, rel), os.O_RDONLY),)


def file_slice(soak, rel, offset, n):
    return os.pread(soak.files[rel][2], n, offset)


# ---------------------------------------------------------------- media

def open_get(port, rel, rcvbuf=None, extra=''):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(TIMEOUT)
    s.connect((ADDR, port))
    s.sendall(('GET /media/%s HTTP/1.1\r\nHost: %s:%d\r\nConnection: close\r\n%s\r\n'
               % (urllib.parse.quote(rel), ADDR, port, extra)).encode())
    return s


def read_head(s):
    """(status, headers by lower-case name, the body bytes that came with the head); status None if closed first."""
    data = b''
    while b'\r\n\r\n' not in data:
        chunk = s.recv(65536)
        if not chunk:
            return None, {}, b''
        data += chunk
        if len(data) > 65536:
            return None, {}, b''
    head, _, rest = data.partition(b'\r\n\r\n')
    lines = head.decode('latin-1').split('\r\n')
    m = re.match(r'HTTP/1\.[01] (\d{3})', lines[0])
    return (int(m.group(1)) if m else None), {k.strip().lower(): v.strip() for k, _, v in
                                              (ln.partition(':') for ln in lines[1:])}, rest


class Held:
    """One paused or slow connection: where it is in the file, and when it reads next."""

    def __init__(self, soak, port, rel, slow):
        self.soak, self.port, self.rel, self.slow = soak, port, rel, slow
        self.sock, self.offset, self.due, self.until = None, 0, 0.0, 0.0

    def open(self, offset=0):
        """A GET, or a resume where it stopped (Range: bytes=offset-)."""
        size = self.soak.files[self.rel][0]
        offset = offset if offset < size else 0
        self.sock = open_get(self.port, self.rel, rcvbuf=8192, extra=offset and 'Range: bytes=%d-\r\n' % offset or '')
        status, hdrs, rest = read_head(self.sock)
        crange = offset and 'bytes %d-%d/%d' % (offset, size - 1, size) or None
        if (status != (206 if offset else 200) or int(hdrs.get('content-length', -1)) != size - offset or
                hdrs.get('content-range') != crange):
            raise RuntimeError('paused GET %s from %d: HTTP %s, length %s, %s' % (
                self.rel, offset, status, hdrs.get('content-length'), hdrs.get('content-range')))
        self.offset = offset
        self.check(rest)
        self.plan()
        # The server closes a connection that has let it send nothing for 10 minutes, and a paused one is
        # served from the kernel's buffers: like a player after a long pause, it resumes on a new connection.
        self.until = time.monotonic() + random.uniform(240, 480)

    def resume(self):
        self.close()
        self.open(self.offset)

    def plan(self):
        # Slow ones every 3-7 s; the others every 60-120 s, well inside the server's 10-minute idle limit.
        self.due = time.monotonic() + (random.uniform(3, 7) if self.slow else random.uniform(60, 120))

    def check(self, data):
        if data and data != file_slice(self.soak, self.rel, self.offset, len(data)):
            raise RuntimeError('paused GET %s: wrong bytes at %d' % (self.rel, self.offset))
        self.offset += len(data)
        self.soak.count(paused_bytes=len(data))

    def read(self):
        data = self.sock.recv(16384 if self.slow else 65536)
        if not data:
            raise RuntimeError('paused GET %s closed by the server after %d bytes' % (self.rel, self.offset))
        self.check(data)
        self.plan()

    def close(self):
        if self.sock:
            self.sock.close()
            self.sock = None


def hold_paused(soak, held):
    """Reads each held connection when it is due; one that failed is counted and opened again."""
    while not soak.stop.is_set():
        now = time.monotonic()
        for h in held:
            if soak.stop.is_set():
                break
            if (h.sock and now < h.until or not h.sock) and h.due > now:
                continue
            try:
                if h.sock and now >= h.until:
                    h.resume()
                    soak.count(paused_resumed=1)
                elif h.sock:
                    h.read()
                else:
                    h.open()
                    soak.count(paused_reopened=1)
            except (OSError, RuntimeError, ValueError) as e:
                soak.error('paused GET %s: %s: %s' % (h.rel, type(e).__name__, e))
                h.close()
                h.due = now + 5  # opened again then
        soak.stop.wait(0.25)


class Pacer:
    """Holds a download to ACTIVE_MIBS."""

    def __init__(self):
        self.t0, self.n = time.monotonic(), 0

    def took(self, n, stop):
        self.n += n
        if ACTIVE_MIBS > 0:
            ahead = self.n / (ACTIVE_MIBS * MIB) - (time.monotonic() - self.t0)
            if ahead > 0:
                stop.wait(ahead)


def download_full(soak, port, rel, ready):
    size, digest, _ = soak.files[rel]
    with open_get(port, rel) as s:
        status, hdrs, rest = read_head(s)
        ready.set()
        if status != 200 or int(hdrs.get('content-length', -1)) != size:
            raise RuntimeError('GET %s: HTTP %s, length %s' % (rel, status, hdrs.get('content-length')))
        h, got, pace = hashlib.sha256(rest), len(rest), Pacer()
        buf = bytearray(256 << 10)
        view = memoryview(buf)
        while got < size:
            if soak.stop.is_set():
                return False
            n = s.recv_into(buf)
            if not n:
                raise RuntimeError('GET %s: closed after %d of %d bytes' % (rel, got, size))
            h.update(view[:n])
            got += n
            pace.took(n, soak.stop)
        if got != size or s.recv(1):
            raise RuntimeError('GET %s: more than %d bytes' % (rel, size))
        if h.hexdigest() != digest:
            raise RuntimeError('GET %s: SHA-256 differs from the file' % rel)
    soak.count(full_done=1, bytes_done=size)
    return True


def download_range(soak, port, rel, ready):
    size = soak.files[rel][0]
    kind = random.choice(('closed', 'closed', 'open', 'suffix'))
    length = random.randint(1, 32 * MIB)
    if kind == 'closed':
        first = random.randrange(size)
        last = min(size - 1, first + length - 1)
        asked = '%d-%d' % (first, last)
    elif kind == 'open':
        first, last = max(0, size - length), size - 1
        asked = '%d-' % first
    else:
        first, last = max(0, size - length), size - 1
        asked = '-%d' % length
    want = last - first + 1
    with open_get(port, rel, extra='Range: bytes=%s\r\n' % asked) as s:
        status, hdrs, rest = read_head(s)
        ready.set()
        crange = 'bytes %d-%d/%d' % (first, last, size)
        if status != 206 or hdrs.get('content-range') != crange or int(hdrs.get('content-length', -1)) != want:
            raise RuntimeError('GET %s bytes=%s: HTTP %s, %s, length %s (want %s, %d)' % (
                rel, asked, status, hdrs.get('content-range'), hdrs.get('content-length'), crange, want))
        pos, pace = first, Pacer()
        data = rest
        while True:
            if data:
                if data != file_slice(soak, rel, pos, len(data)):
                    raise RuntimeError('GET %s bytes=%s: wrong bytes at %d' % (rel, asked, pos))
                pos += len(data)
                pace.took(len(data), soak.stop)
            if pos > last + 1:
                raise RuntimeError('GET %s bytes=%s: more than %d bytes' % (rel, asked, want))
            if pos == last + 1:
                break
            if soak.stop.is_set():
                return False
            data = s.recv(256 << 10)
            if not data:
                raise RuntimeError('GET %s bytes=%s: closed after %d of %d bytes' % (rel, asked, pos - first, want))
        if s.recv(1):
            raise RuntimeError('GET %s bytes=%s: more than %d bytes' % (rel, asked, want))
    soak.count(ranges_done=1, bytes_done=want)
    return True


def active(soak, port, index, ready):
    """Downloads in a loop until the end; a failure is counted and the loop goes on."""
    movies = sorted(r for r in soak.files if r.startswith('Movies/'))
    n = index
    while not soak.stop.is_set():
        rel = movies[n % len(movies)]
        n += 1
        try:
            (download_range if index < RANGED else download_full)(soak, port, rel, ready)
        except (OSError, RuntimeError, ValueError) as e:
            ready.set()
            if not soak.stop.is_set():
                soak.error('%s %s: %s: %s' % ('Range GET' if index < RANGED else 'GET', rel, type(e).__name__, e))
                soak.stop.wait(1)


# ---------------------------------------------------------------- Browse

def browse_once(port, ctl, oid, flag, start=0, count=0):
    """One Browse on a fresh connection: (seconds, NumberReturned, TotalMatches, objects in the DIDL)."""
    body = peers.envelope('Browse', CDS_TYPE, [('ObjectID', oid), ('BrowseFlag', flag), ('Filter', '*'),
                                               ('StartingIndex', start), ('RequestedCount', count),
                                               ('SortCriteria', '')])
    t0 = time.perf_counter()
    status, _, data = peers.soap_post(port, ctl, '%s#Browse' % CDS_TYPE, body)
    took = time.perf_counter() - t0
    if status != 200:
        raise RuntimeError('Browse %s %s: HTTP %s %r' % (oid, flag, status, data[:200]))
    out = ET.fromstring(data).find('%sBody/{%s}BrowseResponse' % (NS_SOAP, CDS_TYPE))
    if out is None:
        raise RuntimeError('Browse %s: no response element' % oid)
    didl = out.findtext('Result') or ''
    objects = len(re.findall(r'<(?:item|container)[ >]', didl))
    return took, int(out.findtext('NumberReturned')), int(out.findtext('TotalMatches')), objects


def browse_plan():
    """(object id, flag, start, count, expected returned, expected total) of one request, picked at random."""
    album = 'Photos/album %02d' % random.randrange(ALBUMS)
    start = random.randrange(0, MUSIC, PAGE)
    big = random.randrange(0, MUSIC - 200)
    return random.choice([
        ('0', 'BrowseDirectChildren', 0, 0, 4, 4),
        ('0', 'BrowseMetadata', 0, 0, 1, 1),
        (random.choice(['Movies', 'Music', 'Photos', 'Sparse', album]), 'BrowseMetadata', 0, 0, 1, 1),
        ('Movies', 'BrowseDirectChildren', 0, 0, len(BIG_SIZES), len(BIG_SIZES)),
        ('Music', 'BrowseDirectChildren', start, PAGE, PAGE, MUSIC),
        ('Music', 'BrowseDirectChildren', start, PAGE, PAGE, MUSIC),
        ('Music', 'BrowseDirectChildren', big, 200, 200, MUSIC),
        ('Photos', 'BrowseDirectChildren', 0, 0, ALBUMS, ALBUMS),
        (album, 'BrowseDirectChildren', 0, 0, PHOTOS, PHOTOS),
    ])


def browser(soak, port, ctl):
    while not soak.stop.is_set():
        oid, flag, start, count, want_n, want_total = browse_plan()
        try:
            took, n, total, objects = browse_once(port, ctl, oid, flag, start, count)
            if (n, total, objects) != (want_n, want_total, want_n):
                raise RuntimeError('Browse %s %s %d+%d: %d returned, %d in the DIDL, total %d (want %d, %d)' % (
                    oid, flag, start, count, n, objects, total, want_n, want_total))
            with soak.lock:
                soak.browse_ms.append(took * 1000)
        except (OSError, RuntimeError, ValueError, TypeError, ET.ParseError) as e:
            if not soak.stop.is_set():
                soak.error('Browse %s %s: %s: %s' % (oid, flag, type(e).__name__, e))
        soak.stop.wait(BROWSE_PAUSE)


# ---------------------------------------------------------------- peers that come and go

class Churn:
    """Starts and stops one peer in the second namespace, up and down 20-30 s each, until the end."""

    def __init__(self, soak, name, start, udn):
        self.soak, self.name, self.start_fn, self.udn = soak, name, start, udn
        self.starts = self.stops = 0
        self.proc = None

    def run(self, delay):
        if self.soak.stop.wait(delay):
            return
        while not self.soak.stop.is_set():
            try:
                self.proc = self.start_fn()
                self.starts += 1
                verbose('%s started' % self.name)
                if not self.udn:
                    self.udn = self.proc.info.get('udn')
            except Exception as e:  # a peer that does not come up is noted, the load goes on
                print('   %s did not start: %s' % (self.name, e), flush=True)
                if self.proc:
                    self.proc.stop(timeout=10)
                self.proc = None
            if self.soak.stop.wait(random.uniform(20, 30)):
                break
            self.down()
            self.soak.stop.wait(random.uniform(20, 30))
        self.down()

    def down(self):
        if self.proc:
            if self.proc.alive():
                rc = self.proc.stop(timeout=10)
                self.stops += 1
                verbose('%s stopped (exit %s)%s' % (self.name, rc, '' if rc == 0 else ':\n' + self.proc.tail(8)))
            self.proc = None


def churn_peers(soak, cli, work):
    """gmediarender, minidlna and a second tovaly-cli serve, as far as they are installed."""
    if not ADDR2:
        return []
    out = []
    if shutil.which('gmediarender'):
        uuid = '50414b2d-736f-616b-2d72-656e64657231'
        out.append(Churn(soak, 'gmediarender', lambda uuid=uuid: peers.Proc('gmediarender', [
            'gmediarender', '-I', peers.IFACE, '-p', '49494', '-u', uuid, '-f', 'Soak renderer',
            '--gstout-audiopipe=fakesink sync=true', '--gstout-videopipe=fakesink sync=true'], ns2=True),
            'uuid:' + uuid))
    if shutil.which('minidlnad'):
        uuid = '50414b2d-736f-616b-2d6d-696e69646c6e'
        db = os.path.join(work, 'minidlna')
        os.makedirs(os.path.join(db, 'media'))
        peers.write_files(os.path.join(db, 'media'), {'a.mp3': peers.mp3_bytes(8), 'b.mp3': peers.mp3_bytes(8)})
        conf = os.path.join(db, 'minidlna.conf')
        with open(conf, 'w') as f:
            f.write('media_dir=%s/media\ndb_dir=%s\nlog_dir=%s\nport=8200\nnetwork_interface=%s\nuuid=%s\n'
                    'friendly_name=Soak minidlna\ninotify=no\n' % (db, db, db, peers.IFACE, uuid))
        out.append(Churn(soak, 'minidlna', lambda conf=conf, db=db: peers.Proc('minidlna', [
            'minidlnad', '-S', '-f', conf, '-P', os.path.join(db, 'minidlna.pid')], ns2=True), 'uuid:' + uuid))
    share2 = os.path.join(work, 'share2')
    peers.write_files(share2, {'Audio/one.mp3': peers.mp3_bytes(8)})
    cfg = os.path.join(work, 'serve2.ini')
    with open(cfg, 'w') as f:  # written once: the program keeps its UDN in it, so every start is the same device
        f.write('[setting]\ncontent_path=%s\n' % share2)

    def serve2():
        p = peers.Proc('serve2', [cli, '--config', cfg, 'serve', '--address', ADDR2], ns2=True)
        udn = p.wait_for(r'^\s+UDN:\s+(\S+)')
        if not udn or not p.wait_for(r'^Press Ctrl-C'):
            p.stop(timeout=10)
            raise RuntimeError('no start:\n' + p.tail(5))
        p.info['udn'] = udn.group(1)
        return p
    out.append(Churn(soak, 'second tovaly-cli', serve2, None))
    return out


def seen(srv, udn, sign):
    return sum(1 for ln in srv.lines() if ln.startswith(sign + ' ') and udn and udn in ln)


# ---------------------------------------------------------------- sampling

def sample(pid):
    """(VmRSS MiB, open descriptors, threads) of pid."""
    with open('/proc/%d/status' % pid) as f:
        status = f.read()
    rss = int(re.search(r'VmRSS:\s+(\d+) kB', status).group(1)) / 1024
    threads = int(re.search(r'Threads:\s+(\d+)', status).group(1))
    return rss, len(os.listdir('/proc/%d/fd' % pid)), threads


def percentile(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, max(0, int(p / 100 * len(s) + 0.999) - 1))] if s else float('nan')


def fmt(smp):
    return 'rss %.1f MiB, fds %d, threads %d' % smp


def trend(samples):
    """Least-squares slope of RSS in MiB per hour over the second half of the run (after early growth settles)."""
    half = samples[len(samples) // 2:]
    if len(half) < 3:
        return float('nan')
    ts, rs = [t for t, _ in half], [s[0] for _, s in half]
    mt, mr = statistics.fmean(ts), statistics.fmean(rs)
    den = sum((t - mt) ** 2 for t in ts)
    return sum((t - mt) * (r - mr) for t, r in zip(ts, rs)) / den * 3600 if den else float('nan')


# ---------------------------------------------------------------- the run

def run(cli, seconds, tmp, soak):
    share = os.path.join(tmp, 'share')
    t0 = time.monotonic()
    make_share(share, soak)
    print('share: %d MiB of random files, %d sparse, %d + %d small files (%.0f s)' % (
        sum(BIG_SIZES), 2, MUSIC, ALBUMS * PHOTOS, time.monotonic() - t0), flush=True)
    time.sleep(2)  # let the folders age past the listing cache's one-second guard
    srv = peers.serve(cli, tmp, share)
    pid, port, mport = srv.proc.pid, srv.info['port'], srv.info['media_port']
    ctl = peers.describe(srv.info['desc_url'])['control'][CDS_TYPE]
    browse_once(port, ctl, '0', 'BrowseDirectChildren')
    idle_before = sample(pid)
    print('serving at %s (pid %d), idle: %s' % (srv.info['base'], pid, fmt(idle_before)), flush=True)

    threads = []

    def spawn(fn, *args):
        t = threading.Thread(target=fn, args=args, daemon=True)
        t.start()
        threads.append(t)

    rels = sorted(soak.files)
    held = [Held(soak, mport, rels[i % len(rels)], i < SLOW) for i in range(PAUSED)]
    try:
        for h in held:
            h.open()
        spawn(hold_paused, soak, held)
        ready = [threading.Event() for _ in range(ACTIVE)]
        for i in range(ACTIVE):
            spawn(active, soak, mport, i, ready[i])
        for e in ready:
            e.wait(TIMEOUT)
        for _ in range(BROWSERS):
            spawn(browser, soak, port, ctl)
        churn = churn_peers(soak, cli, tmp)
        for i, c in enumerate(churn):
            spawn(c.run, 1 + i * 8)  # staggered: something arrives or leaves every few seconds
        time.sleep(3)
        first = sample(pid)
        print('warm: %d paused (%d slow), %d active (%d by ranges), %d browsers, %d peers coming and going; %s' % (
            PAUSED, SLOW, ACTIVE, RANGED, BROWSERS, len(churn), fmt(first)), flush=True)
        start = time.monotonic()
        soak.samples.append((0.0, first))
        next_progress = PROGRESS_EVERY
        while True:
            elapsed = time.monotonic() - start
            if elapsed >= seconds:
                break
            if not srv.alive():
                soak.error('the served process ended (exit %s)' % srv.proc.poll())
                break
            time.sleep(min(SAMPLE_EVERY, seconds - elapsed))
            elapsed = time.monotonic() - start
            soak.samples.append((elapsed, sample(pid)))
            if elapsed + 0.5 >= next_progress or elapsed >= seconds:
                next_progress += PROGRESS_EVERY
                with soak.lock:
                    ms = list(soak.browse_ms)
                print('[%4.0f s] downloads %d + %d ranges (%.1f GiB), browse %d (p50 %.2f ms), devices +%d -%d, '
                      'errors %d, %s' % (elapsed, soak.full_done, soak.ranges_done, soak.bytes_done / (1 << 30),
                                         len(ms), percentile(ms, 50),
                                         sum(seen(srv, c.udn, '+') for c in churn),
                                         sum(seen(srv, c.udn, '-') for c in churn), len(soak.errors),
                                         fmt(soak.samples[-1][1])), flush=True)
        last = sample(pid) if srv.alive() else soak.samples[-1][1]
        soak.samples.append((time.monotonic() - start, last))
    finally:
        soak.stop.set()
        for h in held:
            h.close()
        for t in threads:
            t.join(TIMEOUT + 15)
    time.sleep(2)
    idle_after = sample(pid) if srv.alive() else None
    rc = srv.stop(timeout=15)
    if rc != 0:
        soak.error('the served process: exit %s after SIGTERM' % rc)

    ms = soak.browse_ms
    rss = [s[0] for _, s in soak.samples]
    print()
    print('Browse: %d requests by %d clients, p50 %.2f ms, p99 %.2f ms, max %.1f ms' % (
        len(ms), BROWSERS, percentile(ms, 50), percentile(ms, 99), max(ms, default=float('nan'))))
    print('Downloads done: %d whole files (SHA-256 checked) + %d ranges (bytes checked), %.1f GiB; paused '
          'connections: %d held, %.1f MiB read and checked, %d resumed by Range, %d opened again after an error' % (
              soak.full_done, soak.ranges_done, soak.bytes_done / (1 << 30), PAUSED, soak.paused_bytes / MIB,
              soak.paused_resumed, soak.paused_reopened))
    for c in churn:
        print('Peer %s: started %d, stopped %d; the control point saw + %d, - %d' % (
            c.name, c.starts, c.stops, seen(srv, c.udn, '+'), seen(srv, c.udn, '-')))
    print('Served process: idle before %s; idle after %s; under load rss min %.1f max %.1f MiB, '
          'trend over the second half %+.1f MiB/h' % (fmt(idle_before), fmt(idle_after) if idle_after else 'gone',
                                                      min(rss), max(rss), trend(soak.samples)))
    if VERBOSE:
        for ts, ln in srv.timed():
            if ln[:2] in ('+ ', '- '):
                print('   %s %s' % (time.strftime('%H:%M:%S', time.localtime(time.time() - time.monotonic() + ts)), ln))
    if len(soak.errors) > 10:
        print('(%d errors; the first 10 are above)' % len(soak.errors))
    return first, last


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit('usage: %s PATH/TO/tovaly-cli [SECONDS]' % os.path.basename(sys.argv[0]))
    cli, seconds = os.path.abspath(sys.argv[1]), float(sys.argv[2]) if len(sys.argv) == 3 else 600.0

    soak, first, last, rc = Soak(), None, None, 1

    def interrupted(*_):
        # Ctrl-C reaches the served process and the peers as well: what fails from now on is the stop, not an error.
        soak.interrupted = True
        soak.stop.set()
        raise KeyboardInterrupt
    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGTERM, interrupted)
    tmp = tempfile.mkdtemp(prefix='tovaly-soak-')
    try:
        first, last = run(cli, seconds, tmp, soak)
        rc = 1 if soak.errors else 0
    except KeyboardInterrupt:
        print('\ninterrupted', flush=True)
        rc = 130
    except Exception as e:
        soak.error('setup: %s: %s' % (type(e).__name__, e))
    finally:
        soak.stop.set()
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # a second Ctrl-C must not leave processes or files behind
        for p in reversed(peers.Proc.every):
            p.stop(timeout=10)
        for v in soak.files.values():
            with contextlib.suppress(OSError, IndexError):
                os.close(v[2])
        shutil.rmtree(tmp, ignore_errors=True)
    if first and last:
        print('errors %d, rss %.1f -> %.1f MiB, fds %d -> %d, threads %d -> %d' % (
            len(soak.errors), first[0], last[0], first[1], last[1], first[2], last[2]))
    else:
        print('errors %d, rss ? -> ? MiB, fds ? -> ?, threads ? -> ?' % len(soak.errors))
    return rc if rc == 130 else (1 if soak.errors else 0)


if __name__ == '__main__':
    sys.exit(main())
