#!/usr/bin/python3
"""What hostile requests cost tovaly-cli serve: CPU seconds of SOAP bodies of 64 and 256 KiB (many siblings,
deep nesting; the content limit was 256 KiB before it became 64 KiB), and Browse of a large folder (the whole
folder asked for at once, and the time of another action meanwhile).

  tests/interop/netns.sh run /usr/bin/python3 bench/hostile_requests.py build/bin/tovaly-cli [FILES]
"""
import os
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


def main():
    cli, files = os.path.abspath(sys.argv[1]), int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    with tempfile.TemporaryDirectory() as tmp:
        share = os.path.join(tmp, 'share')
        os.makedirs(os.path.join(share, 'big'))
        for i in range(files):
            open(os.path.join(share, 'big', 'track %06d.mp3' % i), 'wb').close()
        time.sleep(2)  # past the listing cache's one-second guard
        srv = peers.serve(cli, tmp, share)
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
