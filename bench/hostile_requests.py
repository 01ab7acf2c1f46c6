#!/usr/bin/python3
"""What hostile requests cost tovaly-cli serve: CPU seconds of SOAP bodies of 64 and 256 KiB (many siblings,
deep nesting; the content limit was 256 KiB before it became 64 KiB), Browse of a large folder (the whole
folder asked for at once, and the time of another action meanwhile), and a new client's description, Browse of
10 and ranged GET while 40 connections trickle their request heads into each port.

  tests/interop/netns.sh run /usr/bin/python3 bench/hostile_requests.py build/bin/tovaly-cli [FILES]
"""
import os
import socket
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'interop'))
import peers  # noqa: E402
from peers import CDS_TYPE, CM_TYPE  # noqa: E402



def cpu(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def rss(pid):
    with open('/proc/%d/status' % pid) as f:
        return int(next(ln for ln in f if ln.startswith('VmRSS')).split()[1]) / 1024


def soap_cost(srv, name, inner, limit):
    body = peers.envelope('Browse', CDS_TYPE, inner)
    body = body[:limit - 64] if len(body) > limit - 64 else body
    c0, t0 = cpu(srv.proc.pid), time.monotonic()
    try:
        status = peers.soap_post(srv.info['port'], '/upnp/control/cds', '%s#Browse' % CDS_TYPE, body)[0]
    except OSError as e:
        status = 'none (%s)' % e
    print('%-40s %7d bytes: HTTP %s, %.2f CPU s, %.2f s' % (name, len(body), status, cpu(srv.proc.pid) - c0,
                                                            time.monotonic() - t0), flush=True)


def trickling(port, n, stop):
    """n connections to port that send a request head one byte a second, until stop is set."""
    socks = []
    for _ in range(n):
        try:
            s = socket.create_connection((peers.ADDR, port), timeout=5)
            s.sendall(b'GET /description.xml HTTP/1.1\r\n')
            socks.append(s)
        except OSError:
            break

    def drip():
        while not stop.wait(1):
            for s in socks:
                try:
                    s.send(b'X')
                except OSError:
                    pass
        for s in socks:
            s.close()
    t = threading.Thread(target=drip)
    t.start()
    return t, len(socks)


def timed(what):
    t0 = time.monotonic()
    try:
        ok = what()
    except OSError as e:
        ok = type(e).__name__
    return '%.1f ms%s' % ((time.monotonic() - t0) * 1000, '' if ok is True else ' (%s)' % ok)


def trickle_cost(srv, folder_id):
    stop = threading.Event()
    ports = sorted({srv.info['port'], srv.info.get('stack_port', srv.info['port']), srv.info['media_port']})
    threads = [trickling(port, 40, stop) for port in ports]
    time.sleep(2)  # a few bytes in: the heads are under way

    def desc():
        return b'<root' in peers.fetch(srv.info['desc_url'], timeout=30)

    def browse():
        return peers.soap(srv.info['port'], '/upnp/control/cds', CDS_TYPE, 'Browse',
                          (('ObjectID', folder_id), ('BrowseFlag', 'BrowseDirectChildren'), ('Filter', '*'),
                           ('StartingIndex', '0'), ('RequestedCount', '10'), ('SortCriteria', '')))['NumberReturned'] == '10'

    def ranged():
        status, _, body = peers.raw_http(srv.info['media_port'], 'GET', '/media/%s/track%%20000001.mp3' % folder_id,
                                         ['Range: bytes=0-99'])
        return status in (206, 200)
    print('with 40 connections trickling their heads into each of ports %s (%s): description %s, Browse of 10 %s, '
          'ranged GET %s' % (ports, ', '.join(str(n) for _, n in threads), timed(desc), timed(browse), timed(ranged)),
          flush=True)
    stop.set()
    for t, _ in threads:
        t.join()


def main():
    cli, files = os.path.abspath(sys.argv[1]), int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    with tempfile.TemporaryDirectory() as tmp:
        share = os.path.join(tmp, 'share')
        os.makedirs(os.path.join(share, 'big'))
        for i in range(files):
            with open(os.path.join(share, 'big', 'track %06d.mp3' % i), 'wb') as f:
                f.write(b'\0' * 4096 if i == 1 else b'')
        time.sleep(2)  # past the listing cache's one-second guard
        srv = peers.serve(cli, tmp, share)
        trickle_cost(srv, 'big')
        for limit in (64 << 10, 256 << 10):
            n = limit // 4
            soap_cost(srv, 'siblings, %d KiB' % (limit >> 10), '<x/>' * n, limit)
            soap_cost(srv, 'nesting, %d KiB' % (limit >> 10), '<x>' * (n // 2) + '</x>' * (n // 2), limit)
        args = (('ObjectID', 'big'), ('BrowseFlag', 'BrowseDirectChildren'), ('Filter', '*'),
                ('StartingIndex', '0'), ('RequestedCount', '0'), ('SortCriteria', ''))
        done, other = {}, {}

        def everything():
            t0 = time.monotonic()
            try:
                out = peers.soap(srv.info['port'], '/upnp/control/cds', CDS_TYPE, 'Browse', args)
            except OSError:
                out = {'NumberReturned': 'no answer', 'TotalMatches': '?', 'Result': ''}
            done.update(secs=time.monotonic() - t0, returned=out['NumberReturned'], total=out['TotalMatches'],
                        size=len(out['Result']))
        c0 = cpu(srv.proc.pid)
        t = threading.Thread(target=everything)
        t.start()
        time.sleep(0.05)
        t0 = time.monotonic()
        try:
            peers.soap(srv.info['port'], '/upnp/control/cm', CM_TYPE, 'GetProtocolInfo')
        except OSError:
            pass  # past the client's 30 s
        other['secs'] = time.monotonic() - t0
        t.join()
        print('Browse of all %d in one request: %.2f s, %.2f CPU s, NumberReturned %s of %s, Result %d bytes, '
              '%.0f MiB resident; GetProtocolInfo meanwhile: %.3f s'
              % (files, done['secs'], cpu(srv.proc.pid) - c0, done['returned'], done['total'], done['size'],
                 rss(srv.proc.pid), other['secs']))
        pages = []
        for start in (0, files // 2, files - 50):
            t0 = time.monotonic()
            try:
                peers.soap(srv.info['port'], '/upnp/control/cds', CDS_TYPE, 'Browse',
                           args[:3] + (('StartingIndex', str(start)), ('RequestedCount', '50'), ('SortCriteria', '')))
                pages.append('%d: %.1f ms' % (start, (time.monotonic() - t0) * 1000))
            except OSError:
                pages.append('%d: no answer in 30 s' % start)
        print('a page of 50 from ' + ', '.join(pages))
        srv.stop()
    return 0


if __name__ == '__main__':
    sys.exit(main())
