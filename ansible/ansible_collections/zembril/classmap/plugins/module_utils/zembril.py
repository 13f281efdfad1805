# -*- coding: utf-8 -*-
# Copyright: 2026 the zembril authors
# SPDX-License-Identifier: MIT
"""What the zembril modules share: reading a class map through zembril-dump
and changing it through one zembril run of a command file.

The map is only ever read by zembril-dump and changed by zembril, so the
modules never depend on the map file's format or its locking.

Names are str throughout; a byte that is no UTF-8 is a lone surrogate, as
Python's surrogateescape error handler makes it, so every name goes back to
zembril byte for byte."""

import json
import os
import re
from collections import namedtuple

SCOPES = ('U', 'K')

# The bytes that zembril removes from every line of a command file.
BLANKS = ' \t\r\n'

# As long as ansible.builtin.apt waits for its lock by default. A zembril run
# itself takes well under a second, even on a million bindings.
DEFAULT_LOCK_TIMEOUT = 60

# The exit statuses of timeout(1) when it stopped the command: by SIGTERM,
# or by SIGKILL after --kill-after.
TIMED_OUT = (124, 137)

# One thing a task asks of a map: `name` bound to exactly `library`
# (present), or not bound (with `library`: not bound to it). An absent want
# without a name unbinds every class of `library`.
Want = namedtuple('Want', 'scope name library present')

# A class whose library differs between two maps; None for unbound.
Change = namedtuple('Change', 'scope name before after')

# The escapes of zembril-dump's text form, both ways; any other byte is \xHH.
ESCAPES = {'\\\\': b'\\', '\\t': b'\t', '\\n': b'\n'}
ESCAPES_BACK = {'\\': '\\\\', '\t': '\\t', '\n': '\\n'}
ESCAPE = re.compile(r'\\(?:[\\tn]|x[0-9a-fA-F]{2})')


def escape(name):
    """`name` as zembril-dump's text form writes it: a backslash, a tab and
    a newline as \\\\, \\t and \\n, and every byte of another control
    character, or of no valid UTF-8, as \\xHH."""
    out = []
    for character in name:
        code = ord(character)
        if character in ESCAPES_BACK:
            out.append(ESCAPES_BACK[character])
        elif 0xdc80 <= code <= 0xdcff:
            out.append('\\x%02x' % (code - 0xdc00))
        elif code < 0x20 or 0x7f <= code <= 0x9f:
            out.extend('\\x%02x' % byte for byte in character.encode('utf-8'))
        else:
            out.append(character)
    return ''.join(out)


def unescape(text):
    """The name that `text`, in zembril-dump's text form, stands for. Raises
    ValueError for a backslash that starts no escape."""
    data = bytearray()
    at = 0
    while at < len(text):
        if text[at] != '\\':
            data += text[at].encode('utf-8', 'surrogateescape')
            at += 1
            continue
        match = ESCAPE.match(text, at)
        if not match:
            raise ValueError('%r: a backslash starts \\\\, \\t, \\n or \\xHH' % text)
        token = match.group(0)
        data += ESCAPES[token] if token in ESCAPES else bytes([int(token[2:], 16)])
        at = match.end()
    return data.decode('utf-8', 'surrogateescape')


def substitute(library, bits):
    """The library as zembril binds it: its first '*' becomes the bitness."""
    return library.replace('*', str(bits), 1)


def carriable(name):
    """True when a command-file line can carry `name` as one field: it holds
    no blank and no NUL, and each of its commas is inside <...>, which must
    close again before the field ends."""
    if any(c in name for c in BLANKS + '\0'):
        return False
    depth = 0
    for character in name:
        if character == '<':
            depth += 1
        elif character == '>' and depth > 0:
            depth -= 1
        elif character == ',' and depth == 0:
            return False
    return depth == 0


def wants_of(items, default_scope):
    """The wants of zembril_map's `bindings`, and the first conflict: one
    class listed twice with different wishes (None when there is none)."""
    wants = []
    seen = {}
    for item in items:
        want = Want(item.get('scope') or default_scope, item.get('class'), item.get('library'),
                    item.get('state', 'present') == 'present')
        wants.append(want)
        if want.name is None:
            continue
        if seen.setdefault((want.scope, want.name), want) != want:
            return wants, '%s %s is listed twice, with different libraries or states' % (
                want.scope, escape(want.name))
    return wants, None


def plan(current, wants, bits, exclusive_scopes=()):
    """Works out what `wants` make of the maps `current`; in the scopes of
    `exclusive_scopes` every class that no want binds goes too.

    Returns the command-file lines that do it in one zembril run, the maps
    as they would be afterwards and the changes. Applied to the maps read
    after that run, it returns no changes exactly when they hold what the
    task asked for."""
    after = {scope: dict(current[scope]) for scope in SCOPES}
    lines = []
    bound = {(w.scope, w.name): substitute(w.library, bits) for w in wants if w.present}

    # Unbinding a library comes first, so that the task's own bindings to it
    # are made again after it; it is one deletelib line, which also catches
    # a class that another run bound to it since the map was read.
    for want in wants:
        if want.present or want.name is not None:
            continue
        library = substitute(want.library, bits)
        victims = [n for n, lib in after[want.scope].items() if lib == library]
        if any(bound.get((want.scope, n)) != library for n in victims):
            lines.append('%s,deletelib,%s' % (want.scope, want.library))
            for name in victims:
                del after[want.scope][name]

    for scope, name, library, present in wants:
        if name is None:
            continue
        have = after[scope].get(name)
        if present:
            if have == substitute(library, bits):
                continue
            # The delete comes even for a class read as unbound: a binding
            # made since then would keep its library, and zembril drops the
            # warning of that add inside a command file.
            lines += ['%s,delete,%s' % (scope, name), '%s,add,%s,%s' % (scope, name, library)]
            after[scope][name] = substitute(library, bits)
        elif have is not None and (library is None or have == substitute(library, bits)):
            lines.append('%s,delete,%s' % (scope, name))
            del after[scope][name]

    for scope in exclusive_scopes:
        for name in sorted(after[scope]):
            if (scope, name) not in bound:
                lines.append('%s,delete,%s' % (scope, name))
                del after[scope][name]

    changes = [Change(scope, name, current[scope].get(name), after[scope].get(name))
               for scope in SCOPES
               for name in sorted(set(current[scope]) | set(after[scope]))
               if current[scope].get(name) != after[scope].get(name)]
    return lines, after, changes


def describe(unmet, show=escape):
    """Says, of the changes that plan() still finds after a run, how each
    class is bound against what the task asked."""
    def library(value):
        return 'unbound' if value is None else 'bound to ' + show(value)
    return '; '.join('%s %s is %s, not %s' % (c.scope, show(c.name), library(c.before), library(c.after))
                     for c in unmet)


def as_list(bindings, show=str):
    """Every binding as a dict of scope, class and library, U before K."""
    return [{'scope': scope, 'class': show(name), 'library': show(library)}
            for scope in SCOPES for name, library in sorted(bindings[scope].items())]


def shown_map(bindings, show=str):
    return {show(name): show(library) for name, library in bindings.items()}


def as_lines(bindings, names=None):
    """The bindings in zembril-dump's text form, one a line, U before K, each
    map in byte order; only those of the (scope, class) pairs in `names`
    when it is given."""
    text = ''
    for scope in SCOPES:
        for name in sorted(bindings[scope], key=lambda n: n.encode('utf-8', 'surrogateescape')):
            if names is None or (scope, name) in names:
                text += '%s\t%s\t%s\n' % (scope, escape(name), escape(bindings[scope][name]))
    return text


def lock_holder(check_report):
    """What the lock line of `zembril-dump --check` says, or None."""
    for line in check_report.splitlines():
        if line.split(None, 1)[:1] == ['lock']:
            return line.split(None, 1)[1].strip()
    return None


def health_of(document, show=str):
    """The health of a host's class map from the document of `zembril-dump
    --check --format=json`: its exit status, summary, findings, lock and map
    files as they are, and `missing`, the bindings whose library is not
    there, their class and library shown with `show`."""
    missing = [dict(entry, **{'class': show(entry['class']), 'library': show(entry['library'])})
               for entry in document['missing']]
    return dict(healthy=document['status'] == 0, status=document['status'],
                summary=document['summary'], findings=document['findings'],
                lock=document['lock'], map_files=document['mapFiles'], missing=missing)


class Zembril:
    """The two programs on one managed host, for one map file."""

    def __init__(self, module, root, bits):
        self.module = module
        self.root = root
        self.bits = bits

    def fail(self, msg, **result):
        self.module.fail_json(msg=msg, **result)

    def check_root(self):
        """Fails the task when the root is no directory: zembril would take
        it for an empty map, and fail only at the save, with the code of a
        read-only directory."""
        if self.root and not os.path.isdir(self.root):
            self.fail('root %s %s' % (self.root, 'is not a directory' if os.path.exists(self.root)
                                      else 'does not exist'))

    def check_map_directory(self, path):
        """Fails the task when the map directory of the map file `path` is
        missing: zembril makes none, so no binding can be saved there."""
        directory = os.path.dirname(path)
        if not os.path.isdir(directory):
            self.fail('the map directory %s does not exist, and zembril makes none: create it, or '
                      'check root and the directory file' % directory)

    def dump(self, *arguments):
        command = [self.module.get_bin_path('zembril-dump', required=True)]
        if self.root:
            command.append('--root=' + self.root)
        return self.module.run_command(command + list(arguments), encoding=None)

    def read(self):
        """The map file's bindings as {'U': {class: library}, 'K': {...}} and
        the path zembril-dump read; fails the task with its message."""
        rc, out, err = self.dump('--format=json', *(['--x64'] if self.bits == 64 else []))
        if rc != 0:
            self.fail('zembril-dump could not read the class map: '
                      + err.decode('utf-8', 'replace').strip(), rc=rc)
        # zembril-dump writes a byte that is no UTF-8 as a lone surrogate.
        document = json.loads(out.decode('utf-8'))
        bindings = {scope: {entry['class']: entry['library'] for entry in document[scope]}
                    for scope in SCOPES}
        return bindings, document['file']

    def health(self, show=str):
        """What `zembril-dump --check` finds, as health_of gives it; fails
        the task when zembril-dump cannot check."""
        rc, out, err = self.dump('--check', '--format=json')
        if rc not in (0, 1):
            self.fail('zembril-dump could not check the class map: '
                      + err.decode('utf-8', 'replace').strip(), rc=rc)
        return health_of(json.loads(out.decode('utf-8')), show)

    def explain(self, status):
        rc, out = self.dump('--explain', str(status))[:2]
        return ' '.join(out.decode('utf-8', 'replace').split()) if rc == 0 else ''

    def run(self, lines, lock_timeout, show=str):
        """Carries out `lines` in one zembril run, so that all of them take
        effect or none does, stopping it after `lock_timeout` seconds. Fails
        the task with zembril's report and the meaning of its status code;
        a warning (exit status 1) becomes a module warning. Returns the exit
        status."""
        path = os.path.join(self.module.tmpdir, 'zembril.commands')
        with open(path, 'wb') as commands:
            for line in lines:
                commands.write(line.encode('utf-8', 'surrogateescape') + b'\n')
        command = [self.module.get_bin_path('timeout', required=True), '--kill-after=10',
                   str(lock_timeout), self.module.get_bin_path('zembril', required=True)]
        if self.root:
            command += ['/root', self.root]
        if self.bits == 64:
            command.append('/x64')
        rc, out = self.module.run_command(command + ['/file', path])[:2]
        os.unlink(path)
        commands = [show(line) for line in lines]
        if rc in TIMED_OUT:
            check = self.dump('--check')[1]
            holder = lock_holder(check.decode('utf-8', 'replace')) or 'unknown'
            # The run takes the lock before it reads the map; stopped while
            # saving, it leaves the old map or the new one, whole.
            self.fail('zembril did not finish within lock_timeout (%d s), waiting for the lock of '
                      'the map directory; zembril-dump --check says of the lock: %s'
                      % (lock_timeout, holder), rc=rc,
                      commands=commands, lock=holder)
        report = ' '.join(out.split())
        match = re.search(r'Status on exit was (-?[0-9]+)', out)
        status = int(match.group(1)) if match else None
        if rc not in (0, 1):
            explanation = self.explain(status) if status is not None else ''
            self.fail('zembril failed: ' + report + (' -- ' + explanation if explanation else ''),
                      rc=rc, status=status, commands=commands)
        if rc == 1:
            self.module.warn('zembril: ' + report)
        return rc


def names_of(module, names):
    """The names a task gives, unescaped when it asks for that; fails the
    task for a name that cannot be unescaped or that no command file can
    carry."""
    result = []
    for name in names:
        if name is not None and module.params['escaped']:
            try:
                name = unescape(name)
            except ValueError as error:
                module.fail_json(msg=str(error))
        # An empty name is carried, but no task means one.
        if name is not None and (name == '' or not carriable(name)):
            module.fail_json(msg='zembril cannot carry %s in a command file: a name may hold no '
                             'blank and no NUL, and a comma only inside <...>' % escape(name))
        result.append(name)
    return result


def common_argument_spec():
    return dict(
        bits=dict(type='int', default=64, choices=[32, 64]),
        root=dict(type='path'),
        escaped=dict(type='bool', default=False),
    )


def change_argument_spec():
    options = common_argument_spec()
    options['lock_timeout'] = dict(type='int', default=DEFAULT_LOCK_TIMEOUT)
    return options


def check_lock_timeout(module):
    # timeout(1) takes 0 for no limit at all.
    if module.params['lock_timeout'] < 1:
        module.fail_json(msg='lock_timeout must be at least 1 second')
