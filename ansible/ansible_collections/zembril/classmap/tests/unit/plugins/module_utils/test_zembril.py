# -*- coding: utf-8 -*-
# Copyright: 2026 the zembril authors
# SPDX-License-Identifier: MIT

import json
import os

import pytest

from ansible.module_utils import basic
from ansible_collections.zembril.classmap.plugins.module_utils import zembril
from ansible_collections.zembril.classmap.plugins.module_utils.zembril import (
    Change, Read, Shown, Want, Zembril, ZembrilModule, carriable, check_root, describe,
    dump_arguments, escape, health_of, in_root, lock_holder, names_of, plan, reads_for, refusal, unescape,
    wants_of)

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
    planned, after, found, uncarried = plan(MAP, wants, 64, exclusive)
    assert planned == lines and uncarried == []
    assert found == [Change(*change) for change in changes]
    # The maps afterwards hold what the task asked: planning again finds nothing to do.
    assert plan(after, wants, 64, exclusive)[:3:2] == ([], [])
    assert MAP['U'] == {'A': '/a.so', 'B': '/old.so', 'C': '/old.so'}


@pytest.mark.parametrize('odd, why', [
    # zembril strips blanks: the line would unbind MyWidget, which the task keeps.
    ('My Widget', 'blank'),
    # The line would be two, the second emptying the other scope.
    ('x\nU,reset', 'newline'),
    ('A,B', 'comma at depth 0, a malformed line that fails every run'),
    ('a<b', 'a < left open'),
])
def test_exclusive_writes_no_line_for_a_class_it_cannot_carry(odd, why):
    current = {'U': {'Tool': '/t.so'}, 'K': {odd: '/o.so', 'MyWidget': '/w.so', 'Old': '/o.so'}}
    wants = [Want('K', 'MyWidget', '/w.so', True)]
    lines, after, changes, uncarried = plan(current, wants, 64, ['K'])
    assert lines == ['K,delete,Old'], why
    assert uncarried == [('K', odd)]
    # What the task asked still counts as unmet, should a run have bound it since the read.
    assert ('K', odd, '/o.so', None) in changes and after['K'] == {'MyWidget': '/w.so'}
    assert refusal(uncarried).startswith('exclusive would unbind K "%s", which' % escape(odd))


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


def filtered(bindings, read):
    """What zembril-dump's filters let through of `bindings`."""
    return {scope: {name: library for name, library in bindings[scope].items()
                    if read.scope in (None, scope) and (not read.names or name in read.names)
                    and read.library in (None, library)}
            for scope in bindings}


@pytest.mark.parametrize('wants, exclusive, arguments', [
    ([Want('U', 'A', '/a.so', True)], [], [['--scope=U', '--class=A']]),
    # Both classes in one read, in the map's byte order.
    ([Want('U', 'b', '/b.so', True), Want('U', 'B', None, False), Want('U', 'b', '/b.so', True)], [],
     [['--scope=U', '--class=B', '--class=b']]),
    # A library that a want unbinds is read as the map holds it, bitness and all.
    ([Want('K', 'Map<int,W>', '/w.so', True), Want('U', None, '/usr/lib*/old.so', False),
      Want('U', None, '/old.so', False)], [],
     [['--scope=U', '--library=/old.so'], ['--scope=U', '--library=/usr/lib64/old.so'],
      ['--scope=K', '--class=Map<int,W>']]),
    # The scope that exclusive empties is read whole, the other one only in part.
    ([Want('U', 'A', '/a.so', True), Want('K', 'Map<int,V>', '/v.so', True)], ['K'],
     [['--scope=U', '--class=A'], ['--scope=K']]),
    ([], [], []),
])
def test_a_task_reads_what_it_manages_and_no_more(wants, exclusive, arguments):
    reads = reads_for(wants, 64, exclusive)
    assert [dump_arguments(64, read)[2:] for read in reads] == arguments
    # What the reads find is all that planning looks at.
    seen = {scope: {} for scope in MAP}
    for read in reads:
        for scope, found in filtered(MAP, read).items():
            seen[scope].update(found)
    assert plan(seen, wants, 64, exclusive)[::2] == plan(MAP, wants, 64, exclusive)[::2]


@pytest.mark.parametrize('bits, read, arguments', [
    (64, None, ['--format=json', '--x64']),
    (32, None, ['--format=json']),
    (32, Read(None, ('Caf\udce9',), '/l.so'), ['--format=json', '--class=Caf\udce9', '--library=/l.so']),
])
def test_dump_arguments(bits, read, arguments):
    assert dump_arguments(bits, read) == arguments


@pytest.mark.parametrize('scope, count, library', [
    # Far more classes than one argument list holds: zembril-dump reads the
    # scope, or the file, whole, and what is not asked for is left out here.
    ('U', 70000, None),
    (None, 70000, '/a.so'),
    # One library too long for an argument of its own.
    ('K', 0, 200000),
])
def test_a_read_of_any_size_fits_an_argument_list(monkeypatch, scope, count, library):
    if isinstance(library, int):
        library = '/' + 'l' * library
    names = tuple('com.example.Class%06d' % at for at in range(count))
    document = {'file': '/m', 'U': [{'class': 'com.example.Class000007', 'library': '/a.so'},
                                    {'class': 'Other', 'library': '/a.so'}],
                'K': [{'class': 'com.example.Class000001', 'library': '/a.so'},
                      {'class': 'Kept', 'library': library or '/k.so'}]}
    commands = []

    def read_output(command):
        commands.append(command)
        return 0, json.dumps({key: value for key, value in document.items()
                              if scope in (None, key) or key == 'file'}).encode(), b''
    monkeypatch.setattr(zembril, 'read_output', read_output)
    read = Read(scope, names, library)
    bindings = Zembril(FakeModule(), None, 64).read([read])[0]
    # As the kernel takes it: no argument over 128 KiB, and all of them (with
    # the environment) within 2 MiB or a quarter of the stack limit.
    assert sum(len(argument) + 1 for argument in commands[0]) < 128 * 1024
    assert bindings == filtered(document_bindings(document), read)


def document_bindings(document):
    return {scope: {entry['class']: entry['library'] for entry in document[scope]} for scope in ('U', 'K')}


class Failed(Exception):
    pass


class FakeModule:
    """As much of AnsibleModule as module_utils asks of it."""

    def __init__(self, **params):
        self.params = dict(dict(escaped=False), **params)
        self.warnings = []

    def fail_json(self, msg, **result):
        raise Failed(msg)

    def warn(self, warning):
        self.warnings.append(warning)

    def exit_json(self, **result):
        self.result = result

    @staticmethod
    def get_bin_path(name, required=False):
        return '/usr/bin/' + name


def test_a_read_fills_in_the_scopes_that_a_filter_leaves_out(monkeypatch):
    documents = iter([{'file': '/m', 'U': [{'class': 'A', 'library': '/a.so'}]},
                      {'file': '/m', 'K': [{'class': 'B', 'library': '/b.so'}]}])
    monkeypatch.setattr(zembril, 'read_output',
                        lambda command: (0, json.dumps(next(documents)).encode(), b''))
    bindings, path = Zembril(FakeModule(), None, 64).read([Read('U', ('A',), None), Read('K', ('B',), None)])
    assert (bindings, path) == ({'U': {'A': '/a.so'}, 'K': {'B': '/b.so'}}, '/m')


@pytest.mark.parametrize('escaped, names, shown, warned', [
    (False, ['Caf\udce9', 'Caf\udce9', 'Café'], ['Caf\\xe9', 'Caf\\xe9', 'Café'], True),
    (False, ['a\\tb'], ['a\\tb'], False),
    (True, ['Caf\udce9', 'a\tb'], ['Caf\\xe9', 'a\\tb'], False),
    # Two classes shown alike, which a map of the result would merge.
    (False, ['Caf\\xe9', 'Caf\udce9'], ['Caf\\xe9', 'Caf\\xe9'], '"Caf\\xe9" each stand for two names'),
    (True, ['Caf\\xe9', 'Caf\udce9'], ['Caf\\\\xe9', 'Caf\\xe9'], False),
])
def test_names_that_are_no_utf8_are_shown_escaped_with_a_warning(escaped, names, shown, warned):
    module = FakeModule(escaped=escaped)
    runner = Zembril(module, None, 64)
    assert [runner.show(name) for name in names] == shown
    runner.exit(changed=False)
    warning = ('a name that is no valid UTF-8 is shown escaped, as zembril-dump writes it in its text form '
               '(\\xHH for such a byte), 1 in this result; set escaped: true to read and give every name '
               'in that form')
    if not warned:
        assert module.warnings == []
    elif warned is True:
        assert module.warnings == [warning]
    else:
        assert module.warnings[0].startswith(warning + '; without it, ') and warned in module.warnings[0]


def test_a_document_with_a_path_that_is_no_utf8_is_carried():
    document = {'status': 0, 'summary': 'healthy', 'missing': [], 'lock': {'file': '/r\udcff/lock'},
                'findings': [{'where': '/r\udcff'}], 'mapFiles': [{'path': '/r\udcff/m'}]}
    health = health_of(document, Shown(False))
    assert json.dumps(health, ensure_ascii=False).encode('utf-8')
    assert health['lock'] == {'file': '/r\\xff/lock'}


@pytest.mark.parametrize('arguments, msg', [
    ({'class': 'Caf\udce9', 'root': '/r'}, 'class holds Caf\\xe9, which'),
    ({'bindings': [{'class': 'A'}, {'library': '/l\udcff.so'}]}, 'bindings[1].library holds /l\\xff.so, which'),
    ({'class': 'Café', 'bindings': [{'class': 'A'}]}, None),
])
def test_arguments_that_are_no_utf8_fail_the_task_without_a_traceback(monkeypatch, capsys, arguments, msg):
    # As the controller sends them, JSON that may hold lone surrogates.
    monkeypatch.setattr(basic, '_ANSIBLE_ARGS', json.dumps({'ANSIBLE_MODULE_ARGS': dict(
        arguments, _ansible_remote_tmp='/tmp', _ansible_keep_remote_files=False)}).encode('ascii'))
    options = {'class': dict(type='str'), 'root': dict(type='path'),
               'bindings': dict(type='list', elements='dict')}
    if msg is None:
        assert ZembrilModule(argument_spec=options).params['class'] == 'Café'
        return
    with pytest.raises(SystemExit):
        ZembrilModule(argument_spec=options)
    result = json.loads(capsys.readouterr().out)
    assert result['failed'] and result['msg'].startswith(msg)


@pytest.mark.parametrize('escaped, named, carry, msg', [
    (False, [('class', 'A'), ('library', '')], True, 'library is empty'),
    (True, [('bindings[2].class', '')], True, 'bindings[2].class is empty'),
    (True, [('class', 'a\\q')], True, 'class: '),
    (False, [('class', 'a b')], True, 'zembril cannot carry class a b in a command file'),
    # A name that is only looked for needs no command file.
    (False, [('class[0]', 'a b'), ('library', None)], False, None),
    # But none holds a NUL, which no program argument can carry either.
    (True, [('class[0]', 'a\\x00b')], False, 'class[0] a\\x00b holds a NUL'),
    (False, [('class[0]', 'a'), ('library', '/l\0.so')], False, 'library /l\\x00.so holds a NUL'),
])
def test_names_of(escaped, named, carry, msg):
    module = FakeModule(escaped=escaped)
    if msg is None:
        assert names_of(module, named, carry) == [pair[1] for pair in named]
        return
    with pytest.raises(Failed) as failure:
        names_of(module, named, carry)
    assert str(failure.value).startswith(msg)


@pytest.mark.parametrize('root, msg', [
    ('srv/image', 'root srv/image is a relative path'),
    ('/nonexistent/zembril/root', 'root /nonexistent/zembril/root does not exist'),
    (None, None),
    ('/', None),
])
def test_check_root(root, msg):
    if msg is None:
        check_root(FakeModule(), root)
        return
    with pytest.raises(Failed) as failure:
        check_root(FakeModule(), root)
    assert str(failure.value).startswith(msg)


@pytest.mark.parametrize('links, found', [
    # An absolute link leads inside the root, wherever the host's copy of its target is.
    ({'usr/local/tolvane': '/srv/x'}, True),
    ({'usr/local/tolvane': '../../srv/x'}, True),
    # Climbing stops at the root.
    ({'usr/local/tolvane': '../../../../../../srv/x'}, True),
    ({'usr/local/tolvane': 'x', 'usr/local/x': '/srv/x'}, True),
    ({'usr/local/tolvane': '/srv/nothing'}, False),
    ({'usr/local/tolvane': 'tolvane'}, False),
    ({}, False),
])
def test_the_map_directory_is_looked_for_inside_the_root(tmp_path, links, found):
    root = tmp_path / 'root'
    os.makedirs(str(root / 'srv/x/.mirtal/etc'))
    os.makedirs(str(root / 'usr/local'))
    # The host's own /srv/x is never looked at: a link that led there would be found in none of these.
    for path, target in links.items():
        os.symlink(target, str(root / path))
    runner = Zembril(FakeModule(), str(root) + '/', 64)
    path = str(root) + '/usr/local/tolvane/.mirtal/etc/dravimap64'
    assert in_root(None, '/a/b') == '/a/b'
    if found:
        assert in_root(str(root), os.path.dirname(path)) == str(root) + '/srv/x/.mirtal/etc'
        runner.check_map_directory(path)
        return
    with pytest.raises(Failed) as failure:
        runner.check_map_directory(path)
    assert str(failure.value).startswith('the map directory %s does not exist' % os.path.dirname(path))
