#!/usr/bin/python3
"""Interop test: tovaly-cli browse and play against minidlna, gmediarender and tovaly-cli serve.

Usage: netns.sh run /usr/bin/python3 test_playback.py PATH/TO/tovaly-cli
"""
import json
import os
import re
import signal
import sys
import time
from urllib.parse import quote

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402
from peers import ADDR, AVT, RCS, WAIT, check, group, note, poll  # noqa: E402

RENDERER = ('5e1f0c1a-7a1e-4b7d-9f00-000000000001', 'Playback Renderer', 49494)
TWINS = [('5e1f0c1a-7a1e-4b7d-9f00-000000000002', 'Twin Renderer', 49495),
         ('5e1f0c1a-7a1e-4b7d-9f00-000000000003', 'Twin Renderer', 49496)]
PEER_NAME, PEER_UUID, PEER_PORT = 'Peer Library', '4d696e69-444c-164e-9d41-0000000000a1', 8200
PEER_UDN = 'uuid:' + PEER_UUID
# Relative path -> seconds of silence; short, so that the tracks played to the end keep the test quick.
OUR_FILES = {'Music/short.wav': 10, 'Music/Long/long.wav': 45, 'Spoken/notes.wav': 2, 'Spoken/Talks/intro.wav': 3}
PEER_FILES = {'Albums/Live/encore.wav': 8, 'Singles/first.wav': 5, 'Singles/second.wav': 6, 'top.wav': 3}
STATUS = re.compile(r'([A-Z_]+) +(\d+:\d\d:\d\d) / (\d+:\d\d:\d\d) ?(vol \d+|\(volume unknown\))?\x1b\[K')


def seconds(clock):
    h, m, s = (int(x) for x in clock.split(':'))
    return h * 3600 + m * 60 + s


def rsoap(r, service, action, args=()):
    return peers.soap(r.info['port'], r.info['control'][service], service, action, (('InstanceID', '0'),) + args)


def transport_state(r):
    return rsoap(r, AVT, 'GetTransportInfo')['CurrentTransportState']


def rel_time(r):
    """The renderer's position (whole seconds) and when the answer came."""
    return seconds(rsoap(r, AVT, 'GetPositionInfo')['RelTime']), time.monotonic()


def volume(r):
    return int(rsoap(r, RCS, 'GetVolume', (('Channel', 'Master'),))['CurrentVolume'])


def renderer_is(r, want, timeout=WAIT):
    check(poll(lambda: transport_state(r) == want, timeout, 0.2), 'renderer %s, not %s' % (transport_state(r), want))


def renderer_ready(r):
    d = peers.describe(r.info['desc_url'])
    check(d['udn'] == r.info['udn'] and AVT in d['control'] and RCS in d['control'],
          '%s: UDN %r, services %s' % (r.name, d['udn'], sorted(d['control'])))
    r.info['control'] = d['control']


def cli_run(st, *args, timeout=2 * WAIT):
    return peers.run([st['cli'], '--config', st['cfg']] + list(args) + ['--address', ADDR], timeout)


def walk(st, server, root):
    """Every container from root down, through `browse --json`: id -> its entries."""
    tree, todo = {}, [root]
    while todo:
        oid = todo.pop(0)
        check(len(tree) < 50, 'more than 50 containers below %r' % root)
        rc, out, err = cli_run(st, 'browse', server, oid, '--json')
        check(rc == 0, 'browse %r: exit %d\n%s' % (oid, rc, err))
        tree[oid] = json.loads(out)
        todo += [e['id'] for e in tree[oid] if e['type'] == 'container']
    return tree


def folders(top):
    """Folder path ('' is the top) -> (sorted sub-folder names, sorted file names)."""
    return {'' if d == top else os.path.relpath(d, top): (sorted(ds), sorted(fs)) for d, ds, fs in os.walk(top)}


def check_table(st, server, oid, entries):
    """The table form lists what --json lists."""
    rc, out, err = cli_run(st, 'browse', server, oid)
    want = []
    for e in entries:
        want += ['[%s] %s' % (e['type'], e['title']), '    id: %s' % e['id']] + (
            ['    class: %s' % e['class'], '    url: %s' % e['url']] if e['type'] == 'item' else [])
        # Then what the server says of an item, where it says it.
        want += ['    %s: %s' % (name, e.get(key)) for name, key in (
            ('artist', 'artist'), ('album', 'album'), ('duration', 'durationText'), ('art', 'albumArtURI'),
            ('subtitle', 'subtitle')) if e.get(key)]
    want.append('%d %s in "%s" of %s' % (len(entries), 'entry' if len(entries) == 1 else 'entries', oid, server))
    check(rc == 0 and out.splitlines() == want, 'browse %r table: exit %d\n%s%s\nwant:\n%s' % (
        oid, rc, out, err, '\n'.join(want)))


def check_browse(st, server, root, share, files, peer):
    """Containers from root down mirror the folders of share (minidlna's folder view drops the extensions and
    names objects parent$n); every item is audio, fetched from its URL it is the file."""
    tree, rel_of, want, ids = walk(st, server, root), {root: ''}, folders(share), {}
    for oid, entries in tree.items():
        for e in entries:
            item = e['type'] == 'item'
            rel = rel_of[e['id']] = os.path.join(rel_of[oid], e['title'] + ('.wav' if peer and item else ''))
            check(re.fullmatch(re.escape(oid) + r'\$[^$]+', e['id']) if peer else e['id'] == rel, 'id %r' % e['id'])
            if item:
                ids[rel], pi = e['id'], e['protocolInfo'].split(':')
                url = 'http://%s:%d/' % (ADDR, PEER_PORT) if peer else st['srv'].info['media_base'] + quote(rel)
                check(e['url'].startswith(url) and (peer or e['url'] == url), 'url %r, not %r' % (e['url'], url))
                check(e['class'].startswith('object.item.audioItem') and len(pi) == 4 and pi[:2] == ['http-get', '*']
                      and pi[2] in ('audio/x-wav', 'audio/wav', 'audio/wave'), '%s: %s, %s' % (rel, e['class'], pi))
                check(e['duration'] is None and not peer or abs((e['duration'] or 0) - files[rel]) < 0.5,
                      '%s: duration %r, the file has %d s' % (rel, e['duration'], files[rel]))  # minidlna: the header's
                with open(os.path.join(share, rel), 'rb') as f:
                    check(peers.fetch(e['url']) == f.read(), '%s: GET %s is not the file' % (rel, e['url']))
        got = [(e['type'], os.path.basename(rel_of[e['id']])) for e in entries]
        dirs, names = want[rel_of[oid]]
        # Folders first, then files; ours in this order (these names sort alike in any order), minidlna's in any.
        want_kids = [('container', d) for d in dirs] + [('item', n) for n in names]
        check((sorted(got) if peer else got) == want_kids, '%r: %s, want %s' % (oid, got, want_kids))
    check(sorted(ids) == sorted(files), 'items %s, want %s' % (sorted(ids), sorted(files)))
    return tree, ids


def check_browse_peer(st):
    tree, st['peer_ids'] = check_browse(st, PEER_UDN, '64', st['peer_share'], PEER_FILES, True)
    singles = st['peer_ids']['Singles/first.wav'].rsplit('$', 1)[0]
    check_table(st, PEER_NAME, singles, tree[singles])


def check_browse_ours(st):
    tree, _ = check_browse(st, st['srv'].info['udn'], '0', st['our_share'], OUR_FILES, False)
    check_table(st, st['srv'].info['name'], 'Music', tree['Music'])


def play_to_end(st, renderer, server, item_id, secs):
    r = st['renderer']
    rc, out, err = cli_run(st, 'play', renderer, server, item_id, timeout=secs + 60)
    lines, context = out.splitlines(), 'exit %d, stdout:\n%s\nstderr:\n%s' % (rc, out, err[-1500:])
    check(rc == 0 and lines and re.match(r'Playing ".+" on "%s"$' % re.escape(r.info['name']), lines[0])
          and lines[-1] == 'Stopped.', context)
    states = [ln[6:] for ln in lines if ln.startswith('state ')]
    check('PLAYING' in states and states[-1] == 'STOPPED', 'no "state PLAYING" then STOPPED; ' + context)
    # Around the start gmediarender may still report the previous track's duration (seen even just
    # after PLAYING, at position 0): judge the duration from the lines where the track has moved on.
    pos = [re.match(r'position (\d+:\d\d:\d\d) / (\d+:\d\d:\d\d)$', ln)
           for ln in lines[lines.index('state PLAYING'):] if ln.startswith('position ')]
    check(all(pos), 'malformed position line; ' + context)
    pos = [(seconds(m.group(1)), seconds(m.group(2))) for m in pos]
    played = [p for p, d in pos if d]
    check(len(set(played)) >= 3 and played == sorted(played), 'positions do not advance; ' + context)
    check({d for p, d in pos if d and p > 0} == {secs}, 'duration is not the file\'s %d s; %s' % (secs, context))
    check(played[-1] >= secs - 3, 'the last position %d is far from the end %d; %s' % (played[-1], secs, context))
    check(transport_state(r) == 'STOPPED', 'renderer is %s afterwards' % transport_state(r))
    note('%s: states %s, positions %d..%d of %d' % (item_id, ' -> '.join(states), played[0], played[-1], secs))


def check_signals(st):
    """SIGINT and SIGTERM stop the renderer and exit 0."""
    r = st['renderer']
    for sig in (signal.SIGINT, signal.SIGTERM):
        p = peers.Proc('play-' + sig.name, [st['cli'], '--config', st['cfg'], 'play', r.info['udn'],
                                            st['srv'].info['udn'], 'Music/Long/long.wav', '--address', ADDR])
        check(p.wait_for(r'position 0:00:0[1-9]') and p.alive(), 'playing did not start:\n%s' % p.tail())
        check(transport_state(r) == 'PLAYING', 'renderer is %s while the program plays' % transport_state(r))
        rc = p.stop(sig)
        check(rc == 0 and p.lines()[-1:] == ['Stopped.'], '%s: exit %s, output:\n%s' % (sig.name, rc, p.tail()))
        renderer_is(r, 'STOPPED', 10)


def status(t):
    """The last status line drawn: (state, position, duration, volume note) or (None,)."""
    found = STATUS.findall(t.screen().decode('utf-8', 'replace'))
    return (found[-1][0], seconds(found[-1][1]), seconds(found[-1][2]), found[-1][3]) if found else (None,)


def shows(t, state, extra=lambda s: True, timeout=WAIT):
    check(poll(lambda: status(t)[0] == state and extra(status(t)), timeout, 0.05),
          'the status line did not show %s (last: %s)' % (state, status(t)))


def check_terminal(st):
    r, rel = st['renderer'], 'Music/Long/long.wav'
    t = peers.Proc('play-terminal', [st['cli'], '--config', st['cfg'], 'play', r.info['udn'], st['srv'].info['udn'],
                                     rel, '--address', ADDR], pty=True)
    shows(t, 'PLAYING', lambda s: s[1] >= 1 and s[2] == OUR_FILES[rel])
    renderer_is(r, 'PLAYING')
    check(b'Playing "long.wav"' in t.screen(), 'no "Playing" line: %r' % t.screen()[:200])
    check(not re.search(rb'(^|\n)(state|position) ', t.screen()), 'line-per-change output in terminal mode')
    # Pause: the renderer pauses and the position stands still; play: it moves on.
    os.write(t.master, b' ')
    renderer_is(r, 'PAUSED_PLAYBACK')
    shows(t, 'PAUSED_PLAYBACK')
    still = [time.sleep(0.4) or rel_time(r)[0] for _ in range(4)]
    check(len(set(still)) == 1, 'position moves while paused: %s' % still)
    os.write(t.master, b' ')
    renderer_is(r, 'PLAYING')
    shows(t, 'PLAYING')
    check(poll(lambda: rel_time(r)[0] > still[0], 10, 0.2), 'position does not move after play')
    # Seek +10 s from the position the status line shows: press just after it changed, so that it is the one
    # the program holds when it reads the key.
    shown = status(t)[1]
    check(poll(lambda: status(t)[1] != shown, 10, 0.01), 'the status line position does not move')
    target = status(t)[1] + 10
    os.write(t.master, b'\033[C')
    t_key, samples = time.monotonic(), []  # (position, seconds after the key), once the jump is seen

    def landed():
        p, at = rel_time(r)
        if p >= target - 5:
            samples.append((p, at - t_key))
        return len(samples) >= 4
    check(poll(landed, 15, 0.25), 'the position did not jump towards %d: %s' % (target, samples))
    # Position p at e s after the key (1 s resolution): the landing point lies in (p - 0.5 - e, p + 1].
    lo, hi = max(p - 0.5 - e for p, e in samples), min(p + 1 for p, e in samples)
    note('seek to %d landed in [%.1f, %.1f]' % (target, lo, hi))
    check(lo <= target + 1 and hi >= target - 1, 'seek to %d landed in [%.1f, %.1f] (%s)' % (target, lo, hi, samples))
    shows(t, 'PLAYING', lambda s: s[1] >= target - 1)
    # Volume - then + in steps of 5 (gmediarender starts at 100).
    v0 = volume(r)
    for k, want in ((b'-', v0 - 5), (b'+', v0)):
        os.write(t.master, k)
        check(poll(lambda: volume(r) == want, 10, 0.2), '%r: volume %d, want %d' % (k, volume(r), want))
        shows(t, 'PLAYING', lambda s: s[3] == 'vol %d' % want)
    # Quit: the program stops the renderer and exits 0.
    os.write(t.master, b'q')
    check(poll(lambda: not t.alive()), 'q: the program did not exit within %d s' % WAIT)
    rc = t.stop()
    check(rc == 0 and t.screen().rstrip().endswith(b'Stopped.'), 'q: exit %d, output ends %r' % (rc, t.screen()[-80:]))
    renderer_is(r, 'STOPPED', 10)


def check_errors(st, cases, renderers, fresh=False):
    """Each case: arguments of play, what stderr must say (patterns). Non-zero exit, nothing plays."""
    for args, patterns in cases:
        rc, out, err = cli_run(st, 'play', *args)
        check(rc != 0 and all(re.search(p, err) for p in patterns) and 'Playing' not in out,
              'play %s: exit %d, stdout %r, stderr does not say %r:\n%s' % (args, rc, out, patterns, err))
        note('play %s: exit %d: %s' % (' '.join(args), rc, err.strip().splitlines()[0]))
    for r in renderers:
        check(transport_state(r) == 'STOPPED', 'the renderer %s is %s' % (r.info['udn'], transport_state(r)))
        check(not fresh or not rsoap(r, AVT, 'GetMediaInfo').get('CurrentURI'), '%s got a track' % r.info['udn'])


def main(cli, tmp):
    st = {'cli': cli, 'cfg': os.path.join(tmp, 'client.ini'), 'our_share': os.path.join(tmp, 'ours'),
          'peer_share': os.path.join(tmp, 'peer'), 'peer_ids': {}}
    peers.write_files(st['our_share'], {rel: peers.wav_bytes(s) for rel, s in OUR_FILES.items()})
    peers.write_files(st['peer_share'], {rel: peers.wav_bytes(s) for rel, s in PEER_FILES.items()})
    r = st['renderer'] = peers.gmediarender(*RENDERER)
    mini = peers.minidlna(tmp, st['peer_share'], PEER_UUID, PEER_NAME, PEER_PORT)

    def peers_up():
        st['srv'] = peers.serve(cli, tmp, st['our_share'])
        renderer_ready(r)
        # minidlna answers while it scans; browse only what the finished scan holds.
        check(mini.wait_for('Initial file scan completed', which='all') and mini.alive(),
              'minidlna did not finish its scan within %d s' % WAIT)
    up = group('peers and our server are up', peers_up)
    b_peer = group('browse minidlna\'s folder view "64" to the leaves', check_browse_peer, st, runnable=up)
    group('browse our server from "0" to the leaves', check_browse_ours, st, runnable=up)
    # By friendly names: the renderer's and our server's.
    group('play an item of our server to its end (no terminal)', lambda: play_to_end(
        st, r.info['name'], st['srv'].info['name'], 'Music/short.wav', OUR_FILES['Music/short.wav']), runnable=up)
    group('play an item of minidlna to its end (no terminal)', lambda: play_to_end(
        st, r.info['udn'], PEER_UDN, st['peer_ids']['Albums/Live/encore.wav'], PEER_FILES['Albums/Live/encore.wav']),
        runnable=up and b_peer)
    group('SIGINT and SIGTERM stop the playback', check_signals, st, runnable=up)
    group('terminal: pause, play, seek +10 s, volume -/+, quit', check_terminal, st, runnable=up)
    srv_udn = st['srv'].info['udn'] if up else ''
    group('unknown renderer, unknown item, a container', check_errors, st, [
        (['No Such Renderer', srv_udn, 'Music/short.wav', '--timeout', '3'], [r'no renderer named "No Such Renderer"']),
        (['uuid:00000000-0000-0000-0000-00000000dead', srv_udn, 'Music/short.wav', '--timeout', '3'],
         [r'no renderer named']),
        ([r.info['udn'], srv_udn, 'Music/nothing.wav'], [r'does not describe item "Music/nothing.wav"']),
        ([r.info['udn'], PEER_UDN, '64$77$5'], [r'does not describe item "64\$77\$5"']),
        ([r.info['udn'], srv_udn, 'Music'], [r'container'])], [r], runnable=up)
    twins = [peers.gmediarender(*tw) for tw in TWINS]

    def ambiguous():
        for tw in twins:
            renderer_ready(tw)
        # --timeout 2 asks for answers within 1 s, well inside the time given to a second device of a name.
        check_errors(st, [(['Twin Renderer', srv_udn, 'Music/short.wav', '--timeout', '2'],
                           [r'matches several renderers'] + [re.escape(tw.info['udn']) for tw in twins])],
                     twins, fresh=True)
    group('a renderer name two renderers have', ambiguous, runnable=up)
    group('our server: clean exit on SIGTERM', peers.clean_exit, st.get('srv'), runnable=up)


if __name__ == '__main__':
    sys.exit(peers.main(main, tools=('gmediarender', 'minidlnad')))
