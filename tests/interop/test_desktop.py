#!/usr/bin/python3
"""Interop test: the desktop program on a display with a notification area, in a private network with
minidlna and gmediarender.

Usage: netns.sh run /usr/bin/python3 test_desktop.py PATH/TO/tovaly
The window's own end-to-end run is the program $TOVALY_DESKTOP_E2E (tests/ui/desktop_e2e.cpp); with
$TOVALY_SHOTS set, its screenshots are copied into that folder.
"""
import fcntl
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402
from peers import WAIT, Proc, check, group, poll  # noqa: E402

RENDERER_UUID, RENDERER_NAME = '5e1f0c1a-7a1e-4b7d-9f00-0000000000d1', 'Desk Renderer'
PEER_UUID, PEER_NAME = '4d696e69-444c-164e-9d41-0000000000d2', 'Desk Library'
E2E = os.environ.get('TOVALY_DESKTOP_E2E', '')


def display(work):
    """An X server of our own (no TCP) with a notification area; returns the environment to use it."""
    for n in range(90, 140):
        if not os.path.exists('/tmp/.X11-unix/X%d' % n) and not os.path.exists('/tmp/.X%d-lock' % n):
            break
    xvfb = Proc('Xvfb', ['Xvfb', ':%d' % n, '-screen', '0', '1280x800x24', '-nolisten', 'tcp'])
    check(poll(lambda: os.path.exists('/tmp/.X11-unix/X%d' % n) or not xvfb.alive()), 'Xvfb did not start')
    runtime = os.path.join(work, 'run')
    os.makedirs(runtime, mode=0o700)
    home = os.path.join(work, 'home')
    os.makedirs(home)
    env = dict(os.environ, DISPLAY=':%d' % n, XDG_RUNTIME_DIR=runtime, HOME=home, LANG='C.UTF-8',
               TOVALY_CONFIG=os.path.join(work, 'desktop.ini'), QT_QPA_PLATFORM='xcb')
    env.pop('WAYLAND_DISPLAY', None)
    tray = Proc('trayer', ['trayer', '--edge', 'top', '--align', 'right', '--widthtype', 'request', '--height', '24',
                           '--transparent', 'false', '--tint', '0x333333', '--SetDockType', 'true'], env=env)
    check(tray.alive(), 'trayer did not start')
    return env


def single_instance(tovaly, env, work):
    lock = os.path.join(env['XDG_RUNTIME_DIR'], 'tovaly-%d.lock' % os.getuid())
    sock = os.path.join(env['XDG_RUNTIME_DIR'], 'tovaly-%d.socket' % os.getuid())
    first = Proc('tovaly-1', [tovaly, '--show'], env=env)
    check(poll(lambda: os.path.exists(sock) or not first.alive()), 'the first copy does not listen:\n' + first.tail())
    # A newer copy tells the running one to quit and takes over once it has let go.
    second = Proc('tovaly-2', [tovaly, '-SHOW'], env=env)
    check(poll(lambda: not first.alive()), 'the first copy is still running:\n' + first.tail())
    check(first.proc.returncode == 0, 'the first copy ended with %s' % first.proc.returncode)
    check(poll(lambda: os.path.exists(sock)) and second.alive(), 'the second copy did not take over')
    # SIGTERM quits as the menu does: a clean exit.
    check(second.stop() == 0, 'SIGTERM did not end the program cleanly:\n' + second.tail())
    # A copy that holds the lock without listening (starting or ending): a new one gives up silently.
    with open(lock, 'a') as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        if os.path.exists(sock):
            os.unlink(sock)
        third = Proc('tovaly-3', [tovaly], env=env)
        check(poll(lambda: not third.alive()), 'the new copy did not give up while the lock is held')
        check(third.proc.returncode == 0 and not third.lines('all'),
              'it should end silently, not with %s:\n%s' % (third.proc.returncode, third.tail()))


def window_end_to_end(env, work, peer_udn, helper):
    shots = os.path.join(work, 'shots')
    os.makedirs(shots)
    e2e = Proc('desktop_e2e', [E2E], env=dict(env, E2E_SHOTS=shots, E2E_RENDERER='uuid:' + RENDERER_UUID,
                                              E2E_PEER_SERVER=peer_udn, TOVALY_META_HELPER=helper))
    try:
        rc = e2e.proc.wait(6 * WAIT)
    except subprocess.TimeoutExpired:
        rc = None
    e2e.stop()
    check(rc == 0, 'the window did not list, play and show the code (exit %s):\n%s' % (rc, e2e.tail(40)))
    if os.environ.get('TOVALY_SHOTS'):
        for name in ('desktop-main.png', 'desktop-player.png', 'desktop-qrcode.png'):
            shutil.copy(os.path.join(shots, name), os.environ['TOVALY_SHOTS'])


def installed(tovaly, work):
    """cmake --install into a folder of our own: the files a desktop needs, valid menu entries, and an installed
    program that keeps its settings in ~/.config/tovaly and shares ~/Videos until told otherwise."""
    build = os.path.dirname(os.path.dirname(tovaly))
    prefix = os.path.join(work, 'prefix')
    rc, out, err = peers.run(['cmake', '--install', build, '--prefix', prefix])
    check(rc == 0, 'cmake --install failed: %s%s' % (out, err))
    for rel in ('bin/tovaly', 'bin/tovaly-cli', 'share/applications/tovaly.desktop', 'share/tovaly/tovaly-autostart.desktop',
                'share/icons/hicolor/scalable/apps/tovaly.svg', 'share/icons/hicolor/48x48/apps/tovaly.png',
                'share/icons/hicolor/256x256/apps/tovaly.png'):
        check(os.path.isfile(os.path.join(prefix, rel)), '%s was not installed' % rel)
    entries = [os.path.join(prefix, 'share/applications/tovaly.desktop'),
               os.path.join(prefix, 'share/tovaly/tovaly-autostart.desktop')]
    rc, out, err = peers.run(['desktop-file-validate'] + entries)
    check(rc == 0 and 'error' not in (out + err), 'desktop-file-validate: %s%s' % (out, err))
    with open(entries[0]) as f:
        check('\nExec=tovaly --show\n' in f.read(), 'the menu entry does not start the program with its window')
    home = os.path.join(work, 'installed-home')
    os.makedirs(os.path.join(home, 'Videos', 'Holidays'))
    env = dict(os.environ, HOME=home)
    env.pop('TOVALY_CONFIG', None)
    env.pop('XDG_CONFIG_HOME', None)
    p = Proc('installed-serve', [os.path.join(prefix, 'bin/tovaly-cli'), 'serve'], env=env)
    check(p.wait_for(r'^Press Ctrl-C'), 'the installed program did not serve:\n' + p.tail())
    settings = os.path.join(home, '.config', 'tovaly', 'config.ini')
    check(p.find(r'Settings:\s+' + re.escape(settings) + '$'), 'settings not in ~/.config/tovaly:\n' + p.tail())
    check(p.find(r'Sharing:\s+' + re.escape(os.path.join(home, 'Videos')) + '/$'), 'not sharing ~/Videos:\n' + p.tail())
    check(p.stop() == 0, 'serve did not stop cleanly')
    with open(settings) as f:
        check('content_path=%s/Videos' % home in f.read(), 'the default folder was not kept in the settings')


def warm_cache(tovaly, env, work, share):
    """The folder as a machine has it that shared it before: its tags and covers in the metadata cache, so
    that the window's first listing names the song by its tag. (A first listing carries what is read within its
    moment; what comes later only reaches clients that follow the server's update ids, which the window does not.)"""
    srv = peers.serve(os.path.join(os.path.dirname(tovaly), 'tovaly-cli'), work, share, tag='warm', env=env)
    try:
        check(poll(lambda: 'Morning Light' in peers.fetch(srv.info['phone'] + 'browse/Music/').decode()),
              'the song\'s tags were never read:\n' + srv.tail())
    finally:
        srv.stop()


def body(tovaly, work):
    check(E2E and os.access(E2E, os.X_OK), 'TOVALY_DESKTOP_E2E does not name the end-to-end program')
    env = display(work)
    share = os.path.join(work, 'share')
    peers.write_files(share, {'Video/readme.txt': b'x'})
    # Tagged songs with covers: the tree shows their titles, the player the title, artist and cover.
    covers = os.path.join(work, 'covers')
    os.makedirs(covers)
    peers.cover_jpeg(os.path.join(covers, 'blue.jpg'), 'Blue Hours')
    peers.cover_jpeg(os.path.join(covers, 'harbour.jpg'), 'Harbour', '0x8ecae6', '0x023047')
    os.makedirs(os.path.join(share, 'Music'))
    peers.tagged_mp3(os.path.join(share, 'Music', 'track01.mp3'), 40, 'Morning Light', 'The Tovaly Ensemble',
                     'Blue Hours', 1, os.path.join(covers, 'blue.jpg'))
    with open(env['TOVALY_CONFIG'], 'w') as f:
        f.write('[setting]\ncontent_path=%s\n' % share)
    warm_cache(tovaly, env, work, share)
    media = os.path.join(work, 'peer-media')
    os.makedirs(os.path.join(media, 'Albums'))
    peers.tagged_mp3(os.path.join(media, 'Albums', 'one.mp3'), 5, 'Harbour Lights', 'Mara Quinn', 'Harbour', 2,
                     os.path.join(covers, 'harbour.jpg'))
    peer = peers.minidlna(work, media, PEER_UUID, PEER_NAME)
    peers.gmediarender(RENDERER_UUID, RENDERER_NAME)
    group('single instance: the newest copy takes over; a copy holding the lock alone makes it give up',
          single_instance, tovaly, env, work)
    group('installed: files, menu entries, settings in ~/.config/tovaly, ~/Videos shared', installed, tovaly, work)
    group('window: our server, minidlna and gmediarender listed; double-click plays; QR code read back',
          window_end_to_end, env, work, peer.info['udn'], os.path.join(os.path.dirname(tovaly), 'tovaly-meta'))


if __name__ == '__main__':
    sys.exit(peers.main(body, tools=('Xvfb', 'trayer', 'zbarimg', 'minidlnad', 'gmediarender', 'ffmpeg')))
