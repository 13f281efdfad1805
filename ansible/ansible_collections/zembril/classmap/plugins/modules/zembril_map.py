#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 the zembril authors
# SPDX-License-Identifier: MIT

DOCUMENTATION = r'''
---
module: zembril_map
short_description: Keep many class bindings of zembril's class map at once
description:
  - Binds or unbinds every class of I(bindings) in one map file of
    C(zembril), unbinds every class of a library, and with I(exclusive)
    unbinds every other class of I(scope).
  - All changes are made by one C(zembril) run of a command file, so on each
    host they take effect whole or not at all.
  - The map is read again after that run, and the task fails, saying how
    each class in question is bound, unless it holds what the task asked
    for, also when another run changed one of them meanwhile.
  - Reports C(changed) only when a class that the task manages changed.
  - With I(exclusive), a class of the map whose name no command file can
    carry (one with a blank, a NUL, or a comma outside C(<...>), which
    C(zembril)'s command line may have bound) fails the task before
    anything is changed, also in check mode, naming each such class, which
    C(zembril)'s command line can then unbind.
version_added: 1.2.0
author: The zembril authors (@zembril)
options:
  bindings:
    description:
      - The bindings that must, or must not, exist.
      - A class that is bound to another library is rebound, in the same run.
    type: list
    elements: dict
    default: []
    suboptions:
      class:
        description:
          - The class name; no blank, no NUL, and a comma only inside C(<...>).
          - Required with I(state=present). Without it, I(state=absent)
            unbinds every class of I(library) in the binding's scope.
        type: str
      library:
        description:
          - The library path; its first C(*) becomes the bitness.
          - Required with I(state=present). With I(state=absent) and
            I(class), the class is unbound only while it is bound to this
            library.
        type: str
      scope:
        description: The map within the map file; defaults to I(scope), or C(U).
        type: str
        choices: [U, K]
      state:
        description: Whether the binding must exist.
        type: str
        choices: [present, absent]
        default: present
  scope:
    description:
      - The scope of the bindings that name none; C(U) when it is not set.
      - The one scope that I(exclusive) makes hold exactly its bindings of
        the list.
    type: str
    choices: [U, K]
  exclusive:
    description:
      - Unbind every class of I(scope) that the list does not bind.
      - A class there whose name no command file can carry fails the task,
        naming it, and nothing is changed.
      - Only the scope that I(scope) names is concerned, so I(scope) must be
        set; the scopes of the list's bindings never are.
    type: bool
    default: false
  allow_empty:
    description:
      - With I(exclusive), a list that binds no class of I(scope) would
        unbind every class there; the task is refused unless this is set,
        so that an empty or mistyped list cannot empty a scope.
    type: bool
    default: false
requirements:
  - The zembril package, 1.3.0 or later, whose C(zembril-dump) reads only
    the bindings asked for, and C(timeout) from coreutils, on the managed
    host.
extends_documentation_fragment:
  - zembril.classmap.zembril
  - zembril.classmap.zembril.change
  - zembril.classmap.attributes
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
  platform:
    platforms: linux
notes:
  - Needs the rights to change the class map (root, as a rule).
seealso:
  - module: zembril.classmap.zembril_binding
  - module: zembril.classmap.zembril_info
'''

EXAMPLES = r'''
- name: Bind the classes of libwidget in the 64-bit map, in one run
  zembril.classmap.zembril_map:
    bindings:
      - class: com.example.Widget
        library: /usr/lib*/libwidget.so.1
      - class: Map<int,Widget>
        library: /usr/lib*/libwidget.so.1
        scope: K

- name: Make the K map hold exactly these classes
  zembril.classmap.zembril_map:
    scope: K
    exclusive: true
    bindings:
      - class: Map<int,Widget>
        library: /usr/lib64/libwidget.so.1

- name: Unbind every class of the old library, and one class more
  zembril.classmap.zembril_map:
    bindings:
      - library: /usr/lib64/libwidget.so.0
        state: absent
      - class: com.example.OldWidget
        state: absent

- name: Empty the K map
  zembril.classmap.zembril_map:
    scope: K
    exclusive: true
    allow_empty: true
'''

RETURN = r'''
commands:
  description: The command-file lines that zembril ran (in check mode, would run).
  returned: always
  type: list
  elements: str
  sample: ["U,delete,com.example.Widget", "U,add,com.example.Widget,/usr/lib*/libwidget.so.1", "K,delete,Old"]
bindings:
  description:
    - The bindings that the task manages afterwards (in check mode, as they
      would be), U before K; only they are read.
    - The bindings of the classes of the list, of the libraries that it
      unbinds, and with I(exclusive) every binding of I(scope).
  returned: success
  type: list
  elements: dict
  sample: [{"scope": "U", "class": "com.example.Widget", "library": "/usr/lib64/libwidget.so.1"}]
file:
  description: The map file, as zembril-dump names it.
  returned: success
  type: str
  sample: /usr/local/tolvane/.mirtal/etc/dravimap64
rc:
  description:
    - The exit status of zembril (0, 1 for a warning, 255 for a failure).
    - When I(lock_timeout) stopped the run, the exit status of C(timeout),
      124, or 137 when the run had to be killed 10 seconds later.
  returned: when zembril ran
  type: int
  sample: 0
status:
  description: zembril's status code, when its run failed.
  returned: failure
  type: int
  sample: -50204
lock:
  description: What C(zembril-dump --check) says of the lock, when I(lock_timeout) stopped the run.
  returned: failure
  type: str
  sample: "held by pid 4242: /usr/bin/zembril /x64 /file /var/lib/dpkg/info/libwidget1.classes"
'''

from ansible_collections.zembril.classmap.plugins.module_utils.zembril import (
    Zembril, as_lines, as_list, change_argument_spec, check_lock_timeout, describe, names_of, plan,
    reads_for, refusal, ZembrilModule, wants_of)


def main():
    argument_spec = change_argument_spec()
    argument_spec.update(
        bindings=dict(type='list', elements='dict', default=[], options={
            'class': dict(type='str'),
            'library': dict(type='str'),
            'scope': dict(type='str', choices=['U', 'K']),
            'state': dict(type='str', default='present', choices=['present', 'absent']),
        }, required_if=[('state', 'present', ['class', 'library'])],
            required_one_of=[('class', 'library')]),
        scope=dict(type='str', choices=['U', 'K']),
        exclusive=dict(type='bool', default=False),
        allow_empty=dict(type='bool', default=False),
    )
    module = ZembrilModule(argument_spec=argument_spec, supports_check_mode=True,
                           required_if=[('exclusive', True, ['scope'])])
    params = module.params
    check_lock_timeout(module)
    bits = int(params['bits'])
    items = []
    for at, item in enumerate(params['bindings']):
        name, library = names_of(module, [('bindings[%d].class' % at, item['class']),
                                          ('bindings[%d].library' % at, item['library'])])
        items.append(dict(item, library=library, **{'class': name}))
    wants, conflict = wants_of(items, params['scope'] or 'U')
    if conflict:
        module.fail_json(msg=conflict)
    exclusive = [params['scope']] if params['exclusive'] else []
    if exclusive and not params['allow_empty'] and not any(w.present and w.scope == params['scope']
                                                           for w in wants):
        module.fail_json(msg='exclusive would unbind every class of %s, since the list binds none '
                         'there; set allow_empty to mean that' % params['scope'])
    zembril = Zembril(module, params['root'], bits)
    show = zembril.show
    zembril.check_root()

    # Only the classes and libraries of the list are read, and the scope
    # that exclusive empties of the others.
    reads = reads_for(wants, bits, exclusive)
    before, path = zembril.read(reads)
    lines, after, changes, uncarried = plan(before, wants, bits, exclusive)
    if uncarried:
        zembril.fail(refusal(uncarried), file=path)
    if lines:
        zembril.check_map_directory(path)
    result = dict(changed=bool(changes), commands=[show(line) for line in lines], file=path)
    if lines and not module.check_mode:
        result['rc'] = zembril.run(lines, params['lock_timeout'])
        after, path = zembril.read(reads)
        result['bindings'] = as_list(after, show)
        unmet = plan(after, wants, bits, exclusive)[2]
        if unmet:
            zembril.fail('after the zembril run, ' + describe(unmet, show), **result)
    result['bindings'] = as_list(after, show)
    if module._diff:
        result['diff'] = dict(before=as_lines(before), after=as_lines(after))
    zembril.exit(**result)


if __name__ == '__main__':
    main()
