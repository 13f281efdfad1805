# -*- coding: utf-8 -*-
# Copyright: 2026 the zembril authors
# SPDX-License-Identifier: MIT
"""What the zembril modules share: reading a class map through zembril-dump
and changing it through one zembril run of a command file.

The map is only ever read by zembril-dump and changed by zembril, so the
modules never depend on the map file's format or its locking. A task reads
only what it manages, through zembril-dump's filters, so that its cost
follows the task and not the size of the map.

Names are str throughout; a byte that is no UTF-8 is a lone surrogate, as
Python's surrogateescape error handler makes it, so every name goes back to
zembril byte for byte. No such name reaches Ansible: shown, it is escaped."""

import json
import os
import re
import subprocess
from collections import namedtuple

from ansible.module_utils.basic import AnsibleModule

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

# What plan() works out: the command-file lines, the maps afterwards, the
# changes, and the (scope, class) pairs that exclusive has to unbind but
# that no command-file line can carry, for which it writes no line.
Plan = namedtuple('Plan', 'lines after changes uncarried')

# The bytes of zembril-dump's filter arguments, past which a read drops them
# and filters what it reads itself. Linux takes no single argument over 128
# KiB, and all of them with the environment only within a quarter of the
# stack limit; a filter that long names thousands of classes, whose read
# costs a stream of the whole map all the same.
FILTER_BYTES = 96 * 1024

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


def is_utf8(name):
    """True when `name` holds no byte that is no UTF-8, so that Ansible can
    carry it as it is."""
    try:
        name.encode('utf-8')
    except UnicodeEncodeError:
        return False
    return True


class Shown:
    """Shows names in results: escaped when the task asks for that, else as
    they are, except a name that is no UTF-8, which Ansible cannot carry and
    which is escaped all the same; warning() then says so, and names each
    such name that looks just like another name of the result shown as it
    is, since the two are then one key of a map."""

    def __init__(self, escaped):
        self.escaped = escaped
        self.unshowable = set()
        # The names shown as they are that an escaped name could look like:
        # only those with a backslash.
        self.backslashed = set()

    def __call__(self, name):
        if self.escaped:
            return escape(name)
        if is_utf8(name):
            if '\\' in name:
                self.backslashed.add(name)
            return name
        self.unshowable.add(name)
        return escape(name)

    def collisions(self):
        """The names shown as they are that a name shown escaped looks like."""
        return sorted({escape(name) for name in self.unshowable} & self.backslashed)

    def warning(self):
        """The warning for the names shown escaped without escaped=true, or
        None."""
        if not self.unshowable:
            return None
        warning = ('a name that is no valid UTF-8 is shown escaped, as zembril-dump writes it in its '
                   'text form (\\xHH for such a byte), %d in this result; set escaped: true to read '
                   'and give every name in that form' % len(self.unshowable))
        collisions = self.collisions()
        if collisions:
            warning += ('; without it, %s each stand for two names, one that is no valid UTF-8 and '
                        'one that is written so, and a map of this result holds only one of them'
                        % ', '.join('"%s"' % name for name in collisions))
        return warning


def in_byte_order(name):
    """The sort key of the map file's order, which compares bytes."""
    return name.encode('utf-8', 'surrogateescape')


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

    Returns a Plan: the command-file lines that do it in one zembril run,
    the maps as they would be afterwards, the changes, and the classes that
    exclusive unbinds but that no line can carry. Those come from the map,
    not from the task: a line written for one would unbind another class,
    or run a command of its own, so no line is written and the task must
    refuse them. Applied to the maps read after that run, it returns no
    changes exactly when they hold what the task asked for."""
    after = {scope: dict(current[scope]) for scope in SCOPES}
    lines = []
    uncarried = []
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
            if (scope, name) in bound:
                continue
            if carriable(name):
                lines.append('%s,delete,%s' % (scope, name))
            else:
                uncarried.append((scope, name))
            del after[scope][name]

    changes = [Change(scope, name, current[scope].get(name), after[scope].get(name))
               for scope in SCOPES
               for name in sorted(set(current[scope]) | set(after[scope]))
               if current[scope].get(name) != after[scope].get(name)]
    return Plan(lines, after, changes, uncarried)


def refusal(uncarried):
    """Why a task whose plan found `uncarried` classes, of one scope, cannot
    go on, and how to unbind them instead."""
    return ('exclusive would unbind %s, which no command file can carry (a name with a blank, a NUL, '
            'a comma outside <...> or a < left open), so nothing was changed; unbind each first with '
            'zembril\'s command line, which takes the class as one argument: zembril [/root DIR] [/x64] '
            '/%s /delete CLASS' % (', '.join('%s "%s"' % (scope, escape(name)) for scope, name in uncarried),
                                   uncarried[0][0]))


# One filtered read of zembril-dump: the bindings of `scope` (both scopes
# when None) of the classes `names` (any class when empty) to `library` (any
# library when None).
Read = namedtuple('Read', 'scope names library')


def reads_for(wants, bits, exclusive_scopes=()):
    """The reads that give plan() all it looks at for `wants`: a scope of
    `exclusive_scopes` whole, and in another scope the classes that wants
    name and the classes of each library that a want unbinds. Empty when
    the wants look at nothing."""
    reads = []
    for scope in SCOPES:
        if scope in exclusive_scopes:
            reads.append(Read(scope, (), None))
            continue
        names = {w.name for w in wants if w.scope == scope and w.name is not None}
        if names:
            reads.append(Read(scope, tuple(sorted(names, key=in_byte_order)), None))
        libraries = {substitute(w.library, bits) for w in wants if w.scope == scope and w.name is None}
        reads += [Read(scope, (), library) for library in sorted(libraries, key=in_byte_order)]
    return reads


def dump_arguments(bits, read=None):
    """zembril-dump's arguments, less --root, for the JSON document of the
    map file of `bits` filtered as `read` says (all of it when None). Class
    and library filters longer than FILTER_BYTES are left out, so that a
    task of any size can be read: read_bindings filters what comes."""
    arguments = ['--format=json'] + (['--x64'] if bits == 64 else [])
    if read is None:
        return arguments
    if read.scope is not None:
        arguments.append('--scope=' + read.scope)
    filters = ['--class=' + name for name in read.names]
    if read.library is not None:
        filters.append('--library=' + read.library)
    if sum(len(argument.encode('utf-8', 'surrogateescape')) + 1 for argument in filters) <= FILTER_BYTES:
        arguments += filters
    return arguments


def read_bindings(document, read):
    """The bindings of zembril-dump's JSON `document` that `read` asks for,
    as {scope: {class: library}}; the filters that dump_arguments left out
    are applied here."""
    names = set(read.names) if read is not None else ()
    return {scope: {entry['class']: entry['library'] for entry in document.get(scope, ())
                    if read is None or ((not names or entry['class'] in names)
                                        and read.scope in (None, scope)
                                        and read.library in (None, entry['library']))}
            for scope in SCOPES}


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
    return ''.join('%s\t%s\t%s\n' % (scope, escape(name), escape(bindings[scope][name]))
                   for scope in SCOPES for name in sorted(bindings[scope], key=in_byte_order)
                   if names is None or (scope, name) in names)


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
    missing = [dict(carried(entry), **{'class': show(entry['class']), 'library': show(entry['library'])})
               for entry in document['missing']]
    return dict(healthy=document['status'] == 0, status=document['status'],
                summary=document['summary'], findings=carried(document['findings']),
                lock=carried(document['lock']), map_files=carried(document['mapFiles']), missing=missing)


def carried(value):
    """`value`, from a JSON document, with each string that is no UTF-8 (a
    path, say) escaped, so that Ansible can carry it."""
    if isinstance(value, dict):
        return {key: carried(item) for key, item in value.items()}
    if isinstance(value, list):
        return [carried(item) for item in value]
    if isinstance(value, str) and not is_utf8(value):
        return escape(value)
    return value


# A read whose bindings are of no use, made for the path of the map file
# alone; it names a class that a command file cannot carry, so as to stream
# the map past without printing any of it.
NOTHING = Read('U', ('\n',), None)


def read_output(command):
    """Runs `command` and returns its exit status, standard output and
    standard error, as bytes; each argument goes as its bytes, whatever the
    locale. AnsibleModule.run_command builds a program's output by repeated
    concatenation, in a time that grows with its square (close to a minute
    for a whole map of a million bindings); communicate() joins it once."""
    try:
        process = subprocess.Popen([argument.encode('utf-8', 'surrogateescape') for argument in command],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
    except (OSError, ValueError) as error:
        # ValueError: an argument with a NUL, which names_of refuses first.
        return 127, b'', str(error).encode('utf-8', 'backslashreplace')
    out, err = process.communicate()
    return process.returncode, out, err


def program_text(data):
    """What a program wrote, as text that Ansible can carry: a byte that is
    no UTF-8 is written \\xHH."""
    return data.decode('utf-8', 'backslashreplace')


def check_root(module, root):
    """See Zembril.check_root."""
    if not root:
        return
    if not os.path.isabs(root):
        module.fail_json(msg='root %s is a relative path: give the system image as an absolute '
                         'path, as zembril /root and zembril-dump --root take it' % root)
    if not os.path.isdir(root):
        module.fail_json(msg='root %s %s' % (root, 'is not a directory' if os.path.exists(root)
                                             else 'does not exist'))


# How many symbolic links a path may lead through, as for the kernel.
MAX_LINKS = 40


def in_root(root, path):
    """The host's path of `path`, which starts with `root`, resolved as a
    chroot into `root` resolves it, as zembril and zembril-dump do: `..`
    stops at the root, and a symbolic link, absolute or climbing, leads
    inside it. The host's path of a link that leads through more than
    MAX_LINKS links, which the kernel refuses, is None. Without a root,
    `path` itself."""
    base = root.rstrip('/') if root else ''
    if not base or not path.startswith(base + '/'):
        return path
    ahead = path[len(base):].split('/')[::-1]
    done = []
    links = 0
    while ahead:
        part = ahead.pop()
        if part in ('', '.'):
            continue
        if part == '..':
            done = done[:-1]
            continue
        here = '/'.join([base] + done + [part])
        if not os.path.islink(here):
            done.append(part)
            continue
        links += 1
        if links > MAX_LINKS:
            return None
        target = os.readlink(here)
        if target.startswith('/'):
            done = []
        ahead += target.split('/')[::-1]
    return '/'.join([base] + done)


class Zembril:
    """The two programs on one managed host, for one map file."""

    def __init__(self, module, root, bits, show=None):
        self.module = module
        self.root = root
        self.bits = bits
        self.show = show or Shown(module.params['escaped'])

    def warn_of_names(self):
        warning = self.show.warning()
        if warning:
            self.module.warn(warning)
            self.show.unshowable = set()
            self.show.backslashed = set()

    def fail(self, msg, **result):
        self.warn_of_names()
        self.module.fail_json(msg=msg, **result)

    def exit(self, **result):
        self.warn_of_names()
        self.module.exit_json(**result)

    def check_root(self):
        """Fails the task when the root is not an absolute path, which
        zembril-dump refuses only with its usage, or no directory: zembril
        would take it for an empty map, and fail only at the save, with the
        code of a read-only directory."""
        check_root(self.module, self.root)

    def check_map_directory(self, path):
        """Fails the task when the map directory of the map file `path` is
        missing: zembril makes none, so no binding can be saved there. With
        a root the directory is looked for as zembril finds it, inside the
        root."""
        directory = os.path.dirname(path)
        resolved = in_root(self.root, directory)
        if resolved is None or not os.path.isdir(resolved):
            self.fail('the map directory %s does not exist, and zembril makes none: create it, or '
                      'check root and the directory file' % directory)

    def dump(self, *arguments):
        """Runs zembril-dump for what it says in a few lines: its exit
        status, standard output and standard error, as bytes."""
        return self.module.run_command(self.dump_command(arguments), encoding=None)

    def dump_command(self, arguments):
        command = [self.module.get_bin_path('zembril-dump', required=True)]
        if self.root:
            command.append('--root=' + self.root)
        return command + list(arguments)

    def document(self, arguments, what, statuses=(0,)):
        """The JSON document that zembril-dump prints for `arguments`; fails
        the task, saying it could not do `what`, unless it exits with one of
        `statuses`."""
        rc, out, err = read_output(self.dump_command(arguments))
        if rc not in statuses:
            self.fail('zembril-dump could not %s: %s' % (what, program_text(err).strip()), rc=rc)
        # zembril-dump writes a byte that is no UTF-8 as a lone surrogate.
        return json.loads(out.decode('utf-8'))

    def read(self, reads=None):
        """The map file's bindings as {'U': {class: library}, 'K': {...}},
        only those of `reads` when it is given, and the path zembril-dump
        read; fails the task with its message."""
        bindings = {scope: {} for scope in SCOPES}
        path = None
        for read in [None] if reads is None else reads or [NOTHING]:
            document = self.document(dump_arguments(self.bits, read), 'read the class map')
            path = document['file']
            if read is NOTHING:
                continue
            for scope, found in read_bindings(document, read).items():
                bindings[scope].update(found)
        return bindings, path

    def health(self):
        """What `zembril-dump --check` finds, as health_of gives it; fails
        the task when zembril-dump cannot check."""
        return health_of(self.document(['--check', '--format=json'], 'check the class map', (0, 1)),
                         self.show)

    def explain(self, status):
        rc, out = self.dump('--explain', str(status))[:2]
        return ' '.join(program_text(out).split()) if rc == 0 else ''

    def run(self, lines, lock_timeout):
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
        rc, out = self.module.run_command(command + ['/file', path], encoding=None)[:2]
        out = program_text(out)
        os.unlink(path)
        commands = [self.show(line) for line in lines]
        if rc in TIMED_OUT:
            check = self.dump('--check')[1]
            holder = lock_holder(program_text(check)) or 'unknown'
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


def names_of(module, named, carry=True):
    """The names of `named`, pairs of what a name is (as the task's message
    says it) and the name the task gives, unescaped when it asks for that;
    fails the task for a name that is empty, that cannot be unescaped, or,
    when the task will `carry` it, that no command file can carry. None
    stays None."""
    result = []
    for what, name in named:
        if name is not None and module.params['escaped']:
            try:
                name = unescape(name)
            except ValueError as error:
                module.fail_json(msg='%s: %s' % (what, error))
        # A command file would carry an empty field, but no task means one.
        if name == '':
            module.fail_json(msg='%s is empty' % what)
        # No name of the map holds a NUL, and no program argument can.
        if name is not None and '\0' in name:
            module.fail_json(msg='%s %s holds a NUL, which no class name or library path of the '
                             'class map can hold' % (what, escape(name)))
        if carry and name is not None and not carriable(name):
            module.fail_json(msg='zembril cannot carry %s %s in a command file: a name may hold no '
                             'blank and no NUL, and a comma only inside <...>' % (what, escape(name)))
        result.append(name)
    return result


def not_utf8(value, where):
    """Where in the arguments `value` holds a string that is no UTF-8, and
    that string, escaped; None when there is none."""
    if isinstance(value, dict):
        items = value.items()
    elif isinstance(value, list):
        items = (('%s[%d]' % (where, at), item) for at, item in enumerate(value))
        return next((found for found in (not_utf8(item, at) for at, item in items) if found), None)
    elif isinstance(value, str) and not is_utf8(value):
        return where, escape(value)
    else:
        return None
    for key, item in items:
        found = not_utf8(item, key if not where else '%s.%s' % (where, key))
        if found:
            return found
    return None


class ZembrilModule(AnsibleModule):
    """AnsibleModule for the zembril modules. Arguments that hold a string
    that is no UTF-8, such as a name that an earlier task returned as a
    lone surrogate, fail the task, saying how to give it: AnsibleModule
    logs the arguments as they come, and would raise there, before a
    module can say anything."""

    def _log_invocation(self):
        found = not_utf8(self.params, '')
        if found:
            self.fail_json(msg='%s holds %s, which is no valid UTF-8 and which Ansible cannot carry: '
                           'give it as zembril-dump writes it in its text form, with escaped: true'
                           % found)
        super()._log_invocation()


def bits_option(choices=('32', '64')):
    """`bits` as every module takes it: a string, so that 64 and "64" (as a
    template gives it) are one value."""
    return dict(type='str', default='64', choices=list(choices))


def common_argument_spec():
    return dict(
        bits=bits_option(),
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
