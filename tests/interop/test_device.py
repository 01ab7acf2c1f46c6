#!/usr/bin/python3
"""Interop test: tovaly-cli serve seen by GUPnP and by hand-written HTTP/GENA requests.

Usage: netns.sh run /usr/bin/python3 test_device.py PATH/TO/tovaly-cli
"""
import http.client
import os
import re
import sys
import threading
import urllib.parse
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402
from peers import ADDR, CDS_TYPE, CM_TYPE, MS_TYPE, NS_DEV, WAIT, GObject, GUPnP, check, envelope, group  # noqa: E402

NS_SCPD = '{urn:schemas-upnp-org:service-1-0}'
NS_DLNA = '{urn:schemas-dlna-org:device-1-0}'
NS_EVENT = '{urn:schemas-upnp-org:event-1-0}'
MODEL = 'Praxen UPNP Media Server'
URL = re.compile(r'https?://\S+$')
CM_ACTIONS = {'GetCurrentConnectionIDs', 'GetCurrentConnectionInfo', 'GetProtocolInfo', 'PrepareForConnection',
              'ConnectionComplete'}
CDS_ACTIONS = {'GetSearchCapabilities', 'GetSortCapabilities', 'GetSystemUpdateID'}
SOURCE_HEAD = ['http-get:*:*:*', 'http-get:*:audio/3gpp:DLNA.ORG_PN=AMR_3GPP']
SOURCE_COUNT = 101


def protocol_lists(source, sink, context):
    entries = (source or '').split(',')
    check(len(entries) == SOURCE_COUNT and entries[:2] == SOURCE_HEAD and all(len(e.split(':')) >= 4 for e in entries)
          and sink == '', '%s: Source of %d entries %s..., Sink %r; want %d entries from %s, an empty Sink'
          % (context, len(entries), entries[:2], sink, SOURCE_COUNT, SOURCE_HEAD))


def good_protocol_info(port, context):
    out = peers.soap(port, '/upnp/control/cm', CM_TYPE, 'GetProtocolInfo')
    protocol_lists(out.get('Source'), out.get('Sink'), context)


def check_description(srv, st):
    info = srv.info
    raw = peers.fetch(info['desc_url'])
    check(b'xmlns:dlna="urn:schemas-dlna-org:device-1-0"' in raw, 'dlna namespace prefix not declared as dlna')
    root = ET.fromstring(raw)
    dev = root.find(NS_DEV + 'device')
    check(root.tag == NS_DEV + 'root' and dev is not None, 'root element %s, <device> %s' % (root.tag, dev))
    expected = [(NS_DLNA + 'X_DLNADOC', 'DMS-1.50'), ('deviceType', MS_TYPE), ('friendlyName', info['name']),
                ('manufacturer', 'Mr. Zarn'), ('manufacturerURL', URL), ('modelDescription', MODEL),
                ('modelName', MODEL), ('modelNumber', '1.5.0'), ('modelURL', URL), ('serialNumber', '1'),
                ('UDN', info['udn']), ('UPC', '1234'), ('ACK', re.compile(re.escape(ADDR) + r':\d{1,5}$')),
                ('serviceList', None), ('presentationURL', info['phone'])]
    expected = [(t if t.startswith('{') else NS_DEV + t, want) for t, want in expected]
    check([c.tag for c in dev] == [t for t, _ in expected], 'device children are %s' % [c.tag for c in dev])
    for el, (tag, want) in zip(dev, expected):
        text = (el.text or '').strip()
        check(want is None or (want.match(text) if hasattr(want, 'match') else text == want),
              '%s is %r, want %r' % (tag, text, want))
    check(root[-1].tag == NS_DEV + 'URLBase' and root[-1].text == info['base'],
          'last child of root should be URLBase %s, is %s %r' % (info['base'], root[-1].tag, root[-1].text))
    services = {s.findtext(NS_DEV + 'serviceType'): {c.tag[len(NS_DEV):]: c.text for c in s}
                for s in dev.find(NS_DEV + 'serviceList')}
    check(set(services) == {CM_TYPE, CDS_TYPE}, 'services are %s' % sorted(services))
    for stype, short, actions in ((CM_TYPE, 'cm', CM_ACTIONS), (CDS_TYPE, 'cds', CDS_ACTIONS)):
        want = {'serviceId': 'urn:upnp-org:serviceId:' + stype.split(':')[3], 'SCPDURL': short + '.xml',
                'controlURL': '/upnp/control/' + short, 'eventSubURL': '/upnp/event/' + short}
        for k, v in want.items():
            check(services[stype].get(k) == v, '%s %s is %r, want %r' % (short, k, services[stype].get(k), v))
        st['scpd_' + short] = check_scpd(urllib.parse.urljoin(info['base'], short + '.xml'), actions)


def check_scpd(url, want_actions):
    root = ET.fromstring(peers.fetch(url))
    check(root.tag == NS_SCPD + 'scpd', '%s: root is %s' % (url, root.tag))
    variables = {}
    for sv in root.iterfind('%sserviceStateTable/%sstateVariable' % (NS_SCPD, NS_SCPD)):
        name = sv.findtext(NS_SCPD + 'name')
        check(name and sv.findtext(NS_SCPD + 'dataType'), '%s: stateVariable without name/dataType' % url)
        check(name not in variables, '%s: state variable %s declared twice' % (url, name))
        variables[name] = sv.get('sendEvents', 'yes')
    actions = set()
    for a in root.iterfind('%sactionList/%saction' % (NS_SCPD, NS_SCPD)):
        actions.add(a.findtext(NS_SCPD + 'name'))
        for arg in a.iterfind('%sargumentList/%sargument' % (NS_SCPD, NS_SCPD)):
            rel = arg.findtext(NS_SCPD + 'relatedStateVariable')
            check(arg.findtext(NS_SCPD + 'direction') in ('in', 'out') and rel in variables,
                  '%s: %s has direction %r, related variable %r' % (url, a.findtext(NS_SCPD + 'name'),
                                                                    arg.findtext(NS_SCPD + 'direction'), rel))
    check(want_actions <= actions, '%s: actions %s lack %s' % (url, sorted(actions), sorted(want_actions - actions)))
    return {'actions': actions, 'evented': {n for n, e in variables.items() if e == 'yes'}}


def check_gupnp(watch, st):
    sp = watch.dev.get_service(CM_TYPE)
    check(sp is not None, 'GUPnP device proxy has no ConnectionManager')
    out = peers.gupnp_async('introspection', lambda done: sp.introspect_async(None, done),
                            lambda proxy, res: proxy.introspect_finish(res))
    check('error' not in out, 'GUPnP introspection failed: %s' % out.get('error'))
    names = set(out['value'].list_action_names())
    check(names == st['scpd_cm']['actions'], 'GUPnP sees actions %s' % sorted(names))
    args = [(a.name, a.direction, a.related_state_variable)
            for a in out['value'].get_action('GetProtocolInfo').arguments]
    o = GUPnP.ServiceActionArgDirection.OUT
    check(args == [('Source', o, 'SourceProtocolInfo'), ('Sink', o, 'SinkProtocolInfo')],
          'GetProtocolInfo arguments as GUPnP sees them: %s' % args)
    outs = [('Source', GObject.TYPE_STRING), ('Sink', GObject.TYPE_STRING)]
    res = peers.gupnp_call(sp, 'GetProtocolInfo', outs=outs)
    check('error' not in res, 'GUPnP GetProtocolInfo failed: %s' % res.get('error'))
    protocol_lists(res['value'][0], res['value'][1] or '', 'GUPnP GetProtocolInfo')
    err = peers.gupnp_call(sp, 'getprotocolinfo', outs=outs).get('error')
    check(err is not None and err.code == 401, 'GUPnP getprotocolinfo: want fault 401, got %s' % err)


def check_subscription(srv, st):
    events, cond = [], threading.Condition()  # all of them: the initial one may come before the SUBSCRIBE answer

    def keep(request, body):
        with cond:
            events.append(({k.upper(): v for k, v in request.headers.items()}, body))
            cond.notify_all()
        return 200, b'', {}
    httpd = peers.http_server(keep)

    def gena(method, headers):
        c = http.client.HTTPConnection(ADDR, srv.info['port'], timeout=WAIT)
        c.request(method, '/upnp/event/cm', headers=headers)
        r = c.getresponse()
        r.read()
        c.close()
        return r
    try:
        r = gena('SUBSCRIBE', {'CALLBACK': '<http://%s:%d/>' % (ADDR, httpd.server_address[1]), 'NT': 'upnp:event',
                               'TIMEOUT': 'Second-300'})
        sid = r.getheader('SID', '')
        check(r.status == 200 and sid.startswith('uuid:') and re.match(r'Second-\d+$', r.getheader('TIMEOUT', '')),
              'SUBSCRIBE answered %d, SID %r, TIMEOUT %r' % (r.status, sid, r.getheader('TIMEOUT')))
        with cond:
            cond.wait_for(lambda: any(h.get('SID') == sid for h, _ in events), WAIT)
            mine = [(h, b) for h, b in events if h.get('SID') == sid]
        check(mine, 'no initial NOTIFY for %s within %d s' % (sid, WAIT))
        h, body = mine[0]
        nt = (h.get('NT'), h.get('NTS'), h.get('SEQ'))
        check(nt == ('upnp:event', 'upnp:propchange', '0'), 'NOTIFY headers NT/NTS/SEQ = %s' % (nt,))
        root = ET.fromstring(body)
        check(root.tag == NS_EVENT + 'propertyset', 'NOTIFY root is %s' % root.tag)
        props = {var.tag: var.text or '' for p in root.iterfind(NS_EVENT + 'property') for var in p}
        check(set(props) == st['scpd_cm']['evented'], 'evented variables %s, SCPD says %s'
              % (sorted(props), sorted(st['scpd_cm']['evented'])))
        check(props.get('CurrentConnectionIDs') == '0', 'CurrentConnectionIDs %r' % props.get('CurrentConnectionIDs'))
        protocol_lists(props.get('SourceProtocolInfo'), props.get('SinkProtocolInfo'), 'initial event')
        r = gena('SUBSCRIBE', {'SID': sid, 'TIMEOUT': 'Second-300'})
        check(r.status == 200 and r.getheader('SID') == sid, 'renewal: %d SID %r' % (r.status, r.getheader('SID')))
        check(gena('UNSUBSCRIBE', {'SID': sid}).status == 200, 'UNSUBSCRIBE failed')
    finally:
        httpd.shutdown()
        httpd.server_close()


def check_bad_input(srv):
    port, action, nope = srv.info['port'], CM_TYPE + '#GetProtocolInfo', 'urn:schemas-upnp-org:service:Nope:1'
    good_protocol_info(port, 'before bad input')
    cases = [('empty body', '/upnp/control/cm', action, b''),
             ('garbage body', '/upnp/control/cm', action, b'this is <not> & xml at all\x00\xff'),
             ('unknown control URL', '/upnp/control/nope', action, envelope('GetProtocolInfo', CM_TYPE)),
             ('unknown service type', '/upnp/control/cm', nope + '#GetProtocolInfo', envelope('GetProtocolInfo', nope)),
             ('no SOAPACTION', '/upnp/control/cm', None, envelope('GetProtocolInfo', CM_TYPE)),
             ('300 KiB body', '/upnp/control/cm', action,
              envelope('GetProtocolInfo', CM_TYPE, '<Pad>%s</Pad>' % ('x' * 300 * 1024))),
             ('action getprotocolinfo', '/upnp/control/cm', CM_TYPE + '#getprotocolinfo',
              envelope('getprotocolinfo', CM_TYPE)),
             ('action Frobnicate', '/upnp/control/cm', CM_TYPE + '#Frobnicate', envelope('Frobnicate', CM_TYPE))]
    for name, path, soapaction, body in cases:
        status, _, rbody = peers.soap_post(port, path, soapaction, body)
        if name.startswith('action '):
            check(status == 500 and re.search(rb'Fault>.*errorCode>401</', rbody, re.S),
                  '%s: want HTTP 500 fault 401, got HTTP %s %r' % (name, status, rbody[:300]))
        check(status is not None and status >= 400, '%s: want an HTTP error or a fault, got HTTP %s %r'
              % (name, status, rbody[:200]))
        good_protocol_info(port, 'after ' + name)


def main(cli, tmp):
    st = {}
    os.makedirs(os.path.join(tmp, 'share', 'sub'))
    srv = peers.serve(cli, tmp, os.path.join(tmp, 'share'))
    watch = peers.Watch(srv.info['udn'])
    found = group('GUPnP finds the server by SSDP', lambda: check(
        watch.found().get_location() == srv.info['desc_url'], 'LOCATION %s' % watch.dev.get_location()))
    described = group('description and SCPDs', check_description, srv, st)
    group('GUPnP introspection and async GetProtocolInfo, fault 401', check_gupnp, watch, st,
          runnable=found and described)
    group('GENA subscription and initial event', check_subscription, srv, st, runnable=described)
    group('bad input refused, the server keeps answering', check_bad_input, srv)
    group('SIGTERM: clean exit and byebye', lambda: peers.clean_exit(srv) or check(
        not found or peers.glib_wait(lambda: watch.gone), 'GUPnP saw no byebye within %d s' % WAIT))


if __name__ == '__main__':
    sys.exit(peers.main(main, gi=True))
