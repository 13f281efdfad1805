#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 the zembril authors
# SPDX-License-Identifier: MIT

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: zembril_binding
short_description: Bind one class to a library in zembril's class map
description:
  - Makes sure that one class is bound, or not bound, in the U or K map of
    the 32-bit or 64-bit class map file that C(zembril) keeps.
  - The map is read with C(zembril-dump) and changed by one C(zembril) run of
    a command file, so a rebinding takes effect whole or not at all.
  - Reports C(changed) only when the map changed.
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
extends_documentation_fragment:
  - zembril.classmap.zembril
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
notes:
  - Needs C(zembril) and C(zembril-dump) on the managed host, and the rights
    to change the class map (root, as a rule).
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
  returned: always
  type: str
  sample: /usr/local/tolvane/.mirtal/etc/dravimap64
status:
  description: zembril's status code, when its run failed.
  returned: failure
  type: int
  sample: -50204
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.zembril.classmap.plugins.module_utils.zembril import (
    check_names, common_argument_spec, plan, read_map, run_commands)


def main():
    argument_spec = common_argument_spec()
    argument_spec.update(
        library=dict(type='str'),
        scope=dict(type='str', default='U', choices=['U', 'K']),
        state=dict(type='str', default='present', choices=['present', 'absent']),
    )
    argument_spec['class'] = dict(type='str', required=True)
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True,
                           required_if=[('state', 'present', ['library'])])
    params = module.params
    name, library, scope, bits, root = (params['class'], params['library'], params['scope'],
                                        params['bits'], params['root'])
    check_names(module, [name] + ([library] if library is not None else []))

    before, path = read_map(module, root, bits)
    if params['state'] == 'present':
        wanted = [(scope, name, library, None)]
    else:
        wanted = [(scope, name, None, library)]
    lines, after = plan(before, wanted, bits)
    result = dict(changed=bool(lines), previous=before[scope].get(name),
                  library=after[scope].get(name), commands=lines, file=path)
    if module._diff:
        def line(bindings):
            return scope + '\t' + name + '\t' + bindings[scope][name] + '\n' if name in bindings[scope] else ''
        result['diff'] = dict(before=line(before), after=line(after))
    if lines and not module.check_mode:
        run_commands(module, root, bits, lines)
        now, path = read_map(module, root, bits)
        result.update(changed=now != before, library=now[scope].get(name))
    module.exit_json(**result)


if __name__ == '__main__':
    main()
