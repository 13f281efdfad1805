#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 the zembril authors
# SPDX-License-Identifier: MIT

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: zembril_map
short_description: Keep many class bindings of zembril's class map at once
description:
  - Binds every class of I(bindings) to its library in one map file of
    C(zembril), and with I(exclusive) unbinds every other class of the
    scopes concerned.
  - All changes are made by one C(zembril) run of a command file, so on each
    host they take effect whole or not at all.
  - Reports C(changed) only when the map changed.
version_added: 1.2.0
author: The zembril authors (@zembril)
options:
  bindings:
    description: The bindings that must exist.
    type: list
    elements: dict
    default: []
    suboptions:
      class:
        description:
          - The class name; no blank, no NUL, and a comma only inside C(<...>).
        type: str
        required: true
      library:
        description: The library path; its first C(*) becomes the bitness.
        type: str
        required: true
      scope:
        description: The map within the map file; defaults to I(scope).
        type: str
        choices: [U, K]
  scope:
    description:
      - The scope of the bindings that name none.
      - With I(exclusive), this scope is made to hold exactly its bindings of
        the list, even when the list names none.
    type: str
    choices: [U, K]
    default: U
  exclusive:
    description:
      - Unbind every class of I(scope), and of each scope that a binding
        names, that the list does not bind.
    type: bool
    default: false
extends_documentation_fragment:
  - zembril.classmap.zembril
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
notes:
  - Needs C(zembril) and C(zembril-dump) on the managed host.
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
'''

RETURN = r'''
commands:
  description: The command-file lines that zembril ran (in check mode, would run).
  returned: always
  type: list
  elements: str
  sample: ["U,add,com.example.Widget,/usr/lib*/libwidget.so.1", "K,delete,Old"]
bindings:
  description: The map file's bindings afterwards (in check mode, as they would be).
  returned: always
  type: list
  elements: dict
  sample: [{"scope": "U", "class": "com.example.Widget", "library": "/usr/lib64/libwidget.so.1"}]
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
    as_list, as_lines, check_names, common_argument_spec, plan, read_map, run_commands)


def main():
    argument_spec = common_argument_spec()
    argument_spec.update(
        bindings=dict(type='list', elements='dict', default=[], options={
            'class': dict(type='str', required=True),
            'library': dict(type='str', required=True),
            'scope': dict(type='str', choices=['U', 'K']),
        }),
        scope=dict(type='str', default='U', choices=['U', 'K']),
        exclusive=dict(type='bool', default=False),
    )
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    params = module.params
    bits, root = params['bits'], params['root']
    wanted = [(b['scope'] or params['scope'], b['class'], b['library'], None)
              for b in params['bindings']]
    check_names(module, [w[1] for w in wanted] + [w[2] for w in wanted])
    seen = {}
    for scope, name, library, dummy in wanted:
        if seen.setdefault((scope, name), library) != library:
            module.fail_json(msg='%s %s is listed with two libraries' % (scope, name))
    exclusive = ()
    if params['exclusive']:
        exclusive = sorted(set([params['scope']] + [w[0] for w in wanted]))

    before, path = read_map(module, root, bits)
    lines, after = plan(before, wanted, bits, exclusive)
    result = dict(changed=bool(lines), commands=lines, bindings=as_list(after), file=path)
    if module._diff:
        result['diff'] = dict(before=as_lines(before), after=as_lines(after))
    if lines and not module.check_mode:
        run_commands(module, root, bits, lines)
        now, path = read_map(module, root, bits)
        result.update(changed=now != before, bindings=as_list(now))
    module.exit_json(**result)


if __name__ == '__main__':
    main()
