#!/usr/bin/python3
"""Interop test: the Debian package, extracted into a folder of its own: its files, its entries, pages and units as
the system's tools see them, and its programs run as the units run them.

Usage: netns.sh run /usr/bin/python3 test_package.py PATH/TO/tovaly-cli
The package is build/tovaly_VERSION_ARCH.deb of this tree (scripts/package.sh; scripts/test.sh builds it before the
tests), VERSION being what PATH/TO/tovaly-cli --version says. No systemd runs here as PID 1, so the system service's
command line runs as an unprivileged user under strace, and the system calls it makes are checked against the units'
filters.
"""
import os
import re
import shlex
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402
from peers import CDS_TYPE, WAIT, Proc, check, group, poll  # noqa: E402

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOLS = ['dpkg-deb', 'dpkg', 'desktop-file-validate', 'man', 'systemd-analyze', 'strace', 'setpriv', 'unshare',
         'mount']
SYSTEM_UNIT = 'lib/systemd/system/tovaly-server.service'
USER_UNIT = 'usr/lib/systemd/user/tovaly-cli.service'
MENU = 'usr/share/applications/tovaly.desktop'
AUTOSTART = 'usr/share/tovaly/tovaly-autostart.desktop'
PAGES = {'tovaly': 'usr/share/man/man1/tovaly.1.gz', 'tovaly-cli': 'usr/share/man/man1/tovaly-cli.1.gz'}
CONFIG = 'etc/tovaly/config.ini'
META = 'usr/libexec/tovaly/tovaly-meta'
NS_DIDL = '{urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/}'


def unit_lines(path, key):
    """The values of key in a unit file, in order."""
    with open(path) as f:
        return [ln.split('=', 1)[1].strip() for ln in f if ln.startswith(key + '=')]


# ---------------------------------------------------------------- the package's files

def package_files(st):
    deb = st['deb']
    rc, listing, err = peers.run(['dpkg-deb', '-c', deb])
    check(rc == 0, 'dpkg-deb -c: %s' % err)
    names = {ln.split(None, 5)[5].split(' -> ')[0].lstrip('.') for ln in listing.splitlines() if ln.strip()}
    files = sorted(n for n in names if not n.endswith('/'))
    need = {'/usr/bin/tovaly', '/usr/bin/tovaly-cli', '/' + META, '/' + MENU, '/' + AUTOSTART, '/' + SYSTEM_UNIT, '/' + USER_UNIT,
            '/' + CONFIG, '/usr/share/icons/hicolor/scalable/apps/tovaly.svg',
            '/usr/share/icons/hicolor/48x48/apps/tovaly.png', '/usr/share/icons/hicolor/256x256/apps/tovaly.png',
            '/usr/share/doc/tovaly/copyright'} | {'/' + p for p in PAGES.values()}
    check(need <= names, 'the package lacks %s' % sorted(need - names))
    # Nothing under /usr/local, no autostart for every user, no build leftovers.
    places = ('/usr/bin/', '/usr/libexec/tovaly/', '/usr/share/', '/usr/lib/systemd/user/', '/lib/systemd/system/',
              '/etc/tovaly/')
    stray = [n for n in files if not n.startswith(places) or n.endswith(('.a', '.h', '.cmake'))]
    check(not stray, 'files that do not belong in the package: %s' % stray)
    # Nothing runs at installation: no maintainer scripts; the settings file is the administrator's.
    control = os.path.join(st['work'], 'control')
    rc, _, err = peers.run(['dpkg-deb', '-e', deb, control])
    check(rc == 0, 'dpkg-deb -e: %s' % err)
    members = sorted(os.listdir(control))
    check(members == ['conffiles', 'control', 'md5sums'], 'control members %s (maintainer scripts?)' % members)
    with open(os.path.join(control, 'conffiles')) as f:
        conffiles = f.read().split()
    check(conffiles == ['/' + CONFIG], 'conffiles: %s' % conffiles)
    fields = {}
    for ln in open(os.path.join(control, 'control')):
        if not ln.startswith(' ') and ':' in ln:
            k, v = ln.split(':', 1)
            fields[k] = v.strip()
    check(fields.get('Version') == st['version'], 'package version %s, the programs say %s'
          % (fields.get('Version'), st['version']))
    # Computed from the linked libraries, the metadata helper's included (the UPnP stack is linked statically).
    for lib in ('libmicrohttpd12', 'libqt6widgets6', 'libtag1v5', 'libavformat59'):
        check(re.search(r'(^|, )%s( |,|$)' % lib, fields.get('Depends', '')), 'Depends lacks %s: %s'
              % (lib, fields.get('Depends')))
    for prog in ('tovaly', 'tovaly-cli'):
        rc, out, err = peers.run([os.path.join(st['root'], 'usr/bin', prog), '--version'])
        check(rc == 0 and out == '%s %s\n' % (prog, st['version']), '%s --version: %s %r %r' % (prog, rc, out, err))


def desktop_entries(st):
    entries = [os.path.join(st['root'], p) for p in (MENU, AUTOSTART)]
    rc, out, err = peers.run(['desktop-file-validate'] + entries)
    check(rc == 0 and not (out + err).strip(), 'desktop-file-validate: %s%s' % (out, err))
    with open(entries[1]) as f:
        text = f.read()
    check(re.search(r'^Exec=tovaly$', text, re.M), 'the autostart entry does not start the icon alone:\n' + text)


def manual_pages(st):
    """Both pages render without a warning, and each names every option its program's help names."""
    env = dict(os.environ, LC_ALL='C.UTF-8', MANWIDTH='100')
    rendered = {}
    for prog, rel in PAGES.items():
        r = subprocess.run(['man', '--warnings', '-E', 'UTF-8', '-l', os.path.join(st['root'], rel)], env=env,
                           capture_output=True, text=True, timeout=WAIT)
        check(r.returncode == 0 and not r.stderr.strip(), 'man -l %s: %s %s' % (rel, r.returncode, r.stderr))
        rendered[prog] = re.sub(r'‐\n\s*', '', r.stdout)  # words hyphenated at the line's end
    cli = os.path.join(st['root'], 'usr/bin/tovaly-cli')
    helps = {'tovaly': [peers.run([os.path.join(st['root'], 'usr/bin/tovaly'), '--help'])[1]],
             'tovaly-cli': [peers.run([cli, '--help'])[1]]}
    commands = re.findall(r'^  (\w+) ', helps['tovaly-cli'][0].split('Commands:')[1].split('Options:')[0], re.M)
    check(len(commands) >= 4, 'no commands in tovaly-cli --help: %r' % helps['tovaly-cli'][0])
    helps['tovaly-cli'] += [peers.run([cli, c, '--help'])[1] for c in commands]
    for prog, texts in helps.items():
        options = set(re.findall(r'(?<![\w-])(--?[a-z][a-z-]*)', ' '.join(texts))) - {'-'}
        check(options, 'no options in %s --help' % prog)
        missing = sorted(o for o in options if not re.search(r'(?<![\w-])%s(?![\w-])' % re.escape(o), rendered[prog]))
        check(not missing, '%s(1) does not describe %s' % (prog, missing))
    missing = [c for c in commands if not re.search(r'^ {7}%s\b' % c, rendered['tovaly-cli'], re.M)]
    check(not missing, 'tovaly-cli(1) has no entry for the commands %s' % missing)


def units_verify(st):
    """systemd-analyze verify of both units as installed: the package's programs and pages stand in /usr (an overlay
    in a mount namespace of this test only), so ExecStart and Documentation are checked against the package."""
    runtime = os.path.join(st['work'], 'runtime')
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    script = ('set -e; for d in usr/bin usr/share/man; do '
              'mount -t overlay overlay -o lowerdir="$1/$d:/$d" "/$d"; done; shift; exec "$@"')
    for unit, user in ((SYSTEM_UNIT, False), (USER_UNIT, True)):
        argv = ['unshare', '-m', 'sh', '-c', script, 'sh', st['root'], 'systemd-analyze'] + ['--user'] * user + [
            'verify', os.path.join(st['root'], unit)]
        r = subprocess.run(argv, env=dict(os.environ, XDG_RUNTIME_DIR=runtime), capture_output=True, text=True,
                           timeout=2 * WAIT)
        check(r.returncode == 0 and not (r.stdout + r.stderr).strip(), 'systemd-analyze%s verify %s: %s\n%s%s'
              % (' --user' * user, unit, r.returncode, r.stdout, r.stderr))


# ---------------------------------------------------------------- the programs, run as the units run them

def user_service(st):
    """The user unit's command line for a user whose settings are new: it shares ~/Videos; GUPnP browses it down to a
    file and fetches it; SIGTERM ends it with a byebye."""
    argv = shlex.split(unit_lines(os.path.join(st['root'], USER_UNIT), 'ExecStart')[0])
    check(argv[0].startswith('/usr/bin/'), 'the user unit runs %s' % argv[0])
    home = os.path.join(st['work'], 'home')
    peers.write_files(os.path.join(home, 'Videos'), {'Holidays/tone.mp3': st['mp3']})
    env = {k: v for k, v in os.environ.items() if k not in ('TOVALY_CONFIG', 'XDG_CONFIG_HOME')}
    env['HOME'] = home
    p = Proc('user-service', [st['root'] + argv[0]] + argv[1:], env=env)
    check(p.wait_for(r'^Press Ctrl-C'), 'the user service did not serve:\n' + p.tail())
    settings = os.path.join(home, '.config/tovaly/config.ini')
    check(p.find(r'Settings:\s+%s$' % re.escape(settings)), 'settings not in ~/.config/tovaly:\n' + p.tail())
    udn = p.find(r'UDN:\s+(\S+)').group(1)
    watch = peers.Watch(udn)
    cds = watch.found().get_service(CDS_TYPE)
    check(cds is not None, 'GUPnP sees no ContentDirectory')

    def children(oid):
        out = peers.browse(cds, oid, 'BrowseDirectChildren')
        check('error' not in out, 'GUPnP Browse of %s: %s' % (oid, out.get('error')))
        return list(ET.fromstring(out['value'][0]))
    top = children('0')
    check([c.findtext('{http://purl.org/dc/elements/1.1/}title') for c in top] == ['Holidays'],
          'the root holds %s' % [ET.tostring(c)[:80] for c in top])
    items = children(top[0].get('id'))
    check(len(items) == 1 and items[0].find(NS_DIDL + 'res') is not None, 'Holidays holds %d objects' % len(items))
    check(peers.fetch(items[0].findtext(NS_DIDL + 'res')) == st['mp3'], 'the file fetched differs from the one shared')
    peers.clean_exit(p)
    check(peers.glib_wait(lambda: watch.gone), 'GUPnP saw no byebye within %d s' % WAIT)


def children_of(pid):
    found = []
    for tid in os.listdir('/proc/%d/task' % pid):
        with open('/proc/%d/task/%s/children' % (pid, tid)) as f:
            found += [int(c) for c in f.read().split()]
    return found


def system_service(st):
    """The system unit's command line as an unprivileged user (as DynamicUser= gives it) with its settings file
    read-only to it: it serves the folder of that file with the song's tag title (its metadata helper at work, its
    cache in the unit's cache folder), keeps its identity in the state folder across a restart, and makes only the
    system calls and sockets that both units allow (traced in the first run, the helper's included)."""
    unit = os.path.join(st['root'], SYSTEM_UNIT)
    argv = shlex.split(unit_lines(unit, 'ExecStart')[0])
    etc = os.path.join(st['work'], 'host')  # stands for / where the unit names /etc
    state_base = os.path.join(st['work'], 'var-lib')
    share = os.path.join(st['work'], 'srv')
    peers.write_files(share, {'Music/tone.mp3': st['mp3']})
    # The shipped settings, with the test's folder in place of the default one.
    with open(os.path.join(st['root'], CONFIG)) as f:
        shipped = f.read()
    check(re.search(r'^content_path=', shipped, re.M), 'the shipped settings name no folder:\n' + shipped)
    config = os.path.join(etc, CONFIG)
    os.makedirs(os.path.dirname(config))
    settings = re.sub(r'^content_path=.*$', 'content_path=' + share, shipped, flags=re.M)
    with open(config, 'w') as f:
        f.write(settings)
    # StateDirectory=tovaly: made by the service manager for the service's user, as %S/tovaly.
    state = os.path.join(state_base, 'tovaly')
    os.makedirs(state, mode=0o700)
    os.chown(state, 65534, 65534)
    # CacheDirectory=tovaly: %C/tovaly, the service's user's; the unit's Environment= points the program at %C.
    cache_base = os.path.join(st['work'], 'var-cache')
    check(unit_lines(unit, 'CacheDirectory') == ['tovaly'], 'the system unit has no cache folder of its own')
    os.makedirs(os.path.join(cache_base, 'tovaly'), mode=0o700)
    os.chown(os.path.join(cache_base, 'tovaly'), 65534, 65534)
    for top in (etc, share):  # readable by others, writable by root alone
        for d, _, files in os.walk(top):
            os.chmod(d, 0o755)
            for name in files:
                os.chmod(os.path.join(d, name), 0o644)
    cmd = [(etc if a.startswith('/etc/') else st['root']) + a if a.startswith('/') else a.replace('%S', state_base)
           for a in argv]
    check(cmd[0] == st['root'] + '/usr/bin/tovaly-cli', 'the system unit runs %s' % argv[0])
    check(config in cmd, 'the system unit reads no /%s: %s' % (CONFIG, argv))
    user = ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups', '--no-new-privs', '--inh-caps=-all']
    env = {'PATH': '/usr/bin:/bin', 'HOME': '/', 'LANG': 'C.UTF-8'}
    for line in unit_lines(unit, 'Environment'):
        for assignment in shlex.split(line):
            k, v = assignment.split('=', 1)
            env[k] = v.replace('%C', cache_base)
    env['TOVALY_META_HELPER'] = os.path.join(st['root'], META)  # the package is unpacked, not installed
    trace = os.path.join(st['work'], 'strace')
    os.makedirs(trace, mode=0o755)
    os.chown(trace, 65534, 65534)
    log = os.path.join(trace, 'log')
    udns = []
    for run in (1, 2):
        p = Proc('system-service-%d' % run, user + (['strace', '-f', '-qq', '-o', log] if run == 1 else []) + cmd,
                 env=env)
        check(p.wait_for(r'^Press Ctrl-C'), 'the system service did not serve:\n' + p.tail())
        check(p.find(r'Sharing:\s+%s/$' % re.escape(share)), 'not sharing the folder of the settings:\n' + p.tail())
        # A first start says once that it made its metadata cache; nothing else is worth a complaint.
        complaints = [ln for ln in p.lines('err') if not (run == 1 and 'metadata cache: started' in ln)]
        check(not complaints, 'the service complained:\n' + p.tail())
        udns.append(p.find(r'UDN:\s+(\S+)').group(1))
        srv = peers.describe(p.find(r'Description:\s+(\S+)').group(1))
        port = int(re.search(r':(\d+)/', p.find(r'Address:\s+(\S+)').group(1)).group(1))

        def music():
            out = peers.soap(port, srv['control'][CDS_TYPE], CDS_TYPE, 'Browse',
                             [('ObjectID', 'Music'), ('BrowseFlag', 'BrowseDirectChildren'), ('Filter', '*'),
                              ('StartingIndex', '0'), ('RequestedCount', '0'), ('SortCriteria', '')])
            return ET.fromstring(out['Result'])
        # The tag may come after the first answer (a page waits 150 ms for it): asked again until it is there.
        titled = poll(lambda: music().findtext('%sitem/{http://purl.org/dc/elements/1.1/}title' % NS_DIDL)
                      == 'Package tone')
        check(titled, 'the song is not listed by its tag title (no metadata helper?):\n' + p.tail())
        url = music().findtext('%sitem/%sres' % (NS_DIDL, NS_DIDL))
        check(url and peers.fetch(url) == st['mp3'], 'Music/tone.mp3 was not served as it is: %r' % url)
        # SIGTERM to the program itself: strace would detach from it, not pass it on.
        target = poll(lambda: children_of(p.proc.pid)) if run == 1 else [p.proc.pid]
        check(target, 'strace started nothing')
        os.kill(target[0], 15)
        check(p.proc.wait(WAIT) == 0 and p.lines()[-1:] == ['Stopped.'], 'the service did not stop cleanly:\n'
              + p.tail())
        p.stop()
    check(udns[0] == udns[1], 'the UDN changed across a restart: %s, then %s' % tuple(udns))
    with open(os.path.join(state, 'state.ini')) as f:
        check('machine_id=%s\n' % udns[0][len('uuid:'):] in f.read(), 'the state folder does not hold the identity')
    with open(config) as f:
        check(f.read() == settings, 'the read-only settings file changed')
    check(os.path.isfile(os.path.join(cache_base, 'tovaly', 'metadata.sqlite')),
          'no metadata cache in the unit\'s cache folder: %s' % list(os.walk(cache_base)))

    with open(log) as f:
        traced = f.read()
    used = set(re.findall(r'^\d+ +(\w+)\(', traced, re.M))
    families = set(re.findall(r'^\d+ +socket(?:pair)?\((AF_\w+)', traced, re.M))
    check('execve' in used and 'bind' in used, 'the trace holds no start: %s' % sorted(used))
    groups = syscall_groups()
    for path in (unit, os.path.join(st['root'], USER_UNIT)):
        allowed = allowed_syscalls(unit_lines(path, 'SystemCallFilter'), groups)
        check(used <= allowed, '%s would refuse %s' % (os.path.basename(path), sorted(used - allowed)))
        lines = unit_lines(path, 'RestrictAddressFamilies')
        check(lines and families <= set(' '.join(lines).split()), '%s allows the sockets %s, the program opens %s'
              % (os.path.basename(path), lines, sorted(families)))


def syscall_groups():
    """The system call groups (@name -> members, some of them groups) as this systemd knows them."""
    rc, out, err = peers.run(['systemd-analyze', 'syscall-filter'])
    check(rc == 0, 'systemd-analyze syscall-filter: %s' % err)
    groups, current = {}, None
    for ln in out.splitlines():
        if ln.startswith('@'):
            current = groups.setdefault(ln.strip(), set())
        elif current is not None and ln.strip() and not ln.strip().startswith('#'):
            current.add(ln.strip())
    return groups


def allowed_syscalls(lines, groups):
    """What SystemCallFilter= lines allow, as systemd reads them: the first decides between an allow list and a deny
    list; later lines add to or ("~") take from it."""
    def expand(names):
        out = set()
        for n in names:
            out |= expand(groups[n]) if n.startswith('@') else {n}
        return out
    check(lines and not lines[0].startswith('~'), 'no allow list: %s' % lines)
    allowed = set()
    for ln in lines:
        names = expand(ln.lstrip('~').split())
        allowed = allowed - names if ln.startswith('~') else allowed | names
    return allowed


def body(cli, work):
    missing = [t for t in TOOLS if not shutil.which(t)]
    check(not missing, 'missing %s (scripts/install-deps.sh installs them)' % missing)
    check(not peers.GI_MISSING, 'GUPnP introspection data is missing (%s)' % peers.GI_MISSING)
    rc, out, err = peers.run([cli, '--version'])
    check(rc == 0 and out.startswith('tovaly-cli '), 'tovaly-cli --version: %s %r %r' % (rc, out, err))
    version = out.split()[1]
    arch = peers.run(['dpkg', '--print-architecture'])[1].strip()
    deb = os.path.join(SOURCE, 'build', 'tovaly_%s_%s.deb' % (version, arch))
    check(os.path.isfile(deb), '%s is missing: run scripts/package.sh first' % deb)
    os.chmod(work, 0o755)
    root = os.path.join(work, 'root')
    rc, _, err = peers.run(['dpkg-deb', '-x', deb, root])
    check(rc == 0, 'dpkg-deb -x: %s' % err)
    st = dict(deb=deb, root=root, work=work, version=version, mp3=peers.mp3_bytes(16, b'Package tone'))
    group('package: files, no maintainer scripts, one conffile, computed dependencies, --version', package_files, st)
    group('desktop-file-validate: menu and autostart entries', desktop_entries, st)
    group('man -l: both pages render without warnings and describe every option and command', manual_pages, st)
    group('systemd-analyze verify: the system unit and the user unit', units_verify, st)
    group('user unit: serves ~/Videos, GUPnP browses and fetches, byebye on SIGTERM', user_service, st)
    group('system unit as an unprivileged user: read-only settings, same UDN after a restart, calls within the filters',
          system_service, st)


if __name__ == '__main__':
    sys.exit(peers.main(body))
