#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 the zembril authors
# SPDX-License-Identifier: MIT

DOCUMENTATION = r'''
---
module: zembril_binding
short_description: Bind one class to a library in zembril's class map
description:
  - Makes sure that one class is bound, or not bound, in the U or K map of
    the 32-bit or 64-bit class map file that C(zembril) keeps.
  - The map is read with C(zembril-dump) and changed by one C(zembril) run of
    a command file, so a rebinding takes effect whole or not at all.
  - The map is read again after that run, and the task fails, saying how the
    class is bound, unless it holds what the task asked for, also when
    another run changed the class meanwhile.
  - Reports C(changed) only when the class's binding changed.
version_added: 1.2.0
author: The zembril authors (@zembril)
options:
  class:
    description:
      - The class name.
      - It may hold no blank and no NUL, and a comma only inside C(<...>),
        as in C(Map<int,Widget>), since a command file carries it.
    type: str
    required: true
  library:
    description:
      - The library path. Its first C(*) becomes C(32) or C(64), the
        bitness of the map, as in zembril's command files.
      - Required with I(state=present). With I(state=absent) the class is
        unbound only while it is bound to this library.
    type: str
  scope:
    description: The map within the map file.
    type: str
    choices: [U, K]
    default: U
  state:
    description:
      - C(present) binds the class to exactly I(library), rebinding it in one
        run when it is bound to another library.
      - C(absent) unbinds it.
    type: str
    choices: [present, absent]
    default: present
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
  - module: zembril.classmap.zembril_map
  - module: zembril.classmap.zembril_info
'''

EXAMPLES = r'''
- name: Bind the widget class in the 64-bit map
  zembril.classmap.zembril_binding:
    class: com.example.Widget
    library: /usr/lib*/libwidget.so.1

- name: Bind a K-map class in the 32-bit map of an image being built
  zembril.classmap.zembril_binding:
    class: Map<int,Widget>
    library: /usr/lib32/libwidget.so.1
    scope: K
    bits: 32
    root: /srv/image

- name: Unbind the widget class, but only while it is bound to libwidget
  zembril.classmap.zembril_binding:
    class: com.example.Widget
    library: /usr/lib64/libwidget.so.1
    state: absent

- name: Unbind a class whose name is no valid UTF-8, as zembril-dump shows it
  zembril.classmap.zembril_binding:
    class: com.example.Caf\xe9
    escaped: true
    state: absent
'''

RETURN = r'''
previous:
  description: The library the class was bound to before, or null.
  returned: always
  type: str
  sample: /usr/lib64/libwidget.so.0
library:
  description: The library the class is bound to now (in check mode, would be), or null.
  returned: always
  type: str
  sample: /usr/lib64/libwidget.so.1
commands:
  description: The command-file lines that zembril ran (in check mode, would run).
  returned: always
  type: list
  elements: str
  sample: ["U,delete,com.example.Widget", "U,add,com.example.Widget,/usr/lib*/libwidget.so.1"]
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
    Want, Zembril, as_lines, change_argument_spec, check_lock_timeout, describe, names_of, plan,
    reads_for, ZembrilModule)


def main():
    argument_spec = change_argument_spec()
    argument_spec.update(
        library=dict(type='str'),
        scope=dict(type='str', default='U', choices=['U', 'K']),
        state=dict(type='str', default='present', choices=['present', 'absent']),
    )
    argument_spec['class'] = dict(type='str', required=True)
    module = ZembrilModule(argument_spec=argument_spec, supports_check_mode=True,
                           required_if=[('state', 'present', ['library'])])
    params = module.params
    check_lock_timeout(module)
    bits = int(params['bits'])
    name, library = names_of(module, [('class', params['class']), ('library', params['library'])])
    scope = params['scope']
    zembril = Zembril(module, params['root'], bits)
    show = zembril.show
    zembril.check_root()

    wants = [Want(scope, name, library, params['state'] == 'present')]
    # Only this class is read, whatever the size of the map.
    reads = reads_for(wants, bits)
    before, path = zembril.read(reads)
    lines, after, changes = plan(before, wants, bits)[:3]
    if lines:
        zembril.check_map_directory(path)

    def shown(bindings):
        bound = bindings[scope].get(name)
        return None if bound is None else show(bound)
    result = dict(changed=bool(changes), previous=shown(before), library=shown(after),
                  commands=[show(line) for line in lines], file=path)
    if lines and not module.check_mode:
        result['rc'] = zembril.run(lines, params['lock_timeout'])
        after, path = zembril.read(reads)
        result['library'] = shown(after)
        unmet = plan(after, wants, bits)[2]
        if unmet:
            zembril.fail('after the zembril run, ' + describe(unmet, show), **result)
    if module._diff:
        names = {(scope, name)}
        result['diff'] = dict(before=as_lines(before, names), after=as_lines(after, names))
    zembril.exit(**result)


if __name__ == '__main__':
    main()
