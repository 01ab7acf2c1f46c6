#!/usr/bin/python3
"""Interop test: discovery and presence of tovaly-cli among minidlna, gmediarender and a second tovaly-cli.

Usage: netns.sh run2 /usr/bin/python3 test_discovery.py PATH/TO/tovaly-cli
Runs in the first of two joined private namespaces (192.0.2.1); the second (192.0.2.2) holds the
second installation. Talks only to addresses inside those namespaces.

What it shows:
  devices     `tovaly-cli devices` lists exactly the peers (JSON and table), and "none" when alone
  events      a long-running serve (A) prints + and - lines: byebye, restart, and a SIGKILLed renderer
              removed after its liveness check fails
  presence    two installations keep each other alive by probe alone: once B's multicast no longer
              reaches A, A probes B, B answers, and B serves no SOAP action meanwhile
  bad input   malformed SSDP and probe datagrams leave A running and answering

With TOVALY_TEST_LOGDIR=DIR set, every process's output and every SSDP datagram seen land in DIR.
"""
import http.server
import json
import os
import random
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
import xml.etree.ElementTree as ET

ADDR = os.environ.get('TOVALY_TEST_ADDR', '192.0.2.1')
ADDR2 = os.environ.get('TOVALY_TEST_ADDR2', '')
NETNS2 = os.environ.get('TOVALY_TEST_NETNS2', '')
IFACE = 'upnp0'
SSDP = ('239.255.255.250', 1900)
WAIT = 30            # generous upper bound for anything that should happen soon; never a pass criterion
BYEBYE_WAIT = 15     # a byebye is acted on at once
# A restarted renderer whose first announcements come within a second of A's previous download of its
# description is only fetched at its next renewal (gmediarender: 20 s later).
RESTART_WAIT = 45
# Presence: max-age 100 s, expiry passes every 10 s, a failed liveness check removes at the pass after.
KILL_WAIT = 180      # SIGKILLed renderer: last announcement + 100 + two passes, with room to spare
PROBE_WAIT = 150     # B's last NOTIFY that A saw + 100 + a pass + the probe, with room to spare
FURTHER_PASS = 15    # after B's reply: at least one more expiry pass of A (every 10 s)
NS_DEV = '{urn:schemas-upnp-org:device-1-0}'
SO_TIMESTAMPNS = getattr(socket, 'SO_TIMESTAMPNS', 35)
T0 = time.monotonic()
T0_WALL = time.time()

MINIDLNA_UUID = '4d696e69-444c-164e-9d41-00000000d15c'
MINIDLNA_NAME = 'Interop minidlna'
GMR_UUID = '0de6e0c5-7e57-4d15-8c0e-00000000d15c'
GMR_NAME = 'Interop renderer'
GMR_PORT = 49494

results = []  # (group, ok, detail)


def check(cond, msg):
    if not cond:
        raise AssertionError(msg)


def note(msg):
    print('  .. ' + msg, flush=True)


def group(name, fn, *args, runnable=True):
    print('== %s' % name, flush=True)
    if not runnable:
        results.append((name, None, 'not run: needs a group that failed'))
        return False
    try:
        fn(*args)
        results.append((name, True, ''))
        return True
    except Exception as e:  # a failed group must not stop the others
        results.append((name, False, '%s: %s' % (type(e).__name__, e)))
        print('   FAILED: %s' % e, flush=True)
        return False


def poll_until(pred, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while True:
        v = pred()
        if v or time.monotonic() > deadline:
            return v
        time.sleep(step)


def http_get(url, timeout=WAIT):
    with urllib.request.urlopen(url, timeout=timeout) as r:
        return r.status, r.read()


# ---------------------------------------------------------------- processes

class Proc:
    """A child process whose stdout and stderr lines are collected with their arrival times."""
    every = []  # all of them, for TOVALY_TEST_LOGDIR

    def __init__(self, name, argv, env=None):
        self.name = name
        Proc.every.append(self)
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL, env=env)
        self.out, self.err = [], []  # (monotonic time, text)
        self.lock = threading.Lock()
        self.readers = [threading.Thread(target=self._read, args=(self.proc.stdout, self.out), daemon=True),
                        threading.Thread(target=self._read, args=(self.proc.stderr, self.err), daemon=True)]
        for t in self.readers:
            t.start()

    def _read(self, stream, into):
        for raw in stream:
            text = raw.decode('utf-8', 'replace').rstrip('\n')
            with self.lock:
                into.append((time.monotonic(), text))

    def lines(self, which='out', since=0.0):
        with self.lock:
            return [t for ts, t in (self.out if which == 'out' else self.err) if ts >= since]

    def timed(self, which='out'):
        with self.lock:
            return list(self.out if which == 'out' else self.err)

    def find(self, pattern, which='out', since=0.0):
        rx = re.compile(pattern)
        for ln in self.lines(which, since):
            m = rx.search(ln)
            if m:
                return m
        return None

    def wait_for(self, pattern, timeout, which='out', since=0.0):
        poll_until(lambda: self.find(pattern, which, since) or self.proc.poll() is not None, timeout)
        return self.find(pattern, which, since)

    def alive(self):
        return self.proc.poll() is None

    def stop(self, sig=signal.SIGTERM, timeout=WAIT):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            rc = None
        for t in self.readers:
            t.join(WAIT)
        return rc

    def dump(self, folder, index):
        with open(os.path.join(folder, '%02d-%s.log' % (index, self.name)), 'w') as f:
            for which in ('out', 'err'):
                for ts, t in self.timed(which):
                    f.write('%9.3f %s %s\n' % (ts - T0, which, t))

    def tail(self, n=25):
        return '\n'.join('    [%s %s] %s' % (self.name, w, t) for w in ('out', 'err') for t in self.lines(w)[-n:])


def in_ns2(argv):
    return ['ip', 'netns', 'exec', NETNS2] + argv


def start_tovaly(cli, tmp, tag, addr, ns2=False):
    work = os.path.join(tmp, tag)
    share = os.path.join(work, 'share')
    os.makedirs(share)
    with open(os.path.join(share, 'note.txt'), 'w') as f:
        f.write('hello\n')
    cfg = os.path.join(work, 'config.ini')
    with open(cfg, 'w') as f:
        f.write('[setting]\ncontent_path=%s\n' % share)
    argv = [cli, '--config', cfg, 'serve', '--address', addr]
    env = dict(os.environ, TOVALY_DEBUG='1')
    p = Proc(tag, in_ns2(argv) if ns2 else argv, env)
    check(p.wait_for(r'^Press Ctrl-C', WAIT), '%s did not come up within %d s:\n%s' % (tag, WAIT, p.tail()))
    info = {}
    for key, pat in (('name', r'Media server "(.*)" is on the network\.'), ('udn', r'UDN:\s+(\S+)'),
                     ('base', r'Address:\s+(\S+)'), ('desc_url', r'Description:\s+(\S+)')):
        m = p.find(pat)
        check(m, '%s output lacks %s:\n%s' % (tag, key, p.tail()))
        info[key] = m.group(1)
    p.info = info
    return p


def write_media(folder):
    os.makedirs(folder)
    # One second of 8 kHz mono silence as WAV.
    pcm = b'\0' * 16000
    wav = (b'RIFF' + struct.pack('<I', 36 + len(pcm)) + b'WAVEfmt ' +
           struct.pack('<IHHIIHH', 16, 1, 1, 8000, 16000, 2, 16) + b'data' + struct.pack('<I', len(pcm)) + pcm)
    with open(os.path.join(folder, 'silence.wav'), 'wb') as f:
        f.write(wav)
    # Silent MPEG-1 Layer III frames, 128 kbit/s, 44.1 kHz, 417 bytes each.
    with open(os.path.join(folder, 'silence.mp3'), 'wb') as f:
        f.write((b'\xff\xfb\x90\x44' + b'\0' * 413) * 40)


def start_minidlna(tmp):
    work = os.path.join(tmp, 'minidlna')
    os.makedirs(os.path.join(work, 'db'))
    os.makedirs(os.path.join(work, 'log'))
    write_media(os.path.join(work, 'media'))
    conf = os.path.join(work, 'minidlna.conf')
    with open(conf, 'w') as f:
        f.write('port=8200\nnetwork_interface=%s\nmedia_dir=%s\ndb_dir=%s\nlog_dir=%s\ninotify=no\n'
                'uuid=%s\nfriendly_name=%s\n' % (IFACE, os.path.join(work, 'media'), os.path.join(work, 'db'),
                                                 os.path.join(work, 'log'), MINIDLNA_UUID, MINIDLNA_NAME))
    return Proc('minidlna', ['minidlnad', '-d', '-f', conf, '-P', os.path.join(work, 'minidlna.pid')])


def start_gmediarender():
    return Proc('gmediarender', ['gmediarender', '-I', IFACE, '-p', str(GMR_PORT), '-u', GMR_UUID, '-f', GMR_NAME,
                                 '--logfile=stdout', '--gstout-audiopipe=fakesink sync=true',
                                 '--gstout-videopipe=fakesink sync=true'])


def wait_http(url, what):
    def ok():
        try:
            return http_get(url, timeout=5)[0] == 200
        except OSError:
            return False
    check(poll_until(ok, WAIT, 0.2), '%s does not answer %s within %d s' % (what, url, WAIT))


def description_of(url):
    root = ET.fromstring(http_get(url)[1])
    dev = root.find(NS_DEV + 'device')
    return {'name': dev.findtext(NS_DEV + 'friendlyName'), 'udn': dev.findtext(NS_DEV + 'UDN'),
            'type': dev.findtext(NS_DEV + 'deviceType'), 'ack': dev.findtext(NS_DEV + 'ACK')}


def run_devices(cli, tmp, *args):
    cfg = os.path.join(tmp, 'devices.ini')
    r = subprocess.run([cli, '--config', cfg, 'devices'] + list(args), stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True, timeout=120 + WAIT)
    return r.returncode, r.stdout, r.stderr


# ---------------------------------------------------------------- SSDP listener (who announced what, when)

class SsdpListener:
    """Who sent what to the SSDP group, stamped by the kernel on arrival (wall clock): a busy test
    thread cannot make a datagram look later than it was."""

    def __init__(self):
        self.s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.s.bind(('', SSDP[1]))
        self.s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                          socket.inet_aton(SSDP[0]) + socket.inet_aton(ADDR))
        self.s.settimeout(0.2)
        self.seen = []  # (arrival, wall clock; source ip; first line; NTS; headers)
        self.lock = threading.Lock()
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopping:
            try:
                data, anc, _, src = self.s.recvmsg(65535, socket.CMSG_SPACE(16))
            except socket.timeout:
                continue
            except OSError:
                return
            lines = data.decode('latin-1').split('\r\n')
            headers = {}
            for ln in lines[1:]:
                k, _, v = ln.partition(':')
                headers[k.strip().upper()] = v.strip()
            arrival = time.time()
            for level, kind, value in anc:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(value) >= 16:
                    sec, nsec = struct.unpack('qq', value[:16])
                    arrival = sec + nsec / 1e9
            with self.lock:
                self.seen.append((arrival, src[0], lines[0], headers.get('NTS', ''), headers))

    def notifies_from(self, ip, since=0.0, until=float('inf')):
        with self.lock:
            return [x for x in self.seen if x[1] == ip and x[2].startswith('NOTIFY') and since <= x[0] <= until]

    def close(self):
        self.stopping = True
        self.thread.join(5)
        self.s.close()


def tc(*args):
    r = subprocess.run(in_ns2(['tc'] + list(args)), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return r.returncode, r.stdout


def block_multicast_of_ns2():
    """Drops what the second namespace sends to the SSDP group, and nothing else.

    A blackhole route does not do it: a sender that names its interface with IP_MULTICAST_IF (libupnp
    does) bypasses the route lookup. So the veth end gets an htb qdisc whose one extra class leads
    into a pfifo of length 0, and a u32 filter sends datagrams for 239.255.255.250 there; all else
    (unicast included) takes the default class.
    """
    steps = [('qdisc', 'add', 'dev', IFACE, 'root', 'handle', '1:', 'htb', 'default', '1'),
             ('class', 'add', 'dev', IFACE, 'parent', '1:', 'classid', '1:1', 'htb', 'rate', '1gbit'),
             ('class', 'add', 'dev', IFACE, 'parent', '1:', 'classid', '1:2', 'htb', 'rate', '1gbit'),
             ('qdisc', 'add', 'dev', IFACE, 'parent', '1:2', 'handle', '2:', 'pfifo', 'limit', '0'),
             ('filter', 'add', 'dev', IFACE, 'parent', '1:', 'protocol', 'ip', 'prio', '1', 'u32',
              'match', 'ip', 'dst', SSDP[0] + '/32', 'flowid', '1:2')]
    for st in steps:
        rc, out = tc(*st)
        check(rc == 0, 'tc %s failed: %s' % (' '.join(st), out.strip()))


def multicast_drops_in_ns2():
    _, out = tc('-s', 'qdisc', 'show', 'dev', IFACE)
    m = re.search(r'qdisc pfifo 2:.*?dropped (\d+)', out, re.S)
    return int(m.group(1)) if m else -1


# ---------------------------------------------------------------- helpers for bad input

FAKE_DESC = ('<?xml version="1.0"?>\n<root xmlns="urn:schemas-upnp-org:device-1-0">'
             '<device>'
             '<deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType>'
             '<friendlyName>%s</friendlyName><UDN>%s</UDN><serviceList>'
             '<service><serviceType>urn:schemas-upnp-org:service:ContentDirectory:1</serviceType>'
             '<serviceId>urn:upnp-org:serviceId:ContentDirectory</serviceId><SCPDURL>/cds.xml</SCPDURL>'
             '<controlURL>/ctl/cds</controlURL><eventSubURL>/evt/cds</eventSubURL></service>'
             '<service><serviceType>urn:schemas-upnp-org:service:ConnectionManager:1</serviceType>'
             '<serviceId>urn:upnp-org:serviceId:ConnectionManager</serviceId><SCPDURL>/cm.xml</SCPDURL>'
             '<controlURL>/ctl/cm</controlURL><eventSubURL>/evt/cm</eventSubURL></service>'
             '</serviceList></device></root>')
FAKES = {  # path: (friendly name, UDN)
    '/huge.xml': ('Fake huge max-age', 'uuid:bad00000-0000-4000-8000-000000000001'),
    '/emptyusn.xml': ('Fake empty USN', 'uuid:bad00000-0000-4000-8000-000000000002'),
    '/nousn.xml': ('Fake no USN', 'uuid:bad00000-0000-4000-8000-000000000003'),
}


class FakeDevice(http.server.BaseHTTPRequestHandler):
    """Serves the fake descriptions and answers any SOAP call; logs who asked for what."""
    log = []  # (client ip, method, path)
    lock = threading.Lock()

    def _record(self):
        with FakeDevice.lock:
            FakeDevice.log.append((self.client_address[0], self.command, self.path))

    def do_GET(self):
        self._record()
        if self.path in FAKES:
            body = (FAKE_DESC % FAKES[self.path]).encode()
            self.send_response(200)
            self.send_header('Content-Type', 'text/xml')
        else:
            body = b''
            self.send_response(404)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        self._record()
        self.rfile.read(int(self.headers.get('Content-Length', '0') or 0))
        body = (b'<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
                b's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
                b'<u:GetCurrentConnectionIDsResponse xmlns:u="urn:schemas-upnp-org:service:ConnectionManager:1">'
                b'<ConnectionIDs>0</ConnectionIDs></u:GetCurrentConnectionIDsResponse></s:Body></s:Envelope>')
        self.send_response(200)
        self.send_header('Content-Type', 'text/xml; charset="utf-8"')
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class SilentListener:
    """Accepts TCP connections and never answers; keeps them open, notes when the peer gives up."""

    def __init__(self):
        self.s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.s.bind((ADDR, 0))
        self.s.listen(16)
        self.s.settimeout(0.2)
        self.port = self.s.getsockname()[1]
        self.conns = []  # dicts: peer, accepted, closed, request
        self.lock = threading.Lock()
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopping:
            try:
                c, peer = self.s.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            info = {'peer': peer[0], 'accepted': time.monotonic(), 'closed': None, 'request': b'', 'sock': c}
            with self.lock:
                self.conns.append(info)
            threading.Thread(target=self._hold, args=(info,), daemon=True).start()

    def _hold(self, info):
        c = info['sock']
        c.settimeout(0.5)
        while not self.stopping:
            try:
                d = c.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                d = b''
            if not d:
                info['closed'] = time.monotonic()
                return
            info['request'] += d

    def snapshot(self):
        with self.lock:
            return [dict(x) for x in self.conns]

    def close(self):
        self.stopping = True
        self.thread.join(5)
        for x in self.snapshot():
            x['sock'].close()
        self.s.close()


def fake_requests(ip, method, path=None):
    with FakeDevice.lock:
        return sum(1 for i, m, p in FakeDevice.log if i == ip and m == method and (path is None or p == path))


def closed_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind((ADDR, 0))
    port = s.getsockname()[1]
    s.close()  # never listened: connections are refused
    return port


def notify(location=None, usn=None, nt='urn:schemas-upnp-org:device:MediaServer:1', max_age='100',
           nts='ssdp:alive', extra=''):
    head = 'NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n'
    if max_age is not None:
        head += 'CACHE-CONTROL: max-age=%s\r\n' % max_age
    if location is not None:
        head += 'LOCATION: %s\r\n' % location
    head += 'NT: %s\r\nNTS: %s\r\nSERVER: Linux/6 UPnP/1.0 interop-test/1\r\n' % (nt, nts)
    if usn is not None:
        head += 'USN: %s\r\n' % usn
    return (head + extra + '\r\n').encode('latin-1')


# ---------------------------------------------------------------- the parts

def part_devices_alone(cli, tmp):
    rc, out, err = run_devices(cli, tmp, '--timeout', '3')
    note('devices alone (table): exit %d, output %r' % (rc, out.strip()))
    check(rc == 0, 'devices with nobody around: exit %d, stderr %r' % (rc, err[-300:]))
    check(out.strip() == 'No media servers or renderers found.', 'devices with nobody around printed %r' % out)
    rc, out, err = run_devices(cli, tmp, '--json', '--timeout', '3')
    note('devices alone (JSON): exit %d, output %r' % (rc, out.strip()))
    check(rc == 0 and json.loads(out) == [], 'devices --json with nobody around: exit %d, %r' % (rc, out))


def start_peers(st, cli, tmp):
    st['listener'] = SsdpListener()  # before B: its first announcements are the reference
    st['minidlna'] = start_minidlna(tmp)
    st['gmr'] = start_gmediarender()
    st['B'] = start_tovaly(cli, tmp, 'B', ADDR2, ns2=True)
    wait_http('http://%s:8200/rootDesc.xml' % ADDR, 'minidlna')
    wait_http('http://%s:%d/description.xml' % (ADDR, GMR_PORT), 'gmediarender')
    wait_http(st['B'].info['desc_url'], 'B')
    st['expect'] = {
        'uuid:' + MINIDLNA_UUID: ('server', description_of('http://%s:8200/rootDesc.xml' % ADDR)['name']),
        'uuid:' + GMR_UUID: ('renderer', description_of('http://%s:%d/description.xml' % (ADDR, GMR_PORT))['name']),
        st['B'].info['udn']: ('server', st['B'].info['name']),
    }
    check(st['expect']['uuid:' + MINIDLNA_UUID][1] == MINIDLNA_NAME, 'minidlna calls itself %r'
          % st['expect']['uuid:' + MINIDLNA_UUID][1])
    check(st['expect']['uuid:' + GMR_UUID][1] == GMR_NAME, 'gmediarender calls itself %r'
          % st['expect']['uuid:' + GMR_UUID][1])
    check(st['B'].info['base'].startswith('http://%s:' % ADDR2), 'B serves at %s' % st['B'].info['base'])


def part_devices_lists_peers(st, cli, tmp):
    expect = st['expect']
    rc, out, err = run_devices(cli, tmp, '--json', '--timeout', '5')
    check(rc == 0, 'devices --json: exit %d, stderr %r' % (rc, err[-300:]))
    found = json.loads(out)
    note('devices --json found %d: %s' % (len(found), ', '.join('%s %r %s' % (d['kind'], d['name'], d['udn'])
                                                                 for d in found)))
    udns = [d['udn'] for d in found]
    check(sorted(udns) == sorted(expect), 'devices --json found %s, want %s' % (udns, sorted(expect)))
    bases = {'uuid:' + MINIDLNA_UUID: 'http://%s:8200/' % ADDR, 'uuid:' + GMR_UUID: 'http://%s:%d/' % (ADDR, GMR_PORT),
             st['B'].info['udn']: st['B'].info['base']}
    for d in found:
        check(set(d) == {'kind', 'name', 'udn', 'baseUrl'}, 'JSON entry has keys %s' % sorted(d))
        kind, name = expect[d['udn']]
        check((d['kind'], d['name']) == (kind, name), '%s listed as %s %r, want %s %r'
              % (d['udn'], d['kind'], d['name'], kind, name))
        check(d['baseUrl'].startswith(bases[d['udn']]), '%s has base URL %r, want it under %s'
              % (d['udn'], d['baseUrl'], bases[d['udn']]))
    kinds = [d['kind'] for d in found]
    check(kinds == sorted(kinds, key=lambda k: k != 'server'), 'servers are not listed first: %s' % kinds)
    rc, out, err = run_devices(cli, tmp, '--timeout', '5')
    check(rc == 0, 'devices (table): exit %d' % rc)
    lines = out.strip().split('\n')
    check(re.match(r'KIND\s+NAME\s+UDN\s+BASE URL$', lines[0]), 'table header %r' % lines[0])
    rows = {}
    for ln in lines[1:]:
        m = re.match(r'(server|renderer)\s+(.*?)\s+(uuid:\S+)\s+(http://\S+)$', ln)
        check(m, 'table row %r' % ln)
        rows[m.group(3)] = (m.group(1), m.group(2))
    note('devices (table): %d rows' % len(rows))
    check(rows == expect, 'table rows %s, want %s' % (rows, expect))


def plus_line(p, kind, udn, since=0.0):
    return p.find(r'^\+ %s "(.*)" %s at (\S+)$' % (kind, re.escape(udn)), since=since)


def minus_line(p, kind, udn, since=0.0):
    return p.find(r'^- %s "(.*)" %s$' % (kind, re.escape(udn)), since=since)


def part_a_sees_peers(st, cli, tmp):
    A = st['A'] = start_tovaly(cli, tmp, 'A', ADDR)
    B = st['B']
    for udn, (kind, name) in st['expect'].items():
        m = poll_until(lambda: plus_line(A, kind, udn), WAIT)
        check(m, 'A printed no "+ %s" line for %s within %d s:\n%s' % (kind, udn, WAIT, A.tail()))
        check(m.group(1) == name, 'A names %s %r, want %r' % (udn, m.group(1), name))
    check(poll_until(lambda: plus_line(B, 'server', A.info['udn']), WAIT),
          'B did not see A within %d s:\n%s' % (WAIT, B.tail()))
    st['a_ack'] = description_of(A.info['desc_url'])['ack']
    st['b_ack'] = description_of(B.info['desc_url'])['ack']
    note('A %s probe socket %s; B %s probe socket %s' % (A.info['udn'], st['a_ack'], B.info['udn'], st['b_ack']))
    check(re.match(re.escape(ADDR) + r':\d+$', st['a_ack'] or ''), 'A advertises ACK %r' % st['a_ack'])
    check(re.match(re.escape(ADDR2) + r':\d+$', st['b_ack'] or ''), 'B advertises ACK %r' % st['b_ack'])


def part_block_b(st):
    L, B = st['listener'], st['B']
    before = L.notifies_from(ADDR2)
    check(before, 'the listener in A\'s namespace saw no NOTIFY from B before the block')
    block_multicast_of_ns2()
    st['blocked_wall'] = time.time()
    st['blocked_at'] = time.monotonic()
    st['b_err_mark'] = len(B.lines('err'))
    st['b_actions_before'] = sum(1 for ln in B.lines('err') if ln.startswith('--- action'))
    note('B sent %d NOTIFYs seen in A\'s namespace before the block, the last %.1f s before it; '
         '%d actions served by B so far' % (len(before), st['blocked_wall'] - before[-1][0], st['b_actions_before']))
    # Unicast between the namespaces still works.
    check(http_get(B.info['desc_url'])[0] == 200, 'B\'s description is out of reach after the block')


def part_renderer_events(st):
    A = st['A']
    udn = 'uuid:' + GMR_UUID
    t = time.monotonic()
    rc = st['gmr'].stop(signal.SIGTERM)
    note('gmediarender stopped with SIGTERM, exit %s' % rc)
    m = poll_until(lambda: minus_line(A, 'renderer', udn, since=t), BYEBYE_WAIT)
    check(m, 'A printed no "- renderer" line within %d s of gmediarender\'s byebye:\n%s' % (BYEBYE_WAIT, A.tail()))
    note('A: "- renderer" %.2f s after SIGTERM was sent' % (line_time(A, m.group(0)) - t))
    t = time.monotonic()
    st['gmr'] = start_gmediarender()
    m = poll_until(lambda: plus_line(A, 'renderer', udn, since=t), RESTART_WAIT)
    check(m, 'A printed no "+ renderer" line within %d s of gmediarender\'s restart:\n%s' % (RESTART_WAIT,
                                                                                           A.tail()))
    note('A: "+ renderer" again %.2f s after the restart' % (line_time(A, m.group(0)) - t))
    st['killed_at'] = time.monotonic()
    st['gmr'].stop(signal.SIGKILL)


def line_time(p, line):
    """When the last copy of this stdout line arrived."""
    return max(ts for ts, t in p.timed('out') if t == line)


def part_renderer_killed(st):
    A = st['A']
    t = st['killed_at']
    udn = 'uuid:' + GMR_UUID
    left = KILL_WAIT - (time.monotonic() - t)
    m = poll_until(lambda: minus_line(A, 'renderer', udn, since=t), max(left, 0))
    check(m, 'A still lists the SIGKILLed gmediarender %d s later:\n%s' % (KILL_WAIT, A.tail()))
    note('A: "- renderer" for the SIGKILLed gmediarender %.1f s after the kill' % (line_time(A, m.group(0)) - t))


def send_probe_datagrams(st):
    """Datagrams to A's probe socket; returns how many replies came back, and what they said."""
    host, port = st['a_ack'].split(':')
    to = (host, int(port))
    rnd = random.Random(20240601)  # fixed: the same bytes every run

    def rbytes(n):
        b = bytes(rnd.randrange(256) for _ in range(n))
        return b if not b.startswith(b'test') else b'x' + b[1:]
    cases = [('0 bytes', b''), ('"test"', b'test'), ('4 random bytes', rbytes(4)),
             ('255 random bytes', rbytes(255)), ('255 bytes starting "test"', b'test' + rbytes(251)),
             ('300 random bytes', rbytes(300)), ('300 bytes starting "test"', b'test' + rbytes(296)),
             ('an unknown UDN', b'uuid:00000000-0000-4000-8000-00000000beef')]
    out = {}
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((ADDR, 0))
    try:
        for name, data in cases:
            s.sendto(data, to)
            replies = []
            s.settimeout(2 if data.startswith(b'test') else 1)  # an answer comes at once or never
            try:
                while True:
                    replies.append(s.recv(2048))
                    s.settimeout(0.5)
            except socket.timeout:
                pass
            out[name] = replies
        # A burst: it is capped, not queued without end.
        s.settimeout(0.5)
        for _ in range(200):
            s.sendto(b'test', to)
        n = 0
        try:
            while True:
                s.recv(2048)
                n += 1
        except socket.timeout:
            pass
        out['burst of 200 "test"'] = n
    finally:
        s.close()
    return out


def part_bad_input(st):
    A = st['A']
    udn_a = A.info['udn']
    httpd = http.server.ThreadingHTTPServer((ADDR, 0), FakeDevice)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    silent = SilentListener()
    st['silent'], st['httpd'] = silent, httpd
    fake = 'http://%s:%d' % (ADDR, httpd.server_address[1])
    usn = lambda n: 'uuid:bad00000-0000-4000-8000-0000000001%02d::urn:schemas-upnp-org:device:MediaServer:1' % n
    ms = 'urn:schemas-upnp-org:device:MediaServer:1'
    rnd = random.Random(7)
    t0 = time.monotonic()
    cases = [
        ('garbage LOCATION', notify('::this is not a URL \x01\x7f::', usn(1))),
        ('LOCATION without host', notify('http:///description.xml', usn(2))),
        ('LOCATION with port 99999', notify('http://%s:99999/description.xml' % ADDR, usn(3))),
        ('LOCATION 8 KiB long', notify('http://%s:%d/%s' % (ADDR, closed_port(), 'a' * 8192), usn(4))),
        ('LOCATION at a closed port', notify('http://%s:%d/description.xml' % (ADDR, closed_port()), usn(5))),
        ('LOCATION that never answers', notify('http://%s:%d/description.xml' % (ADDR, silent.port), usn(6))),
        ('huge max-age', notify(fake + '/huge.xml', FAKES['/huge.xml'][1] + '::' + ms, max_age='99999999999')),
        ('empty USN', notify(fake + '/emptyusn.xml', '')),
        ('no USN', notify(fake + '/nousn.xml', None)),
        ('negative max-age', notify('http://%s:%d/neg.xml' % (ADDR, closed_port()), usn(7), max_age='-5')),
        ('max-age not a number', notify('http://%s:%d/nan.xml' % (ADDR, closed_port()), usn(8), max_age='abc')),
        ('no CACHE-CONTROL', notify('http://%s:%d/nocc.xml' % (ADDR, closed_port()), usn(9), max_age=None)),
        ('USN of only "uuid:"', notify('http://%s:%d/u.xml' % (ADDR, closed_port()), 'uuid:')),
        ('header lines without colons', b'NOTIFY * HTTP/1.1\r\n' + b'garbage without a colon\r\n' * 8 + b'\r\n'),
        ('headers without values', b'NOTIFY * HTTP/1.1\r\nHOST:\r\nCACHE-CONTROL:\r\nLOCATION:\r\nNT:\r\n'
                                   b'NTS:\r\nUSN:\r\n\r\n'),
        ('NUL bytes in headers', notify('http://%s:1/\0\0/d.xml' % ADDR, usn(10) + '\0\0', extra='X\0: \0\r\n')),
        ('no blank line at the end', notify('http://%s:1/x.xml' % ADDR, usn(11))[:-2]),
        ('60 KB of headers', notify('http://%s:1/y.xml' % ADDR, usn(12), extra='X-PAD: %s\r\n' % ('p' * 60000))),
        ('byebye with empty USN', notify(None, '', nts='ssdp:byebye', max_age=None)),
        ('byebye of an unknown UDN', notify(None, usn(13), nts='ssdp:byebye', max_age=None)),
        ('unsolicited search answer', ('HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=100\r\nLOCATION: ::junk::\r\n'
                                       'ST: %s\r\nUSN: %s\r\n\r\n' % (ms, usn(14))).encode()),
        ('M-SEARCH with huge MX', ('M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: "ssdp:discover"\r\n'
                                   'MX: 99999999999\r\nST: %s\r\n\r\n' % ms).encode()),
        ('M-SEARCH with negative MX', ('M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n'
                                       'MAN: "ssdp:discover"\r\nMX: -1\r\nST: ssdp:all\r\n\r\n').encode()),
        ('M-SEARCH with garbage ST', ('M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: "ssdp:discover"\r\n'
                                      'MX: 1\r\nST: \x01\x02uuid:\r\n\r\n').encode()),
        ('an empty datagram', b''),
        ('1400 random bytes', bytes(rnd.randrange(256) for _ in range(1400))),
    ]
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(ADDR))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 2)
    try:
        for _ in range(2):  # twice: a second copy of every case while the first may still be handled
            for name, data in cases:
                s.sendto(data, SSDP)
                time.sleep(0.02)
    finally:
        s.close()
    note('sent %d malformed SSDP datagrams (each twice) to %s:%d' % (len(cases), *SSDP))

    probes = send_probe_datagrams(st)
    for name, replies in probes.items():
        if isinstance(replies, int):
            note('probe socket, %s: %d replies' % (name, replies))
        else:
            note('probe socket, %s: %d replies %s' % (name, len(replies), sorted({r.decode('latin-1')
                                                                               for r in replies})))
    check([r.decode() for r in probes['"test"']][:1] == [udn_a],
          'A answered the probe "test" with %r, want its UDN %s' % (probes['"test"'], udn_a))
    errors = sum(1 for ln in A.lines('err', since=t0) if ln.startswith(' --- receive ack msg error'))
    note('A traced %d probe datagrams as errors (0 bytes, over 255 bytes)' % errors)

    # What A did with the announcements that could be followed (bounded, none is a pass criterion).
    poll_until(lambda: any(c['peer'] == ADDR for c in silent.snapshot()), WAIT)
    conns = [c for c in silent.snapshot() if c['peer'] == ADDR]
    note('never-answering LOCATION: %d connection(s) from A\'s namespace, request %r'
         % (len(conns), conns[0]['request'][:60] if conns else b''))
    poll_until(lambda: all(plus_line(A, 'server', u) for _, u in FAKES.values()), 10)
    for path, (name, u) in sorted(FAKES.items()):
        note('%s (%s): fetched by A %d time(s), by B %d time(s); A printed %s' % (
            name, path, fake_requests(ADDR, 'GET', path), fake_requests(ADDR2, 'GET', path),
            '"+ server"' if plus_line(A, 'server', u) else 'nothing'))
    st['bad_input_at'] = t0
    check(A.alive(), 'A is no longer running after the bad input (exit %s):\n%s' % (A.proc.poll(), A.tail()))
    check(http_get(A.info['desc_url'])[0] == 200, 'A does not answer its description after the bad input')


def part_presence(st):
    A, B = st['A'], st['B']
    blocked = st['blocked_at']
    a_ack_port = st['a_ack'].split(':')[1]
    probe_rx = re.compile(r'^ --- receive ack msg: test from host %s:%s$' % (re.escape(ADDR), a_ack_port))
    reply_rx = re.compile(r'^ --- receive ack msg: %s from host %s:\d+$' % (re.escape(B.info['udn']),
                                                                           re.escape(ADDR2)))

    def replies():
        return [ts for ts, t in A.timed('err') if ts >= blocked and reply_rx.match(t)]
    left = PROBE_WAIT - (time.monotonic() - blocked)
    got = poll_until(lambda: replies() and any(probe_rx.match(t) for t in B.lines('err', since=blocked)),
                     max(left, 0), step=0.5)
    check(got, 'no probe of B by A (and answer) within %d s of the block:\n%s\n%s' % (PROBE_WAIT, A.tail(),
                                                                                       B.tail()))
    first_reply = replies()[0]
    note('A\'s first probe answer from B came %.1f s after the block' % (first_reply - blocked))
    # A further expiry pass with the extended expiry: no liveness check may follow.
    poll_until(lambda: False, max(0.0, first_reply + FURTHER_PASS - time.monotonic()))
    end = time.monotonic()
    b_err = B.lines('err', since=blocked)
    probes = sum(1 for t in b_err if probe_rx.match(t))
    answers = len(replies())
    actions = [t for t in B.lines('err')[st['b_err_mark']:] if t.startswith('--- action')]
    a_probes_of_b = sum(1 for t in A.lines('err') if re.match(r'^ --- receive ack msg: test from host %s:'
                                                              % re.escape(ADDR2), t))
    # Grace for a datagram already on the wire while tc was being set up.
    notifies = st['listener'].notifies_from(ADDR2, since=st['blocked_wall'] + 0.2)
    drops = multicast_drops_in_ns2()
    note('presence window %.0f s: B got %d probe datagrams from A, A got %d answers carrying B\'s UDN, '
         'B served %d actions; B probed A %d times; %d NOTIFYs from B reached A\'s namespace; '
         '%d multicast datagrams of B dropped' % (end - blocked, probes, answers, len(actions), a_probes_of_b,
                                                  len(notifies), drops))
    check(not notifies, 'B\'s NOTIFYs still reached A\'s namespace after the block: %s' % notifies[:3])
    check(drops > 0, 'no multicast of B was dropped (tc counter %d): was B announcing at all?' % drops)
    check(not actions, 'B served actions while A kept it by probe: %s' % actions[:5])
    check(not minus_line(A, 'server', B.info['udn']), 'A printed "- server" for B')
    check(A.alive(), 'A is no longer running')


def part_still_fine(st, cli, tmp):
    A, B = st['A'], st['B']
    check(A.alive(), 'A is no longer running (exit %s):\n%s' % (A.proc.poll(), A.tail()))
    check(http_get(A.info['desc_url'])[0] == 200, 'A does not answer its description')
    rc, out, err = run_devices(cli, tmp, '--json', '--timeout', '5')
    check(rc == 0, 'devices --json: exit %d, stderr %r' % (rc, err[-300:]))
    found = {d['udn']: (d['kind'], d['name']) for d in json.loads(out)}
    note('devices at the end found: %s' % ', '.join('%s %r' % v for v in found.values()))
    for udn, want in (('uuid:' + MINIDLNA_UUID, ('server', MINIDLNA_NAME)), (B.info['udn'], ('server', B.info['name'])),
                      (A.info['udn'], ('server', A.info['name']))):
        check(found.get(udn) == want, 'devices at the end lists %s as %s, want %s' % (udn, found.get(udn), want))
    check('uuid:' + GMR_UUID not in found, 'the SIGKILLed gmediarender is still found')
    if 'silent' in st:
        now = time.monotonic()
        for c in st['silent'].snapshot():
            note('never-answering LOCATION: the connection from %s was %s after %.1f s' % (
                c['peer'], 'closed by the peer' if c['closed'] else 'still open',
                (c['closed'] or now) - c['accepted']))
        note('SOAP calls to the fake devices (liveness checks) from A: %d, from B: %d'
             % (fake_requests(ADDR, 'POST'), fake_requests(ADDR2, 'POST')))


def part_clean_exit(st, name):
    p = st[name]
    check(p.alive(), '%s ended by itself (exit %s):\n%s' % (name, p.proc.poll(), p.tail()))
    rc = p.stop(signal.SIGTERM)
    check(rc == 0, '%s: exit %s after SIGTERM:\n%s' % (name, rc, p.tail()))
    check(p.lines('out')[-1:] == ['Stopped.'], '%s: last output lines %s' % (name, p.lines('out')[-3:]))
    bad = [t for t in p.lines('err') if re.search(r'ERROR: (Address|Leak)Sanitizer|runtime error:', t)]
    check(not bad, '%s: sanitizer reports: %s' % (name, bad[:3]))


# ---------------------------------------------------------------- driver

def main():
    if len(sys.argv) != 2:
        sys.exit('usage: test_discovery.py PATH/TO/tovaly-cli')
    if not NETNS2 or not ADDR2:
        print('SKIP: needs two joined namespaces: run through "netns.sh run2"')
        return 77
    for tool in ('minidlnad', 'gmediarender', 'tc'):
        if subprocess.run(['sh', '-c', 'command -v ' + tool], stdout=subprocess.DEVNULL).returncode != 0:
            print('SKIP: %s is missing (scripts/install-deps.sh installs it)' % tool)
            return 77
    cli = os.path.abspath(sys.argv[1])
    started = time.monotonic()
    st = {}
    with tempfile.TemporaryDirectory() as tmp:
        try:
            group('devices with nobody around', part_devices_alone, cli, tmp)
            peers = group('minidlna, gmediarender and B start', start_peers, st, cli, tmp)
            group('devices lists exactly the three peers (JSON and table)', part_devices_lists_peers, st, cli, tmp,
                  runnable=peers)
            seen = group('A prints a + line for every peer', part_a_sees_peers, st, cli, tmp, runnable=peers)
            blocked = group('B\'s multicast no longer reaches A, unicast does', part_block_b, st, runnable=seen)
            events = group('gmediarender: byebye gives "-", restart gives "+"', part_renderer_events, st,
                           runnable=seen)
            # The slow waits (SIGKILLed renderer, probe of B) run on while the bad input goes out.
            group('bad SSDP and probe datagrams leave A running', part_bad_input, st, runnable=seen)
            group('A and B keep each other by probe, without SOAP', part_presence, st, runnable=blocked)
            group('SIGKILLed gmediarender leaves A after its liveness check', part_renderer_killed, st,
                  runnable=events)
            group('after it all A answers and devices finds the peers', part_still_fine, st, cli, tmp,
                  runnable=seen)
            group('A: clean exit on SIGTERM', part_clean_exit, st, 'A', runnable='A' in st)
            group('B: clean exit on SIGTERM', part_clean_exit, st, 'B', runnable='B' in st)
        finally:
            for key in ('A', 'B', 'gmr', 'minidlna'):
                if key in st and st[key].alive():
                    st[key].stop(signal.SIGTERM, timeout=10)
            for key in ('listener', 'silent'):
                if key in st:
                    st[key].close()
            if 'httpd' in st:
                st['httpd'].shutdown()
                st['httpd'].server_close()
            logdir = os.environ.get('TOVALY_TEST_LOGDIR')
            if logdir:  # every process's output and every SSDP datagram seen, for a closer look
                os.makedirs(logdir, exist_ok=True)
                for i, p in enumerate(Proc.every):
                    p.dump(logdir, i)
                if 'listener' in st:
                    with open(os.path.join(logdir, 'ssdp.log'), 'w') as f:
                        for x in st['listener'].seen:
                            f.write('%9.3f %s %s %s %s %s\n' % (x[0] - T0_WALL, x[1], x[2], x[3],
                                                                x[4].get('LOCATION'), x[4].get('USN')))
        failed = [r for r in results if r[1] is False]
        if failed:
            for key in ('A', 'B'):
                if key in st:
                    print('\nLast output of %s:\n%s' % (key, st[key].tail(40)))
    print('\nSummary (%.0f s):' % (time.monotonic() - started))
    for name, ok, detail in results:
        print('  %s  %s%s' % ({True: 'PASS', False: 'FAIL', None: 'SKIP'}[ok], name,
                                ('\n        ' + detail) if detail else ''))
    passed = sum(1 for _, ok, _ in results if ok)
    print('%d of %d groups passed' % (passed, len(results)))
    return 0 if passed == len(results) else 1


if __name__ == '__main__':
    sys.exit(main())
