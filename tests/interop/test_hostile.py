#!/usr/bin/python3
"""Interop test: hostile files under the share, hostile clients and hostile peers on the network.

  - the shared folder swapped with a link to outside, and a file with a FIFO, while clients download;
  - the SUBSCRIBE and UNSUBSCRIBE without a path that end the stack of this version, to every port we listen on;
  - a Host that names another site (DNS rebinding), on every port and path;
  - descriptions that trickle, stream without end, lie about their length, hold hostile names or hundreds of
    devices, announced beside a good server: `devices` lists the good one within its timeout, every line safe.

Usage: netns.sh run /usr/bin/python3 test_hostile.py PATH/TO/tovaly-cli
"""
import contextlib
import ctypes
import os
import re
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402
from peers import ADDR, CDS_TYPE, MS_TYPE, SSDP, WAIT, check, group, note, notify  # noqa: E402

GOOD, SECRET = b'GOOD-BYTES ' * 100, b'SECRET-BYTES ' * 100
RENAME_EXCHANGE = 2
SWAP_REQUESTS = 3000
TIMEOUT = 6  # devices --timeout
HOSTILE = '192.0.2.3'  # a second host on the test network: the slow peers
DESC = ('<?xml version="1.0"?>\n<root xmlns="urn:schemas-upnp-org:device-1-0"><specVersion><major>1</major>'
        '<minor>0</minor></specVersion>%s</root>')
DEVICE = ('<device><deviceType>%s</deviceType><friendlyName>%s</friendlyName><UDN>%s</UDN>'
          '<serviceList></serviceList>%s</device>')
FORGED = 'Evil\n+ server "Forged" uuid:forged at http://%s:1/\r\tEnd' % ADDR

libc = ctypes.CDLL(None, use_errno=True)


def exchange(a, b):
    """Swaps two names in one step, as a local user with write access to the share can."""
    if libc.renameat2(-100, a.encode(), -100, b.encode(), RENAME_EXCHANGE) != 0:
        raise OSError(ctypes.get_errno(), 'renameat2 %s %s' % (a, b))


def swapping(a, b, stop):
    def run():
        while not stop.is_set():
            exchange(a, b)
    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t


def hammer(port, target, want):
    """SWAP_REQUESTS GETs: {'right': n, '404': n, ...}; any other answer is a fault."""
    seen = {}
    for _ in range(SWAP_REQUESTS):
        status, hdrs, body = peers.raw_http(port, 'GET', target)
        if status == 200 and body == want and int(hdrs.get('content-length', -1)) == len(want):
            key = 'right'
        elif status == 404 and not body:
            key = '404'
        else:
            key = 'HTTP %s, %d bytes%s' % (status, len(body), ', SECRET' if SECRET[:12] in body else '')
        seen[key] = seen.get(key, 0) + 1
    return seen


def check_folder_swap(st):
    """Music is swapped with a link to a folder outside the share while a client downloads from it."""
    share, data = st['share'], st['data']
    peers.write_files(share, {'Music/a.mp3': GOOD})
    peers.write_files(data, {'outside/a.mp3': SECRET})
    os.symlink(os.path.join(data, 'outside'), os.path.join(share, 'Music.swap'))
    stop = threading.Event()
    t = swapping(os.path.join(share, 'Music'), os.path.join(share, 'Music.swap'), stop)
    try:
        seen = hammer(st['srv'].info['media_port'], '/media/Music/a.mp3', GOOD)
    finally:
        stop.set()
        t.join()
    note('%d GETs while the folder was swapped: %s' % (SWAP_REQUESTS, seen))
    check(set(seen) <= {'right', '404'}, 'answers other than the file or 404: %s' % seen)


def check_fifo_swap(st):
    """A file swapped with a FIFO while it is downloaded: the file or 404, and no thread stays stuck."""
    share, port = st['share'], st['srv'].info['media_port']
    peers.write_files(share, {'Fifo/b.mp3': GOOD, 'Fifo/other.mp3': GOOD})
    os.mkfifo(os.path.join(share, 'Fifo/b.swap'))
    stop = threading.Event()
    t = swapping(os.path.join(share, 'Fifo/b.mp3'), os.path.join(share, 'Fifo/b.swap'), stop)
    try:
        seen = hammer(port, '/media/Fifo/b.mp3', GOOD)
    finally:
        stop.set()
        t.join()
    note('%d GETs while the file was swapped with a FIFO: %s' % (SWAP_REQUESTS, seen))
    check(set(seen) <= {'right', '404'}, 'answers other than the file or 404: %s' % seen)
    # Nobody ever writes to the FIFO: a thread stuck in it would show now.
    check(peers.raw_http(port, 'GET', '/media/Fifo/other.mp3')[2] == GOOD, 'no GET after the FIFO swap')
    check(peers.fetch(st['srv'].info['desc_url']), 'no description after the FIFO swap')


class Scripted:
    """A TCP server (by default on the slow host) whose every connection gets behave(conn, stop) on a thread of
    its own."""

    def __init__(self, behave, host=None):
        self.stop, self.behave, host = threading.Event(), behave, host or HOSTILE
        self.sock = socket.socket()
        self.sock.bind((host, 0))
        self.sock.listen(64)
        self.url = 'http://%s:%d/description.xml' % (host, self.sock.getsockname()[1])
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        with contextlib.suppress(OSError):
            while not self.stop.is_set():
                conn, _ = self.sock.accept()
                threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        with contextlib.suppress(OSError), conn:
            conn.settimeout(WAIT)
            conn.recv(65536)
            self.behave(conn, self.stop)

    def close(self):
        self.stop.set()
        with contextlib.suppress(OSError):
            self.sock.shutdown(socket.SHUT_RDWR)
        self.sock.close()


def trickle(conn, stop):
    conn.sendall(b'HTTP/1.1 200 OK\r\nContent-Length: 4000\r\n\r\n')
    while not stop.wait(0.5):
        conn.sendall(b' ')


def endless(conn, stop):
    conn.sendall(b'HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n<root>')
    chunk = b'<x>' * 20000
    while not stop.is_set():
        conn.sendall(chunk)


def liar(conn, stop):
    body = (DESC % (DEVICE % (MS_TYPE, 'Liar', 'uuid:liar', ''))).encode()
    conn.sendall(b'HTTP/1.1 200 OK\r\nContent-Length: 300000000\r\n\r\n' + body)
    stop.wait(WAIT)


def answer(body):
    def behave(conn, stop):
        conn.sendall(b'HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: %d\r\n\r\n' % len(body) + body)
    return behave


def hostile_peers():
    """(name, scripted server, USN) of every hostile LOCATION."""
    long_udn = DEVICE % (MS_TYPE, 'Long UDN', 'uuid:' + 'u' * 20000, '')
    forged = (DESC % (DEVICE % (MS_TYPE, FORGED.replace('&', '&amp;').replace('<', '&lt;'), 'uuid:forged-name',
                                '<deviceList>%s</deviceList>' % long_udn))).encode()
    crowd = ''.join(DEVICE % ('urn:schemas-upnp-org:device:MediaServer:1', 'Embedded %d' % i,
                              'uuid:embedded-%d' % i, '') for i in range(600))
    many = (DESC % (DEVICE % (MS_TYPE, 'Many', 'uuid:many', '<deviceList>%s</deviceList>' % crowd))).encode()
    out = [('trickle %d' % i, Scripted(trickle), 'uuid:trickle-%d' % i) for i in range(20)]
    out += [('endless', Scripted(endless), 'uuid:endless'), ('liar', Scripted(liar), 'uuid:liar'),
            ('forged', Scripted(answer(forged), ADDR), 'uuid:forged-name'),
            ('huge text', Scripted(answer((DESC % (DEVICE % (MS_TYPE, 'Huge', 'uuid:' + 'u' * 900000, ''))).encode())),
             'uuid:huge'),
            ('many', Scripted(answer(many), ADDR), 'uuid:many')]
    return out


def announcing(peers_, stop):
    def run():
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(ADDR))
            while True:
                for _, srv, usn in peers_:
                    s.sendto(notify(srv.url, usn + '::' + MS_TYPE), SSDP)
                if stop.wait(1):
                    return
    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t


def rss_mib(pid):
    with open('/proc/%d/status' % pid) as f:
        return int(re.search(r'VmRSS:\s+(\d+)', f.read()).group(1)) // 1024


def check_hostile_peers(st):
    srv, hostile, stop = st['srv'], hostile_peers(), threading.Event()
    # Growth, not size: under AddressSanitizer freed memory stays resident for a while (its quarantine).
    rss_before = rss_mib(srv.proc.pid)
    t = announcing(hostile, stop)
    try:
        t0 = time.monotonic()
        rc, out, err = peers.run([st['cli'], '--config', st['cfg'], 'devices', '--timeout', str(TIMEOUT),
                                  '--address', ADDR])
        took = time.monotonic() - t0
        lines = out.splitlines()
        note('devices --timeout %d: exit %d after %.1f s, %d lines' % (TIMEOUT, rc, took, len(lines)))
        check(rc == 0, 'devices: exit %d: %s' % (rc, err[-300:]))
        check(took < TIMEOUT + 5, 'devices took %.1f s with --timeout %d' % (took, TIMEOUT))
        check(any(srv.info['udn'] in ln and ln.startswith('server') for ln in lines),
              'the good server is not listed beside the hostile ones:\n%s' % out)
        check(lines[:1] and lines[0].startswith('KIND') and all(re.match(r'(server|renderer)  ', ln) for ln in lines[1:]),
              'a line that is no device:\n%s' % out)
        check(all(len(ln) < 400 for ln in lines), 'a line of %d characters' % max(map(len, lines)))
        check(any(ln.startswith('server    Evil\\x0A+ server "Forged"') for ln in lines),
              'the forged name is not listed as one escaped name:\n%s' % out)
        check(0 < len([ln for ln in lines if 'Embedded' in ln]) < 16, 'the 600 embedded devices: %d listed'
              % len([ln for ln in lines if 'Embedded' in ln]))
        # serve saw the same announcements meanwhile: still here, its memory bounded, its lines safe.
        rss = rss_mib(srv.proc.pid)
        note('serve during the hostile announcements: %d -> %d MiB resident' % (rss_before, rss))
        check(srv.alive() and rss - rss_before < 150, 'serve: alive %s, %d -> %d MiB resident' % (
            srv.alive(), rss_before, rss))
        bad = [ln for ln in srv.lines() if ln.startswith(('+ ', '- ')) and not re.match(r'[+-] (server|renderer) "', ln)]
        check(not bad and not srv.find(r'^\+ server "Forged"'), 'serve printed lines that are no device: %s' % bad[:3])
    finally:
        stop.set()
        t.join()
        for _, s, _ in hostile:
            s.close()


def answering(st, context):
    """The server still runs and answers: its description, a Browse, a file."""
    srv = st['srv']
    check(srv.alive(), 'the server exited %s' % context)
    check(b'<root' in peers.fetch(srv.info['desc_url']), 'no description %s' % context)
    out = peers.soap(srv.info['port'], '/upnp/control/cds', CDS_TYPE, 'Browse',
                     (('ObjectID', '0'), ('BrowseFlag', 'BrowseDirectChildren'), ('Filter', '*'),
                      ('StartingIndex', '0'), ('RequestedCount', '10'), ('SortCriteria', '')))
    check('id="Keep"' in out.get('Result', ''), 'Browse %s: %s' % (context, out.get('NumberReturned')))
    status, _, body = peers.raw_http(srv.info['media_port'], 'GET', '/media/Keep/k.mp3')
    check(status == 200 and body == GOOD, 'GET of a file %s: HTTP %s' % (context, status))


def check_stack_crashers(st):
    """SUBSCRIBE and UNSUBSCRIBE whose URL has no path (the stack of this version dereferences a null path for
    them), with and without SID, CALLBACK and NT, to the media port, the device's and the stack's own."""
    srv = st['srv']
    sent = {}
    for port in sorted({srv.info['media_port'], srv.info['port'], srv.info['stack_port']}):
        for method in ('SUBSCRIBE', 'UNSUBSCRIBE'):
            for target in ('http://%s:%d' % (ADDR, port), 'http://%s:%d?x' % (ADDR, port), 'http://%s' % ADDR, '*',
                           '/upnp/event/cds', '/upnp/event/nope'):
                for headers in (['SID: uuid:00000000-0000-0000-0000-000000000000'], [],
                                ['CALLBACK: <http://%s:9/>' % ADDR, 'NT: upnp:event'],
                                ['SID: uuid:x', 'CALLBACK: <http://%s:9/>' % ADDR]):
                    try:
                        status = peers.raw_http(port, method, target, headers)[0]
                    except OSError as e:
                        status = type(e).__name__
                    key = '%s %d' % (method, port)
                    sent.setdefault(key, {})
                    sent[key][status] = sent[key].get(status, 0) + 1
                    check(srv.alive(), 'the server exited after %s %s %s to port %d' % (method, target, headers, port))
    note('answers: %s' % sent)
    answering(st, 'after the requests that end the stack of this version')


def check_hosts(st):
    """DNS rebinding: a Host naming another site gets a 4xx before any work, on the phone page, a file, the
    description and a Browse; an address (or no Host at all, HTTP/1.0) is answered."""
    srv = st['srv']
    browse = peers.envelope('Browse', CDS_TYPE, (('ObjectID', '0'), ('BrowseFlag', 'BrowseDirectChildren'),
                                                  ('Filter', '*'), ('StartingIndex', '0'), ('RequestedCount', '5'),
                                                  ('SortCriteria', '')))
    media, device = srv.info['media_port'], srv.info['port']
    requests = [(media, 'GET', '/', [], b''), (media, 'GET', '/media/Keep/k.mp3', [], b''),
                (device, 'GET', '/description.xml', [], b''), (device, 'GET', '/cds.xml', [], b''),
                (device, 'POST', '/upnp/control/cds', ['SOAPACTION: "%s#Browse"' % CDS_TYPE], browse),
                (device, 'SUBSCRIBE', '/upnp/event/cds', ['CALLBACK: <http://%s:9/>' % ADDR, 'NT: upnp:event'], b'')]
    for port, method, target, headers, body in requests:
        for host in ('attacker.example', 'attacker.example:%d' % port, '%s.nip.io:%d' % (ADDR, port)):
            status = peers.raw_http(port, method, target, headers, body, host=host)[0]
            check(status is not None and 400 <= status < 500, '%s %s with Host %s: HTTP %s' % (method, target, host,
                                                                                                 status))
        for host in ('%s:%d' % (ADDR, port), ADDR, ''):
            status = peers.raw_http(port, method, target, headers, body, host=host)[0]
            check(status == 200, '%s %s with Host %r: HTTP %s' % (method, target, host, status))
    answering(st, 'after the foreign Hosts')


def main(cli, tmp):
    data = os.path.join(tmp, 'data')
    st = {'cli': cli, 'data': data, 'share': os.path.join(data, 'share'), 'cfg': os.path.join(tmp, 'devices.ini')}
    peers.write_files(st['share'], {'Keep/k.mp3': GOOD})
    with open(st['cfg'], 'w') as f:
        f.write('[setting]\ncontent_path=%s\n' % st['share'])
    st['srv'] = peers.serve(cli, tmp, st['share'])
    rc, _, err = peers.run(['ip', 'addr', 'add', HOSTILE + '/24', 'dev', peers.IFACE])
    check(rc == 0, 'cannot add the hostile host\'s address: %s' % err)
    group('the shared folder swapped with a link to outside while a client downloads', check_folder_swap, st)
    group('a file swapped with a FIFO while a client downloads', check_fifo_swap, st)
    group('SUBSCRIBE and UNSUBSCRIBE without a path, to every port: the server keeps answering',
          check_stack_crashers, st)
    group('a Host that names another site is refused everywhere, an address is answered', check_hosts, st)
    group('descriptions that trickle, never end, lie or hold hostile names, beside a good server',
          check_hostile_peers, st)
    group('SIGTERM: clean exit', peers.clean_exit, st['srv'])


if __name__ == '__main__':
    sys.exit(peers.main(main))
