#!/usr/bin/python3
"""Side-by-side timings of tovaly-cli serve and minidlna on one data set.

  compare_servers.py make-data DIR          write the data set into DIR
  compare_servers.py measure TOVALY DIR     run both servers one after the other
                                            on DIR and print a Markdown table

`measure` must run inside a private namespace (tests/interop/netns.sh run):
it talks only to TOVALY_TEST_ADDR (192.0.2.1). Exits 0 whenever it ran.
"""
import contextlib
import http.client
import os
import re
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape

ADDR = os.environ.get('TOVALY_TEST_ADDR', '192.0.2.1')
FILES = 10000
PAGE = 50
BIG_PAGE = 500
GIB = 1 << 30
RANGE_AT = int(4.9 * GIB)
RANGE_LEN = 64 << 10
CONCURRENT = 4      # simultaneous GETs of different files
QUAD_MIB = 512      # the size of each of them
PAUSED = 200        # media connections that read a little and then stop
START_LIMIT = 120   # seconds a server may take to show its first page
TIMEOUT = 30        # per request
CDS = 'urn:schemas-upnp-org:service:ContentDirectory:1'
DIDL = '{urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/}'
DC = '{http://purl.org/dc/elements/1.1/}'

# One silent MPEG-1 Layer III frame (128 kbit/s, 44.1 kHz, 417 bytes): all-zero
# side info decodes as silence, and minidlna indexes such files.
MP3_FRAME = b'\xff\xfb\x90\x00' + bytes(413)


def id3v2(title, artist, album, track):
    """An ID3v2.3 tag with a title, an artist, an album and a track number (ISO-8859-1 texts)."""
    frames = b''
    for fid, text in ((b'TIT2', title), (b'TPE1', artist), (b'TALB', album), (b'TRCK', track)):
        body = b'\x00' + text.encode('latin-1')
        frames += fid + struct.pack('>I', len(body)) + b'\x00\x00' + body
    size = len(frames)
    synchsafe = bytes([(size >> 21) & 0x7F, (size >> 14) & 0x7F, (size >> 7) & 0x7F, size & 0x7F])
    return b'ID3\x03\x00\x00' + synchsafe + frames


def make_data(root):
    os.makedirs(os.path.join(root, 'big'))
    frames = MP3_FRAME * 2
    for i in range(1, FILES + 1):  # tagged songs of about 1 KiB
        with open(os.path.join(root, 'big', 'track %05d.mp3' % i), 'wb') as f:
            tag = id3v2('Title %05d' % i, 'Artist %02d' % (i % 50), 'Album %03d' % (i % 200), str(i % 20 + 1))
            f.write(tag + frames + bytes(max(0, 1024 - len(tag) - len(frames))))
    os.makedirs(os.path.join(root, 'large'))
    block = MP3_FRAME * ((1 << 20) // len(MP3_FRAME))
    block += bytes((1 << 20) - len(block))
    with open(os.path.join(root, 'large', 'one gib.mp3'), 'wb') as f:
        for _ in range(1024):
            f.write(block)
    os.makedirs(os.path.join(root, 'quad'))
    for n in range(1, CONCURRENT + 1):  # different files, so that no stream reads another's pages
        with open(os.path.join(root, 'quad', 'part %d.mp3' % n), 'wb') as f:
            for _ in range(QUAD_MIB):
                f.write(block)
    os.makedirs(os.path.join(root, 'sparse'))
    with open(os.path.join(root, 'sparse', 'five gib.mp3'), 'wb') as f:
        f.write(MP3_FRAME * 16)  # a real start, so minidlna accepts it
        f.truncate(5 * GIB)


# --- HTTP / SOAP ----------------------------------------------------------

def browse(port, ctl, object_id, start=0, count=PAGE):
    """One Browse on a new connection: (seconds, returned, total, DIDL text)."""
    body = ('<?xml version="1.0" encoding="utf-8"?>'
            '<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            '<u:Browse xmlns:u="%s"><ObjectID>%s</ObjectID>'
            '<BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter>'
            '<StartingIndex>%d</StartingIndex><RequestedCount>%d</RequestedCount>'
            '<SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>'
            % (CDS, escape(object_id), start, count)).encode()
    headers = {'Content-Type': 'text/xml; charset="utf-8"',
               'SOAPACTION': '"%s#Browse"' % CDS}
    t0 = time.perf_counter()
    conn = http.client.HTTPConnection(ADDR, port, timeout=TIMEOUT)
    try:
        conn.request('POST', ctl, body, headers)
        resp = conn.getresponse()
        data = resp.read()
    finally:
        conn.close()
    elapsed = time.perf_counter() - t0
    if resp.status != 200:
        raise RuntimeError('Browse %s: HTTP %d' % (object_id, resp.status))
    text = data.decode('utf-8', 'replace')
    num = lambda tag: int(re.search(r'<%s>(\d+)</%s>' % (tag, tag), text).group(1))
    return elapsed, num('NumberReturned'), num('TotalMatches'), text


def didl_objects(soap_text):
    """[(kind, id, title, res)] of a Browse answer."""
    result = ET.fromstring(soap_text).find('.//Result').text or ''
    out = []
    for e in ET.fromstring(result):
        res = e.find(DIDL + 'res')
        out.append((e.tag[len(DIDL):], e.get('id'), e.findtext(DC + 'title'),
                    res.text if res is not None else None))
    return out


def get(url, extra=''):
    """GET on a raw socket, body discarded: (status, seconds to first byte, seconds, body bytes)."""
    m = re.match(r'http://([^/:]+):(\d+)(/.*)', url)
    host, port, path = m.group(1), int(m.group(2)), m.group(3)
    buf = bytearray(1 << 20)
    view = memoryview(buf)
    t0 = time.perf_counter()
    with socket.create_connection((host, port), timeout=TIMEOUT) as s:
        s.sendall(('GET %s HTTP/1.1\r\nHost: %s:%d\r\nConnection: close\r\n%s\r\n'
                   % (path, host, port, extra)).encode())
        head = b''
        ttfb = None
        while b'\r\n\r\n' not in head:
            n = s.recv_into(buf)
            if ttfb is None:
                ttfb = time.perf_counter() - t0
            if not n:
                raise RuntimeError('GET %s: connection closed in the header' % url)
            head += bytes(view[:n])
        head, _, rest = head.partition(b'\r\n\r\n')
        status = int(head.split()[1])
        length = re.search(rb'(?im)^content-length:\s*(\d+)', head)
        want = int(length.group(1)) if length else None  # else: until the server closes
        got = len(rest)
        while want is None or got < want:
            n = s.recv_into(buf)
            if not n:
                break
            got += n
    return status, ttfb, time.perf_counter() - t0, got


# --- the two servers ------------------------------------------------------

class Server:
    name = ''
    ctl = ''
    port = 0

    def __init__(self, work, data):
        self.work, self.data, self.proc = work, data, None

    def folder_ids(self):
        """{sub-folder name: object id}."""
        raise NotImplementedError

    def scanned(self):
        """Whether the server has finished indexing the share."""
        return True

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        if self.proc:
            self.log.close()

    def pids(self):
        """The server and its children (minidlna sends files from forked children)."""
        out = [self.proc.pid]
        for pid in out:  # children of every thread: tovaly starts its helpers from worker threads
            with contextlib.suppress(OSError):
                for tid in os.listdir('/proc/%d/task' % pid):
                    with open('/proc/%d/task/%s/children' % (pid, tid)) as f:
                        out += [int(p) for p in f.read().split()]
        return out

    def rss_mib(self):
        """The memory of the server and its children: their proportional set size, so that the libraries
        and pages they share (minidlna's forks, tovaly's helpers) count once, not once per process."""
        total = 0
        for pid in self.pids():
            with contextlib.suppress(OSError), open('/proc/%d/smaps_rollup' % pid) as f:
                total += int(re.search(r'^Pss:\s+(\d+) kB', f.read(), re.M).group(1))
        return total / 1024

    def cpu_seconds(self):
        """User and system time of the server and of its children that ended (minidlna waits for them)."""
        with open('/proc/%d/stat' % self.proc.pid) as f:
            fields = f.read().rsplit(')', 1)[1].split()
        return sum(int(v) for v in fields[11:15]) / os.sysconf('SC_CLK_TCK')


class Tovaly(Server):
    # The device's own port: the first free one after the stack's (--port), 49200, in a namespace of its own.
    name, ctl, port, description = 'tovaly', '/upnp/control/cds', 49201, '/description.xml'

    def __init__(self, work, data, binary):
        super().__init__(work, data)
        self.binary = binary

    def start(self):
        conf = os.path.join(self.work, 'tovaly.ini')
        with open(conf, 'w') as f:
            f.write('[setting]\ncontent_path=%s\n' % self.data)
        self.log = open(os.path.join(self.work, 'tovaly.log'), 'a')
        # Every start with an empty metadata cache: what is measured is the reading, not a cache of a run before.
        self.starts = getattr(self, 'starts', 0) + 1
        cache = os.path.join(self.work, 'cache-%d' % self.starts)
        self.proc = subprocess.Popen([self.binary, '--config', conf, 'serve', '--address', ADDR,
                                      '--port', str(self.port - 1)], stdout=self.log, stderr=subprocess.STDOUT,
                                     env=dict(os.environ, XDG_CACHE_HOME=cache))

    def folder_ids(self):
        return {n: n for n in ('big', 'large', 'quad', 'sparse')}  # ids are relative paths


class Minidlna(Server):
    name, ctl, port, description = 'minidlna', '/ctl/ContentDir', 8200, '/rootDesc.xml'

    def start(self):
        conf = os.path.join(self.work, 'minidlna.conf')
        for d in ('db', 'log'):  # a fresh database: every start scans
            shutil.rmtree(os.path.join(self.work, d), ignore_errors=True)
            os.makedirs(os.path.join(self.work, d))
        with open(conf, 'w') as f:
            f.write('port=%d\nnetwork_interface=upnp0\nmedia_dir=%s\ndb_dir=%s/db\nlog_dir=%s/log\n'
                    'inotify=no\nuuid=4d696e69-444c-164e-9d41-000000b3e0c1\nfriendly_name=bench\n'
                    % (self.port, self.data, self.work, self.work))
        self.log = open(os.path.join(self.work, 'minidlna.out'), 'a')
        # -S: stay in the foreground without -d's per-request debug logging.
        self.proc = subprocess.Popen(['minidlnad', '-S', '-f', conf, '-P', os.path.join(self.work, 'm.pid')],
                                     stdout=self.log, stderr=subprocess.STDOUT)

    def folder_ids(self):
        _, _, _, text = browse(self.port, self.ctl, '64', 0, 0)  # its folder view
        return {title: oid for kind, oid, title, _ in didl_objects(text) if kind == 'container'}

    def scanned(self):
        # It answers while it scans (a folder can look complete before the
        # rest is indexed); its log says when the scan is over.
        try:
            with open(os.path.join(self.work, 'log', 'minidlna.log')) as f:
                return 'finished' in f.read()
        except OSError:
            return False


def first_page(srv, period):
    """Seconds from spawn until the big folder's first page browses complete, with the songs' tag titles,
    polling every `period` seconds; and the sub-folder ids."""
    t0 = time.perf_counter()
    srv.start()
    while time.perf_counter() - t0 < START_LIMIT:
        tick = time.perf_counter()
        if srv.proc.poll() is not None:
            raise RuntimeError('%s exited with %s' % (srv.name, srv.proc.returncode))
        try:
            if srv.scanned():
                ids = srv.folder_ids()
                _, returned, total, text = browse(srv.port, srv.ctl, ids['big'])
                titled = sum(1 for _, _, title, _ in didl_objects(text) if title and title.startswith('Title '))
                if returned == PAGE and total == FILES and titled == PAGE:  # the songs' own titles, from their tags
                    return time.perf_counter() - t0, ids
        except (OSError, RuntimeError, KeyError, AttributeError, ET.ParseError):
            pass  # not listening yet
        time.sleep(max(0.0, period - (time.perf_counter() - tick)))
    raise RuntimeError('%s: no first page within %d s' % (srv.name, START_LIMIT))


def file_url(srv, folder_id):
    _, _, _, text = browse(srv.port, srv.ctl, folder_id)
    return next(res for kind, _, _, res in didl_objects(text) if kind == 'item' and res)


def paused_measure(srv, r, url, big_id):
    """PAUSED connections that GET a large file, read 64 KiB and stop (a TV on pause): then the description, a
    Browse and a new GET, each timed, and the server's memory."""
    m = re.match(r'http://([^/:]+):(\d+)(/.*)', url)
    host, port, path = m.group(1), int(m.group(2)), m.group(3)
    paused, streaming = [], 0
    try:
        for _ in range(PAUSED):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
            s.settimeout(1)  # a server that holds them unanswered must not hold the bench
            try:
                s.connect((host, port))
                s.sendall(('GET %s HTTP/1.1\r\nHost: %s:%d\r\n\r\n' % (path, host, port)).encode())
                if s.recv(65536).startswith(b'HTTP/1.1 200'):
                    streaming += 1
            except OSError:
                pass  # refused or unanswered: counted by 'p_open'
            paused.append(s)
        r['p_open'] = streaming
        desc, pages, ttfbs = [], [], []
        for _ in range(20):
            t0 = time.perf_counter()
            try:
                c = http.client.HTTPConnection(ADDR, srv.port, timeout=5)
                c.request('GET', srv.description)
                c.getresponse().read()
                c.close()
                desc.append((time.perf_counter() - t0) * 1000)
                pages.append(browse(srv.port, srv.ctl, big_id, 0, PAGE)[0] * 1000)
                status, ttfb, _, _ = get(url, 'Range: bytes=0-65535\r\n')
                if status == 206:
                    ttfbs.append(ttfb * 1000)
            except (OSError, RuntimeError):
                break  # a server that does not answer now: reported as n/a
        r['p_desc'] = statistics.median(desc) if len(desc) == 20 else None
        r['p_browse'] = statistics.median(pages) if len(pages) == 20 else None
        r['p_get'] = statistics.median(ttfbs) if len(ttfbs) == 20 else None
        r['p_rss'] = srv.rss_mib()
    finally:
        for s in paused:
            s.close()


def page_through(srv, folder):
    """Seconds to page the whole big folder by PAGE."""
    seen, t0, short = 0, time.perf_counter(), 0
    for start in range(0, FILES + PAGE, PAGE):  # bounded: one spare page
        for _ in range(50):
            _, returned, total, _ = browse(srv.port, srv.ctl, folder, start, PAGE)
            if returned == min(PAGE, max(total - start, 0)):
                break
            # minidlna, just after its scan, now and then answers a page short while its database is written:
            # asked again, it answers in full; the time that costs is its own.
            short += 1
            time.sleep(0.01)
        seen += returned
        if returned == 0 or start + returned >= total:
            break
    if short:
        print('%s answered %d short pages, each asked again' % (srv.name, short), file=sys.stderr)
    assert seen == FILES, '%s paged %d of %d' % (srv.name, seen, FILES)
    return time.perf_counter() - t0


def measure(srv, r):
    """Fills r as it goes, so a failure keeps what was measured before it."""
    r['first'], ids = first_page(srv, 0.05)

    r['all'] = page_through(srv, ids['big'])
    time.sleep(1)  # what is read ahead comes in: the pages below are warm

    pages = [browse(srv.port, srv.ctl, ids['big'], i * (FILES // PAGE), PAGE) for i in range(PAGE)]
    assert all(p[1] == PAGE for p in pages), 'short page'
    times = sorted(p[0] * 1000 for p in pages)
    r['page_med'] = statistics.median(times)
    r['page_p95'] = times[int(0.95 * len(times) + 0.999) - 1]  # nearest rank

    big = [browse(srv.port, srv.ctl, ids['big'], i * (FILES // 20), BIG_PAGE)[0] * 1000 for i in range(20)]
    r['page500_med'] = statistics.median(big)
    seen, t0 = 0, time.perf_counter()
    for _ in range(FILES // BIG_PAGE + 1):  # bounded: one spare page
        _, returned, total, _ = browse(srv.port, srv.ctl, ids['big'], seen, BIG_PAGE)
        seen += returned
        if returned == 0 or seen >= total:
            break
    r['all500'] = time.perf_counter() - t0
    assert seen == FILES, '%s paged %d of %d by %d' % (srv.name, seen, FILES, BIG_PAGE)

    cpu0 = srv.cpu_seconds()
    status, _, secs, got = get(file_url(srv, ids['large']))
    assert status == 200 and got == GIB, 'GET: HTTP %d, %d bytes' % (status, got)
    r['get'] = got / (1 << 20) / secs

    _, _, _, text = browse(srv.port, srv.ctl, ids['quad'], 0, 0)
    urls = [res for kind, _, _, res in didl_objects(text) if kind == 'item' and res]
    assert len(urls) == CONCURRENT, 'quad: %d items' % len(urls)
    results = [None] * CONCURRENT

    def one(i):
        results[i] = get(urls[i])
    threads = [threading.Thread(target=one, args=(i,)) for i in range(CONCURRENT)]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    secs = time.perf_counter() - t0
    assert all(x and x[0] == 200 and x[3] == QUAD_MIB << 20 for x in results), 'concurrent GETs: %s' % results
    r['get4'] = CONCURRENT * QUAD_MIB / secs
    time.sleep(0.5)  # let minidlna reap its children, whose time then counts
    r['cpu'] = (srv.cpu_seconds() - cpu0) / (1 + CONCURRENT * QUAD_MIB / 1024)


    url, ttfbs = file_url(srv, ids['sparse']), []
    for _ in range(10):
        status, ttfb, _, got = get(url, 'Range: bytes=%d-%d\r\n' % (RANGE_AT, RANGE_AT + RANGE_LEN - 1))
        assert status == 206 and got == RANGE_LEN, 'Range: HTTP %d, %d bytes' % (status, got)
        ttfbs.append(ttfb * 1000)
    r['range'] = statistics.median(ttfbs)

    time.sleep(2)  # idle
    r['rss'] = srv.rss_mib()

    paused_measure(srv, r, file_url(srv, ids['large']), ids['big'])
    srv.stop()

    # The 50 ms poll hides a start shorter than that: once more, finer.
    r['first_fine'], _ = first_page(srv, 0.002)
    srv.stop()

    # From a cold start (an empty cache, a fresh database): the whole folder paged by 50 as soon as it answers,
    # timed from the start; then the memory of the server and its children (tovaly's metadata helpers).
    t0 = time.perf_counter()
    srv.start()
    while True:
        try:
            if srv.scanned():
                big = srv.folder_ids()['big']
                # minidlna's log can say "finished" a moment before its database counts every file.
                if browse(srv.port, srv.ctl, big)[2] == FILES:
                    break
        except (OSError, RuntimeError, KeyError, AttributeError, ET.ParseError):
            pass
        if time.perf_counter() - t0 > START_LIMIT:
            raise RuntimeError('%s: no answer within %d s' % (srv.name, START_LIMIT))
        time.sleep(0.01)
    page_through(srv, big)
    r['all_cold'] = time.perf_counter() - t0
    r['rss_paged'] = srv.rss_mib()
    time.sleep(5)  # tovaly's helpers end once the read-ahead is done
    r['rss_settled'] = srv.rss_mib()


# (key, label, format, target as a bound on tovaly/minidlna, or None)
ROWS = [
    ('first', 'start until the first page of a %d-song folder, with tag titles (s)' % FILES, '%.3f',
     ('<=', 1 / 10, '10x sooner')),
    ('first_fine', '... the same, polled every 2 ms (s)', '%.3f', ('<=', 1 / 10, '10x sooner')),
    ('all', 'whole folder paged by %d, right after the first page (s)' % PAGE, '%.3f', ('<=', 0.5, 'at most 0.5x')),
    ('all_cold', '... from a cold start: start until the last page (s)', '%.3f', ('<=', 0.5, 'at most 0.5x')),
    ('rss_paged', '... resident memory after it (PSS, MiB; with children)', '%.1f', ('<=', 1 / 3, 'a third or less')),
    ('rss_settled', '... and 5 s later (PSS, MiB; with children)', '%.1f', None),
    ('page_med', 'Browse %d of %d, warm, median (ms)' % (PAGE, FILES), '%.2f', ('<=', 0.5, 'at most 0.5x')),
    ('page_p95', 'Browse %d of %d, warm, p95 (ms)' % (PAGE, FILES), '%.2f', None),
    ('page500_med', 'Browse %d of %d, median of 20 (ms)' % (BIG_PAGE, FILES), '%.2f', ('<=', 1.0, 'at most 1.0x')),
    ('all500', 'whole folder paged by %d (s)' % BIG_PAGE, '%.3f', ('<=', 1.0, 'at most 1.0x')),
    ('get', 'GET of 1 GiB (MiB/s)', '%.0f', ('>=', 0.9, 'at least 0.9x')),
    ('get4', '%d concurrent GETs of different files, aggregate (MiB/s)' % CONCURRENT, '%.0f',
     ('>=', 0.9, 'at least 0.9x')),
    ('cpu', 'CPU seconds per GiB served (server and its children)', '%.3f', ('<=', 1.2, 'at most 1.2x')),
    ('p_open', 'media connections that stream at once, of %d asked for' % PAUSED, '%d', None),
    ('p_desc', 'with %d paused media connections: description, median of 20 (ms)' % PAUSED, '%.2f',
     ('abs<', 50, 'under 50 ms')),
    ('p_browse', '... Browse %d of %d, median of 20 (ms)' % (PAGE, FILES), '%.2f', ('abs<', 50, 'under 50 ms')),
    ('p_get', '... a new 64 KiB GET, time to first byte, median of 20 (ms)', '%.2f', None),
    ('p_rss', '... resident memory (PSS, MiB; minidlna: with its children)', '%.1f', ('abs<', 40, 'below 40 MiB')),
    ('range', 'Range 64 KiB at 4.9 GiB, time to first byte, median of 10 (ms)', '%.2f', None),
    ('rss', 'resident memory when idle (PSS, MiB)', '%.1f', ('<=', 1 / 3, 'a third or less')),
]


def table(res):
    lines = ['| | tovaly | minidlna | tovaly ÷ minidlna | target |',
             '|---|---:|---:|---:|---|']
    for key, label, fmt, target in ROWS:
        a, b = res['tovaly'].get(key), res['minidlna'].get(key)
        cell = lambda v: fmt % v if v is not None else 'n/a'
        ratio = '%.3g' % (a / b) if a is not None and b else 'n/a'
        goal = ''
        if target and target[0] == 'abs<' and a is not None:
            goal = '%s: %s' % (target[2], 'met' if a < target[1] else 'MISSED')
        elif target and target[0] != 'abs<' and ratio != 'n/a':
            met = a / b <= target[1] if target[0] == '<=' else a / b >= target[1]
            goal = '%s: %s' % (target[2], 'met' if met else 'MISSED')
        lines.append('| %s | %s | %s | %s | %s |' % (label, cell(a), cell(b), ratio, goal))
    return '\n'.join(lines)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == 'make-data':
        make_data(sys.argv[2])
        return 0
    if len(sys.argv) != 4 or sys.argv[1] != 'measure':
        print(__doc__, file=sys.stderr)
        return 2
    binary, data = os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
    res = {}
    with tempfile.TemporaryDirectory(prefix='tovaly-bench-') as work:
        # One at a time, so that neither competes with the other for the CPUs.
        for srv in (Tovaly(work, data, binary), Minidlna(work, data)):
            print('measuring %s ...' % srv.name, file=sys.stderr, flush=True)
            res[srv.name] = {}
            try:
                measure(srv, res[srv.name])
            except Exception as e:  # still report what the other server did
                print('%s: %s: %s' % (srv.name, type(e).__name__, e), file=sys.stderr)
            finally:
                srv.stop()
    print(table(res))
    return 0


if __name__ == '__main__':
    sys.exit(main())
