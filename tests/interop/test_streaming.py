#!/usr/bin/python3
"""Interop test: the media engine of tovaly-cli serve under paused, many and broken streams.

Usage: netns.sh run /usr/bin/python3 test_streaming.py PATH/TO/tovaly-cli
"""
import contextlib
import hashlib
import os
import socket
import sys
import threading
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402
from peers import ADDR, CDS_TYPE, WAIT, GUPnPAV, check, group  # noqa: E402

SPARSE = 'Movies/sparse.mkv'  # 5 GiB of holes: a stream that never ends by itself
LONG = 'Movies/long.mp4'      # 64 MiB, cut short while it streams
OTHER = 'Music/other.mp3'     # 8 MiB, streams beside it
GONE = 'Music/gone.mp3'       # 8 MiB, deleted while it streams
SMALL = 'Music/small.mp3'
PAUSED = 64
CROWD = 400   # more than the engine streams, and more connections than it takes
AT_LEAST = 256


def build_share(data):
    share = os.path.join(data, 'share')
    peers.write_files(share, {LONG: os.urandom(64 << 20), OTHER: os.urandom(8 << 20), GONE: os.urandom(8 << 20),
                              SMALL: peers.mp3_bytes(40), SPARSE: b'head'})
    os.truncate(os.path.join(share, SPARSE), 5 << 30)
    return share


def counts(pid):
    """(threads, open descriptors) of a process."""
    return len(os.listdir('/proc/%d/task' % pid)), len(os.listdir('/proc/%d/fd' % pid))


def stream(port, rel, rcvbuf=8192, extra='', source=None):
    """A GET whose reader has not read yet, with a small receive buffer (a player that pauses): the socket."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(WAIT)
    if source:
        s.bind((source, 0))
    s.connect((ADDR, port))
    s.sendall(('GET /media/%s HTTP/1.1\r\nHost: %s:%d\r\n%s\r\n' % (rel, ADDR, port, extra)).encode())
    return s


def read_head(s):
    """(status or None when the server closed first, headers, the body bytes that came with the head)."""
    data = b''
    with contextlib.suppress(ConnectionResetError):
        while b'\r\n\r\n' not in data:
            chunk = s.recv(65536)
            if not chunk:
                return None, {}, b''
            data += chunk
    head, _, rest = data.partition(b'\r\n\r\n')
    lines = head.decode('latin-1').split('\r\n')
    return int(lines[0].split()[1]), {k.strip().lower(): v.strip() for k, _, v in
                                      (ln.partition(':') for ln in lines[1:])}, rest


def read_until(s, n):
    data = b''
    while len(data) < n:
        chunk = s.recv(1 << 20)
        check(chunk, 'the stream ended after %d bytes' % len(data))
        data += chunk
    return data


def read_to_end(s):
    """Everything until the server closes: (bytes, how it ended)."""
    data, how = b'', 'closed'
    try:
        for chunk in iter(lambda: s.recv(1 << 20), b''):
            data += chunk
    except ConnectionResetError:
        how = 'reset'
    except socket.timeout:
        how = 'still open after %d s' % WAIT
    return data, how


def file_bytes(st, rel):
    with open(os.path.join(st['share'], rel), 'rb') as f:
        return f.read()


def browse_music(st):
    """Browse of "Music" by GUPnP-AV: the titles of its items."""
    out = peers.browse(st['cds'], 'Music', 'BrowseDirectChildren')
    check('error' not in out, 'Browse "Music": %s' % out.get('error'))
    titles, parser = [], GUPnPAV.DIDLLiteParser.new()
    parser.connect('item-available', lambda _, o: titles.append(o.get_title()))
    parser.parse_didl(out['value'][0])
    return titles


def check_paused(st):
    srv, port = st['srv'], st['srv'].info['media_port']
    pid = srv.proc.pid
    # The stack's thread pool grows to what a description, a browse and a GET need; measured after that.
    peers.fetch(srv.info['desc_url'])
    browse_music(st)
    before = counts(pid)
    paused = [stream(port, SPARSE) for _ in range(PAUSED)]
    try:
        for s in paused:
            status, _, _ = read_head(s)
            check(status == 200, 'a paused stream got HTTP %s' % status)
        during = counts(pid)
        t0 = time.monotonic()
        desc = ET.fromstring(peers.fetch(srv.info['desc_url']))
        t_desc = time.monotonic() - t0
        check(desc.find('.//{urn:schemas-upnp-org:device-1-0}UDN').text == srv.info['udn'], 'description: wrong UDN')
        t0 = time.monotonic()
        titles = browse_music(st)
        t_browse = time.monotonic() - t0
        check(sorted(titles) == sorted(os.path.basename(r) for r in (OTHER, GONE, SMALL)), 'Browse: %s' % titles)
        t0 = time.monotonic()
        body = peers.fetch(srv.info['media_base'] + SMALL)
        check(body == file_bytes(st, SMALL), 'GET %s: not the file' % SMALL)
        peers.note('with %d paused streams: description %.1f ms, GUPnP-AV Browse %.1f ms, GET %.1f ms; threads '
                   'and descriptors %s before, %s with them' % (PAUSED, t_desc * 1000, t_browse * 1000,
                                                                (time.monotonic() - t0) * 1000, before, during))
        check(during[0] == before[0], 'the paused streams took threads: %d before, %d now' % (before[0], during[0]))
    finally:
        for s in paused:
            s.close()
    # Connections kept open before (the description's, Browse's) may have been closed meanwhile: at most as many.
    after = peers.poll(lambda: (lambda c: c if c[0] <= before[0] and c[1] <= before[1] else None)(counts(pid)))
    check(after, 'not idle again: threads and descriptors %s before, %s after the streams closed'
          % (before, counts(pid)))


def check_crowd(st):
    """More streams than the engine takes: each one is served or refused at once, none is left waiting."""
    port = st['srv'].info['media_port']
    socks, statuses = [], {}
    try:
        for i in range(CROWD):  # from two hosts: one host may hold at most 256 connections
            socks.append(stream(port, SPARSE, source=OTHER_HOST if i % 2 else None))
        for s in socks:
            status, hdrs, _ = read_head(s)
            key = 'closed' if status is None else status
            statuses[key] = statuses.get(key, 0) + 1
            if status == 503:
                check(hdrs.get('retry-after'), '503 without Retry-After')
        peers.note('%d streams asked for: %s' % (CROWD, statuses))
        check(statuses.get(200, 0) >= AT_LEAST, 'only %d of %d streams served' % (statuses.get(200, 0), CROWD))
        check(set(statuses) <= {200, 503, 'closed'}, 'answers %s' % statuses)
        check(peers.fetch(st['srv'].info['desc_url']), 'no description while the engine is full')
    finally:
        for s in socks:
            s.close()
    # Once they are gone, a new stream is served again.
    check(peers.poll(lambda: peers.raw_http(port, 'GET', '/media/' + SMALL)[0] == 200), 'no GET after the crowd')


def check_shrink(st):
    port = st['srv'].info['media_port']
    long_bytes, other_bytes, gone_bytes = file_bytes(st, LONG), file_bytes(st, OTHER), file_bytes(st, GONE)
    cut, beside, gone = stream(port, LONG), stream(port, OTHER), stream(port, GONE)
    try:
        heads = [read_head(s) for s in (cut, beside, gone)]
        check([h[0] for h in heads] == [200] * 3, 'statuses %s' % [h[0] for h in heads])
        got = [h[2] + read_until(s, 1 << 20) for h, s in zip(heads, (cut, beside, gone))]
        os.truncate(os.path.join(st['share'], LONG), 2 << 20)
        os.unlink(os.path.join(st['share'], GONE))
        rest, how = read_to_end(cut)
        body = got[0] + rest
        check(how in ('closed', 'reset') and len(body) < len(long_bytes) and body == long_bytes[:len(body)],
              'the cut stream: %d of %d bytes, %s, %s' % (len(body), len(long_bytes), how,
                                                          'the file\'s' if body == long_bytes[:len(body)] else
                                                          'NOT the file\'s bytes'))
        peers.note('the file cut to 2 MiB: its stream ended after %.1f MiB (%s)' % (len(body) / 2 ** 20, how))
        for s, first, want, name in ((beside, got[1], other_bytes, OTHER), (gone, got[2], gone_bytes, GONE)):
            body = first + read_until(s, len(want) - len(first))
            check(hashlib.sha256(body).digest() == hashlib.sha256(want).digest(), '%s: not the file' % name)
    finally:
        for s in (cut, beside, gone):
            s.close()
    status, hdrs, body = peers.raw_http(port, 'GET', '/media/' + LONG)
    check((status, len(body)) == (200, 2 << 20) and body == long_bytes[:2 << 20], 'GET of the cut file: HTTP %s, %d '
          'bytes' % (status, len(body)))
    check(peers.raw_http(port, 'GET', '/media/' + GONE)[0] == 404, 'the deleted file is still served')


def check_stop(st):
    """SIGTERM while streams move and others pause: a clean exit all the same."""
    port, stop = st['srv'].info['media_port'], threading.Event()

    def reader():
        with contextlib.closing(stream(port, SPARSE, 1 << 20)) as s:
            read_head(s)
            with contextlib.suppress(OSError):
                while not stop.is_set() and s.recv(1 << 20):
                    pass
    readers = [threading.Thread(target=reader, daemon=True) for _ in range(4)]
    paused = [stream(port, SPARSE) for _ in range(32)]
    try:
        for t in readers:
            t.start()
        for s in paused:
            read_head(s)
        t0 = time.monotonic()
        peers.clean_exit(st['srv'])
        peers.note('stopped with 4 moving and 32 paused streams in %.2f s' % (time.monotonic() - t0))
    finally:
        stop.set()
        for s in paused:
            s.close()
        for t in readers:
            t.join(WAIT)


OTHER_HOST = '192.0.2.4'  # a second client on the test network


def main(cli, tmp):
    st = {'share': build_share(os.path.join(tmp, 'data'))}
    rc, _, err = peers.run(['ip', 'addr', 'add', OTHER_HOST + '/24', 'dev', peers.IFACE])
    check(rc == 0, 'cannot add a second host\'s address: %s' % err)
    st['srv'] = peers.serve(cli, tmp, st['share'])
    watch = peers.Watch(st['srv'].info['udn'])
    found = group('GUPnP finds the server', lambda: check(st.setdefault('cds', watch.found().get_service(CDS_TYPE)),
                                                          'the device has no ContentDirectory'))
    group('%d paused streams: description, GUPnP-AV Browse and a GET answer; idle again afterwards' % PAUSED,
          check_paused, st, runnable=found)
    group('%d streams at once: at least %d served, the rest refused at once' % (CROWD, AT_LEAST), check_crowd, st)
    group('a file cut short while it streams ends its stream cleanly; the others go on', check_shrink, st)
    group('SIGTERM with streams in flight: clean exit', check_stop, st)


if __name__ == '__main__':
    sys.exit(peers.main(main, gi=True))
