"""What the interop tests share: checks in groups and a summary, child processes (tovaly-cli serve,
minidlna, gmediarender) with their output, raw HTTP and SOAP, GUPnP waits and calls, small media files.

Everything here talks only to addresses inside the namespaces that netns.sh creates.
"""
import contextlib
import http.server
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import urllib.parse
import urllib.request
import xml.etree.ElementTree as ET

try:
    import gi
    gi.require_version('GUPnP', '1.6')
    gi.require_version('GSSDP', '1.6')
    gi.require_version('GUPnPAV', '1.0')
    from gi.repository import GLib, GObject, Gio, GSSDP, GUPnP, GUPnPAV  # noqa: F401
    GI_MISSING = None
except (ImportError, ValueError) as e:
    GI_MISSING = str(e)

ADDR = os.environ.get('TOVALY_TEST_ADDR', '192.0.2.1')
ADDR2 = os.environ.get('TOVALY_TEST_ADDR2', '')
NETNS2 = os.environ.get('TOVALY_TEST_NETNS2', '')
IFACE = 'upnp0'
WAIT = 30  # seconds: generous upper bound for anything that should happen soon, never a pass criterion
MS_TYPE = 'urn:schemas-upnp-org:device:MediaServer:1'
CM_TYPE = 'urn:schemas-upnp-org:service:ConnectionManager:1'
CDS_TYPE = 'urn:schemas-upnp-org:service:ContentDirectory:1'
AVT = 'urn:schemas-upnp-org:service:AVTransport:1'
RCS = 'urn:schemas-upnp-org:service:RenderingControl:1'
NS_DEV = '{urn:schemas-upnp-org:device-1-0}'
NS_SOAP = '{http://schemas.xmlsoap.org/soap/envelope/}'
SSDP = ('239.255.255.250', 1900)
STARTED = time.monotonic()
results = []  # (group, True / False / None for not run, detail)


# ---------------------------------------------------------------- checks, groups, summary

def check(cond, msg):
    if not cond:
        raise AssertionError(msg)


def note(msg):
    print('   ' + msg, flush=True)


def group(name, fn, *args, runnable=True):
    """Runs one group of checks; a failed group does not stop the others."""
    print('== ' + name, flush=True)
    try:
        if runnable:
            fn(*args)
        results.append((name, True, '') if runnable else (name, None, 'not run: needs a group that failed'))
    except Exception as e:
        results.append((name, False, '%s: %s' % (type(e).__name__, e)))
        print('   FAILED: %s' % e, flush=True)
        if not isinstance(e, AssertionError):  # a fault of the test itself: where
            print(''.join('   ' + ln for ln in traceback.format_exc().splitlines(True)[-6:]), flush=True)
    return results[-1][1] is True


def poll(pred, timeout=WAIT, step=0.1):
    """pred()'s first true value, or its last value once timeout seconds have passed."""
    deadline = time.monotonic() + timeout
    while True:
        v = pred()
        if v or time.monotonic() > deadline:
            return v
        time.sleep(step)


def main(body, tools=(), gi=False):
    """Runs body(path of tovaly-cli, temporary folder), stops every process it started and prints the result of
    every group (and the processes' output if one failed); returns the exit code, 77 when a peer is missing."""
    if len(sys.argv) != 2:
        sys.exit('usage: %s PATH/TO/tovaly-cli' % os.path.basename(sys.argv[0]))
    missing = [t + ' is missing (scripts/install-deps.sh installs it)' for t in tools if not shutil.which(t)]
    if gi and GI_MISSING:
        missing.append('GUPnP 1.6 / GUPnP-AV 1.0 introspection data is missing (%s)' % GI_MISSING)
    if missing:
        print('SKIP: ' + '; '.join(missing))
        return 77
    with tempfile.TemporaryDirectory() as tmp:
        # The programs' metadata caches go to the test's own folder, never the user's.
        os.environ['XDG_CACHE_HOME'] = os.path.join(tmp, 'cache')
        try:
            body(os.path.abspath(sys.argv[1]), tmp)
        except Exception as e:  # outside any group: the setup
            results.append(('setup', False, '%s: %s' % (type(e).__name__, e)))
        finally:
            for p in reversed(Proc.every):
                p.stop(timeout=10)
    for p in Proc.every if any(ok is False for _, ok, _ in results) else ():
        print('\n--- last output of %s:\n%s' % (p.name, p.tail(20)))
    print('\nSummary (%.0f s):' % (time.monotonic() - STARTED))
    for name, ok, detail in results:
        print('  %s  %s%s' % ({True: 'PASS', False: 'FAIL', None: 'SKIP'}[ok], name, detail and '\n        ' + detail))
    passed = sum(1 for _, ok, _ in results if ok)
    print('%d of %d groups passed' % (passed, len(results)))
    return 0 if passed == len(results) else 1


# ---------------------------------------------------------------- processes

class Proc:
    """A child process whose stdout and stderr lines are collected with their arrival times; with pty, its
    terminal is self.master and every byte it draws there is kept too (a status line ends in no newline)."""
    every = []

    def __init__(self, name, argv, env=None, ns2=False, pty=False):
        self.name, self.info, self.out, self.err, self.drawn = name, {}, [], [], bytearray()
        self.lock = threading.Lock()
        self.master, slave = os.openpty() if pty else (None, subprocess.PIPE)
        self.proc = subprocess.Popen((['ip', 'netns', 'exec', NETNS2] if ns2 else []) + argv, env=env, stdout=slave,
                                     stdin=slave if pty else subprocess.DEVNULL, stderr=subprocess.PIPE)
        if pty:
            os.close(slave)
        self.readers = [threading.Thread(target=self._read, args=a, daemon=True) for a in (
            (self.master if pty else self.proc.stdout.fileno(), self.out), (self.proc.stderr.fileno(), self.err))]
        for t in self.readers:
            t.start()
        Proc.every.append(self)

    def _read(self, fd, into):
        part = b''
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:  # EIO: the program closed its terminal
                chunk = b''
            *lines, part = (part + (chunk or b'\n')).split(b'\n')  # at the end: an unfinished last line
            with self.lock:
                self.drawn += chunk if fd == self.master else b''
                into += [(time.monotonic(), ln.decode('utf-8', 'replace').rstrip('\r')) for ln in lines if chunk or ln]
            if not chunk:
                return

    def screen(self):
        with self.lock:
            return bytes(self.drawn)

    def timed(self, which='out'):
        """[(arrival, line)] of 'out', 'err' or 'all'."""
        with self.lock:
            return sorted(self.out + self.err) if which == 'all' else list(getattr(self, which))

    def lines(self, which='out', since=0.0):
        return [t for ts, t in self.timed(which) if ts >= since]

    def find(self, pattern, which='out', since=0.0):
        return next(filter(None, map(re.compile(pattern).search, self.lines(which, since))), None)

    def wait_for(self, pattern, timeout=WAIT, which='out', since=0.0):
        poll(lambda: self.find(pattern, which, since) or not self.alive(), timeout)
        return self.find(pattern, which, since)

    def alive(self):
        return self.proc.poll() is None

    def stop(self, sig=signal.SIGTERM, timeout=WAIT):
        """Signals the process and returns its exit code (None if it had to be killed)."""
        if self.alive():
            self.proc.send_signal(sig)
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            rc = None
        for t in self.readers:
            t.join(WAIT)
        if self.master is not None:
            os.close(self.master)
            self.master = None
        return rc

    def tail(self, n=25):
        return '\n'.join('    [%s] %s' % (self.name, t) for t in self.lines('all')[-n:])


def run(argv, timeout=2 * WAIT):
    """A short-lived command without a terminal: (exit code, stdout, stderr)."""
    r = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout)
    return r.returncode, r.stdout, r.stderr


def serve(cli, work, share, tag='serve', addr=ADDR, ns2=False, env=None):
    """tovaly-cli serve of share with a config file of its own in work; .info holds what it announced."""
    cfg = os.path.join(work, tag + '.ini')
    with open(cfg, 'w') as f:
        f.write('[setting]\ncontent_path=%s\n' % share)
    p = Proc(tag, [cli, '--config', cfg, 'serve', '--address', addr], env=env, ns2=ns2)
    check(p.wait_for(r'^Press Ctrl-C'), '%s did not come up within %d s:\n%s' % (tag, WAIT, p.tail()))
    for key, pat in (('name', r'Media server "(.*)" is on the network\.'), ('udn', r'UDN:\s+(\S+)'),
                     ('base', r'Address:\s+(\S+)'), ('desc_url', r'Description:\s+(\S+)')):
        m = p.find(pat)
        check(m, '%s output lacks %s:\n%s' % (tag, key, p.tail()))
        p.info[key] = m.group(1)
    p.info['port'] = urllib.parse.urlsplit(p.info['base']).port
    media = p.find(r'Media:\s+(\S+)')  # absent only in versions older than the media engine (bench/)
    p.info['media_base'] = media and media.group(1)
    p.info['media_port'] = media and urllib.parse.urlsplit(media.group(1)).port
    phone = p.find(r'Phone page:\s+(\S+)')
    p.info['phone'] = phone and phone.group(1)
    stack = p.find(r'UPnP stack:\s+port (\d+)')  # the device's own HTTP moved onto the media port
    p.info['stack_port'] = int(stack.group(1)) if stack else p.info['port']
    return p


def clean_exit(p):
    """SIGTERM: exit code 0, "Stopped." last, no sanitizer report."""
    check(p.alive(), '%s ended by itself (exit %s)' % (p.name, p.proc.poll()))
    rc = p.stop()
    check(rc == 0, '%s: exit %s after SIGTERM' % (p.name, rc))
    check(p.lines()[-1:] == ['Stopped.'], '%s: last output lines %s' % (p.name, p.lines()[-3:]))
    bad = [t for t in p.lines('err') if re.search(r'ERROR: (Address|Leak)Sanitizer|runtime error:', t)]
    check(not bad, '%s: sanitizer reports: %s' % (p.name, bad[:3]))


def minidlna(work, media, uuid, name, port=8200, extra=''):
    db = os.path.join(work, 'minidlna')
    os.makedirs(db)
    conf = os.path.join(db, 'minidlna.conf')
    with open(conf, 'w') as f:
        f.write('media_dir=%s\ndb_dir=%s\nlog_dir=%s\nport=%d\nnetwork_interface=%s\nuuid=%s\nfriendly_name=%s\n'
                'inotify=no\n%s' % (media, db, db, port, IFACE, uuid, name, extra))
    return peer(Proc('minidlna', ['minidlnad', '-d', '-f', conf, '-P', os.path.join(db, 'minidlna.pid')]), uuid, name,
                port, 'rootDesc.xml')


def gmediarender(uuid, name, port=49494):
    return peer(Proc('gmediarender-%d' % port, [
        'gmediarender', '-I', IFACE, '-p', str(port), '-u', uuid, '-f', name, '--logfile=stdout',
        '--gstout-audiopipe=fakesink sync=true', '--gstout-videopipe=fakesink sync=true']), uuid, name, port,
        'description.xml')


def peer(p, uuid, name, port, description):
    p.info = dict(udn='uuid:' + uuid, name=name, port=port, desc_url='http://%s:%d/%s' % (ADDR, port, description))
    return p


# ---------------------------------------------------------------- HTTP and SOAP

def fetch(url, timeout=WAIT):
    with urllib.request.urlopen(url, timeout=timeout) as r:
        return r.read()


def describe(url):
    """The device description at url once it answers: name, udn, ack, control (service type -> URL)."""
    def get():
        try:
            return fetch(url, 5)
        except OSError:
            return None
    raw = poll(get, WAIT, 0.2)
    check(raw, 'no description at %s within %d s' % (url, WAIT))
    dev = ET.fromstring(raw).find(NS_DEV + 'device')
    return dict({k: dev.findtext(NS_DEV + t) for k, t in (('name', 'friendlyName'), ('udn', 'UDN'), ('ack', 'ACK'))},
                control={s.findtext(NS_DEV + 'serviceType'): s.findtext(NS_DEV + 'controlURL')
                         for s in dev.iter(NS_DEV + 'service')})


def raw_http(port, method, target, headers=(), body=b'', host=None, source=None):
    """One request with a byte-exact target on a fresh connection that it asks to close: (status or None, headers
    by lower-case name, body); the server may answer and close before it has read everything. host: the Host
    header's value (default ADDR:port); '' sends an HTTP/1.0 request without one. source: the address to send from
    (a second host of the test network, once added to IFACE)."""
    target = target if isinstance(target, bytes) else target.encode()
    if host == '':
        head = b'%s %s HTTP/1.0\r\n' % (method.encode(), target)
    else:
        host = host or '%s:%d' % (ADDR, port)
        head = b'%s %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n' % (method.encode(), target, host.encode())
    head += b''.join(h.encode() + b'\r\n' for h in headers)
    if body or method in ('POST', 'PUT'):
        head += b'Content-Length: %d\r\n' % len(body)
    chunks = []
    with socket.create_connection((ADDR, port), timeout=WAIT, source_address=(source, 0) if source else None) as s:
        with contextlib.suppress(BrokenPipeError, ConnectionResetError):
            s.sendall(head + b'\r\n' + body)
        with contextlib.suppress(ConnectionResetError):
            for c in iter(lambda: s.recv(1 << 20), b''):
                chunks.append(c)
    head_part, _, rest = b''.join(chunks).partition(b'\r\n\r\n')
    lines = head_part.decode('latin-1').split('\r\n')
    m = re.match(r'HTTP/\d\.\d (\d{3})', lines[0])
    hdrs = {k.strip().lower(): v.strip() for k, _, v in (ln.partition(':') for ln in lines[1:])}
    return (int(m.group(1)) if m else None), hdrs, rest


def notify(location=None, usn=None, max_age='100', nts='ssdp:alive', extra=''):
    """An SSDP NOTIFY of a MediaServer; None leaves a header out."""
    return (('NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n' +
             ('' if max_age is None else 'CACHE-CONTROL: max-age=%s\r\n' % max_age) +
             ('' if location is None else 'LOCATION: %s\r\n' % location) +
             'NT: %s\r\nNTS: %s\r\nSERVER: Linux/6 UPnP/1.0 interop-test/1\r\n' % (MS_TYPE, nts) +
             ('' if usn is None else 'USN: %s\r\n' % usn) + extra + '\r\n').encode('latin-1'))


def http_server(respond):
    """A threaded HTTP server on ADDR for GET, POST and NOTIFY: respond(request, body) -> (status, body, headers)."""
    class Handler(http.server.BaseHTTPRequestHandler):
        def answer(self):
            status, body, headers = respond(self, self.rfile.read(int(self.headers.get('Content-Length') or 0)))
            self.send_response(status)
            for k, v in dict(headers, **{'Content-Length': str(len(body))}).items():
                self.send_header(k, v)
            self.end_headers()
            self.wfile.write(body)
        do_GET = do_POST = do_NOTIFY = answer

        def log_message(self, *args):
            pass
    httpd = http.server.ThreadingHTTPServer((ADDR, 0), Handler)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    return httpd


def envelope(action, service, args=()):
    """A SOAP request body; args are (name, value) pairs or one string of raw XML."""
    inner = args if isinstance(args, str) else ''.join('<%s>%s</%s>' % (k, v, k) for k, v in args)
    return ('<?xml version="1.0" encoding="utf-8"?>\r\n<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/"'
            ' s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body><u:%s xmlns:u="%s">%s</u:%s>'
            '</s:Body></s:Envelope>' % (action, service, inner, action)).encode()


def soap_post(port, path, soapaction, body):
    headers = ['Content-Type: text/xml; charset="utf-8"'] + ['SOAPACTION: "%s"' % soapaction] * (soapaction is not None)
    return raw_http(port, 'POST', path, headers, body)


def soap(port, path, service, action, args=()):
    """One action: the response's arguments by name; anything but HTTP 200 with a response fails."""
    status, _, data = soap_post(port, path, '%s#%s' % (service, action), envelope(action, service, args))
    check(status == 200, '%s: HTTP %s %r' % (action, status, data[:300]))
    out = ET.fromstring(data).find('%sBody/{%s}%sResponse' % (NS_SOAP, service, action))
    check(out is not None, '%s: no response element in %r' % (action, data[:300]))
    return {e.tag: e.text or '' for e in out}


# ---------------------------------------------------------------- GUPnP

def glib_wait(pred, timeout=WAIT):
    """Runs the GLib main loop until pred() holds or the timeout passes."""
    context, deadline = GLib.MainContext.default(), time.monotonic() + timeout
    while not pred() and time.monotonic() < deadline:
        context.iteration(False) or time.sleep(0.02)
    return pred()


class Watch:
    """A GUPnP control point (it searches, then listens) that notes when the device udn comes and goes."""

    def __init__(self, udn, target=MS_TYPE):
        self.udn, self.dev, self.gone = udn, None, False
        self.ctx = GUPnP.Context.new_full(IFACE, Gio.InetAddress.new_from_string(ADDR), 0, GSSDP.UDAVersion.VERSION_1_0)
        self.cp = GUPnP.ControlPoint.new(self.ctx, target)
        self.cp.connect('device-proxy-available', lambda _, d: d.get_udn() == udn and setattr(self, 'dev', d))
        self.cp.connect('device-proxy-unavailable', lambda _, d: d.get_udn() == udn and setattr(self, 'gone', True))
        self.cp.set_active(True)

    def found(self):
        check(glib_wait(lambda: self.dev), 'GUPnP did not find %s within %d s' % (self.udn, WAIT))
        return self.dev


def gupnp_async(what, start, finish):
    """start(callback) begins an asynchronous GUPnP call: {'value': finish(proxy, result)} or {'error': GLib.Error}."""
    out = {}

    def done(proxy, res, *_):
        try:
            out['value'] = finish(proxy, res)
        except GLib.Error as e:
            out['error'] = e
    start(done)
    check(glib_wait(lambda: out), 'GUPnP %s got no answer within %d s' % (what, WAIT))
    return out


def gupnp_call(sp, action, args=(), outs=()):
    """One action: {'value': [out values]} or {'error': GLib.Error}; args are (name, str or GObject.Value)
    pairs, outs (name, type) pairs."""
    act = GUPnP.ServiceProxyAction.new_from_list(action, [n for n, _ in args], [
        v if isinstance(v, GObject.Value) else GObject.Value(str, v) for _, v in args])
    names, types = [n for n, _ in outs], [t for _, t in outs]
    return gupnp_async(action, lambda done: sp.call_action_async(act, None, done),
                       lambda proxy, res: proxy.call_action_finish(res).get_result_list(names, types).out_values)


def browse(sp, oid, flag, start=0, count=0):
    """A GUPnP ContentDirectory Browse: {'value': [Result, NumberReturned, TotalMatches]} or {'error': ...}."""
    args = [('ObjectID', oid), ('BrowseFlag', flag), ('Filter', '*'),
            ('StartingIndex', GObject.Value(GObject.TYPE_UINT, start)),
            ('RequestedCount', GObject.Value(GObject.TYPE_UINT, count)), ('SortCriteria', '')]
    return gupnp_call(sp, 'Browse', args, [('Result', str), ('NumberReturned', GObject.TYPE_UINT),
                                           ('TotalMatches', GObject.TYPE_UINT)])


# ---------------------------------------------------------------- media files that the peers accept

def wav_bytes(secs=1, tag=b'', rate=8000):
    data = bytes(rate * 2 * secs)  # mono 16-bit silence
    return (b'RIFF' + struct.pack('<I', 36 + len(data)) + b'WAVEfmt ' +
            struct.pack('<IHHIIHH', 16, 1, 1, rate, rate * 2, 2, 16) + b'data' + struct.pack('<I', len(data)) +
            data + tag)


def mp3_bytes(frames=8, tag=None):
    """Silent MPEG-1 Layer III frames (128 kbit/s, 44.1 kHz), with an ID3v1 tag when one is given."""
    return (b'\xff\xfb\x90\x44' + bytes(413)) * frames + (b'TAG' + tag.ljust(125, b'\0')[:125] if tag else b'')


FONT = '/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf'


def ffmpeg(*args):
    """The ffmpeg command line, quiet and without a terminal; an error raises."""
    subprocess.run(['ffmpeg', '-nostdin', '-hide_banner', '-loglevel', 'error', '-y'] + list(args),
                   stdin=subprocess.DEVNULL, check=True, timeout=2 * WAIT)


def cover_jpeg(path, name, top='0xf4a261', bottom='0x264653', size=320):
    """An album cover: a sky from `top` to `bottom`, a pale sun, and the name (if any) written at the foot."""
    sun = 'lt(hypot(X-W*0.64\\,Y-H*0.36)\\,W*0.18)'
    text = name.replace('\\', '\\\\').replace("'", '').replace(':', '\\:')
    ffmpeg('-f', 'lavfi', '-i',
           "gradients=s={0}x{0}:c0={1}:c1={2}:x0=0:y0=0:x1=0:y1={0}:nb_colors=2,format=rgb24,"
           "geq=r='if({3},255,r(X,Y))':g='if({3},236,g(X,Y))':b='if({3},200,b(X,Y))'".format(
               size, top, bottom, sun) +
           (",drawtext=fontfile={0}:text='{1}':fontcolor=white:fontsize={2}:x={3}:y=H-{4}".format(
               FONT, text, size * 34 // 320, size * 22 // 320, size * 64 // 320) if text else ''),
           '-frames:v', '1', '-q:v', '3', path)


def tagged_mp3(path, secs, title, artist, album, track, cover=None):
    """A soft tone as an MP3 with ID3v2 tags (title, artist, album, track) and, given a JPEG, that picture
    embedded as its front cover."""
    args = ['-f', 'lavfi', '-i', 'sine=frequency=%d:duration=%d' % (220 + 55 * track, secs)]
    if cover:
        args += ['-i', cover, '-map', '0:a', '-map', '1:v', '-c:v', 'copy', '-disposition:v', 'attached_pic',
                 '-metadata:s:v', 'title=Album cover', '-metadata:s:v', 'comment=Cover (front)']
    args += ['-c:a', 'libmp3lame', '-b:a', '64k', '-ac', '1', '-id3v2_version', '3', '-metadata', 'title=' + title,
             '-metadata', 'artist=' + artist, '-metadata', 'album=' + album, '-metadata', 'track=%d' % track, path]
    ffmpeg(*args)


def video_mp4(path, secs, size='640x360'):
    """A test picture with a tone, H.264 and AAC in MP4 (what browsers and TVs play)."""
    ffmpeg('-f', 'lavfi', '-i', 'testsrc2=s=%s:r=25:d=%d' % (size, secs), '-f', 'lavfi', '-i',
           'sine=frequency=440:duration=%d' % secs, '-c:v', 'libx264', '-preset', 'veryfast', '-pix_fmt', 'yuv420p',
           '-c:a', 'aac', '-b:a', '64k', '-shortest', '-movflags', '+faststart', path)


def write_files(top, files):
    """files: relative path (str or bytes) -> content."""
    for rel, data in files.items():
        path = os.path.join(os.fsencode(top), os.fsencode(rel))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as f:
            f.write(data)
