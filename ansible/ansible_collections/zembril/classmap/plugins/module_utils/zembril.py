# -*- coding: utf-8 -*-
# Copyright: 2026 the zembril authors
# SPDX-License-Identifier: MIT
"""What the zembril modules share: reading a class map through zembril-dump
and changing it through one zembril run of a command file.

The map is only ever read by zembril-dump and changed by zembril, so the
modules never depend on the map file's format or its locking."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import os
import re
import tempfile

SCOPES = ('U', 'K')

# The bytes that zembril removes from every line of a command file.
BLANKS = ' \t\r\n'


def dump_arguments(module, root, bits, scope=None):
    """The zembril-dump command that prints one map file as JSON."""
    command = [module.get_bin_path('zembril-dump', required=True), '--format=json']
    if root:
        command.append('--root=' + root)
    if bits == 64:
        command.append('--x64')
    if scope:
        command.append('--scope=' + scope)
    return command


def read_map(module, root, bits):
    """Returns the map file's bindings as {'U': {class: library}, 'K': {...}}
    and the path zembril-dump read, or fails the module with its message."""
    rc, out, err = module.run_command(dump_arguments(module, root, bits), encoding=None)
    if rc != 0:
        module.fail_json(msg='zembril-dump could not read the class map: '
                         + err.decode('utf-8', 'replace').strip(), rc=rc)
    # zembril-dump writes a byte that is no UTF-8 as a lone surrogate, so
    # that surrogateescape gives every name back byte for byte.
    document = json.loads(out.decode('utf-8'))
    bindings = {}
    for scope in SCOPES:
        bindings[scope] = dict((entry['class'], entry['library']) for entry in document[scope])
    return bindings, document['file']


def substitute(library, bits):
    """The library as zembril binds it: its first '*' becomes the bitness."""
    return library.replace('*', str(bits), 1)


def carriable(name):
    """True when a command-file line can carry `name` as one field: it holds
    no blank and no NUL, and each of its commas is inside <...>, which must
    close again before the field ends."""
    if not name or any(c in name for c in BLANKS + '\0'):
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


def check_names(module, names):
    for name in names:
        if not carriable(name):
            module.fail_json(msg='zembril cannot carry %r in a command file: a name may hold no '
                             'blank and no NUL, and a comma only inside <...>' % name)


def plan(current, wanted, bits, exclusive_scopes=()):
    """Returns the command-file lines that turn `current` into `current` with
    `wanted` applied, and the maps that would result.

    `wanted` lists (scope, class, library) for bindings that must exist and
    (scope, class, None, only_library) for bindings that must not (with
    only_library None for any library). In the scopes of
    `exclusive_scopes`, every class that `wanted` does not bind goes."""
    after = dict((scope, dict(current[scope])) for scope in SCOPES)
    lines = []
    bound = set()
    for scope, name, library, only in wanted:
        have = after[scope].get(name)
        if library is None:
            if have is not None and (only is None or have == substitute(only, bits)):
                lines.append('%s,delete,%s' % (scope, name))
                del after[scope][name]
            continue
        bound.add((scope, name))
        if have == substitute(library, bits):
            continue
        if have is not None:
            lines.append('%s,delete,%s' % (scope, name))
        lines.append('%s,add,%s,%s' % (scope, name, library))
        after[scope][name] = substitute(library, bits)
    for scope in exclusive_scopes:
        for name in sorted(after[scope]):
            if (scope, name) not in bound:
                lines.append('%s,delete,%s' % (scope, name))
                del after[scope][name]
    return lines, after


def as_list(bindings):
    """Every binding as a dict of scope, class and library, U before K."""
    return [dict(scope=scope, library=library, **{'class': name})
            for scope in SCOPES for name, library in sorted(bindings[scope].items())]


def as_lines(bindings):
    """One binding a line, U before K, each map in byte order, as
    zembril-dump's text form shows them (without its escapes)."""
    text = ''
    for scope in SCOPES:
        for name in sorted(bindings[scope], key=lambda n: n.encode('utf-8', 'surrogateescape')):
            text += '%s\t%s\t%s\n' % (scope, name, bindings[scope][name])
    return text


def run_commands(module, root, bits, lines):
    """Carries out `lines` in one zembril run, so that all of them take effect
    or none does. Fails the module with zembril's report and status code when
    the run fails; a warning (exit status 1) becomes a module warning."""
    handle, path = tempfile.mkstemp(prefix='zembril-', suffix='.commands')
    try:
        with os.fdopen(handle, 'wb') as commands:
            for line in lines:
                commands.write(line.encode('utf-8', 'surrogateescape') + b'\n')
        command = [module.get_bin_path('zembril', required=True)]
        if root:
            command += ['/root', root]
        if bits == 64:
            command.append('/x64')
        command += ['/file', path]
        rc, out, err = module.run_command(command)
    finally:
        os.unlink(path)
    report = out.strip()
    match = re.search(r'Status on exit was (-?[0-9]+)', report)
    if rc not in (0, 1):
        module.fail_json(msg='zembril failed: ' + ' '.join(report.split()), rc=rc,
                         status=int(match.group(1)) if match else None, commands=lines)
    if rc == 1:
        module.warn('zembril: ' + ' '.join(report.split()))
    return rc


def common_argument_spec():
    return dict(
        bits=dict(type='int', default=64, choices=[32, 64]),
        root=dict(type='path'),
    )
