#!/usr/bin/python3
"""The largest HTTP bodies that the real peers send a control point: gmediarender's GENA events (LastChange)
while it plays, and minidlna's Browse answers of pages of 50 with long names. The stack's content limit
(device/stack.h) must stay well above them.

  tests/interop/netns.sh run /usr/bin/python3 bench/message_sizes.py     (as root; about 20 s)
"""
import http.client
import os
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'interop'))
import peers  # noqa: E402
from peers import ADDR, AVT, CDS_TYPE, RCS  # noqa: E402

RENDERER = ('5f0c2c6e-0000-4000-8000-00000000f00d', 'Sizes renderer', 49494)


def events_of_gmediarender(tmp):
    share = os.path.join(tmp, 'media')
    title = 'A title with many words ' * 8 + '&<>"\''
    peers.write_files(share, {'song.wav': peers.wav_bytes(3)})
    sizes, lock = [], threading.Lock()

    def keep(request, body):
        with lock:
            sizes.append(len(body))
        return 200, b'', {}
    httpd = peers.http_server(keep)
    files = peers.http_server(lambda request, body: (200, open(os.path.join(share, 'song.wav'), 'rb').read(),
                                                     {'Content-Type': 'audio/x-wav'}))
    r = peers.gmediarender(*RENDERER)
    r.info.update(peers.describe(r.info['desc_url']))
    desc = ET.fromstring(peers.fetch(r.info['desc_url']))
    events = {s.findtext(peers.NS_DEV + 'serviceType'): s.findtext(peers.NS_DEV + 'eventSubURL')
              for s in desc.iter(peers.NS_DEV + 'service')}
    for service in (AVT, RCS):
        c = http.client.HTTPConnection(ADDR, r.info['port'], timeout=10)
        c.request('SUBSCRIBE', events[service], headers={
            'CALLBACK': '<http://%s:%d/>' % (ADDR, httpd.server_address[1]), 'NT': 'upnp:event',
            'TIMEOUT': 'Second-300'})
        c.getresponse().read()
    url = 'http://%s:%d/song.wav' % (ADDR, files.server_address[1])
    meta = ('<DIDL-Lite xmlns="urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/" xmlns:dc="http://purl.org/dc/elements/'
            '1.1/" xmlns:upnp="urn:schemas-upnp-org:metadata-1-0/upnp/"><item id="x" parentID="0" restricted="1">'
            '<dc:title>%s</dc:title><upnp:class>object.item.audioItem</upnp:class><res protocolInfo="http-get:*:'
            'audio/x-wav:*">%s</res></item></DIDL-Lite>' % (escape(title), url))
    soap = lambda service, action, args=(): peers.soap(r.info['port'], r.info['control'][service], service, action,
                                                       (('InstanceID', '0'),) + args)
    soap(AVT, 'SetAVTransportURI', (('CurrentURI', url), ('CurrentURIMetaData', escape(meta))))
    soap(AVT, 'Play', (('Speed', '1'),))
    time.sleep(4)
    soap(RCS, 'SetVolume', (('Channel', 'Master'), ('DesiredVolume', '40')))
    soap(AVT, 'Stop')
    time.sleep(1)
    r.stop()
    return sizes


def browse_of_minidlna(tmp):
    share = os.path.join(tmp, 'peer')
    peers.write_files(share, {'Music/%03d %s.wav' % (i, 'a long file name with words ' * 8): peers.wav_bytes(1)
                              for i in range(60)})
    mini = peers.minidlna(tmp, share, '4d696e69-444c-164e-9d41-000000b3e0c9', 'Sizes')
    mini.wait_for('Initial file scan completed', which='all')
    sizes = []
    for oid in ('64', '64$0'):
        status, _, body = peers.soap_post(8200, '/ctl/ContentDir', '%s#Browse' % CDS_TYPE, peers.envelope(
            'Browse', CDS_TYPE, (('ObjectID', oid), ('BrowseFlag', 'BrowseDirectChildren'), ('Filter', '*'),
                                 ('StartingIndex', '0'), ('RequestedCount', '50'), ('SortCriteria', ''))))
        sizes.append((oid, status, len(body)))
    mini.stop()
    return sizes


def main():
    with tempfile.TemporaryDirectory() as tmp:
        events = events_of_gmediarender(tmp)
        print('gmediarender: %d events, largest body %d bytes' % (len(events), max(events or [0])))
        for oid, status, size in browse_of_minidlna(tmp):
            print('minidlna: Browse of 50 in %s: HTTP %s, %d bytes' % (oid, status, size))
    return 0


if __name__ == '__main__':
    sys.exit(main())
