#!/usr/bin/python3
"""Interop test: discovery and presence of tovaly-cli (A) among minidlna, gmediarender and a second tovaly-cli (B)
in the other of two joined namespaces: `devices`, A's + and - lines, A and B kept alive by probe alone, bad input.

Usage: netns.sh run2 /usr/bin/python3 test_discovery.py PATH/TO/tovaly-cli
"""
import contextlib
import json
import os
import random
import re
import signal
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402
from peers import ADDR, ADDR2, IFACE, MS_TYPE, NETNS2, SSDP, WAIT, check, group, note, notify, poll  # noqa: E402

BYEBYE_WAIT = 15   # a byebye is acted on at once
RESTART_WAIT = 45  # a restart within a second of A's last fetch is seen at the next renewal (gmediarender: 20 s)
# Presence: max-age 100 s, expiry passes every 10 s, a failed liveness check removes at the pass after.
KILL_WAIT = 180    # SIGKILLed renderer: last announcement + 100 + two passes, with room to spare
PROBE_WAIT = 150   # B's last NOTIFY that A saw + 100 + a pass + the probe, with room to spare
FURTHER_PASS = 15  # after B's reply: at least one more expiry pass of A (every 10 s)
SO_TIMESTAMPNS = getattr(socket, 'SO_TIMESTAMPNS', 35)
MINIDLNA = ('4d696e69-444c-164e-9d41-00000000d15c', 'Interop minidlna')
GMR = ('0de6e0c5-7e57-4d15-8c0e-00000000d15c', 'Interop renderer', 49494)
FAKE_DESC = ('<?xml version="1.0"?>\n<root xmlns="urn:schemas-upnp-org:device-1-0"><device><deviceType>%s</deviceType>'
             '<friendlyName>%%s</friendlyName><UDN>%%s</UDN><serviceList>%s</serviceList></device></root>' % (
                 MS_TYPE, ''.join('<service><serviceType>urn:schemas-upnp-org:service:%s:1</serviceType><serviceId>'
                                  'urn:upnp-org:serviceId:%s</serviceId><SCPDURL>/%s.xml</SCPDURL><controlURL>/ctl/%s'
                                  '</controlURL><eventSubURL>/evt/%s</eventSubURL></service>' % (s, s, k, k, k)
                                  for s, k in (('ContentDirectory', 'cds'), ('ConnectionManager', 'cm')))))
FAKES = {'/huge.xml': ('Fake huge max-age', 'uuid:bad00000-0000-4000-8000-000000000001'),
         '/emptyusn.xml': ('Fake empty USN', 'uuid:bad00000-0000-4000-8000-000000000002'),
         '/nousn.xml': ('Fake no USN', 'uuid:bad00000-0000-4000-8000-000000000003')}


def ssdp_listener():
    """NOTIFYs to the SSDP group as [(arrival, source ip)], stamped by the kernel on arrival (wall clock): a busy
    test thread cannot make a datagram look later than it was."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    s.bind(('', SSDP[1]))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(SSDP[0]) + socket.inet_aton(ADDR))
    seen = []

    def run():
        while True:
            data, anc, _, src = s.recvmsg(65535, socket.CMSG_SPACE(16))
            stamps = [struct.unpack('qq', v[:16]) for level, kind, v in anc
                      if (level, kind) == (socket.SOL_SOCKET, SO_TIMESTAMPNS)]
            if data.startswith(b'NOTIFY'):
                seen.append((stamps[0][0] + stamps[0][1] / 1e9 if stamps else time.time(), src[0]))
    threading.Thread(target=run, daemon=True).start()
    return seen


def tc(*args):
    return peers.run(['ip', 'netns', 'exec', NETNS2, 'tc'] + list(args))


def block_multicast_of_ns2():
    """Drops what the second namespace sends to the SSDP group, and nothing else. A blackhole route does not do it
    (libupnp names its interface with IP_MULTICAST_IF, which bypasses the route lookup): an htb qdisc on the veth
    end sends datagrams for 239.255.255.250 (u32 filter) to a class with a pfifo of length 0; all else passes."""
    for step in ('qdisc add dev %s root handle 1: htb default 1',
                 'class add dev %s parent 1: classid 1:1 htb rate 1gbit',
                 'class add dev %s parent 1: classid 1:2 htb rate 1gbit',
                 'qdisc add dev %s parent 1:2 handle 2: pfifo limit 0',
                 'filter add dev %s parent 1: protocol ip prio 1 u32 match ip dst 239.255.255.250/32 flowid 1:2'):
        rc, out, err = tc(*(step % IFACE).split())
        check(rc == 0, 'tc %s failed: %s' % (step % IFACE, (out + err).strip()))


def fake_device(request, body):
    """Serves the fake descriptions and answers any SOAP call (a liveness check) with success."""
    if request.command == 'POST':
        return 200, peers.envelope('GetCurrentConnectionIDsResponse', peers.CM_TYPE, (('ConnectionIDs', '0'),)), {
            'Content-Type': 'text/xml; charset="utf-8"'}
    desc = FAKES.get(request.path)
    return (200, (FAKE_DESC % desc).encode(), {'Content-Type': 'text/xml'}) if desc else (404, b'', {})


def msearch(mx, st):
    return ('M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: "ssdp:discover"\r\nMX: %s\r\nST: %s\r\n\r\n'
            % (mx, st)).encode('latin-1')


def line(p, sign, kind, udn, since=0.0):
    """A's (or B's) '+ KIND "NAME" UDN at URL' or '- KIND "NAME" UDN' line."""
    tail = r' at \S+' if sign == '+' else ''
    return p.find(r'^%s %s "(.*)" %s%s$' % (re.escape(sign), kind, re.escape(udn), tail), since=since)


def devices(st, *args):
    rc, out, err = peers.run([st['cli'], '--config', st['cfg'], 'devices'] + list(args), 120 + WAIT)
    check(rc == 0, 'devices %s: exit %d, stderr %r' % (' '.join(args), rc, err[-300:]))
    return out


def serve(st, tag, addr):
    share = os.path.join(st['tmp'], tag, 'share')
    peers.write_files(share, {'note.txt': b'hello\n'})
    return peers.serve(st['cli'], os.path.join(st['tmp'], tag), share, tag, addr, ns2=addr == ADDR2,
                       env=dict(os.environ, TOVALY_DEBUG='1'))


def part_devices_alone(st):
    out = devices(st, '--timeout', '3')
    check(out.strip() == 'No media servers or renderers found.', 'devices with nobody around printed %r' % out)
    out = devices(st, '--json', '--timeout', '3')
    check(json.loads(out) == [], 'devices --json with nobody around printed %r' % out)


def start_peers(st):
    st['listener'] = ssdp_listener()  # before B: its first announcements are the reference
    media = os.path.join(st['tmp'], 'media')
    peers.write_files(media, {'silence.wav': peers.wav_bytes(1), 'silence.mp3': peers.mp3_bytes(40)})
    st['minidlna'], st['gmr'] = peers.minidlna(st['tmp'], media, *MINIDLNA), peers.gmediarender(*GMR)
    st['B'] = serve(st, 'B', ADDR2)
    check(st['B'].info['base'].startswith('http://%s:' % ADDR2), 'B serves at %s' % st['B'].info['base'])
    st['expect'] = {}  # udn -> (kind, friendly name)
    for p, kind in ((st['minidlna'], 'server'), (st['gmr'], 'renderer'), (st['B'], 'server')):
        d = peers.describe(p.info['desc_url'])
        check((d['udn'], d['name']) == (p.info['udn'], p.info['name']), '%s describes itself as %s' % (p.name, d))
        st['expect'][d['udn']] = (kind, d['name'])


def part_devices_lists_peers(st):
    expect = st['expect']
    found = json.loads(devices(st, '--json', '--timeout', '5'))
    check(sorted(d['udn'] for d in found) == sorted(expect), 'devices --json found %s, want %s'
          % ([d['udn'] for d in found], sorted(expect)))
    bases = {st[k].info['udn']: 'http://%s:%d/' % (ADDR, st[k].info['port']) for k in ('minidlna', 'gmr')}
    bases[st['B'].info['udn']] = st['B'].info['base']
    for d in found:
        check(set(d) == {'kind', 'name', 'udn', 'baseUrl'} and (d['kind'], d['name']) == expect[d['udn']] and
              d['baseUrl'].startswith(bases[d['udn']]), 'devices --json: %s, want %s under %s' % (
                  d, expect[d['udn']], bases[d['udn']]))
    kinds = [d['kind'] for d in found]
    check(kinds == sorted(kinds, key=lambda k: k != 'server'), 'servers are not listed first: %s' % kinds)
    lines = devices(st, '--timeout', '5').strip().split('\n')
    rows = [re.match(r'(server|renderer)\s+(.*?)\s+(uuid:\S+)\s+(http://\S+)$', ln) for ln in lines[1:]]
    check(re.match(r'KIND\s+NAME\s+UDN\s+BASE URL$', lines[0]) and all(rows) and
          {m.group(3): (m.group(1), m.group(2)) for m in rows} == expect, 'table %s, want %s' % (lines, expect))


def part_a_sees_peers(st):
    A, B = serve(st, 'A', ADDR), st['B']
    st['A'] = A
    for udn, (kind, name) in st['expect'].items():
        m = poll(lambda: line(A, '+', kind, udn))
        check(m and m.group(1) == name, 'A printed no "+ %s" line naming %s %r within %d s' % (kind, udn, name, WAIT))
    check(poll(lambda: line(B, '+', 'server', A.info['udn'])), 'B did not see A within %d s' % WAIT)
    st['a_ack'], b_ack = (peers.describe(p.info['desc_url'])['ack'] for p in (A, B))
    ok = re.match(re.escape(ADDR) + r':\d+$', st['a_ack'] or '') and re.match(re.escape(ADDR2) + r':\d+$', b_ack or '')
    check(ok, 'A advertises ACK %r, B %r' % (st['a_ack'], b_ack))


def part_block_b(st):
    check(any(ip == ADDR2 for _, ip in st['listener']), 'the listener saw no NOTIFY from B before the block')
    block_multicast_of_ns2()
    st['blocked_wall'], st['blocked_at'], st['b_err_mark'] = time.time(), time.monotonic(), len(st['B'].lines('err'))
    peers.fetch(st['B'].info['desc_url'])  # unicast between the namespaces still works


def part_renderer_events(st):
    A, udn = st['A'], st['gmr'].info['udn']
    t = time.monotonic()
    st['gmr'].stop(signal.SIGTERM)
    check(poll(lambda: line(A, '-', 'renderer', udn, since=t), BYEBYE_WAIT),
          'A printed no "- renderer" line within %d s of gmediarender\'s byebye' % BYEBYE_WAIT)
    t, st['gmr'] = time.monotonic(), peers.gmediarender(*GMR)
    check(poll(lambda: line(A, '+', 'renderer', udn, since=t), RESTART_WAIT),
          'A printed no "+ renderer" line within %d s of gmediarender\'s restart' % RESTART_WAIT)
    st['killed_at'] = time.monotonic()
    st['gmr'].stop(signal.SIGKILL)


def part_renderer_killed(st):
    t = st['killed_at']
    m = poll(lambda: line(st['A'], '-', 'renderer', st['gmr'].info['udn'], since=t), KILL_WAIT - (time.monotonic() - t))
    check(m, 'A still lists the SIGKILLed gmediarender %d s later' % KILL_WAIT)
    note('"- renderer" %.0f s after the SIGKILL' % (max(ts for ts, ln in st['A'].timed() if ln == m.group(0)) - t))


def probe_datagrams(st):
    """Odd datagrams to A's probe socket: the replies to each, and how many a burst of 200 probes gets."""
    to, rnd = (st['a_ack'].split(':')[0], int(st['a_ack'].split(':')[1])), random.Random(20240601)

    def rbytes(n):
        b = bytes(rnd.randrange(256) for _ in range(n))
        return b'x' + b[1:] if b.startswith(b'test') else b
    cases = [('0 bytes', b''), ('"test"', b'test'), ('4 random bytes', rbytes(4)), ('255 random bytes', rbytes(255)),
             ('255 bytes starting "test"', b'test' + rbytes(251)), ('300 random bytes', rbytes(300)),
             ('300 bytes starting "test"', b'test' + rbytes(296)),
             ('an unknown UDN', b'uuid:00000000-0000-4000-8000-00000000beef')]
    out = {}
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((ADDR, 0))

        def replies(first_wait):  # an answer comes at once or never
            got = []
            s.settimeout(first_wait)
            with contextlib.suppress(socket.timeout):
                while True:
                    got.append(s.recv(2048))
                    s.settimeout(0.5)
            return got
        for name, data in cases:
            s.sendto(data, to)
            out[name] = replies(2 if data.startswith(b'test') else 1)
        for _ in range(200):
            s.sendto(b'test', to)
        out['burst of 200'] = len(replies(0.5))
    return out


def part_bad_input(st):
    A, fake = st['A'], 'http://%s:%d' % (ADDR, peers.http_server(fake_device).server_address[1])
    st['silent'] = silent = socket.socket()  # a LOCATION that accepts and never answers
    silent.bind((ADDR, 0))
    silent.listen(16)
    usn = ['uuid:bad00000-0000-4000-8000-0000000001%02d::%s' % (n, MS_TYPE) for n in range(15)]
    st['closed'] = closed = socket.socket()
    closed.bind((ADDR, 0))  # never listens: connections are refused
    shut = 'http://%s:%d/' % (ADDR, closed.getsockname()[1])
    cases = [
        notify('::this is not a URL \x01\x7f::', usn[1]), notify('http:///description.xml', usn[2]),
        notify('http://%s:99999/description.xml' % ADDR, usn[3]), notify(shut + 'a' * 8192, usn[4]),
        notify(shut + 'description.xml', usn[5]),
        notify('http://%s:%d/description.xml' % (ADDR, silent.getsockname()[1]), usn[6]),
        notify(fake + '/huge.xml', FAKES['/huge.xml'][1] + '::' + MS_TYPE, max_age='99999999999'),
        notify(fake + '/emptyusn.xml', ''), notify(fake + '/nousn.xml', None),
        notify(shut + 'neg.xml', usn[7], max_age='-5'), notify(shut + 'nan.xml', usn[8], max_age='abc'),
        notify(shut + 'nocc.xml', usn[9], max_age=None), notify(shut + 'u.xml', 'uuid:'),
        b'NOTIFY * HTTP/1.1\r\n' + b'garbage without a colon\r\n' * 8 + b'\r\n',
        b'NOTIFY * HTTP/1.1\r\nHOST:\r\nCACHE-CONTROL:\r\nLOCATION:\r\nNT:\r\nNTS:\r\nUSN:\r\n\r\n',
        notify('http://%s:1/\0\0/d.xml' % ADDR, usn[10] + '\0\0', extra='X\0: \0\r\n'),
        notify('http://%s:1/x.xml' % ADDR, usn[11])[:-2],  # no blank line at the end
        notify('http://%s:1/y.xml' % ADDR, usn[12], extra='X-PAD: %s\r\n' % ('p' * 60000)),
        notify(None, '', nts='ssdp:byebye', max_age=None), notify(None, usn[13], nts='ssdp:byebye', max_age=None),
        ('HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=100\r\nLOCATION: ::junk::\r\nST: %s\r\nUSN: %s\r\n\r\n'
         % (MS_TYPE, usn[14])).encode(),  # an unsolicited search answer
        msearch('99999999999', MS_TYPE), msearch('-1', 'ssdp:all'), msearch('1', '\x01\x02uuid:'),
        b'', bytes(random.Random(7).randrange(256) for _ in range(1400))]
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(ADDR))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 2)
        for data in cases * 2:  # a second copy of every case while the first may still be handled
            s.sendto(data, SSDP)
            time.sleep(0.02)
    probes = probe_datagrams(st)
    note('probe socket replies: %s' % {k: len(v) if isinstance(v, list) else v for k, v in probes.items()})
    check([r.decode() for r in probes['"test"']][:1] == [A.info['udn']],
          'A answered the probe "test" with %r, want its UDN %s' % (probes['"test"'], A.info['udn']))
    check(A.alive(), 'A is no longer running after the bad input (exit %s)' % A.proc.poll())
    peers.fetch(A.info['desc_url'])


def part_presence(st):
    A, B, blocked = st['A'], st['B'], st['blocked_at']
    probe_rx = re.compile(r'^ --- receive ack msg: test from host %s$' % re.escape(st['a_ack']))
    reply_rx = re.compile(r'^ --- receive ack msg: %s from host %s:\d+$' % (re.escape(B.info['udn']), re.escape(ADDR2)))

    def replies():
        return [ts for ts, t in A.timed('err') if ts >= blocked and reply_rx.match(t)]
    check(poll(lambda: replies() and any(probe_rx.match(t) for t in B.lines('err', since=blocked)),
               PROBE_WAIT - (time.monotonic() - blocked), 0.5), 'no probe of B by A (and answer) within %d s of the '
          'block' % PROBE_WAIT)
    first = replies()[0]
    note('A\'s first probe answer from B came %.0f s after the block' % (first - blocked))
    time.sleep(max(0.0, first + FURTHER_PASS - time.monotonic()))  # a further expiry pass: no liveness check may follow
    actions = [t for t in B.lines('err')[st['b_err_mark']:] if t.startswith('--- action')]
    notifies = [t for t, ip in st['listener'] if ip == ADDR2 and t > st['blocked_wall'] + 0.2]  # 0.2: on the wire
    m = re.search(r'qdisc pfifo 2:.*?dropped (\d+)', tc('-s', 'qdisc', 'show', 'dev', IFACE)[1], re.S)
    check(not notifies, 'B\'s NOTIFYs still reached A\'s namespace after the block: %s' % notifies[:3])
    check(m and int(m.group(1)) > 0, 'no multicast of B was dropped (tc: %s): was B announcing at all?' % m)
    check(not actions, 'B served actions while A kept it by probe: %s' % actions[:5])
    check(not line(A, '-', 'server', B.info['udn']) and A.alive(), 'A printed "- server" for B, or ended')


def part_still_fine(st):
    A, B = st['A'], st['B']
    check(A.alive(), 'A is no longer running (exit %s)' % A.proc.poll())
    peers.fetch(A.info['desc_url'])
    found = {d['udn']: (d['kind'], d['name']) for d in json.loads(devices(st, '--json', '--timeout', '5'))}
    for p in (st['minidlna'], A, B):
        check(found.get(p.info['udn']) == ('server', p.info['name']), 'devices at the end lists %s as %s' % (
            p.info['udn'], found.get(p.info['udn'])))
    check(st['gmr'].info['udn'] not in found, 'the SIGKILLed gmediarender is still found')


def main(cli, tmp):
    st = {'cli': cli, 'tmp': tmp, 'cfg': os.path.join(tmp, 'devices.ini')}
    group('devices with nobody around', part_devices_alone, st)
    up = group('minidlna, gmediarender and B start', start_peers, st)
    group('devices lists exactly the three peers (JSON and table)', part_devices_lists_peers, st, runnable=up)
    seen = group('A prints a + line for every peer', part_a_sees_peers, st, runnable=up)
    blocked = group('B\'s multicast no longer reaches A, unicast does', part_block_b, st, runnable=seen)
    events = group('gmediarender: byebye gives "-", restart gives "+"', part_renderer_events, st, runnable=seen)
    # The slow waits (SIGKILLed renderer, probe of B) run on while the bad input goes out.
    group('bad SSDP and probe datagrams leave A running', part_bad_input, st, runnable=seen)
    group('A and B keep each other by probe, without SOAP', part_presence, st, runnable=blocked)
    group('SIGKILLed gmediarender leaves A after its liveness check', part_renderer_killed, st, runnable=events)
    group('after it all A answers and devices finds the peers', part_still_fine, st, runnable=seen)
    for name in ('A', 'B'):
        group(name + ': clean exit on SIGTERM', peers.clean_exit, st.get(name), runnable=name in st)


if __name__ == '__main__':
    if not NETNS2 or not ADDR2:
        print('SKIP: needs two joined namespaces: run through "netns.sh run2"')
        sys.exit(77)
    sys.exit(peers.main(main, tools=('minidlnad', 'gmediarender', 'tc')))
