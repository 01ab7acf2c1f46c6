#!/usr/bin/python3
"""Interop test: tovaly-cli serve seen by GUPnP and by hand-written HTTP/GENA peers.

Usage: netns.sh run /usr/bin/python3 test_device.py PATH/TO/tovaly-cli
Talks only to addresses inside the private namespace that netns.sh creates.
"""
import http.client
import http.server
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request
import xml.etree.ElementTree as ET

import gi
gi.require_version('GUPnP', '1.6')
gi.require_version('GSSDP', '1.6')
from gi.repository import GLib, GObject, Gio, GSSDP, GUPnP  # noqa: E402

ADDR = os.environ.get('TOVALY_TEST_ADDR', '192.0.2.1')
IFACE = 'upnp0'
WAIT = 30  # seconds; generous upper bound for anything we wait on, never a pass criterion
MS_TYPE = 'urn:schemas-upnp-org:device:MediaServer:1'
CM_TYPE = 'urn:schemas-upnp-org:service:ConnectionManager:1'
CDS_TYPE = 'urn:schemas-upnp-org:service:ContentDirectory:1'
NS_DEV = '{urn:schemas-upnp-org:device-1-0}'
NS_SCPD = '{urn:schemas-upnp-org:service-1-0}'
NS_DLNA = '{urn:schemas-dlna-org:device-1-0}'
NS_SOAP = '{http://schemas.xmlsoap.org/soap/envelope/}'
NS_EVENT = '{urn:schemas-upnp-org:event-1-0}'
NS_CTRL = '{urn:schemas-upnp-org:control-1-0}'
MODEL = 'Praxen UPNP Media Server'
CM_ACTIONS = {'GetCurrentConnectionIDs', 'GetCurrentConnectionInfo', 'GetProtocolInfo',
              'PrepareForConnection', 'ConnectionComplete'}
CDS_ACTIONS = {'GetSearchCapabilities', 'GetSortCapabilities', 'GetSystemUpdateID'}
SOURCE_HEAD = ['http-get:*:*:*', 'http-get:*:audio/3gpp:DLNA.ORG_PN=AMR_3GPP']
SOURCE_COUNT = 101

results = []  # (group, ok, detail)
notes = []    # how the server answered the bad-input cases


def check(cond, msg):
    if not cond:
        raise AssertionError(msg)


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


def wait_loop(pred, timeout=WAIT):
    """Runs the GLib main loop until pred() holds or the timeout passes."""
    loop = GLib.MainLoop()
    deadline = time.monotonic() + timeout

    def tick():
        if pred() or time.monotonic() > deadline:
            loop.quit()
            return False
        return True
    GLib.timeout_add(20, tick)
    loop.run()
    return pred()


def soap_envelope(action, service=CM_TYPE, inner=''):
    return ('<?xml version="1.0" encoding="utf-8"?>\r\n'
            '<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            '<u:%s xmlns:u="%s">%s</u:%s></s:Body></s:Envelope>' % (action, service, inner, action)).encode()


def raw_http(port, head, body=b''):
    """Sends one request on a fresh connection; returns (status or None, headers, body)."""
    data = head.encode() + body
    with socket.create_connection((ADDR, port), timeout=WAIT) as s:
        try:
            s.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the server may answer and close before it has read everything
        chunks = []
        try:
            while True:
                c = s.recv(65536)
                if not c:
                    break
                chunks.append(c)
        except ConnectionResetError:
            pass
    resp = b''.join(chunks)
    head_part, _, rest = resp.partition(b'\r\n\r\n')
    lines = head_part.decode('latin-1').split('\r\n')
    m = re.match(r'HTTP/\d\.\d (\d{3})', lines[0]) if lines else None
    headers = {}
    for ln in lines[1:]:
        k, _, v = ln.partition(':')
        headers[k.strip().upper()] = v.strip()
    return (int(m.group(1)) if m else None), headers, rest


def soap_post(port, path, soapaction, body, extra=''):
    head = ('POST %s HTTP/1.1\r\nHOST: %s:%d\r\nCONTENT-TYPE: text/xml; charset="utf-8"\r\n'
            'CONTENT-LENGTH: %d\r\n%s%s\r\n' % (
                path, ADDR, port, len(body),
                'SOAPACTION: "%s"\r\n' % soapaction if soapaction is not None else '', extra))
    return raw_http(port, head, body)


def parse_fault(body):
    """Returns the UPnP errorCode of a SOAP fault body, or None if it is not one."""
    try:
        root = ET.fromstring(body)
    except ET.ParseError:
        return None
    code = root.find('.//%sUPnPError/%serrorCode' % (NS_CTRL, NS_CTRL))
    if root.find('.//%sFault' % NS_SOAP) is None or code is None:
        return None
    return int(code.text)


def good_protocol_info(port, context):
    status, _, body = soap_post(port, '/upnp/control/cm', CM_TYPE + '#GetProtocolInfo',
                                soap_envelope('GetProtocolInfo'))
    check(status == 200, '%s: good GetProtocolInfo got HTTP %s, body %r' % (context, status, body[:300]))
    resp = ET.fromstring(body).find('%sBody/{%s}GetProtocolInfoResponse' % (NS_SOAP, CM_TYPE))
    check(resp is not None, '%s: no GetProtocolInfoResponse in %r' % (context, body[:300]))
    check_protocol_lists(resp.findtext('Source'), resp.findtext('Sink'), context)


def check_protocol_lists(source, sink, context):
    check(source is not None and sink is not None, '%s: Source or Sink missing' % context)
    entries = source.split(',')
    check(len(entries) == SOURCE_COUNT, '%s: Source has %d entries, want %d' % (context, len(entries), SOURCE_COUNT))
    check(entries[:2] == SOURCE_HEAD, '%s: Source starts %r, want %r' % (context, entries[:2], SOURCE_HEAD))
    check(all(len(e.split(':')) >= 4 for e in entries), '%s: malformed protocolInfo in Source' % context)
    check(sink == '', '%s: Sink is %r, want empty' % (context, sink))


# ---------------------------------------------------------------- checks

def check_description(srv):
    raw = urllib.request.urlopen(srv['desc_url'], timeout=WAIT).read()
    check(b'xmlns:dlna="urn:schemas-dlna-org:device-1-0"' in raw, 'dlna namespace prefix not declared as dlna')
    root = ET.fromstring(raw)
    check(root.tag == NS_DEV + 'root', 'root element is %s' % root.tag)
    dev = root.find(NS_DEV + 'device')
    check(dev is not None, 'no <device>')
    base = srv['base']
    expected = [
        (NS_DLNA + 'X_DLNADOC', 'DMS-1.50'), (NS_DEV + 'deviceType', MS_TYPE),
        (NS_DEV + 'friendlyName', srv['name']), (NS_DEV + 'manufacturer', 'Mr. Zarn'),
        (NS_DEV + 'manufacturerURL', re.compile(r'https?://\S+$')),
        (NS_DEV + 'modelDescription', MODEL), (NS_DEV + 'modelName', MODEL),
        (NS_DEV + 'modelNumber', '1.5.0'), (NS_DEV + 'modelURL', re.compile(r'https?://\S+$')),
        (NS_DEV + 'serialNumber', '1'), (NS_DEV + 'UDN', srv['udn']), (NS_DEV + 'UPC', '1234'),
        (NS_DEV + 'ACK', re.compile(re.escape(ADDR) + r':\d{1,5}$')), (NS_DEV + 'serviceList', None),
        (NS_DEV + 'presentationURL', base)]
    tags = [c.tag for c in dev]
    check(tags == [t for t, _ in expected], 'device children are %s' % tags)
    for el, (tag, want) in zip(dev, expected):
        text = (el.text or '').strip()
        if isinstance(want, str):
            check(text == want, '%s is %r, want %r' % (tag, text, want))
        elif want is not None:
            check(want.match(text), '%s is %r' % (tag, text))
    check(root[-1].tag == NS_DEV + 'URLBase' and root[-1].text == base,
          'last child of root should be URLBase %s, is %s %r' % (base, root[-1].tag, root[-1].text))
    services = {}
    for s in dev.find(NS_DEV + 'serviceList'):
        services[s.findtext(NS_DEV + 'serviceType')] = {c.tag[len(NS_DEV):]: c.text for c in s}
    check(set(services) == {CM_TYPE, CDS_TYPE}, 'services are %s' % sorted(services))
    for stype, short, scpd, want_actions in ((CM_TYPE, 'cm', 'cm.xml', CM_ACTIONS),
                                             (CDS_TYPE, 'cds', 'cds.xml', CDS_ACTIONS)):
        s = services[stype]
        want = {'serviceId': 'urn:upnp-org:serviceId:' + stype.split(':')[3], 'SCPDURL': scpd,
                'controlURL': '/upnp/control/' + short, 'eventSubURL': '/upnp/event/' + short}
        for k, v in want.items():
            check(s.get(k) == v, '%s %s is %r, want %r' % (short, k, s.get(k), v))
        srv['scpd_' + short] = check_scpd(urllib.parse.urljoin(base, scpd), want_actions)


def check_scpd(url, want_actions):
    root = ET.fromstring(urllib.request.urlopen(url, timeout=WAIT).read())
    check(root.tag == NS_SCPD + 'scpd', '%s: root is %s' % (url, root.tag))
    variables = {}
    for sv in root.iterfind('%sserviceStateTable/%sstateVariable' % (NS_SCPD, NS_SCPD)):
        name = sv.findtext(NS_SCPD + 'name')
        check(name and sv.findtext(NS_SCPD + 'dataType'), '%s: stateVariable without name/dataType' % url)
        check(name not in variables, '%s: state variable %s declared twice' % (url, name))
        variables[name] = sv.get('sendEvents', 'yes')
    actions = set()
    for a in root.iterfind('%sactionList/%saction' % (NS_SCPD, NS_SCPD)):
        aname = a.findtext(NS_SCPD + 'name')
        actions.add(aname)
        for arg in a.iterfind('%sargumentList/%sargument' % (NS_SCPD, NS_SCPD)):
            rel = arg.findtext(NS_SCPD + 'relatedStateVariable')
            check(arg.findtext(NS_SCPD + 'direction') in ('in', 'out'), '%s: %s has a bad direction' % (url, aname))
            check(rel in variables, '%s: %s refers to undeclared state variable %r' % (url, aname, rel))
    check(want_actions <= actions, '%s: actions %s lack %s' % (url, sorted(actions), sorted(want_actions - actions)))
    return {'actions': actions, 'evented': {n for n, e in variables.items() if e == 'yes'}}


def check_introspection(srv, state):
    sp = state['dev'].get_service(CM_TYPE)
    check(sp is not None, 'GUPnP device proxy has no ConnectionManager')
    state['cm'] = sp
    out = {}

    def done(proxy, res, *_):
        try:
            out['intro'] = proxy.introspect_finish(res)
        except GLib.Error as e:
            out['error'] = e
    sp.introspect_async(None, done)
    check(wait_loop(lambda: out), 'GUPnP introspection did not finish within %d s' % WAIT)
    check('error' not in out, 'GUPnP introspection failed: %s' % out.get('error'))
    names = set(out['intro'].list_action_names())
    check(names == srv['scpd_cm']['actions'], 'GUPnP sees actions %s' % sorted(names))
    args = [(a.name, a.direction, a.related_state_variable)
            for a in out['intro'].get_action('GetProtocolInfo').arguments]
    out_dir = GUPnP.ServiceActionArgDirection.OUT
    check(args == [('Source', out_dir, 'SourceProtocolInfo'), ('Sink', out_dir, 'SinkProtocolInfo')],
          'GetProtocolInfo arguments as GUPnP sees them: %s' % args)


def gupnp_call(sp, name):
    out = {}

    def done(proxy, res, *_):
        try:
            act = proxy.call_action_finish(res)
            out['values'] = act.get_result_list(['Source', 'Sink'], [GObject.TYPE_STRING] * 2).out_values
        except GLib.Error as e:
            out['error'] = e
    sp.call_action_async(GUPnP.ServiceProxyAction.new_from_list(name, [], []), None, done)
    check(wait_loop(lambda: out), 'GUPnP %s got no answer within %d s' % (name, WAIT))
    return out


def check_gupnp_actions(state):
    out = gupnp_call(state['cm'], 'GetProtocolInfo')
    check('error' not in out, 'GUPnP GetProtocolInfo failed: %s' % out.get('error'))
    source, sink = out['values']
    check_protocol_lists(source, sink or '', 'GUPnP GetProtocolInfo')
    out = gupnp_call(state['cm'], 'getprotocolinfo')
    err = out.get('error')
    check(err is not None and err.code == 401, 'GUPnP getprotocolinfo: want fault 401, got %s' % (err or out))


class NotifySink(http.server.BaseHTTPRequestHandler):
    received = []  # (headers, body)
    cond = threading.Condition()

    def do_NOTIFY(self):
        body = self.rfile.read(int(self.headers.get('Content-Length', '0')))
        with NotifySink.cond:
            NotifySink.received.append((dict((k.upper(), v) for k, v in self.headers.items()), body))
            NotifySink.cond.notify_all()
        self.send_response(200)
        self.send_header('Content-Length', '0')
        self.end_headers()

    def log_message(self, *args):
        pass


def check_subscription(srv):
    httpd = http.server.ThreadingHTTPServer((ADDR, 0), NotifySink)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    try:
        def gena(method, headers):
            c = http.client.HTTPConnection(ADDR, srv['port'], timeout=WAIT)
            c.request(method, '/upnp/event/cm', headers=headers)
            r = c.getresponse()
            r.read()
            c.close()
            return r
        r = gena('SUBSCRIBE', {'CALLBACK': '<http://%s:%d/>' % (ADDR, httpd.server_address[1]),
                               'NT': 'upnp:event', 'TIMEOUT': 'Second-300'})
        sid = r.getheader('SID', '')
        check(r.status == 200, 'SUBSCRIBE answered %d' % r.status)
        check(sid.startswith('uuid:'), 'SUBSCRIBE gave SID %r' % sid)
        check(re.match(r'Second-\d+$', r.getheader('TIMEOUT', '')), 'SUBSCRIBE TIMEOUT %r' % r.getheader('TIMEOUT'))
        # The initial event may already be here: it can overtake the SUBSCRIBE answer.
        with NotifySink.cond:
            NotifySink.cond.wait_for(lambda: any(h.get('SID') == sid for h, _ in NotifySink.received), WAIT)
            mine = [(h, b) for h, b in NotifySink.received if h.get('SID') == sid]
        check(len(mine) >= 1, 'no initial NOTIFY for %s within %d s' % (sid, WAIT))
        h, body = mine[0]
        check((h.get('NT'), h.get('NTS'), h.get('SEQ')) == ('upnp:event', 'upnp:propchange', '0'),
              'NOTIFY headers NT/NTS/SEQ = %s' % [h.get('NT'), h.get('NTS'), h.get('SEQ')])
        root = ET.fromstring(body)
        check(root.tag == NS_EVENT + 'propertyset', 'NOTIFY root is %s' % root.tag)
        props = {}
        for p in root.iterfind(NS_EVENT + 'property'):
            for var in p:
                props[var.tag] = var.text or ''
        check(set(props) == srv['scpd_cm']['evented'],
              'evented variables %s, SCPD says %s' % (sorted(props), sorted(srv['scpd_cm']['evented'])))
        check(props.get('CurrentConnectionIDs') == '0', 'CurrentConnectionIDs %r' % props.get('CurrentConnectionIDs'))
        check_protocol_lists(props.get('SourceProtocolInfo'), props.get('SinkProtocolInfo'), 'initial event')
        r = gena('SUBSCRIBE', {'SID': sid, 'TIMEOUT': 'Second-300'})
        check(r.status == 200 and r.getheader('SID') == sid, 'renewal answered %d SID %r' % (r.status, r.getheader('SID')))
        r = gena('UNSUBSCRIBE', {'SID': sid})
        check(r.status == 200, 'UNSUBSCRIBE answered %d' % r.status)
    finally:
        httpd.shutdown()
        httpd.server_close()


def check_bad_input(srv):
    port = srv['port']
    good_protocol_info(port, 'before bad input')
    action = CM_TYPE + '#GetProtocolInfo'
    big = soap_envelope('GetProtocolInfo', inner='<Pad>%s</Pad>' % ('x' * (300 * 1024)))
    cases = [
        ('empty body', '/upnp/control/cm', action, b''),
        ('garbage body', '/upnp/control/cm', action, b'this is <not> & xml at all\x00\xff'),
        ('unknown control URL', '/upnp/control/nope', action, soap_envelope('GetProtocolInfo')),
        ('unknown service type', '/upnp/control/cm', 'urn:schemas-upnp-org:service:Nope:1#GetProtocolInfo',
         soap_envelope('GetProtocolInfo', service='urn:schemas-upnp-org:service:Nope:1')),
        ('no SOAPACTION', '/upnp/control/cm', None, soap_envelope('GetProtocolInfo')),
        ('300 KiB body', '/upnp/control/cm', action, big),
    ]
    for name, path, soapaction, body in cases:
        status, _, rbody = soap_post(port, path, soapaction, body)
        fault = parse_fault(rbody)
        notes.append('%-22s -> HTTP %s%s' % (name, status, ', SOAP fault %d' % fault if fault else ''))
        check(status is not None and status >= 400, '%s: want an HTTP error or a fault, got HTTP %s %r'
              % (name, status, rbody[:200]))
        good_protocol_info(port, 'after ' + name)
    for name in ('getprotocolinfo', 'Frobnicate'):
        status, _, rbody = soap_post(port, '/upnp/control/cm', CM_TYPE + '#' + name, soap_envelope(name))
        fault = parse_fault(rbody)
        notes.append('%-22s -> HTTP %s%s' % ('action ' + name, status, ', SOAP fault %d' % fault if fault else ''))
        check(status == 500 and fault == 401, 'action %s: want HTTP 500 fault 401, got HTTP %s %r'
              % (name, status, rbody[:300]))
        good_protocol_info(port, 'after action ' + name)


# ---------------------------------------------------------------- driver

def start_server(cli, tmp):
    share = os.path.join(tmp, 'share')
    os.makedirs(os.path.join(share, 'sub'))
    cfg = os.path.join(tmp, 'config.ini')
    with open(cfg, 'w') as f:
        f.write('[setting]\ncontent_path=%s\n' % share)
    proc = subprocess.Popen([cli, '--config', cfg, 'serve', '--address', ADDR],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    lines, ready = [], threading.Event()

    def reader():
        for ln in proc.stdout:
            lines.append(ln.rstrip('\n'))
            if ln.startswith('Press Ctrl-C'):
                ready.set()
        ready.set()
    thread = threading.Thread(target=reader, daemon=True)
    thread.start()
    ready.wait(WAIT)
    text = '\n'.join(lines)
    srv = {'proc': proc, 'lines': lines, 'reader': thread}
    for key, pat in (('name', r'Media server "(.*)" is on the network\.'), ('udn', r'UDN:\s+(\S+)'),
                     ('base', r'Address:\s+(\S+)'), ('desc_url', r'Description:\s+(\S+)')):
        m = re.search(pat, text)
        if not m:
            raise AssertionError('server output lacks %s (exit %s):\n%s' % (key, proc.poll(), text))
        srv[key] = m.group(1)
    srv['port'] = urllib.parse.urlsplit(srv['base']).port
    return srv


def main():
    if len(sys.argv) != 2:
        sys.exit('usage: test_device.py PATH/TO/tovaly-cli')
    state = {'gone': False}
    with tempfile.TemporaryDirectory() as tmp:
        srv = start_server(sys.argv[1], tmp)
        try:
            ctx = GUPnP.Context.new_full(IFACE, Gio.InetAddress.new_from_string(ADDR), 0,
                                         GSSDP.UDAVersion.VERSION_1_0)
            cp = GUPnP.ControlPoint.new(ctx, MS_TYPE)

            def available(_, dev):
                if dev.get_udn() == srv['udn']:
                    state['dev'] = dev

            def unavailable(_, dev):
                if dev.get_udn() == srv['udn']:
                    state['gone'] = True
            cp.connect('device-proxy-available', available)
            cp.connect('device-proxy-unavailable', unavailable)
            cp.set_active(True)

            def discovery():
                check(wait_loop(lambda: 'dev' in state), 'GUPnP did not find %s within %d s' % (srv['udn'], WAIT))
                check(state['dev'].get_location() == srv['desc_url'], 'LOCATION %s' % state['dev'].get_location())
            found = group('SSDP discovery by GUPnP', discovery)
            described = group('description and SCPDs', check_description, srv)
            group('GUPnP introspection of ConnectionManager', check_introspection, srv, state,
                  runnable=found and described)
            group('GUPnP async actions (GetProtocolInfo, fault 401)', check_gupnp_actions, state,
                  runnable='cm' in state)
            group('GENA subscription and initial event', check_subscription, srv, runnable=described)
            group('bad input, server keeps answering', check_bad_input, srv)

            def shutdown():
                srv['proc'].send_signal(signal.SIGTERM)
                rc = srv['proc'].wait(WAIT)
                check(rc == 0, 'exit code %d after SIGTERM' % rc)
                srv['reader'].join(WAIT)  # the last lines may still be in the pipe
                check(srv['lines'][-1:] == ['Stopped.'], 'last output lines %s' % srv['lines'][-3:])
                if found:
                    check(wait_loop(lambda: state['gone']), 'no device-proxy-unavailable within %d s' % WAIT)
            group('SIGTERM: clean exit and byebye', shutdown)
        finally:
            if srv['proc'].poll() is None:
                srv['proc'].kill()
                srv['proc'].wait()
    print('\nBad-input answers:')
    for n in notes:
        print('  ' + n)
    print('\nSummary:')
    for name, ok, detail in results:
        print('  %s  %s%s' % ({True: 'PASS', False: 'FAIL', None: 'SKIP'}[ok], name,
                                ('\n        ' + detail) if detail else ''))
    passed = sum(1 for _, ok, _ in results if ok)
    print('%d of %d groups passed' % (passed, len(results)))
    return 0 if passed == len(results) else 1


if __name__ == '__main__':
    sys.exit(main())
