#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 the zembril authors
# SPDX-License-Identifier: MIT

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: zembril_info
short_description: Read zembril's class map as data
description:
  - Returns the bindings of one map file of C(zembril), read with
    C(zembril-dump --format=json), for C(register) and conditions.
  - Never changes anything and never waits for a running C(zembril).
version_added: 1.2.0
author: The zembril authors (@zembril)
extends_documentation_fragment:
  - zembril.classmap.zembril
attributes:
  check_mode:
    support: full
    details: It only reads.
notes:
  - Needs C(zembril-dump) on the managed host.
seealso:
  - module: zembril.classmap.zembril_binding
  - module: zembril.classmap.zembril_map
'''

EXAMPLES = r'''
- name: Read the 64-bit class map
  zembril.classmap.zembril_info:
  register: classmap

- name: Say where the widget class is bound
  ansible.builtin.debug:
    msg: "{{ classmap.U['com.example.Widget'] | default('not bound') }}"
'''

RETURN = r'''
U:
  description: The U map, class name to library.
  returned: always
  type: dict
  sample: {"com.example.Widget": "/usr/lib64/libwidget.so.1"}
K:
  description: The K map, class name to library.
  returned: always
  type: dict
  sample: {"Map<int,Widget>": "/usr/lib64/libwidget.so.1"}
bindings:
  description: Every binding, U before K.
  returned: always
  type: list
  elements: dict
  sample: [{"scope": "U", "class": "com.example.Widget", "library": "/usr/lib64/libwidget.so.1"}]
file:
  description: The map file, as zembril-dump names it.
  returned: always
  type: str
  sample: /usr/local/tolvane/.mirtal/etc/dravimap64
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.zembril.classmap.plugins.module_utils.zembril import (
    as_list, common_argument_spec, read_map)


def main():
    module = AnsibleModule(argument_spec=common_argument_spec(), supports_check_mode=True)
    bindings, path = read_map(module, module.params['root'], module.params['bits'])
    module.exit_json(changed=False, U=bindings['U'], K=bindings['K'], bindings=as_list(bindings),
                     file=path)


if __name__ == '__main__':
    main()
