# -*- coding: utf-8 -*-
# Copyright: 2026 the zembril authors
# SPDX-License-Identifier: MIT

import os

import pytest

from ansible_collections.zembril.classmap.plugins.module_utils.zembril import (
    Change, Want, carriable, describe, escape, health_of, lock_holder, plan, unescape, wants_of)

MAP = {'U': {'A': '/a.so', 'B': '/old.so', 'C': '/old.so'}, 'K': {'Map<int,W>': '/w.so'}}


@pytest.mark.parametrize('wants, exclusive, lines, changes', [
    # Read as unbound, bound all the same with a delete first, so that a
    # binding made since the read cannot survive.
    ([Want('U', 'N', '/usr/lib*/n.so', True)], [],
     ['U,delete,N', 'U,add,N,/usr/lib*/n.so'], [('U', 'N', None, '/usr/lib64/n.so')]),
    ([Want('U', 'A', '/usr/lib*/a.so', True)], [],
     ['U,delete,A', 'U,add,A,/usr/lib*/a.so'], [('U', 'A', '/a.so', '/usr/lib64/a.so')]),
    ([Want('U', 'A', '/a.so', True), Want('U', 'A', '/a.so', True)], [], [], []),
    ([Want('U', 'A', '/other.so', False)], [], [], []),
    ([Want('U', 'A', '/a.so', False), Want('K', 'Gone', None, False)], [],
     ['U,delete,A'], [('U', 'A', '/a.so', None)]),
    # One deletelib, which also catches classes bound since the read; the
    # task's own binding to that library is made again after it.
    ([Want('U', None, '/old.so', False)], [],
     ['U,deletelib,/old.so'], [('U', 'B', '/old.so', None), ('U', 'C', '/old.so', None)]),
    ([Want('U', None, '/old.so', False), Want('U', 'C', '/old.so', True)], [],
     ['U,deletelib,/old.so', 'U,delete,C', 'U,add,C,/old.so'], [('U', 'B', '/old.so', None)]),
    ([Want('U', None, '/old.so', False), Want('U', 'B', '/old.so', True),
      Want('U', 'C', '/old.so', True)], [], [], []),
    ([Want('K', None, '/old.so', False)], [], [], []),
    # Exclusive acts on the scopes it is given, whatever scopes the wants name.
    ([Want('K', 'Map<int,V>', '/v.so', True)], ['K'],
     ['K,delete,Map<int,V>', 'K,add,Map<int,V>,/v.so', 'K,delete,Map<int,W>'],
     [('K', 'Map<int,V>', None, '/v.so'), ('K', 'Map<int,W>', '/w.so', None)]),
])
def test_plan(wants, exclusive, lines, changes):
    planned, after, found = plan(MAP, wants, 64, exclusive)
    assert planned == lines
    assert found == [Change(*change) for change in changes]
    # The maps afterwards hold what the task asked: planning again finds nothing to do.
    assert plan(after, wants, 64, exclusive)[:3:2] == ([], [])
    assert MAP['U'] == {'A': '/a.so', 'B': '/old.so', 'C': '/old.so'}


def test_what_a_concurrent_run_left_is_described():
    wants = [Want('U', 'A', '/new.so', True), Want('U', 'B', '/old.so', False)]
    now = {'U': {'A': '/other.so', 'B': '/old.so', 'X': '/x.so'}, 'K': {}}
    unmet = plan(now, wants, 64, ['U'])[2]
    assert describe(unmet) == ('U A is bound to /other.so, not bound to /new.so; '
                               'U B is bound to /old.so, not unbound; U X is bound to /x.so, not unbound')


@pytest.mark.parametrize('items, conflict', [
    ([{'class': 'A', 'library': '/a.so', 'scope': None, 'state': 'present'},
      {'class': 'A', 'library': '/a.so', 'scope': 'K', 'state': 'present'}], None),
    ([{'class': 'A', 'library': '/a.so', 'scope': None, 'state': 'present'},
      {'class': 'A', 'library': None, 'scope': 'U', 'state': 'absent'}],
     'U A is listed twice, with different libraries or states'),
    ([{'class': None, 'library': '/a.so', 'scope': None, 'state': 'absent'},
      {'class': None, 'library': '/b.so', 'scope': None, 'state': 'absent'}], None),
])
def test_wants_of(items, conflict):
    wants, found = wants_of(items, 'U')
    assert found == conflict
    assert [w.scope for w in wants] == [item['scope'] or 'U' for item in items]


@pytest.mark.parametrize('name, text', [
    ('Caf\udce9', 'Caf\\xe9'),
    ('a\\b\tc\nd', 'a\\\\b\\tc\\nd'),
    ('C\x01\x7f\x85', 'C\\x01\\x7f\\xc2\\x85'),
    ('Map<int,Widget>ü', 'Map<int,Widget>ü'),
])
def test_escape_as_zembril_dump_writes(name, text):
    assert escape(name) == text
    assert unescape(text) == name


@pytest.mark.parametrize('text', ['a\\', 'a\\q', 'a\\x4'])
def test_unescape_refuses_what_zembril_dump_never_writes(text):
    with pytest.raises(ValueError):
        unescape(text)


def shared_table():
    """The rows of command_file_fields.txt, which zembril's own command-file
    tests read too: (name, whether a command file can carry it)."""
    escapes = {b't': b'\t', b'n': b'\n', b'r': b'\r', b'0': b'\0', b'\\': b'\\'}
    rows = []
    with open(os.path.join(os.path.dirname(__file__), 'command_file_fields.txt'), 'rb') as table:
        for line in table.read().split(b'\n'):
            if not line or line.startswith(b'#'):
                continue
            verdict, text = line.split(b"\t", 1)
            name, at = b'', 0
            while at < len(text):
                if text[at:at + 1] == b'\\' and text[at + 1:at + 2] == b'x':
                    name += bytes([int(text[at + 2:at + 4], 16)])
                    at += 4
                elif text[at:at + 1] == b'\\':
                    name += escapes[text[at + 1:at + 2]]
                    at += 2
                else:
                    name += text[at:at + 1]
                    at += 1
            rows.append((name.decode('utf-8', 'surrogateescape'), verdict == b'yes'))
    return rows


@pytest.mark.parametrize('name, ok', shared_table())
def test_carriable(name, ok):
    assert carriable(name) == ok


def test_lock_holder():
    report = ('dravimap.lock   valid: mode 0600, owned by uid 0 (root)\n'
              'lock            held by pid 42: zembril /x64 /file f, and 1 more waits\n'
              'summary         healthy\n')
    assert lock_holder(report) == 'held by pid 42: zembril /x64 /file f, and 1 more waits'
    assert lock_holder('summary  healthy\n') is None


def test_health_shows_missing_bindings_as_asked():
    document = {'status': 1, 'summary': '1 thing needs attention', 'findings': [], 'lock': {},
                'mapFiles': [], 'missing': [{'file': '/m/dravimap64', 'scope': 'U', 'class': 'Caf\udce9',
                                             'library': '/l\tb.so', 'why': 'missing'}]}
    health = health_of(document, escape)
    assert not health['healthy']
    assert health['missing'] == [{'file': '/m/dravimap64', 'scope': 'U', 'class': 'Caf\\xe9',
                                  'library': '/l\\tb.so', 'why': 'missing'}]
    assert health_of(dict(document, status=0, missing=[]))['healthy']
