#!/usr/bin/python3
"""Interop test: tovaly-cli browse and play against minidlna, gmediarender and tovaly-cli serve.

Usage: netns.sh run /usr/bin/python3 test_playback.py PATH/TO/tovaly-cli
Talks only to addresses inside the private network namespace that netns.sh creates.
"""
import http.client
import json
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request
import xml.etree.ElementTree as ET

ADDR = os.environ.get('TOVALY_TEST_ADDR', '192.0.2.1')
IFACE = 'upnp0'
WAIT = 30  # seconds; generous upper bound for anything we wait on, never a pass criterion
RENDERER = {'name': 'Playback Renderer', 'port': 49494, 'uuid': '5e1f0c1a-7a1e-4b7d-9f00-000000000001'}
TWINS = [{'name': 'Twin Renderer', 'port': 49495, 'uuid': '5e1f0c1a-7a1e-4b7d-9f00-000000000002'},
         {'name': 'Twin Renderer', 'port': 49496, 'uuid': '5e1f0c1a-7a1e-4b7d-9f00-000000000003'}]
PEER_NAME = 'Peer Library'
PEER_UDN = 'uuid:4d696e69-444c-164e-9d41-0000000000a1'
PEER_PORT = 8200
AVT = 'urn:schemas-upnp-org:service:AVTransport:1'
RCS = 'urn:schemas-upnp-org:service:RenderingControl:1'
NS_DEV = '{urn:schemas-upnp-org:device-1-0}'
NS_SOAP = '{http://schemas.xmlsoap.org/soap/envelope/}'
# Relative path -> seconds of silence; kept short so that the tracks played to the end keep the test quick.
OUR_FILES = {'Music/short.wav': 10, 'Music/Long/long.wav': 45, 'Spoken/notes.wav': 2, 'Spoken/Talks/intro.wav': 3}
PEER_FILES = {'Albums/Live/encore.wav': 8, 'Singles/first.wav': 5, 'Singles/second.wav': 6, 'top.wav': 3}
STATUS = re.compile(rb'([A-Z_]+) +(\d+):(\d\d):(\d\d) / (\d+):(\d\d):(\d\d) ?(vol \d+|\(volume unknown\))?\x1b\[K')

results = []  # (group, ok, detail)
notes = {}    # section -> lines: what the program and the peers showed


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


def wait_for(pred, timeout=WAIT, step=0.1):
    deadline = time.monotonic() + timeout
    while True:
        value = pred()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


def seconds(clock):
    h, m, s = (int(x) for x in clock.split(':'))
    return h * 3600 + m * 60 + s


# ---------------------------------------------------------------- media and peers

def wav_bytes(secs, rate=8000):
    data = bytes(rate * 2 * secs)  # mono 16-bit silence
    return (b'RIFF' + struct.pack('<I', 36 + len(data)) + b'WAVEfmt ' +
            struct.pack('<IHHIIHH', 16, 1, 1, rate, rate * 2, 2, 16) + b'data' +
            struct.pack('<I', len(data)) + data)


def write_tree(top, files):
    for rel, secs in files.items():
        path = os.path.join(top, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as f:
            f.write(wav_bytes(secs))


class Proc:
    """A peer or the program, its output collected by a thread (with arrival times)."""

    def __init__(self, argv, env=None, **kw):
        self.argv = argv
        self.chunks = []  # (monotonic time, bytes)
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                     env=env, **kw)
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        fd = self.proc.stdout.fileno()
        while True:
            try:
                data = os.read(fd, 65536)
            except OSError:
                break
            if not data:
                break
            self.chunks.append((time.monotonic(), data))

    def text(self):
        return b''.join(c for _, c in self.chunks).decode('utf-8', 'replace')

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.thread.join(5)


def start_renderer(tmp, r):
    log = os.path.join(tmp, 'gmediarender-%d.log' % r['port'])
    p = Proc(['gmediarender', '-I', IFACE, '-p', str(r['port']), '-u', r['uuid'], '-f', r['name'],
              '--gstout-audiopipe=fakesink sync=true', '--gstout-videopipe=fakesink sync=true', '--logfile', log])
    r.update(proc=p, udn='uuid:' + r['uuid'], log=log)
    return r


def renderer_ready(r):
    """Control URLs from the renderer's description, once it answers."""
    url = 'http://%s:%d/description.xml' % (ADDR, r['port'])

    def fetch():
        try:
            return urllib.request.urlopen(url, timeout=5).read()
        except OSError:
            return None
    raw = wait_for(fetch, step=0.2)
    check(raw, '%s: no description at %s within %d s:\n%s' % (r['name'], url, WAIT, r['proc'].text()[-800:]))
    root = ET.fromstring(raw)
    check(root.findtext('.//%sUDN' % NS_DEV) == r['udn'], '%s: UDN %r' % (r['name'], root.findtext('.//%sUDN' % NS_DEV)))
    r['control'] = {s.findtext(NS_DEV + 'serviceType'): s.findtext(NS_DEV + 'controlURL')
                    for s in root.iter(NS_DEV + 'service')}
    check(AVT in r['control'] and RCS in r['control'], '%s: services %s' % (r['name'], sorted(r['control'])))


def soap(r, service, action, args=()):
    """One action on a renderer, our own request: the response's arguments as a dict."""
    inner = ''.join('<%s>%s</%s>' % (k, v, k) for k, v in (('InstanceID', '0'),) + tuple(args))
    body = ('<?xml version="1.0" encoding="utf-8"?>\r\n<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body><u:%s xmlns:u="%s">%s</u:%s>'
            '</s:Body></s:Envelope>' % (action, service, inner, action)).encode()
    c = http.client.HTTPConnection(ADDR, r['port'], timeout=WAIT)
    try:
        c.request('POST', r['control'][service], body, {'Content-Type': 'text/xml; charset="utf-8"',
                                                         'SOAPACTION': '"%s#%s"' % (service, action)})
        resp = c.getresponse()
        data = resp.read()
    finally:
        c.close()
    check(resp.status == 200, '%s %s: HTTP %d %r' % (r['name'], action, resp.status, data[:300]))
    out = ET.fromstring(data).find('%sBody/{%s}%sResponse' % (NS_SOAP, service, action))
    check(out is not None, '%s %s: no response element in %r' % (r['name'], action, data[:300]))
    return {e.tag: (e.text or '') for e in out}


def transport_state(r):
    return soap(r, AVT, 'GetTransportInfo')['CurrentTransportState']


def rel_time(r):
    """The renderer's position (whole seconds) and when the answer came."""
    got = soap(r, AVT, 'GetPositionInfo')['RelTime']
    return seconds(got), time.monotonic()


def volume(r):
    return int(soap(r, RCS, 'GetVolume', (('Channel', 'Master'),))['CurrentVolume'])


def start_minidlna(tmp, share):
    db = os.path.join(tmp, 'minidlna')
    os.makedirs(db)
    conf = os.path.join(db, 'minidlna.conf')
    with open(conf, 'w') as f:
        f.write('media_dir=%s\ndb_dir=%s\nlog_dir=%s\nport=%d\nnetwork_interface=%s\nuuid=%s\n'
                'friendly_name=%s\ninotify=no\n' % (share, db, db, PEER_PORT, IFACE, PEER_UDN[5:], PEER_NAME))
    return Proc(['minidlnad', '-d', '-f', conf, '-P', os.path.join(db, 'minidlna.pid')])


def start_server(cli, tmp, share, procs):
    cfg = os.path.join(tmp, 'config.ini')
    with open(cfg, 'w') as f:
        f.write('[setting]\ncontent_path=%s\n' % share)
    p = Proc([cli, '--config', cfg, 'serve', '--address', ADDR])
    procs.append(p)
    text = wait_for(lambda: 'Press Ctrl-C' in p.text() and p.text() or p.proc.poll() is not None and p.text())
    srv = {'proc': p}
    for key, pat in (('name', r'Media server "(.*)" is on the network'), ('udn', r'UDN:\s+(\S+)'),
                     ('base', r'Address:\s+(\S+)')):
        m = re.search(pat, text or '')
        check(m, 'serve output lacks %s (exit %s):\n%s' % (key, p.proc.poll(), text))
        srv[key] = m.group(1)
    return srv


def run_cli(cli, *args, timeout=WAIT * 2):
    """tovaly-cli with stdin not a terminal: (exit code, stdout, stderr)."""
    p = subprocess.run([cli] + list(args) + ['--address', ADDR], stdin=subprocess.DEVNULL, capture_output=True,
                       text=True, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


# ---------------------------------------------------------------- 1: browsing to the leaves

def browse_json(cli, server, oid):
    rc, out, err = run_cli(cli, 'browse', server, oid, '--json')
    check(rc == 0, 'browse %r: exit %d\n%s' % (oid, rc, err))
    try:
        entries = json.loads(out)
    except ValueError as e:
        raise AssertionError('browse %r --json: not JSON (%s):\n%s' % (oid, e, out))
    check(isinstance(entries, list), 'browse %r --json: %r' % (oid, out))
    return entries


def walk(cli, server, root):
    """Every container from root down: id -> its entries."""
    tree, todo = {}, [root]
    while todo:
        oid = todo.pop(0)
        check(len(tree) < 50, 'more than 50 containers below %r' % root)
        tree[oid] = browse_json(cli, server, oid)
        todo += [e['id'] for e in tree[oid] if e['type'] == 'container']
    return tree


def expected_folders(top):
    """Folder path ('' is the top) -> (sorted sub-folder names, sorted file names)."""
    want = {}
    for d, dirs, files in os.walk(top):
        want['' if d == top else os.path.relpath(d, top)] = (sorted(dirs), sorted(files))
    return want


def fetch_matches(url, path):
    with urllib.request.urlopen(url, timeout=WAIT) as r:
        body = r.read()
    with open(path, 'rb') as f:
        return body == f.read()


def check_item_common(e, path, secs, context):
    check(e['class'].startswith('object.item.audioItem'), '%s: class %r' % (context, e['class']))
    pi = e['protocolInfo'].split(':')
    check(len(pi) == 4 and pi[:2] == ['http-get', '*'] and pi[2] in ('audio/x-wav', 'audio/wav', 'audio/wave'),
          '%s: protocolInfo %r' % (context, e['protocolInfo']))
    check(e['duration'] is None or abs(e['duration'] - secs) < 0.5,
          '%s: duration %r, the file has %d s' % (context, e['duration'], secs))
    check(fetch_matches(e['url'], path), '%s: GET %s did not return the file\'s bytes' % (context, e['url']))


def check_table(cli, server, oid, entries, server_name):
    """The table form lists what --json lists."""
    rc, out, err = run_cli(cli, 'browse', server, oid)
    check(rc == 0, 'browse %r (table): exit %d\n%s' % (oid, rc, err))
    want = []
    for e in entries:
        if e['type'] == 'container':
            want += ['[container] %s' % e['title'], '    id: %s' % e['id']]
        else:
            want += ['[item] %s' % e['title'], '    id: %s' % e['id'], '    class: %s' % e['class'],
                     '    url: %s' % e['url']]
    want.append('%d %s in "%s" of %s' % (len(entries), 'entry' if len(entries) == 1 else 'entries', oid, server_name))
    check(out.splitlines() == want, 'browse %r table:\n%s\nwant:\n%s' % (oid, out, '\n'.join(want)))


def check_browse_peer(state):
    cli, share = state['cli'], state['peer_share']
    tree = walk(cli, PEER_UDN, '64')
    want = expected_folders(share)
    folder_of = {'64': ''}
    items = 0
    for oid, entries in tree.items():
        folder = folder_of[oid]
        dirs, files = want[folder]
        got_dirs = sorted(e['title'] for e in entries if e['type'] == 'container')
        got_items = sorted(e['title'] for e in entries if e['type'] == 'item')
        check(got_dirs == dirs, 'minidlna %r (%s/): containers %s, folders %s' % (oid, folder, got_dirs, dirs))
        check(got_items == sorted(os.path.splitext(f)[0] for f in files),
              'minidlna %r (%s/): items %s, files %s' % (oid, folder, got_items, files))
        for e in entries:
            check(e['id'].startswith(oid + '$') and '$' not in e['id'][len(oid) + 1:],
                  'minidlna %r: child id %r' % (oid, e['id']))
            rel = os.path.join(folder, e['title']) if folder else e['title']
            if e['type'] == 'container':
                folder_of[e['id']] = rel
                continue
            rel += '.wav'
            check(urllib.parse.urlsplit(e['url']).netloc == '%s:%d' % (ADDR, PEER_PORT), '%s: url %r' % (rel, e['url']))
            check_item_common(e, os.path.join(share, rel), PEER_FILES[rel], 'minidlna %s' % rel)
            # minidlna reads the length from the WAV header; the program shows it in seconds.
            check(e['duration'] is not None, 'minidlna %s: duration null' % rel)
            state.setdefault('peer_ids', {})[rel] = e['id']
            items += 1
    check(items == len(PEER_FILES), 'minidlna: %d items below "64", %d files' % (items, len(PEER_FILES)))
    singles = state['peer_ids']['Singles/first.wav'].rsplit('$', 1)[0]
    check_table(cli, PEER_NAME, singles, tree[singles], PEER_NAME)
    note('browse', 'minidlna folder view: %d containers walked from "64", %d items; ids like %s; durations %s' % (
        len(tree), items, sorted(state['peer_ids'].values())[:2],
        sorted({e['duration'] for es in tree.values() for e in es if e['type'] == 'item'})))


def check_browse_ours(state):
    cli, share, srv = state['cli'], state['our_share'], state['srv']
    tree = walk(cli, srv['udn'], '0')
    want = expected_folders(share)
    items = 0
    for oid, entries in tree.items():
        folder = '' if oid == '0' else oid
        dirs, files = want[folder]
        # Folders first, then files; the names here sort the same in any order the server may use.
        want_kids = [('container', d) for d in dirs] + ([] if oid == '0' else [('item', f) for f in files])
        check([(e['type'], e['title']) for e in entries] == want_kids,
              'ours %r: %s, want %s' % (oid, [(e['type'], e['title']) for e in entries], want_kids))
        for e in entries:
            rel = os.path.join(folder, e['title']) if folder else e['title']
            check(e['id'] == rel, 'ours %r: id %r, want %r' % (oid, e['id'], rel))
            if e['type'] == 'item':
                url = srv['base'] + 'media/' + urllib.parse.quote(rel, safe='/')
                check(e['url'] == url, 'ours %s: url %r, want %r' % (rel, e['url'], url))
                check_item_common(e, os.path.join(share, rel), OUR_FILES[rel], 'ours %s' % rel)
                items += 1
    check(items == len(OUR_FILES), 'ours: %d items below "0", %d files' % (items, len(OUR_FILES)))
    check_table(cli, srv['name'], 'Music', tree['Music'], srv['name'])
    note('browse', 'our server: %d containers walked from "0", %d items; durations %s' % (
        len(tree), items, sorted({str(e['duration']) for es in tree.values() for e in es if e['type'] == 'item'})))


# ---------------------------------------------------------------- 2: playing to the end without a terminal

def play_to_end(state, renderer, server, item_id, secs, label):
    r = state['renderer']
    t0 = time.monotonic()
    rc, out, err = run_cli(state['cli'], 'play', renderer, server, item_id, timeout=secs + 60)
    lines = out.splitlines()
    context = '%s: exit %d, stdout:\n%s\nstderr:\n%s' % (label, rc, out, err[-1500:])
    check(rc == 0, context)
    check(lines and re.match(r'Playing ".+" on "%s"$' % re.escape(r['name']), lines[0]), 'first line; ' + context)
    check(lines[-1] == 'Stopped.', 'last line; ' + context)
    states = [ln[6:] for ln in lines if ln.startswith('state ')]
    check('PLAYING' in states, 'no "state PLAYING"; ' + context)
    check(states[-1] == 'STOPPED' and 'STOPPED' in states[states.index('PLAYING'):],
          'no STOPPED after PLAYING; ' + context)
    # Before it plays, gmediarender may still report the previous track's duration: look from PLAYING on.
    after = lines[lines.index('state PLAYING'):]
    pos = [re.match(r'position (\d+:\d\d:\d\d) / (\d+:\d\d:\d\d)$', ln) for ln in after if ln.startswith('position ')]
    check(all(pos), 'malformed position line; ' + context)
    pos = [(seconds(m.group(1)), seconds(m.group(2))) for m in pos]
    played = [p for p, d in pos if d]
    check(len(set(played)) >= 3 and played == sorted(played), 'positions do not advance; ' + context)
    check({d for _, d in pos if d} == {secs}, 'duration is not the file\'s %d s; %s' % (secs, context))
    check(played[-1] >= secs - 3, 'the last position %d is far from the end %d; %s' % (played[-1], secs, context))
    check(transport_state(r) == 'STOPPED', '%s: renderer is %s afterwards' % (label, transport_state(r)))
    note('play', '%s: %.1f s, states %s, positions %d..%d of %d, exit %d' % (
        label, time.monotonic() - t0, ' -> '.join(states), played[0], played[-1], secs, rc))


def check_play_ours(state):
    # By friendly names: the renderer's and our server's.
    play_to_end(state, state['renderer']['name'], state['srv']['name'], 'Music/short.wav',
                OUR_FILES['Music/short.wav'], 'our Music/short.wav')


def check_play_peer(state):
    rel = 'Albums/Live/encore.wav'
    play_to_end(state, state['renderer']['udn'], PEER_UDN, state['peer_ids'][rel], PEER_FILES[rel],
                'minidlna %s (%s)' % (rel, state['peer_ids'][rel]))


def check_signals(state):
    """SIGINT and SIGTERM stop the renderer and exit 0."""
    r = state['renderer']
    for sig in (signal.SIGINT, signal.SIGTERM):
        p = Proc([state['cli'], 'play', r['udn'], state['srv']['udn'], 'Music/Long/long.wav', '--address', ADDR])
        try:
            check(wait_for(lambda: re.search(r'position 0:00:0[1-9]', p.text()) or p.proc.poll() is not None)
                  and p.proc.poll() is None, 'playing did not start:\n%s' % p.text())
            check(transport_state(r) == 'PLAYING', 'renderer is %s while the program plays' % transport_state(r))
            p.proc.send_signal(sig)
            rc = p.proc.wait(WAIT)
            p.thread.join(5)
        finally:
            p.stop()
        text = p.text()
        check(rc == 0 and text.rstrip().endswith('Stopped.'), '%s: exit %d, output:\n%s' % (sig.name, rc, text))
        got = wait_for(lambda: transport_state(r) == 'STOPPED', timeout=10, step=0.2)
        check(got, '%s: renderer is %s after the program exited' % (sig.name, transport_state(r)))
        note('play', '%s while playing: exit %d, renderer STOPPED' % (sig.name, rc))


# ---------------------------------------------------------------- 3: the terminal mode through a pty

class Terminal:
    def __init__(self, argv):
        self.master, slave = os.openpty()
        self.err = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=self.err, close_fds=True)
        os.close(slave)
        self.data = b''
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while True:
            try:
                ready, _, _ = select.select([self.master], [], [], 0.5)
                if not ready:
                    if self.proc.poll() is not None:
                        break
                    continue
                chunk = os.read(self.master, 4096)
            except OSError:  # EIO: the program closed the terminal
                break
            if not chunk:
                break
            with self.lock:
                self.data += chunk

    def output(self):
        with self.lock:
            return self.data

    def status(self):
        """The last status line drawn: (state, position, duration, volume note) or None."""
        lines = STATUS.findall(self.output())
        if not lines:
            return None
        s, h, m, sec, dh, dm, ds, vol = lines[-1]
        return (s.decode(), int(h) * 3600 + int(m) * 60 + int(sec), int(dh) * 3600 + int(dm) * 60 + int(ds),
                vol.decode())

    def key(self, k):
        os.write(self.master, k)
        return time.monotonic()

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.thread.join(5)
        os.close(self.master)
        self.err.seek(0)
        return self.err.read().decode('utf-8', 'replace')


def check_terminal(state):
    r = state['renderer']
    rel = 'Music/Long/long.wav'
    t = Terminal([state['cli'], 'play', r['udn'], state['srv']['udn'], rel, '--address', ADDR])
    try:
        terminal_session(t, r, OUR_FILES[rel])
    except AssertionError as e:
        raise AssertionError('%s\n  terminal output tail: %r' % (e, t.output()[-400:]))
    finally:
        err = t.close()
        if err.strip():
            note('terminal', 'stderr: ' + err.strip()[-500:])


def status_is(t, want_state, extra=lambda s: True, timeout=WAIT):
    got = wait_for(lambda: (t.status() or (None,))[0] == want_state and extra(t.status()), timeout=timeout, step=0.05)
    check(got, 'the status line did not show %s (last: %s)' % (want_state, t.status()))
    return t.status()


def renderer_is(r, want, timeout=WAIT):
    got = wait_for(lambda: transport_state(r) == want, timeout=timeout, step=0.2)
    check(got, 'the renderer is %s, not %s' % (transport_state(r), want))


def terminal_session(t, r, secs):
    st = status_is(t, 'PLAYING', lambda s: s[1] >= 1 and s[2] == secs)
    renderer_is(r, 'PLAYING')
    check(b'Playing "long.wav"' in t.output(), 'no "Playing" line: %r' % t.output()[:200])
    check(not re.search(rb'(^|\n)(state|position) ', t.output()), 'line-per-change output in terminal mode')
    note('terminal', 'status line: %r' % (st,))

    # Pause: the renderer pauses and the position stands still.
    t.key(b' ')
    renderer_is(r, 'PAUSED_PLAYBACK')
    status_is(t, 'PAUSED_PLAYBACK')
    still = []
    for _ in range(4):
        time.sleep(0.4)
        still.append(rel_time(r)[0])
    check(len(set(still)) == 1, 'position moves while paused: %s' % still)
    note('terminal', 'space -> renderer PAUSED_PLAYBACK, status %s, position held at %s' % (t.status()[0], still[0]))

    # Play again: the position moves on from where it stood.
    t.key(b' ')
    renderer_is(r, 'PLAYING')
    status_is(t, 'PLAYING')
    check(wait_for(lambda: rel_time(r)[0] > still[0], timeout=10, step=0.2), 'position does not move after play')
    note('terminal', 'space -> renderer PLAYING, status %s' % t.status()[0])

    # Seek +10 s: the program's target is the position its status line shows. Press just after that
    # position changed, so that it is the one the program holds when it reads the key.
    before, _ = rel_time(r)
    shown = t.status()[1]
    check(wait_for(lambda: t.status()[1] != shown, timeout=10, step=0.01), 'the status line position does not move')
    shown = t.status()[1]
    t_key = t.key(b'\033[C')
    target = shown + 10
    samples = []  # (position, seconds since the key): only answers after the jump count

    def landed():
        p, at = rel_time(r)
        if p >= target - 5:
            samples.append((p, at - t_key))
        return len(samples) >= 4
    check(wait_for(landed, timeout=15, step=0.25), 'the position did not jump towards %d: %s, now %s' % (
        target, samples, rel_time(r)[0]))
    # Position p at e s after the key: the landing point lies in (p - 0.5 - e, p + 1] (1 s resolution,
    # and the seek happened at most e s before the answer).
    lo = max(p - 0.5 - e for p, e in samples)
    hi = min(p + 1 for p, e in samples)
    note('terminal', 'right arrow at shown %d (renderer %d just before): target %d; renderer then %s; '
         'landed in [%.1f, %.1f]' % (shown, before, target, ['%d@+%.1fs' % s for s in samples], lo, hi))
    check(lo <= target + 1 and hi >= target - 1, 'seek to %d landed in [%.1f, %.1f] (samples %s)' % (
        target, lo, hi, samples))
    status_is(t, 'PLAYING', lambda s: s[1] >= target - 1)

    # Volume: - then + (the renderer starts at 100), in steps of 5.
    v0 = volume(r)
    for k, want in ((b'-', v0 - 5), (b'+', v0)):
        t.key(k)
        check(wait_for(lambda: volume(r) == want, timeout=10, step=0.2), '%r: volume %d, want %d' % (k, volume(r), want))
        status_is(t, 'PLAYING', lambda s: s[3] == 'vol %d' % want)
        note('terminal', '%r -> renderer volume %d, status %r' % (k.decode(), want, t.status()[3]))

    # Quit: the program stops the renderer and exits 0.
    t.key(b'q')
    try:
        rc = t.proc.wait(WAIT)
    except subprocess.TimeoutExpired:
        raise AssertionError('q: the program did not exit within %d s' % WAIT)
    t.thread.join(5)
    check(rc == 0, 'q: exit %d' % rc)
    check(t.output().rstrip().endswith(b'Stopped.'), 'q: output ends %r' % t.output()[-80:])
    renderer_is(r, 'STOPPED', timeout=10)
    note('terminal', 'q -> exit 0, "Stopped.", renderer %s' % transport_state(r))


# ---------------------------------------------------------------- 4: error paths

def expect_failure(state, args, pattern, label):
    t0 = time.monotonic()
    rc, out, err = run_cli(state['cli'], *args)
    check(rc != 0, '%s: exit 0, stdout %r' % (label, out))
    check(re.search(pattern, err), '%s: exit %d, stderr does not say why (%s):\n%s' % (label, rc, pattern, err))
    check('Playing' not in out, '%s: %r' % (label, out))
    note('errors', '%s: exit %d in %.1f s: %s' % (label, rc, time.monotonic() - t0,
                                                  ' | '.join(ln.strip() for ln in err.strip().splitlines()[:3])))
    return err


def check_unknown_renderer(state):
    expect_failure(state, ['play', 'No Such Renderer', state['srv']['udn'], 'Music/short.wav', '--timeout', '3'],
                   r'no renderer named "No Such Renderer"', 'unknown renderer name')
    expect_failure(state, ['play', 'uuid:00000000-0000-0000-0000-00000000dead', state['srv']['udn'],
                           'Music/short.wav', '--timeout', '3'], r'no renderer named', 'unknown renderer UDN')
    check(transport_state(state['renderer']) == 'STOPPED', 'the renderer is %s' % transport_state(state['renderer']))


def check_unknown_item(state):
    r = state['renderer']
    expect_failure(state, ['play', r['udn'], state['srv']['udn'], 'Music/nothing.wav'],
                   r'does not describe item "Music/nothing.wav"', 'unknown item on our server')
    expect_failure(state, ['play', r['udn'], PEER_UDN, '64$77$5'],
                   r'does not describe item "64\$77\$5"', 'unknown item on minidlna')
    expect_failure(state, ['play', r['udn'], state['srv']['udn'], 'Music'], r'container', 'a container')
    check(transport_state(r) == 'STOPPED', 'the renderer is %s' % transport_state(r))


def check_ambiguous(state):
    for twin in state['twins']:
        renderer_ready(twin)
    # With --timeout 2 the search asks for answers within 1 s, well inside the time the program
    # gives a second device of the same name.
    err = expect_failure(state, ['play', 'Twin Renderer', state['srv']['udn'], 'Music/short.wav', '--timeout', '2'],
                         r'matches several renderers', 'a name two renderers have')
    for twin in state['twins']:
        check(twin['udn'] in err, 'the UDN %s is not listed:\n%s' % (twin['udn'], err))
        info = soap(twin, AVT, 'GetMediaInfo')
        check(not info.get('CurrentURI') and transport_state(twin) == 'STOPPED',
              '%s got a track: %s' % (twin['udn'], info.get('CurrentURI')))


# ---------------------------------------------------------------- main

def main():
    if len(sys.argv) != 2:
        sys.exit('usage: test_playback.py PATH/TO/tovaly-cli')
    for tool in ('gmediarender', 'minidlnad'):
        if not shutil.which(tool):
            print('SKIP: %s is not installed (Debian: apt-get install gmediarender minidlna '
                  'gstreamer1.0-plugins-base gstreamer1.0-plugins-good)' % tool)
            return 77
    t_start = time.monotonic()
    with tempfile.TemporaryDirectory() as tmp:
        our_share, peer_share = os.path.join(tmp, 'ours'), os.path.join(tmp, 'peer')
        write_tree(our_share, OUR_FILES)
        write_tree(peer_share, PEER_FILES)
        state = {'cli': os.path.abspath(sys.argv[1]), 'our_share': our_share, 'peer_share': peer_share}
        procs = []
        try:
            state['renderer'] = start_renderer(tmp, dict(RENDERER))
            procs.append(state['renderer']['proc'])
            peer = start_minidlna(tmp, peer_share)
            procs.append(peer)

            def peers_up():
                state['srv'] = start_server(state['cli'], tmp, our_share, procs)
                renderer_ready(state['renderer'])
                # minidlna answers while it scans; browse only what the finished scan holds.
                check(wait_for(lambda: 'Initial file scan completed' in peer.text() or peer.proc.poll() is not None),
                      'minidlna did not finish its scan within %d s:\n%s' % (WAIT, peer.text()[-800:]))
                check(peer.proc.poll() is None, 'minidlna exited:\n%s' % peer.text()[-800:])
                note('setup', 'renderer %s, minidlna %s, our server "%s" %s' % (
                    state['renderer']['udn'], PEER_UDN, state['srv']['name'], state['srv']['udn']))
            up = group('peers and our server are up', peers_up)
            b_peer = group('1. browse minidlna\'s folder view "64" to the leaves', check_browse_peer, state,
                           runnable=up)
            group('1. browse our server from "0" to the leaves', check_browse_ours, state, runnable=up)
            group('2. play an item of our server to its end (no terminal)', check_play_ours, state, runnable=up)
            group('2. play an item of minidlna to its end (no terminal)', check_play_peer, state,
                  runnable=up and b_peer)
            group('2. SIGINT and SIGTERM stop the playback', check_signals, state, runnable=up)
            group('3. terminal: pause, play, seek +10 s, volume -/+, quit', check_terminal, state, runnable=up)
            group('4. a renderer that does not exist', check_unknown_renderer, state, runnable=up)
            group('4. an item that does not exist', check_unknown_item, state, runnable=up)
            state['twins'] = [start_renderer(tmp, dict(tw)) for tw in TWINS]
            procs += [tw['proc'] for tw in state['twins']]
            group('4. a renderer name two renderers have', check_ambiguous, state, runnable=up)

            def shutdown():
                p = state['srv']['proc']
                p.proc.send_signal(signal.SIGTERM)
                rc = p.proc.wait(WAIT)
                check(rc == 0, 'serve: exit code %d after SIGTERM:\n%s' % (rc, p.text()[-800:]))
            group('our server: clean exit on SIGTERM', shutdown, runnable=up)
        finally:
            for p in procs:
                p.stop()
        if any(ok is False for _, ok, _ in results):
            for p in procs:
                print('\n--- output of %s (tail):\n%s' % (' '.join(p.argv[:1] + p.argv[-2:]), p.text()[-1500:]))
            for r in [state.get('renderer')] + state.get('twins', []):
                if r and os.path.exists(r['log']):
                    with open(r['log'], errors='replace') as f:
                        print('\n--- log of %s (tail):\n%s' % (r['name'], f.read()[-3000:]))
    for section, lines in notes.items():
        print('\n%s:' % section.capitalize())
        for ln in lines:
            print('  ' + ln)
    print('\nSummary (%.0f s):' % (time.monotonic() - t_start))
    for name, ok, detail in results:
        print('  %s  %s%s' % ({True: 'PASS', False: 'FAIL', None: 'SKIP'}[ok], name,
                                ('\n        ' + detail) if detail else ''))
    passed = sum(1 for _, ok, _ in results if ok)
    print('%d of %d groups passed' % (passed, len(results)))
    return 0 if passed == len(results) else 1


if __name__ == '__main__':
    sys.exit(main())
